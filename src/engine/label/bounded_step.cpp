// The bounded label step: the bound test of each point, and the step that
// moves bounds, tests every point and hands what they cannot settle to the
// gathered scorer. The error arithmetic is in bound_arithmetic.hpp.
#include "engine/label/bounded_step.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/bound_arithmetic.hpp"
#include "engine/label/gathered_scorer.hpp"
#include "engine/label/screened_refresh.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {
namespace {

using bounds::infinity;
using bounds::outward_margin;
using bounds::round_up;

constexpr std::size_t max_groups = 64;  // a point's groups to recompute fit one 64-bit mask
constexpr std::size_t piece_points = 4096;
// A screened refresh holds all keys of a screen tile per worker:
// screen_tile_rows x k floats, 12 MB at this many clusters.
constexpr std::size_t most_screened_clusters = 65536;

// Splits `members` (cluster indices) into runs of `size` that are close
// together: each split cuts along the line through two far-apart members,
// at the count that keeps both sides whole runs.
void split_groups(const Matrix& centroids, std::span<std::uint32_t> members, std::size_t size,
                  std::vector<double>& projection) {
    if (members.size() <= size) return;
    const std::size_t dim = centroids.cols();
    const std::size_t runs = (members.size() + size - 1) / size;
    const std::size_t left = runs / 2 * size;
    auto farthest_from = [&](const float* from) {
        std::uint32_t best = members[0];
        double best_distance = -1.0;
        for (std::uint32_t m : members) {
            const double distance = bounds::distance_between(centroids.row(m).data(), from, dim);
            if (distance > best_distance) {
                best_distance = distance;
                best = m;
            }
        }
        return best;
    };
    const std::uint32_t a = farthest_from(centroids.row(members[0]).data());
    const std::uint32_t b = farthest_from(centroids.row(a).data());
    const float* pa = centroids.row(a).data();
    const float* pb = centroids.row(b).data();
    for (std::uint32_t m : members) {
        const float* c = centroids.row(m).data();
        double along = 0.0;
        for (std::size_t l = 0; l < dim; ++l) along += (static_cast<double>(c[l]) - pa[l]) * (static_cast<double>(pb[l]) - pa[l]);
        projection[m] = along;
    }
    auto closer_to_a = [&](std::uint32_t x, std::uint32_t y) {
        return projection[x] != projection[y] ? projection[x] < projection[y] : x < y;
    };
    std::nth_element(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(left), members.end(), closer_to_a);
    split_groups(centroids, members.first(left), size, projection);
    split_groups(centroids, members.subspan(left), size, projection);
}

}  // namespace

std::size_t BoundedStep::group_size_for(std::size_t n_clusters, std::size_t dim) {
    if (n_clusters == 0) return 0;
    const std::size_t per_point_bytes = std::max<std::size_t>(dim, 64);
    const std::size_t cap = std::min(max_groups, per_point_bytes / sizeof(float) - 2);
    // About ten centroids a group, in whole panels.
    const std::size_t wanted = std::min(cap, std::max<std::size_t>(1, (n_clusters + 9) / 10));
    const std::size_t width = tiles::panel_width;
    const std::size_t size = ((n_clusters + wanted - 1) / wanted + width - 1) / width * width;
    return std::min(size, n_clusters);
}

std::size_t BoundedStep::group_count_for(std::size_t n_clusters, std::size_t dim) {
    const std::size_t size = group_size_for(n_clusters, dim);
    return size == 0 ? 0 : (n_clusters + size - 1) / size;
}

BoundedStep::BoundedStep(std::size_t n_clusters, std::size_t dim, bool euclidean)
    : k_(n_clusters),
      dim_(dim),
      euclidean_(euclidean),
      group_size_(group_size_for(n_clusters, dim)),
      group_count_(group_count_for(n_clusters, dim)) {
    if (k_ < 2) raise_fault("Bounded label step for fewer than two clusters");
}

void BoundedStep::choose_groups(const Matrix& centroids) {
    order_.resize(k_);
    std::iota(order_.begin(), order_.end(), std::uint32_t{0});
    std::vector<double> projection(k_);
    split_groups(centroids, order_, group_size_, projection);
    group_of_.assign(k_, 0);
    for (std::size_t g = 0; g < group_count_; ++g) {
        auto begin = order_.begin() + static_cast<std::ptrdiff_t>(g * group_size_);
        auto end = order_.begin() + static_cast<std::ptrdiff_t>(std::min(k_, (g + 1) * group_size_));
        for (auto it = begin; it != end; ++it) group_of_[*it] = static_cast<std::uint32_t>(g);
    }
    position_.resize(k_);
    moves_.resize(k_);
}

// Farthest mover first within each group; equal drifts, and so every group
// at a refresh, in ascending cluster order, where a kernel's tie rule over
// positions is the rule over clusters.
void BoundedStep::order_by_drift(const Drift& drift) {
    std::vector<float> drifted(k_);
    for (std::size_t j = 0; j < k_; ++j) drifted[j] = round_up(drift.per_cluster[j]);
    for (std::size_t g = 0; g < group_count_; ++g) {
        auto begin = order_.begin() + static_cast<std::ptrdiff_t>(g * group_size_);
        auto end = order_.begin() + static_cast<std::ptrdiff_t>(std::min(k_, (g + 1) * group_size_));
        std::sort(begin, end, [&](std::uint32_t a, std::uint32_t b) {
            return drifted[a] != drifted[b] ? drifted[a] > drifted[b] : a < b;
        });
    }
    for (std::size_t p = 0; p < k_; ++p) {
        position_[order_[p]] = static_cast<std::uint32_t>(p);
        moves_[p] = drifted[order_[p]];
    }
}

void BoundedStep::set_up(const Matrix& centroids, const PointView& points, const ExecutionContext& context) {
    choose_groups(centroids);
    const std::uint64_t n = points.rows;
    bounds_.assign(checked_product(n, group_count_ + 1), 0.0f);
    lengths_.resize(n);
    context.for_each_row_block(n, dim_, [&](std::uint64_t first, std::uint64_t last) {
        std::vector<float> row(dim_);
        for (std::uint64_t i = first; i < last; ++i) {
            points.copy_row(i, row.data());
            lengths_[i] = round_up(bounds::length_of(row.data(), dim_));
        }
    });
}

BoundedStep::Drift BoundedStep::measure_drift(const Matrix& centroids, bool refresh) const {
    Drift drift{std::vector<double>(k_, 0.0), std::vector<float>(group_count_), 0.0};
    std::vector<double> group_drift(group_count_, 0.0);
    for (std::size_t j = 0; j < k_; ++j) {
        drift.longest = std::max(drift.longest, bounds::length_of(centroids.row(j).data(), dim_));
        if (!refresh) {
            drift.per_cluster[j] = bounds::distance_between(centroids.row(j).data(), previous_.row(j).data(), dim_);
            group_drift[group_of_[j]] = std::max(group_drift[group_of_[j]], drift.per_cluster[j]);
        }
    }
    for (std::size_t g = 0; g < group_count_; ++g) drift.per_group[g] = round_up(group_drift[g]);
    return drift;
}

Matrix BoundedStep::grouped_centroids(const Matrix& centroids) const {
    Matrix grouped(k_, dim_);
    for (std::size_t p = 0; p < k_; ++p) {
        std::span<const float> row = centroids.row(order_[p]);
        std::copy(row.begin(), row.end(), grouped.row(p).begin());
    }
    return grouped;
}

// Moves point i's bounds by how far the centroids moved and tests them:
// the groups that may hold a centroid closer than its own, as a mask (its
// own group included), or 0 when the bounds prove its label. Tightens the
// own bound with a computed distance before giving up on the proof. For
// each group in the mask, spans[g] gets the length of the prefix to score,
// and the group's bound what the rest of it still proves.
std::uint64_t BoundedStep::test_point(std::uint64_t i, std::uint64_t label, const Matrix& centroids,
                                      const PointView& points, const Drift& drift, GatherBatch& batch,
                                      std::uint32_t* spans) {
    const std::size_t G = group_count_;
    const double length = static_cast<double>(lengths_[i]);
    const double scale = euclidean_ ? 1.0 : length;
    float* own = bounds_.data() + i * (G + 1);
    double upper = static_cast<double>(own[0]) + scale * drift.per_cluster[label];
    const double error = bounds::key_error(euclidean_, dim_, length, drift.longest);
    ++batch.work.tested;
    // A bound moves down by a drift in single precision: fl(b - m) is
    // within u = 2^-24 of b - m, so taking 4u of its magnitude off
    // (rounded, within u again) leaves it below b - m. Magnitudes too small
    // for that are far inside E's absolute term.
    const float length_up = static_cast<float>(scale);
    auto moved = [&](float before, float drifted) {
        const float move = euclidean_ ? drifted : length_up * drifted * (1.0f + outward_margin);
        float lower = before - move;
        lower -= std::fabs(lower) * outward_margin;
        return euclidean_ ? std::max(0.0f, lower) : lower;
    };
    float before[max_groups];
    float lowest[4] = {infinity, infinity, infinity, infinity};
    for (std::size_t g = 0; g < G; ++g) {
        before[g] = own[1 + g];
        const float lower = moved(before[g], drift.per_group[g]);
        own[1 + g] = lower;
        lowest[g % 4] = std::min(lowest[g % 4], lower);
    }
    const float least = std::min(std::min(lowest[0], lowest[1]), std::min(lowest[2], lowest[3]));
    std::uint64_t mask = 0;
    if (!(least > bounds::proof_threshold(euclidean_, upper, error))) {
        // The own centroid's distance, tightened.
        const float* x = points.row_start(i);
        if (!points.row_contiguous()) {
            points.copy_row(i, batch.row.data());
            x = batch.row.data();
        }
        const float* c = centroids.row(label).data();
        upper = euclidean_ ? bounds::distance_above(x, c, dim_) : bounds::score_above(x, c, dim_, length, drift.longest);
        ++batch.work.tightened;
        const float threshold = bounds::proof_threshold(euclidean_, upper, error);
        const std::size_t width = std::min(tiles::panel_width, group_size_);
        for (std::size_t g = 0; g < G; ++g) {
            if (own[1 + g] > threshold) continue;
            mask |= std::uint64_t{1} << g;
            // Moved by its own drift, each centroid's bound rises along the
            // group; the prefix up to the first that proves it, in whole
            // panels, is scored, and that one's bound holds for the rest.
            const std::size_t first = g * group_size_;
            const std::size_t size = std::min(k_, first + group_size_) - first;
            const float* group_moves = moves_.data() + first;
            const std::size_t needed = static_cast<std::size_t>(
                std::partition_point(group_moves, group_moves + size,
                                     [&](float drifted) { return !(moved(before[g], drifted) > threshold); }) -
                group_moves);
            const std::size_t span = std::min(size, (needed + width - 1) / width * width);
            spans[g] = static_cast<std::uint32_t>(span);
            if (span < size) own[1 + g] = moved(before[g], group_moves[span]);
        }
        // The own group is always in the mask: its bound leaves the own
        // centroid out, and the scorer scores that one apart if its
        // prefix does not reach it.
        const std::size_t own_group = group_of_[label];
        if (mask != 0 && !(mask >> own_group & 1u)) {
            mask |= std::uint64_t{1} << own_group;
            spans[own_group] = 0;
        }
    }
    own[0] = round_up(upper);
    return mask;
}

// Labels and bounds from the screen; the points it leaves are gathered
// against every group, as a refresh without it gathers them all.
void BoundedStep::refresh_screened(const ScoringFrame& frame, const Matrix& grouped, GatheredScorer& scorer,
                                   const ExecutionContext& context) {
    ScreenedRefresh screened = basis_ != nullptr ? screened_refresh(frame, grouped, *basis_, context)
                                                 : screened_refresh(frame, grouped, *screen_, context);
    screen_work_ = screened.work;
    const std::vector<std::uint64_t>& wide = screened.wide;
    const std::size_t pieces = (wide.size() + piece_points - 1) / piece_points;
    context.for_each_piece(pieces, 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        GatherBatch& batch = scorer.batch(worker);
        const std::size_t last = std::min(wide.size(), end * piece_points);
        for (std::size_t w = begin * piece_points; w < last; ++w) scorer.gather(batch, wide[w], scorer.all_groups());
    });
}

// Every point tested against its moved bounds, or on a refresh gathered
// whole; those the bounds cannot settle are gathered with the groups they
// need.
void BoundedStep::test_points(bool refresh, const ScoringFrame& frame, const Matrix& centroids, const Drift& drift,
                              GatheredScorer& scorer, const ExecutionContext& context) {
    const std::uint64_t n = frame.points->rows;
    const std::size_t pieces = static_cast<std::size_t>((n + piece_points - 1) / piece_points);
    context.for_each_piece(pieces, 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        GatherBatch& batch = scorer.batch(worker);
        std::uint32_t spans[max_groups] = {};
        const std::uint64_t last = std::min<std::uint64_t>(n, end * piece_points);
        for (std::uint64_t i = begin * piece_points; i < last; ++i) {
            if (refresh) {
                scorer.gather(batch, i, scorer.all_groups());
                continue;
            }
            const std::uint64_t label = frame.labels[i];
            if (label >= k_) raise_fault("Label beyond the cluster count");
            const std::uint64_t mask = test_point(i, label, centroids, *frame.points, drift, batch, spans);
            if (mask != 0) scorer.gather(batch, i, mask, spans);
        }
    });
}

void BoundedStep::update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) {
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    const PointView& points = state.points;
    if (centroids.rows() != k_ || centroids.cols() != dim_ || points.cols != dim_) {
        raise_fault("Centroids do not match the label bounds");
    }
    if (euclidean_ && !state.point_norms) raise_fault("Point norms missing in Euclidean mode");
    if (!valid_) set_up(centroids, points, context);
    const bool refresh = !valid_ || refresh_;
    refresh_ = false;
    valid_ = false;  // until this step has finished

    const Drift drift = measure_drift(centroids, refresh);
    order_by_drift(drift);
    const Matrix grouped = grouped_centroids(centroids);
    const CentroidPanels panels(grouped, k_, euclidean_, context.level);
    std::vector<tiles::Panels> group_panels;
    group_panels.reserve(group_count_);
    for (std::size_t g = 0; g < group_count_; ++g) {
        const std::size_t first = g * group_size_;
        group_panels.push_back(panels.range(first, std::min(k_, first + group_size_) - first));
    }

    std::vector<std::uint64_t> labels(model.labels);
    if (labels.size() != points.rows) raise_fault("Labels do not match the point count");
    const ScoringFrame frame{&points,    euclidean_ ? &*state.point_norms : nullptr,
                             &panels,    group_panels,
                             order_,     position_,
                             group_size_, !refresh,
                             euclidean_, bounds_,
                             lengths_,   drift.longest,
                             labels};
    GatheredScorer scorer(frame, context.workers());

    screened_last_ = refresh && (screen_ || basis_ != nullptr) && k_ <= most_screened_clusters;
    if (screened_last_) {
        refresh_screened(frame, grouped, scorer, context);
    } else {
        test_points(refresh, frame, centroids, drift, scorer, context);
    }
    // A worker's batch collects over all the pieces it takes; what is left
    // in the batches at the end is flushed here.
    context.for_each_piece(scorer.workers(), 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t b = begin; b < end; ++b) scorer.flush(scorer.batch(b));
    });

    work_ = scorer.work();
    if (screened_last_) work_.distances += screen_work_.candidates;
    set_labels(model, std::move(labels));
    previous_ = centroids;
    valid_ = true;
}

}  // namespace quorla::engine
