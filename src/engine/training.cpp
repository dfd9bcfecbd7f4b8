// The training driver. The label step, the mean update and the medoid update
// spread over the context's pool; everything else runs on the calling
// thread. The order of every single-precision step is part of the result:
// sums are accumulated in point order (in blocks, member_sums.hpp),
// divisions are true divisions, sizes move as the repair says.
#include "engine/training.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

#include "engine/balancing/balancing.hpp"
#include "engine/core/checked.hpp"
#include "engine/core/cluster_size.hpp"
#include "engine/updates/cost.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/label_step.hpp"
#include "engine/label/label_steps.hpp"
#include "engine/updates/medoids.hpp"
#include "engine/updates/member_sums.hpp"
#include "engine/core/progress.hpp"
#include "engine/core/value_check.hpp"
#include "engine/hierarchical.hpp"

namespace quorla::engine {
namespace {

// The two perturbation factors of a split cluster: 1 +/- 2^-10, exact in
// single precision, so the two halves sit symmetric about the donor.
constexpr float grow_factor = 1.0009765625f;
constexpr float shrink_factor = 0.9990234375f;

void choose_initial_centroids(Model& model, const PointView& points, const ExecutionContext& context) {
    const std::size_t k = model.n_clusters;
    std::vector<std::uint64_t> order(points.rows);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    context.generator().shuffle(order, [&] { context.check_stop(); });

    Matrix centroids(k, points.cols);
    if (model.use_medoids) model.medoid_indices.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k));
    for (std::size_t c = 0; c < k; ++c) points.copy_row(order[c], centroids.row(c).data());
    model.centroids = std::move(centroids);
}

// Mean update: member sums (member_sums.hpp), then a true division by each
// non-zero size.
void update_centroids(Model& model, const PointView& points, const ExecutionContext& context) {
    Matrix sums = member_sums(points, model.labels, model.n_clusters, context);
    for (std::size_t c = 0; c < sums.rows(); ++c) {
        const double size = model.cluster_sizes[c];
        if (!(size > 0.0)) continue;
        for (float& value : sums.row(c)) value = divide_by_size(value, size);
    }
    model.centroids = std::move(sums);
}

// Bit for bit, so that 0.0 and -0.0 (equal as numbers) count as different.
bool same_bits(const Matrix& a, const Matrix& b) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    return a.values().empty() || std::memcmp(a.data(), b.data(), a.values().size() * sizeof(float)) == 0;
}

}  // namespace

void repair_empty_clusters(Model& model, const TrainingState& state, ThreadRandom& random) {
    const PointView& points = state.points;
    const std::size_t k = model.n_clusters;
    if (k == 0) raise_fault("Donor search without clusters");
    std::vector<double>& sizes = model.cluster_sizes;
    const double divisor = add_sizes(state.point_count, -size_from_count(k));
    auto acceptance = [&](std::size_t cluster) {
        return static_cast<float>(add_sizes(sizes[cluster], -1.0) / divisor);
    };

    for (std::size_t ci = 0; ci < k; ++ci) {
        if (sizes[ci] != 0.0) continue;
        // The walk accepts a candidate with probability p; if no cluster has
        // p > 0 it would never end. Sizes that sum to n > k - 1 always leave
        // one, so this guards against broken bookkeeping, not data.
        bool donor_exists = false;
        for (std::size_t c = 0; c < k && !donor_exists; ++c) donor_exists = acceptance(c) > 0.0f;
        if (!donor_exists) raise_fault("No cluster can donate to an empty cluster");

        std::size_t cj = 0;
        for (;;) {
            const float p = acceptance(cj);
            const float r = random.uniform_float();  // one draw per candidate examined
            if (r < p) break;                        // false for NaN p
            cj = (cj + 1) % k;
        }

        if (!model.use_medoids) {
            if (model.centroids) {
                Matrix& centroids = *model.centroids;
                std::span<float> empty = centroids.row(ci);
                std::span<float> donor = centroids.row(cj);
                std::copy(donor.begin(), donor.end(), empty.begin());
                for (std::size_t j = 0; j < empty.size(); ++j) {
                    const bool even = j % 2 == 0;
                    empty[j] *= even ? grow_factor : shrink_factor;
                    donor[j] *= even ? shrink_factor : grow_factor;
                }
            }
        } else {
            std::vector<std::uint64_t> members = members_of(model, cj);
            // A donor can hold size without members when it was itself filled
            // by an earlier repair of this pass; ci then keeps what it had.
            if (!members.empty()) {
                const std::uint64_t chosen = members[random.uniform_below(members.size())];
                if (ci >= model.medoid_indices.size()) raise_fault("Cluster index beyond the medoid indices");
                model.medoid_indices[ci] = chosen;
                if (model.centroids) points.copy_row(chosen, model.centroids->row(ci).data());
            }
        }

        sizes[ci] = settle_size(sizes[cj] * 0.5);
        sizes[cj] = add_sizes(sizes[cj], -sizes[ci]);
    }
}

void normalize_centroids(Model& model) {
    if (model.euclidean || !model.centroids) return;
    Matrix& centroids = *model.centroids;
    for (std::size_t c = 0; c < centroids.rows(); ++c) normalize_row(centroids.row(c));
}

std::optional<ClusteringError> refuse_training(const Model& model, const PointView& points,
                                               const ExecutionContext& context) {
    if (model.trained) return ClusteringError::already_trained();
    if (points.rows < model.n_clusters) return ClusteringError::too_few_points(points.rows, model.n_clusters);
    if (const std::optional<Matrix>& initial = model.initial_centroids) {
        if (initial->rows() != model.n_clusters) raise_fault("Initial centroids for another cluster count");
        if (initial->cols() != points.cols) return ClusteringError::dimension_mismatch(initial->cols(), points.cols);
        if (model.use_medoids) {
            return ClusteringError::invalid_parameter(
                "Initial centroids are not training rows, so they cannot be medoids");
        }
    } else if (model.hierarchical && model.use_medoids) {
        return ClusteringError::invalid_parameter(
            "A hierarchical start gives centroids that are not training rows, so they cannot be medoids");
    }
    // Per point: its label, its place in the shuffle, its norm, and its entry
    // in the result lists, here and in the Python lists made from them.
    context.require_memory(checked_product(points.rows, 36));
    const ValueBounds bounds = model.n_clusters > 1 ? ValueBounds::clusterable : ValueBounds::finite;
    return check_values(points, bounds, context);
}

Outcome<ClusterLists> train(Model& model, const PointView& points, const ExecutionContext& context,
                            const TrainingOptions& options) {
    if (std::optional<ClusteringError> refused = refuse_training(model, points, context)) return *refused;
    return run_training(model, points, context, options);
}

Outcome<ClusterLists> run_training(Model& model, const PointView& points, const ExecutionContext& context,
                                   const TrainingOptions& options) {
    ThreadRandom& random = context.generator();

    const std::size_t k = model.n_clusters;
    model.labels.assign(points.rows, 0);
    model.cluster_sizes.assign(k, 0.0);
    // An interrupted medoid run leaves its picks behind; a training without
    // medoids must not keep them, or switching medoid mode on afterwards
    // would show rows of other data. A medoid training picks its own below.
    model.medoid_indices.clear();
    const TrainingState state = TrainingState::start(points, model.euclidean, context);
    LabelSteps label_steps(model, state, context, options.label_steps, options.label_shares, options.screening);

    if (model.initial_centroids) {
        model.centroids = *model.initial_centroids;
        label_steps.start_from_means();
    } else if (model.hierarchical && coarse_clusters(k) > 0) {
        model.centroids = hierarchical_start(model, points, context, options);
        label_steps.start_from_means();
    } else {
        choose_initial_centroids(model, points, context);
        normalize_centroids(model);
    }

    // An iteration that repairs nothing and ends with the centroids it
    // started from is a fixed point: the label step is a function of the
    // centroids, the update a function of the labels, and no draw happens,
    // so every later iteration, and the final relabelling, would repeat it
    // bit for bit. Their work is skipped; their lines and reports are not.
    const std::uint64_t iterations = model.iterations;
    Matrix previous;
    bool settled = false;
    std::optional<float> settled_cost;
    for (std::uint64_t round = 1; round <= iterations; ++round) {
        if (!settled) {
            previous = *model.centroids;
            label_steps.update_labels(model, state, context);
            if (model.use_medoids) {
                update_medoids(model, points, context);
            } else {
                update_centroids(model, points, context);
            }
            const bool repairs = std::find(model.cluster_sizes.begin(), model.cluster_sizes.end(), 0.0) !=
                                 model.cluster_sizes.end();
            repair_empty_clusters(model, state, random);
            normalize_centroids(model);
            settled = !repairs && same_bits(previous, *model.centroids);
        }
        // The iterations left would only repeat this one; with nobody to see
        // their lines or reports, they need not even be counted out.
        if (settled && !model.verbose && !context.wants_progress()) break;
        if (model.verbose || context.wants_progress()) {
            const float cost = settled_cost ? *settled_cost : training_cost(model, points, &context);
            if (settled) settled_cost = cost;
            if (model.verbose) {
                write_line("Iteration " + std::to_string(round) + "/" + std::to_string(iterations) +
                           " | Cost: " + format_fixed(cost, 6) + "\n");
            }
            context.report(ProgressPhase::iteration, round, cost);
        }
        context.check_stop();
    }

    if (!settled) label_steps.update_labels(model, state, context);
    if (model.balanced) balance_clusters(model, state, context);

    ClusterLists lists = group_by_cluster(std::span<const std::uint64_t>(model.labels), 1, k);
    model.trained = true;
    return lists;
}

}  // namespace quorla::engine
