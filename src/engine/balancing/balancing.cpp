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
#include "engine/balancing/balancing.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/core/cluster_size.hpp"
#include "engine/label/bound_arithmetic.hpp"
#include "engine/screen/bf16_bound.hpp"
#include "engine/updates/cost.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/updates/medoids.hpp"
#include "engine/updates/member_sums.hpp"
#include "engine/core/progress.hpp"

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

constexpr std::uint32_t no_slot = UINT32_MAX;

// No NaN or infinity among the values; a loop that vectorises.
bool all_finite(const float* values, std::size_t count) {
    std::uint32_t special = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t exponent = std::bit_cast<std::uint32_t>(values[i]) & 0x7F800000u;
        special |= exponent == 0x7F800000u ? 1u : 0u;
    }
    return special == 0;
}

// Outward steps of the key bounds (bound_moved_keys).
constexpr float shrink = 1.0f - bounds::outward_margin;
constexpr float grow = 1.0f + bounds::outward_margin;
constexpr float tiny = 0x1p-140f;

// While every size is below 2^23, sizes and their differences are floats,
// and each size step of the scans (a product with the penalty, a
// difference, a quotient) is the float operation's result (cluster_size.hpp),
// so the scans may run on float copies of the sizes.
constexpr double narrow_size_limit = 8388608.0;  // 2^23

bool is_narrow(double size) { return std::fabs(size) < narrow_size_limit; }  // false for NaN

// Keys of one block take at most this many floats (8 MB): at large k the
// blocks get shorter rather than the scratch larger.
constexpr std::size_t block_key_floats = std::size_t{1} << 21;

// Tiles per worker in a block. Longer blocks amortise the pool's hand-off,
// but every point then has more staged rows to patch; at 50,000 x 64,
// k = 1024 one to four tiles per worker timed alike within the noise of a
// shared machine. The length does not shrink with k: a patch costs at least
// one staged group (scan/staged_rows.cpp) however few rows changed, and a
// point's share of its block's keys does not depend on the block's length,
// so shorter blocks at small k only add hand-offs. On 384-d embeddings at k = 256, blocks of
// 16 and 32 points were slower than this length and 48 no faster
// (bench/RESULTS.md).
constexpr std::size_t tiles_per_worker = 2;

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

BalancingPhase::BalancingPhase(Model& model, const TrainingState& state, KernelLevel level, std::size_t block_points,
                               MovedKeys moved_keys)
    : model_(model), state_(state), points_(state.points), k_(model.n_clusters), dim_(state.points.cols),
      moved_keys_(moved_keys),
      may_bound_(moved_keys == MovedKeys::bounded ||
                 (moved_keys == MovedKeys::automatic && state.points.cols >= bounded_keys_dim && !model.use_medoids)),
      block_points_(block_points) {
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
    if (model.use_medoids) medoids_.emplace(model, k_);
    panels_.emplace(*model.centroids, k_, model.euclidean, level);
    row_.resize(dim_);
    point_keys_.resize(k_);
    costs_.resize(k_);
    narrow_sizes_.resize(k_);
    move_slot_.assign(k_, no_slot);
    unpacked_.assign(k_, 0);
    unpacked_rows_.reserve(k_);
}

void BalancingPhase::mirror_sizes() {
    wide_sizes_ = 0;
    for (std::size_t j = 0; j < k_; ++j) {
        const double size = model_.cluster_sizes[j];
        narrow_sizes_[j] = static_cast<float>(size);
        if (!is_narrow(size)) ++wide_sizes_;
    }
}

void BalancingPhase::set_size(std::uint64_t cluster, double size) {
    double& held = model_.cluster_sizes[cluster];
    if (!is_narrow(held)) --wide_sizes_;
    held = size;
    narrow_sizes_[cluster] = static_cast<float>(size);
    if (!is_narrow(size)) ++wide_sizes_;
}

// One visit of every point, in index order. Returns the smallest
// critical penalty above the current one (+inf if none).
float BalancingPhase::pass(float size_penalty, const ExecutionContext* context) {
    const ExecutionContext calling_thread{};
    const ExecutionContext& run_on = context != nullptr ? *context : calling_thread;
    std::size_t block = block_points_;
    if (block == 0) block = checked_product(checked_product(panels_->kernels().tile_rows, run_on.workers()), tiles_per_worker);
    block = std::max<std::size_t>(1, std::min(block, block_key_floats / std::max<std::size_t>(k_, 1)));
    block = static_cast<std::size_t>(std::min<std::uint64_t>(block, std::max<std::uint64_t>(points_.rows, 1)));
    // At most two rows change per visit.
    const std::size_t capacity = std::min(k_, checked_product(block, 2));
    block_keys_.resize(checked_product(block, k_));
    block_norms_.resize(block);
    moved_clusters_.resize(capacity);
    block_rows_.resize(checked_product(capacity, dim_));
    moved_by_.resize(capacity);
    lower_.resize(capacity);
    stale_.resize(capacity);
    exact_.resize(capacity);
    wanted_.reserve(capacity);
    staged_.reserve(*panels_, capacity);

    end_block();
    mirror_sizes();
    longest_ = 0.0f;
    for (std::size_t j = 0; may_bound_ && j < k_; ++j) longest_ = std::max(longest_, row_length(j));
    float next_penalty = infinity;
    for (std::uint64_t first = 0; first < points_.rows; first += block) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(block, points_.rows - first));
        choose_block_treatment();
        compute_block(first, count, run_on);
        const bool next_block = first + count < points_.rows && run_on.workers() > 1;
        const std::size_t wake_at = count - std::min(count, wake_lead_);
        const auto visits_start = std::chrono::steady_clock::now();
        for (std::size_t r = 0; r < count; ++r) {
            const std::uint64_t i = first + r;
            if (context != nullptr && i % 1024 == 0) context->check_stop();
            if (next_block && r == wake_at) run_on.wake_workers_early();
            next_penalty = visit_point(i, size_penalty, next_penalty, block_keys_.data() + r * k_);
        }
        if (next_block) time_wake_lead(count, std::chrono::steady_clock::now() - visits_start);
        end_block();
    }
    return next_penalty;
}

// The visits left in a block when the workers are woken for the next
// block's keys: about wake_lead_time of them, at the pace of the last
// block's visits. Between two blocks the workers have slept, and one woken
// only by the job starts its share late: at 300,000 x 64 into 1,024 on 2
// cores the blocks' keys took 3.6 s so, and 2.6-3.1 s with the workers woken
// 16 to 32 visits ahead; 64 ahead, they had spun their wait away and slept
// again. Timing decides only when the workers wake, never a result.
void BalancingPhase::time_wake_lead(std::size_t visits, std::chrono::steady_clock::duration took) {
    constexpr double wake_lead_time = 15e-6;
    const double seconds = std::chrono::duration<double>(took).count();
    const double each = seconds / static_cast<double>(std::max<std::size_t>(visits, 1));
    const double lead = each > 0.0 ? wake_lead_time / each : 1.0;
    wake_lead_ = static_cast<std::size_t>(std::clamp(lead, 1.0, static_cast<double>(visits)));
}

float BalancingPhase::visit(std::uint64_t i, float size_penalty, float next_penalty) {
    end_block();
    mirror_sizes();  // the caller may have set sizes since the last visit
    return visit_point(i, size_penalty, next_penalty, nullptr);
}

// block_keys: i's keys as its block computed them, or null to compute
// them here.
float BalancingPhase::visit_point(std::uint64_t i, float size_penalty, float next_penalty, float* block_keys) {
    std::vector<double>& sizes = model_.cluster_sizes;
    if (i >= model_.labels.size()) raise_fault("Point index beyond the labels");
    const std::uint64_t c = model_.labels[i];
    if (c >= k_) raise_fault("Label beyond the cluster count");
    points_.copy_row(i, row_.data());
    const double s = sizes[c];

    add_point(c, -1.0f);
    --counts_[c];
    if (s > 0.0) refresh_after_removal(c, s);
    set_size(c, add_sizes(add_sizes(sizes[c], -1.0), kept_share));  // c still counts 0.15 of the point

    point_norm_ = model_.euclidean ? (*state_.point_norms)[i] : 0.0f;
    if (block_keys != nullptr) {
        keys_ = block_keys;
        bound_moved_keys();  // c's row has just changed, too
    } else {
        pack_changed_rows();
        centroid_keys(*panels_, row_, point_norm_, point_keys_);
        keys_ = point_keys_.data();
    }
    const std::size_t b = std::isinf(size_penalty) ? choose_by_size() : choose_by_cost(size_penalty);
    next_penalty = critical_penalty(c, size_penalty, next_penalty);  // before the point is placed

    set_size(b, add_sizes(sizes[b], 1.0));
    add_point(b, 1.0f);
    ++counts_[b];
    refresh_after_addition(b);
    set_size(c, add_sizes(sizes[c], -kept_share));
    if (model_.use_medoids && b != c) medoids_->move(model_, points_, i, c, b);
    model_.labels[i] = b;
    return next_penalty;
}

// Whether the next block bounds its moved keys. Automatically, a block
// bounds them unless, in the last bounding block, the rows its exact keys
// took to score plus the bounds themselves cost more than scoring every
// moved row would have (where the data's nearest clusters lie close
// together, and in the first and last passes, when many points move); after
// such a block the next 8 recompute them all. A bound costs about as much
// as scoring 96 / d rows: a few vector operations against d / 16 FMAs. It
// reads counts, not a clock, and either way gives the same bits.
void BalancingPhase::choose_block_treatment() {
    constexpr std::size_t exact_run = 8;
    const MovedKeyWork& work = moved_key_work_;
    if (!may_bound_) {
        bounding_ = false;
    } else if (moved_keys_ == MovedKeys::bounded) {
        bounding_ = true;
    } else if (bounding_) {
        const double bounded = static_cast<double>(work.bounded - block_work_.bounded);
        const double scored = static_cast<double>(work.scored - block_work_.scored);
        const double unbounded = static_cast<double>(work.unbounded - block_work_.unbounded);
        if (scored + bounded * 96.0 / static_cast<double>(dim_) > unbounded) {
            bounding_ = false;
            exact_blocks_left_ = exact_run;
        }
    } else if (exact_blocks_left_ == 0 || --exact_blocks_left_ == 0) {
        bounding_ = true;
    }
    block_work_ = work;
}

// The panels' packed values of the rows changed since they were last
// packed. A visit changes one or two rows, and a row changes many times
// between two scores against the panels (a block's keys, or a lone
// visit's); packing scatters a row over d cache lines, so it waits for
// those. Staged rows and norms read the rows in place.
void BalancingPhase::pack_changed_rows() {
    for (std::uint32_t cluster : unpacked_rows_) {
        panels_->repack_row(cluster);
        unpacked_[cluster] = 0;
    }
    unpacked_rows_.clear();
}

// Keys of points [first, first + count) against the current centroids,
// spread over the pool a tile per piece.
void BalancingPhase::compute_block(std::uint64_t first, std::size_t count, const ExecutionContext& context) {
    pack_changed_rows();
    const PointView block{points_.row_start(first), count, dim_, points_.row_stride, points_.col_stride};
    const std::vector<float>* norms = nullptr;
    if (model_.euclidean) {
        const float* given = state_.point_norms->data() + first;
        block_norms_.assign(given, given + count);  // within the capacity sized for the pass
        norms = &block_norms_;
    }
    KeysSink sink(std::span<float>(block_keys_.data(), checked_product(count, k_)));
    scan_points(context, *panels_, block, norms, sink, panels_->kernels().tile_rows);
    in_block_ = true;
}

// Before a row changes: a bounding block in progress gives it a slot and
// keeps the row as the block's keys saw it.
void BalancingPhase::row_changing(std::uint64_t cluster) {
    if (!in_block_ || !bounding_ || move_slot_[cluster] != no_slot) return;
    const std::uint32_t slot = take_slot(cluster);
    const std::span<const float> row = model_.centroids->row(cluster);
    std::copy(row.begin(), row.end(), block_rows_.begin() + static_cast<std::ptrdiff_t>(slot * dim_));
    moved_by_[slot] = 0.0f;
}

std::uint32_t BalancingPhase::take_slot(std::uint64_t cluster) {
    if (moved_count_ == moved_clusters_.size()) raise_fault("More changed rows than a block can hold");
    const std::uint32_t slot = static_cast<std::uint32_t>(moved_count_++);
    moved_clusters_[slot] = static_cast<std::uint32_t>(cluster);
    move_slot_[cluster] = slot;
    return slot;
}

// After the cluster's row has changed: its norm, its packing due before the
// panels are next scored, and in a block its slot.
void BalancingPhase::row_changed(std::uint64_t cluster) {
    panels_->refresh_norm(cluster);
    if (unpacked_[cluster] == 0) {
        unpacked_[cluster] = 1;
        unpacked_rows_.push_back(static_cast<std::uint32_t>(cluster));
    }
    if (may_bound_) longest_ = std::max(longest_, row_length(cluster));
    if (!in_block_) return;
    std::uint32_t slot = move_slot_[cluster];
    if (bounding_) {
        if (slot == no_slot) raise_fault("A row changed in a block without its slot");
        const float* row = model_.centroids->row(cluster).data();
        moved_by_[slot] = bounds::round_up(bounds::distance_above(row, block_rows_.data() + slot * dim_, dim_));
    } else {
        if (slot == no_slot) slot = take_slot(cluster);
        staged_.stage(slot, cluster);
    }
}

// Bounds on the visited point's keys of the rows moved since its block's
// keys were computed, from those stale keys and the distances moved; the
// lower ones go into keys_, so that the size scans can run as they are.
//
// Let E bound how far a computed key is from the exact one
// (bound_arithmetic.hpp), for rows no longer than longest_, and let a row
// move from c0 to c1 by at most m. Euclidean: the exact distance D0 =
// |x - c0| is at least sqrt(e0 - E) from the stale key e0, and at most
// sqrt(e0 + E); D1 = |x - c1| lies within m of D0, and the key e1 the level
// would compute now within E of D1^2:
//     (max(0, sqrt(e0 - E) - m))^2 - E  <=  e1  <=  (sqrt(e0 + E) + m)^2 + E.
// Inner product: -x.c moves by at most |x| m, so e1 is within 2E + |x| m of
// e0. Each single-precision step below is rounded within u = 2^-24 of its
// exact value; scaling by 1 -/+ 4u (rounded again) and an absolute 2^-140
// against gradual underflow keep every step on its side, as
// lower_from_key_f32 does. A stale key or a distance that is not finite
// leaves no bound: every moved row is then scored exactly.
void BalancingPhase::bound_moved_keys() {
    const std::size_t count = moved_count_;
    if (count == 0) return;
    if (!bounding_) {
        // The level's one-point kernel over the staged rows: the same FMA
        // chain per lane as the tile kernels, so the keys are those a fresh
        // computation gives.
        const std::span<const float> scored = staged_.score(row_, point_norm_, count);
        for (std::size_t slot = 0; slot < count; ++slot) keys_[moved_clusters_[slot]] = scored[slot];
        return;
    }
    // From the point's squared norm where training keeps one, as row_length does.
    const double length = model_.euclidean ? screen_bound::length_above(point_norm_, dim_)
                                           : bounds::length_of(row_.data(), dim_);
    bound_error_ =
        bounds::round_up(bounds::key_error(model_.euclidean, dim_, length, longest_) + bounds::underflow_term);
    bound_reach_ = bounds::round_up(length);
    moved_key_work_.bounded += count;
    moved_key_work_.unbounded += std::max(count, StagedRows::group_rows);
    float* keys = keys_;
    for (std::size_t slot = 0; slot < count; ++slot) stale_[slot] = keys[moved_clusters_[slot]];
    lower_bounds(stale_.data(), moved_by_.data(), count, lower_.data());
    std::fill(exact_.begin(), exact_.begin() + static_cast<std::ptrdiff_t>(count), std::uint8_t{0});
    for (std::size_t slot = 0; slot < count; ++slot) keys[moved_clusters_[slot]] = lower_[slot];
    if (!(bound_error_ < bounds::infinity && bound_reach_ < bounds::infinity) || !all_finite(stale_.data(), count) ||
        !all_finite(moved_by_.data(), count)) {
        settle_all();
    }
}

// bound_moved_keys' lower bounds. The selections are written out in the
// loops, not called: gcc then turns them into vector blends.
void BalancingPhase::lower_bounds(const float* __restrict stale, const float* __restrict moved, std::size_t count,
                                  float* __restrict lower) const {
    const float error = bound_error_;
    const float reach = bound_reach_;
    if (model_.euclidean) {
        for (std::size_t slot = 0; slot < count; ++slot) {
            const float low_key = stale[slot] - error;
            const float near = __builtin_sqrtf(low_key > 0.0f ? low_key : 0.0f) * shrink;
            const float apart = (near - moved[slot]) * shrink - tiny;
            const float closest = apart > 0.0f ? apart : 0.0f;
            const float low = (closest * closest) * shrink - tiny - error;
            lower[slot] = low - (low < 0.0f ? -low : low) * bounds::outward_margin - tiny;
        }
    } else {
        for (std::size_t slot = 0; slot < count; ++slot) {
            const float spread = ((reach * moved[slot]) * grow + 2.0f * error) * grow + tiny;
            const float low = stale[slot] - spread;
            lower[slot] = low - (low < 0.0f ? -low : low) * bounds::outward_margin - tiny;
        }
    }
}

// The upper bound of bound_moved_keys for one slot.
float BalancingPhase::upper_bound(std::uint32_t slot) const {
    const float stale = stale_[slot];
    const float moved = moved_by_[slot];
    const float error = bound_error_;
    float high;
    if (model_.euclidean) {
        const float far = std::sqrt(std::max(0.0f, stale + error)) * grow + tiny;
        const float farthest = (far + moved) * grow + tiny;
        high = ((farthest * farthest) * grow + error) * grow + tiny;
    } else {
        high = stale + (((bound_reach_ * moved) * grow + 2.0f * error) * grow + tiny);
    }
    return high + std::fabs(high) * bounds::outward_margin + tiny;
}

// At least the length of the cluster's row as panels_ holds it now: from
// its squared norm where the panels keep one, since this runs on every
// change of a row.
float BalancingPhase::row_length(std::uint64_t cluster) const {
    if (model_.euclidean) return bounds::round_up(screen_bound::length_above(panels_->panels().norms[cluster], dim_));
    return bounds::round_up(bounds::length_of(model_.centroids->row(cluster).data(), dim_));
}

// The slot of a cluster whose key for the visited point is only bounded,
// or no_slot.
std::uint32_t BalancingPhase::unsettled_slot(std::uint64_t cluster) const {
    if (!bounding_) return no_slot;
    const std::uint32_t slot = move_slot_[cluster];
    return slot != no_slot && exact_[slot] == 0 ? slot : no_slot;
}

// The visited point's exact keys of these slots' rows, by the level's
// one-point kernel: the same FMA chain per lane as the tile kernels, so
// they are the keys a fresh computation gives. A bounding block stages the
// wanted rows only here: most of its moved rows are never scored.
void BalancingPhase::settle(std::span<const std::uint32_t> slots) {
    if (slots.empty()) return;
    moved_key_work_.settled += slots.size();
    moved_key_work_.scored += std::max(slots.size(), StagedRows::group_rows) + slots.size();  // staging, too
    for (std::size_t i = 0; i < slots.size(); ++i) staged_.stage(i, moved_clusters_[slots[i]]);
    const std::span<const float> scored = staged_.score(row_, point_norm_, slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        keys_[moved_clusters_[slots[i]]] = scored[i];
        exact_[slots[i]] = 1;
    }
}

void BalancingPhase::settle_all() {
    if (!bounding_) return;
    wanted_.clear();
    for (std::uint32_t slot = 0; slot < moved_count_; ++slot) {
        if (exact_[slot] == 0) wanted_.push_back(slot);
    }
    settle(wanted_);
}

void BalancingPhase::end_block() {
    for (std::size_t slot = 0; slot < moved_count_; ++slot) move_slot_[moved_clusters_[slot]] = no_slot;
    moved_count_ = 0;
    in_block_ = false;
}

void BalancingPhase::final_medoid_pass() {
    for (std::uint64_t j = 0; j < k_; ++j) {
        if (model_.cluster_sizes[j] == 0.0) continue;
        medoids_->update(model_, points_, j);
    }
}

// A cluster's running sum is its row of sums_ while the cluster has never
// had more than sum_block members, so that such clusters see exactly the
// single-precision steps of one running total. Past that, moves go into a
// pending row that is folded into the sum every sum_block moves: the blocked
// summation of member_sums.hpp, which keeps one large cluster's sum from
// drifting away from its members over many passes. The point is the visited
// one, already copied to row_.
void BalancingPhase::add_point(std::uint64_t cluster, float weight) {
    std::vector<float>& pending = pending_[cluster];
    if (pending.empty() && counts_[cluster] > sum_block) pending.assign(dim_, 0.0f);
    float* target = pending.empty() ? sums_.row(cluster).data() : pending.data();
    const float* x = row_.data();
    if (weight == 1.0f) {
        for (std::size_t j = 0; j < dim_; ++j) target[j] = target[j] + x[j];
    } else {
        for (std::size_t j = 0; j < dim_; ++j) target[j] = target[j] + weight * x[j];
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
    row_changing(cluster);
    std::span<const float> sum = sums_.row(cluster);
    const std::vector<float>& pending = pending_[cluster];
    std::span<float> row = model_.centroids->row(cluster);
    const float narrow = static_cast<float>(divisor);
    if (static_cast<double>(narrow) == divisor) {
        // A float divisor: the float division is divide_by_size's result
        // (cluster_size.hpp), and it vectorises.
        if (pending.empty()) {
            for (std::size_t j = 0; j < dim_; ++j) row[j] = sum[j] / narrow;
        } else {
            for (std::size_t j = 0; j < dim_; ++j) row[j] = (sum[j] + pending[j]) / narrow;
        }
    } else if (pending.empty()) {
        for (std::size_t j = 0; j < dim_; ++j) row[j] = divide_by_size(sum[j], divisor);
    } else {
        for (std::size_t j = 0; j < dim_; ++j) row[j] = divide_by_size(sum[j] + pending[j], divisor);
    }
    if (!model_.euclidean) normalize_row(row);
    // Only the rows that changed since the last point can differ, so keeping
    // the packed rows and norms current gives the numbers a full
    // recomputation would.
    row_changed(cluster);
}

void BalancingPhase::refresh_after_removal(std::uint64_t c, double s) {
    if (model_.use_medoids) {
        // The visited point is still labelled c: still a candidate.
        row_changing(c);
        if (medoids_->update(model_, points_, c)) row_changed(c);
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
        row_changing(b);
        if (medoids_->update(model_, points_, b)) row_changed(b);
        return;
    }
    set_mean_row(b, model_.cluster_sizes[b]);
}

std::size_t BalancingPhase::choose_by_cost(float size_penalty) {
    const float* keys = keys_;
    if (wide_sizes_ != 0) {
        settle_all();
        const std::vector<double>& sizes = model_.cluster_sizes;
        for (std::size_t j = 0; j < k_; ++j) {
            const float penalty = scale_size(sizes[j], size_penalty);
            // A finite penalty so large that size x penalty overflows would
            // tie every cluster at +inf whatever its size; it means the
            // same as the infinite penalty and is treated as such.
            if (std::isinf(penalty)) return choose_by_size();
            costs_[j] = keys[j] + penalty;
        }
        std::size_t best = 0;
        for (std::size_t j = 1; j < k_; ++j) {
            if (std::isnan(costs_[best]) || std::isnan(costs_[j])) raise_nan_fault();
            if (costs_[best] > costs_[j]) best = j;
        }
        return best;
    }
    // Moved rows enter with their lower bounds, so the scan's choice b is
    // the exact one if b's key is exact: every cost it beat, or tied from a
    // higher index, is at most the cluster's exact cost, since adding the
    // same penalty rounds monotonically. If b's key is only bounded, the scan
    // is run again with b's upper bound: if b still wins, it wins exactly.
    // Otherwise the moved rows whose lower cost reaches b's upper cost, the
    // only ones that can be the least, are scored exactly (b with them), and
    // the last scan's choice has an exact key.
    const tiles::CostScan scan = panels_->kernels().scan_costs(keys, narrow_sizes_.data(), k_, size_penalty);
    if (scan.overflows) return choose_by_size();
    if (scan.unordered && k_ > 1) raise_nan_fault();
    const std::uint32_t slot = unsettled_slot(scan.best);
    return slot == no_slot ? scan.best : choose_bounded(scan.best, slot, size_penalty);
}

// choose_by_cost's way from a bounded least cost to the exact choice.
std::size_t BalancingPhase::choose_bounded(std::size_t b, std::uint32_t slot, float size_penalty) {
    const tiles::TileKernels& kernels = panels_->kernels();
    const float* keys = keys_;
    keys_[b] = upper_bound(slot);
    const bool proved = kernels.scan_costs(keys, narrow_sizes_.data(), k_, size_penalty).best == b;
    const float ceiling = keys_[b] + narrow_sizes_[b] * size_penalty;
    keys_[b] = lower_[slot];  // a bounded key stays at its lower bound for critical_penalty
    if (proved) return b;
    wanted_.clear();
    for (std::uint32_t s = 0; s < moved_count_; ++s) {
        if (exact_[s] == 0 && !(lower_[s] + narrow_sizes_[moved_clusters_[s]] * size_penalty > ceiling)) {
            wanted_.push_back(s);
        }
    }
    settle(wanted_);
    const tiles::CostScan scan = kernels.scan_costs(keys, narrow_sizes_.data(), k_, size_penalty);
    if (scan.unordered && k_ > 1) raise_nan_fault();
    if (unsettled_slot(scan.best) != no_slot) raise_fault("Balancing chose a cluster whose key was only bounded");
    return scan.best;
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
    settle_all();
    const std::vector<double>& sizes = model_.cluster_sizes;
    std::size_t best = 0;
    for (std::size_t j = 1; j < k_; ++j) {
        if (std::isnan(keys_[best]) || std::isnan(keys_[j])) raise_nan_fault();
        if (sizes[j] < sizes[best] || (sizes[j] == sizes[best] && keys_[j] < keys_[best])) best = j;
    }
    return best;
}

float BalancingPhase::critical_penalty(std::uint64_t c, float size_penalty, float next_penalty) {
    const float* keys = keys_;
    float smallest = infinity;
    if (wide_sizes_ != 0) {
        settle_all();
        const std::vector<double>& sizes = model_.cluster_sizes;
        const double own_size = sizes[c];
        for (std::size_t j = 0; j < k_; ++j) {
            const double gap = add_sizes(own_size, -sizes[j]);
            if (own_size > sizes[j] && gap != 0.0) {
                const float ratio = divide_by_size(keys[j] - keys[c], gap);
                if (smallest > ratio) smallest = ratio;  // NaN never replaces
            }
        }
    } else {
        // Float sizes: the gap and the quotient are the size steps' results.
        // Only the sign of a zero minimum could depend on the order it is
        // taken in, and a zero never passes the test below: the phase's
        // penalties are never negative.
        //
        // With moved rows at their lower bounds and c's key at its upper
        // one, each ratio is at most the exact one (the subtraction and the
        // division by a positive gap round monotonically), so a least ratio
        // that does not reach next_penalty settles the visit. Otherwise the
        // same scan with the bounds the other way round gives a ratio U at
        // least the exact least one, and only the moved rows whose low ratio
        // is below next_penalty and at most U can hold it: those are scored
        // exactly, with c. Every other ratio is then above the least exact
        // one, or at least next_penalty, so the scan's least ratio is exact
        // wherever the result depends on it.
        const tiles::TileKernels& kernels = panels_->kernels();
        const float own_size = narrow_sizes_[c];
        const std::uint32_t own_slot = unsettled_slot(c);
        const float own_high = own_slot == no_slot ? keys[c] : upper_bound(own_slot);
        smallest = kernels.least_ratio(keys, narrow_sizes_.data(), k_, own_size, own_high);
        if (bounding_ && moved_count_ != 0 && smallest < next_penalty) {
            settle_ratios(c, own_slot, own_high, next_penalty);
            smallest = kernels.least_ratio(keys, narrow_sizes_.data(), k_, own_size, keys[c]);
        }
    }
    return (size_penalty < smallest && smallest < next_penalty) ? smallest : next_penalty;
}


// critical_penalty's exact keys: c's, and those of the moved rows whose
// ratio may be the least one below next_penalty.
void BalancingPhase::settle_ratios(std::uint64_t c, std::uint32_t own_slot, float own_high, float next_penalty) {
    const float own_size = narrow_sizes_[c];
    const float own_low = own_slot == no_slot ? keys_[c] : lower_[own_slot];
    for (std::uint32_t s = 0; s < moved_count_; ++s) {
        if (exact_[s] == 0) keys_[moved_clusters_[s]] = upper_bound(s);
    }
    const float ceiling = panels_->kernels().least_ratio(keys_, narrow_sizes_.data(), k_, own_size, own_low);
    wanted_.clear();
    for (std::uint32_t s = 0; s < moved_count_; ++s) {
        if (exact_[s] != 0) continue;
        keys_[moved_clusters_[s]] = lower_[s];
        const float size = narrow_sizes_[moved_clusters_[s]];
        const float gap = own_size - size;
        if (s == own_slot) {
            wanted_.push_back(s);
        } else if (own_size > size && gap != 0.0f) {
            const float low_ratio = (lower_[s] - own_high) / gap;
            if (low_ratio < next_penalty && !(low_ratio > ceiling)) wanted_.push_back(s);
        }
    }
    settle(wanted_);
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
