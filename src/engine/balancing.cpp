// The balancing phase.
//
// Points are visited one at a time in index order; each is taken out of its
// cluster (which keeps 0.15 of it while it is placed) and put where distance
// plus size_penalty x size is lowest. Every single-precision step runs in the
// order the results depend on: the size drift of the 0.15 share is visible in
// the sizes and, through them, in later choices.
//
// Three cases that ordinary data reaches, and that would otherwise end in
// NaN or in a phase that never stops, are made sound here:
//  - A cluster about to lose its only member keeps its centroid row instead
//    of dividing its (empty) sum by zero. Exact member counts decide this,
//    since float sizes drift.
//  - A pass in which no point sets a critical penalty, or a penalty that has
//    grown past the float range, leaves size_penalty infinite. Costs are then
//    compared as the limit of a growing penalty: smaller size first, then
//    distance, then cluster index. One such pass leaves every cluster within
//    one point of the smallest (proof at choose_by_size), so the phase ends.
//  - Hence the number of passes is bounded: the penalty grows by more than
//    2.5x per pass from the first positive critical ratio (at least the
//    smallest positive float), so after at most about 210 passes it is
//    infinite, and one more pass meets any tolerance of 1 or more.
#include "engine/balancing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/cluster_size.hpp"
#include "engine/cost.hpp"
#include "engine/dot.hpp"
#include "engine/fault.hpp"
#include "engine/medoids.hpp"
#include "engine/member_sums.hpp"
#include "engine/progress.hpp"

namespace quorla::engine {
namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();
// The share of a visited point that its old cluster keeps while the point
// is placed (bit pattern 3E19999A). The old cluster then weighs 0.15 of a
// point more than the others would see it without the point: a cluster one
// point smaller still counts as smaller, but the critical ratio of a move
// to it divides by 0.15, so such a move, which only swaps two sizes, needs
// a much larger penalty than a move to a cluster that is really smaller.
constexpr float kept_share = 0.15f;
// From the smallest critical penalty of a pass to the next pass's penalty.
// Above 1, so that the point that set the smallest critical value prefers
// the smaller cluster in the next pass if the sizes stayed; and a fixed
// factor, so that the penalty grows geometrically and the number of passes
// stays bounded (see above).
constexpr float penalty_growth = 2.5f;

struct SizeRange {
    double min = infinity;
    double max = -infinity;

    double spread() const { return add_sizes(max, -min); }
};

// Folds that pass over NaN entries, like fmin/fmax.
SizeRange size_range(const std::vector<double>& sizes) {
    SizeRange range;
    for (double size : sizes) {
        range.min = std::fmin(range.min, size);
        range.max = std::fmax(range.max, size);
    }
    return range;
}

}  // namespace

BalancingPhase::BalancingPhase(Model& model, const TrainingState& state, KernelLevel level)
    : model_(model), state_(state), points_(state.points), k_(model.n_clusters), dim_(state.points.cols) {
    const PointView& points = state.points;
    const std::optional<std::vector<float>>& point_norms = state.point_norms;
    if (!model.centroids) raise_fault("Balancing without a centroid matrix");
    if (model.centroids->cols() != dim_) raise_fault("Centroid and point dimensions differ");
    if (model.centroids->rows() < k_) raise_fault("Fewer centroid rows than clusters");
    if (model.cluster_sizes.size() != k_) raise_fault("Cluster sizes do not match the cluster count");
    if (model.euclidean && (!point_norms || point_norms->size() != points.rows)) {
        raise_fault("Point norms missing in Euclidean mode");
    }
    if (model.labels.size() != points.rows) raise_fault("Labels do not match the point count");
    sums_ = member_sums(points, model.labels, k_, ExecutionContext{});
    counts_.assign(k_, 0);
    for (std::uint64_t c : model.labels) ++counts_[c];
    pending_.resize(k_);
    pending_moves_.assign(k_, 0);
    if (model.use_medoids) members_ = group_by_cluster(std::span<const std::uint64_t>(model.labels), 1, k_);
    panels_.emplace(*model.centroids, k_, model.euclidean, level);
    row_.resize(dim_);
    distances_.resize(k_);
    costs_.resize(k_);
}

// One visit of every point, in index order. Returns the smallest
// critical penalty above the current one (+inf if none).
float BalancingPhase::pass(float size_penalty, const ExecutionContext* context) {
    float next_penalty = infinity;
    for (std::uint64_t i = 0; i < points_.rows; ++i) {
        if (context != nullptr && i % 1024 == 0) context->check_stop();
        next_penalty = visit(i, size_penalty, next_penalty);
    }
    return next_penalty;
}

float BalancingPhase::visit(std::uint64_t i, float size_penalty, float next_penalty) {
    std::vector<double>& sizes = model_.cluster_sizes;
    if (i >= model_.labels.size()) raise_fault("Point index beyond the labels");
    const std::uint64_t c = model_.labels[i];
    if (c >= k_) raise_fault("Label beyond the cluster count");
    points_.copy_row(i, row_.data());
    const double s = sizes[c];

    add_point(c, i, -1.0f);
    --counts_[c];
    if (s > 0.0) refresh_after_removal(c, s);
    sizes[c] = add_sizes(add_sizes(sizes[c], -1.0), kept_share);  // c still counts 0.15 of the point

    compute_distances(i);
    const std::size_t b = std::isinf(size_penalty) ? choose_by_size() : choose_by_cost(size_penalty);
    next_penalty = critical_penalty(c, size_penalty, next_penalty);  // before the point is placed

    sizes[b] = add_sizes(sizes[b], 1.0);
    add_point(b, i, 1.0f);
    ++counts_[b];
    refresh_after_addition(b);
    sizes[c] = add_sizes(sizes[c], -kept_share);
    if (model_.use_medoids && b != c) move_member(i, c, b);
    model_.labels[i] = b;
    return next_penalty;
}

void BalancingPhase::final_medoid_pass() {
    for (std::uint64_t j = 0; j < k_; ++j) {
        if (model_.cluster_sizes[j] == 0.0) continue;
        update_cluster_medoid(model_, points_, j, members_[j]);
    }
}

// A cluster's running sum is its row of sums_ while the cluster has never
// had more than sum_block members, so that such clusters see exactly the
// single-precision steps of one running total. Past that, moves go into a
// pending row that is folded into the sum every sum_block moves: the blocked
// summation of member_sums.hpp, which keeps one large cluster's sum from
// drifting away from its members over many passes.
void BalancingPhase::add_point(std::uint64_t cluster, std::uint64_t i, float weight) {
    std::vector<float>& pending = pending_[cluster];
    if (pending.empty() && counts_[cluster] > sum_block) pending.assign(dim_, 0.0f);
    float* target = pending.empty() ? sums_.row(cluster).data() : pending.data();
    if (weight == 1.0f) {
        for (std::size_t j = 0; j < dim_; ++j) target[j] = target[j] + points_.at(i, j);
    } else {
        for (std::size_t j = 0; j < dim_; ++j) target[j] = target[j] + weight * points_.at(i, j);
    }
    if (!pending.empty() && ++pending_moves_[cluster] == sum_block) {
        std::span<float> sum = sums_.row(cluster);
        for (std::size_t j = 0; j < dim_; ++j) {
            sum[j] = sum[j] + pending[j];
            pending[j] = 0.0f;
        }
        pending_moves_[cluster] = 0;
    }
}

// New centroid row = sum / divisor, unit-scaled in inner-product mode.
void BalancingPhase::set_mean_row(std::uint64_t cluster, double divisor) {
    std::span<const float> sum = sums_.row(cluster);
    const std::vector<float>& pending = pending_[cluster];
    std::span<float> row = model_.centroids->row(cluster);
    if (pending.empty()) {
        for (std::size_t j = 0; j < dim_; ++j) row[j] = divide_by_size(sum[j], divisor);
    } else {
        for (std::size_t j = 0; j < dim_; ++j) row[j] = divide_by_size(sum[j] + pending[j], divisor);
    }
    if (!model_.euclidean) normalize_row(row);
    // Only the rows that changed since the last point can differ, so keeping
    // the packed rows and norms current gives the numbers a full
    // recomputation would.
    panels_->refresh_row(cluster);
}

void BalancingPhase::refresh_after_removal(std::uint64_t c, double s) {
    if (model_.use_medoids) {
        // The visited point is still labelled c: still a candidate.
        update_cluster_medoid(model_, points_, c, members_[c]);
        panels_->refresh_row(c);
        return;
    }
    // A cluster whose last member is leaving has no mean; its row stays
    // as it was (dividing the empty sum by s - 1 = 0 would put NaN in
    // the next comparison).
    if (counts_[c] == 0) return;
    set_mean_row(c, add_sizes(s, -1.0));
}

void BalancingPhase::refresh_after_addition(std::uint64_t b) {
    if (model_.use_medoids) {
        // The point joins b's members only after this update.
        update_cluster_medoid(model_, points_, b, members_[b]);
        panels_->refresh_row(b);
        return;
    }
    set_mean_row(b, model_.cluster_sizes[b]);
}

void BalancingPhase::compute_distances(std::uint64_t i) {
    const float point_norm = model_.euclidean ? (*state_.point_norms)[i] : 0.0f;
    centroid_distances(*panels_, row_, point_norm, distances_);
}

std::size_t BalancingPhase::choose_by_cost(float size_penalty) {
    const std::vector<double>& sizes = model_.cluster_sizes;
    for (std::size_t j = 0; j < k_; ++j) {
        const float penalty = scale_size(sizes[j], size_penalty);
        // A finite penalty so large that size x penalty overflows would
        // tie every cluster at +inf whatever its size; it means the
        // same as the infinite penalty and is treated as such.
        if (std::isinf(penalty)) return choose_by_size();
        costs_[j] = distances_[j] + penalty;
    }
    std::size_t best = 0;
    for (std::size_t j = 1; j < k_; ++j) {
        if (std::isnan(costs_[best]) || std::isnan(costs_[j])) raise_nan_fault();
        if (costs_[best] > costs_[j]) best = j;
    }
    return best;
}

// The limit of a growing penalty: the smallest size wins, distance
// breaks ties of size, the lower index ties of both. A point leaves its
// cluster c only for a cluster smaller than c's size less 0.85, so every
// visit either leaves c no larger than the smallest other cluster or
// moves a point from c to a smallest cluster. The smallest size never
// decreases, and a cluster only grows while it is a smallest one; so
// once its unvisited points are used up it is at most one above the
// final minimum, and a cluster with unvisited points left stopped losing
// them only because it was no larger than the minimum. After one pass
// the spread is at most 1 (plus float drift far below the 0.5 margin).
std::size_t BalancingPhase::choose_by_size() {
    const std::vector<double>& sizes = model_.cluster_sizes;
    std::size_t best = 0;
    for (std::size_t j = 1; j < k_; ++j) {
        if (std::isnan(distances_[best]) || std::isnan(distances_[j])) raise_nan_fault();
        if (sizes[j] < sizes[best] || (sizes[j] == sizes[best] && distances_[j] < distances_[best])) best = j;
    }
    return best;
}

float BalancingPhase::critical_penalty(std::uint64_t c, float size_penalty, float next_penalty) const {
    const std::vector<double>& sizes = model_.cluster_sizes;
    const double own_size = sizes[c];
    float smallest = infinity;
    for (std::size_t j = 0; j < k_; ++j) {
        const double gap = add_sizes(own_size, -sizes[j]);
        if (own_size > sizes[j] && gap != 0.0) {
            const float ratio = divide_by_size(distances_[j] - distances_[c], gap);
            if (smallest > ratio) smallest = ratio;  // NaN never replaces
        }
    }
    return (size_penalty < smallest && smallest < next_penalty) ? smallest : next_penalty;
}

void BalancingPhase::move_member(std::uint64_t i, std::uint64_t from, std::uint64_t to) {
    std::vector<std::uint64_t>& source = members_[from];
    source.erase(std::lower_bound(source.begin(), source.end(), i));
    std::vector<std::uint64_t>& target = members_[to];
    target.insert(std::lower_bound(target.begin(), target.end(), i), i);
}

void balance_clusters(Model& model, const TrainingState& state, const ExecutionContext& context) {
    const PointView& points = state.points;
    if (model.verbose) write_line("Balancing clusters...\n");
    BalancingPhase balancer(model, state, context.level);

    SizeRange range = size_range(model.cluster_sizes);
    float size_penalty = 0.0f;
    std::int32_t passes = 0;
    const float limit = static_cast<float>(model.max_balance_diff) + 0.5f;
    while (range.spread() > limit) {  // false for NaN as well
        const float next_penalty = balancer.pass(size_penalty, &context);
        range = size_range(model.cluster_sizes);
        size_penalty = next_penalty * penalty_growth;
        ++passes;
        if (model.verbose || context.wants_progress()) {
            const float cost = training_cost(model, points, &context);
            if (model.verbose) {
                write_line("Balance iteration " + std::to_string(passes) + " | Cost: " + format_fixed(cost, 6) +
                           " | Max diff: " + format_fixed(range.spread(), 2) + "\n");
            }
            context.report(ProgressPhase::balancing, static_cast<std::uint64_t>(passes), cost);
        }
    }
    if (model.use_medoids) balancer.final_medoid_pass();
}

}  // namespace quorla::engine
