// The label-step policy and its cost model.
//
// Costs are counted in multiply-adds of a full step: a full step is
// n x k x d of them. A bounded step's work is priced from its own counts:
//   - each key computed in a gathered tile, `gathered_key` times d (the
//     nearest-two kernel on packed gathered rows),
//   - each point row packed into a gathered tile, `packed_row` times d
//     (the row is fetched from memory once per group pass, and a pass over
//     one group spreads the packing over few centroids),
//   - each nearest-two result taken, one per point and group scored,
//     `group_result` (the lower bounds from its keys and the running choice),
//   - each point whose bounds are moved and tested, `per_group` for each
//     group bound plus `per_point` (its drift, its error, the proof),
//   - each own-centroid distance computed to tighten a bound,
//     `tightened_key` times d (one row against one centroid, in double
//     precision at the end, with no register reuse).
// Nothing here reads a clock, so the same seeded training takes the same
// steps run after run; the constants only decide where the line between
// paying and not paying falls, and were measured on one machine (below).
#include "engine/label/step_policy.hpp"

#include <algorithm>

#include "engine/core/checked.hpp"

namespace quorla::engine {
namespace {

// Fitted (least squares on relative error, all constants non-negative) to
// the per-step times of forced bounded trainings, each step the faster of
// two runs (the path is the same in both), against the data set's fastest
// full step per multiply-add; bench/bench_bounds.cpp on AMD EPYC (lscpu
// model name; 2 threads, the AVX-512 level it detects), 10 iterations:
// 45,056 points of 384-d Gaussian blobs (1,024 centres, two spreads) at
// k = 256, 512 and 1,024, Euclidean and inner product; standard-normal
// data at 64, 96, 128 and 384 dimensions, k = 256 to 1,024. Over 82
// bounded steps, from a few hundredths of a full step to nearly two, the
// fit is within 8% (root mean square) of the measured times; the worst,
// 28% low, are the smallest steps, where the per-step set-up this leaves
// out weighs most. The level is fixed on one machine; at the scalar level
// a full step's multiply-add is dearer, so these overstate the bounds'
// overhead there and bounds stop somewhat early.
constexpr double gathered_key = 0.92;
constexpr double packed_row = 16.0;
constexpr double group_result = 850.0;
constexpr double per_group = 140.0;
constexpr double per_point = 800.0;
constexpr double tightened_key = 63.0;

// The first two steps run the fused kernel and set no bounds: the initial
// centroids are sample points, and the first mean update moves them so far
// that bounds set before it would prove almost nothing after it.
constexpr std::uint64_t plain_steps = 2;
// A bounded step that computes more than this share of the distances costs
// more than a full one (it tests every point, then gathers most of them).
constexpr double dense_share = 0.85;
constexpr std::uint64_t max_backoff = 8;
// Below this many dimensions a group of 16 centroids costs less to score
// than the bookkeeping that could skip it.
constexpr std::size_t least_bounded_dim = 32;
// A few points are scored in less time than the bounds' set-up, which
// copies the centroids twice each step.
constexpr std::uint64_t least_bounded_points = 4096;
constexpr std::uint64_t least_points_per_cluster = 8;

}  // namespace

StepPolicy::StepPolicy(LabelStepMode mode, const Shape& shape, std::uint64_t memory_bytes)
    : shape_(shape), plain_(plain_steps) {
    if (mode == LabelStepMode::full || shape.clusters < 2 || shape.points == 0) return;
    adaptive_ = mode == LabelStepMode::adaptive;
    if (adaptive_ && (shape.dim < least_bounded_dim || shape.points < least_bounded_points ||
                      shape.points < checked_product(shape.clusters, least_points_per_cluster))) {
        return;
    }
    const std::uint64_t floats = checked_product(shape.points, checked_sum(shape.groups, 2));
    if (checked_product(floats, sizeof(float)) > memory_bytes / 4) return;
    enabled_ = true;
}

StepKind StepPolicy::next() const {
    if (!enabled_ || steps_ < plain_) return StepKind::full;
    // Every bound set afresh while a bounded step would cost more: a
    // refresh costs the arithmetic of a full step (a screened one, through
    // the screen), where a bounded step would first test each point and
    // then gather most of them.
    if (!bounds_set_ || refreshes_left_ > 0) return StepKind::refresh;
    return StepKind::bounded;
}

double StepPolicy::full_cost() const {
    return static_cast<double>(shape_.points) * static_cast<double>(shape_.clusters) * static_cast<double>(shape_.dim);
}

double StepPolicy::bounded_cost(const BoundedWork& work) const {
    const double dim = static_cast<double>(shape_.dim);
    const double per_test = per_group * static_cast<double>(shape_.groups) + per_point;
    return static_cast<double>(work.distances) * gathered_key * dim +
           static_cast<double>(work.packed) * packed_row * dim +
           static_cast<double>(work.group_results) * group_result + static_cast<double>(work.tested) * per_test +
           static_cast<double>(work.tightened) * tightened_key * dim;
}

void StepPolicy::screened_refresh_done(double cost) {
    ++steps_;
    bounds_set_ = true;
    refresh_cost_ = cost;
    if (refreshes_left_ > 0) --refreshes_left_;
}

void StepPolicy::bounded_done(StepKind kind, const BoundedWork& work) {
    ++steps_;
    bounds_set_ = true;
    if (kind == StepKind::refresh && refreshes_left_ > 0) --refreshes_left_;
    if (screened_) {
        // A screened refresh sets every bound for about what a screened full
        // step costs, so a bounded step that cost more than the last one did
        // is followed by refreshes, more of them each time it happens again.
        // No total ends the bounds: the backing off keeps what costlier
        // steps lose small, and bounded steps late in a training, when the
        // centroids barely move, are the ones that pay.
        if (kind == StepKind::bounded) back_off(bounded_cost(work) > refresh_cost_ * full_cost());
        return;
    }
    // Once the bounded steps have cost more than a full step in all, beyond
    // what full steps would have cost (data the bounds cannot settle), the
    // bounds end for this training; steps that saved work make up for
    // costlier ones.
    excess_ += bounded_cost(work) - full_cost();
    if (adaptive_ && excess_ > full_cost()) enabled_ = false;
    if (kind == StepKind::bounded) {
        // A bounded step that computed most distances is followed by steps
        // that compute all of them.
        const double possible = static_cast<double>(shape_.points) * static_cast<double>(shape_.clusters);
        back_off(static_cast<double>(work.distances) > dense_share * possible);
    }
}

void StepPolicy::back_off(bool costly) {
    if (!costly) {
        backoff_ = 1;
        return;
    }
    refreshes_left_ = backoff_;
    backoff_ = std::min<std::uint64_t>(backoff_ * 2, max_backoff);
}

}  // namespace quorla::engine
