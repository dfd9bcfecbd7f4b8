// The balancing phase that may follow the Lloyd iterations: points are moved
// one at a time under a growing size penalty until the cluster sizes are
// within the model's tolerance. The phase's state is a class so that tests
// can visit single points and watch the single-precision size steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/scan/scan.hpp"
#include "engine/scan/staged_rows.hpp"
#include "engine/training_state.hpp"
#include "engine/updates/medoids.hpp"

namespace quorla::engine {

void balance_clusters(Model& model, const TrainingState& state, const ExecutionContext& context);

// How a visit in a block treats its stale keys of the rows that changed
// since the block's keys were computed.
enum class MovedKeys {
    automatic,  // without medoids, from dimension bounded_keys_dim on: bounded in the blocks where that pays
    exact,      // every one recomputed
    bounded,    // bounded, and recomputed only where a choice needs it
};

// Keys of moved rows that visits bounded, and those they then computed;
// rows the exact keys took to score (StagedRows scores whole groups), and
// rows those visits would have scored with exact keys throughout.
struct MovedKeyWork {
    std::uint64_t bounded = 0;
    std::uint64_t settled = 0;
    std::uint64_t scored = 0;
    std::uint64_t unbounded = 0;
};

class BalancingPhase {
public:
    // Below this dimension recomputing a moved row's key costs about what
    // bounding it does. (With medoids rows rarely move, and recomputing
    // the few that do is cheaper still.)
    static constexpr std::size_t bounded_keys_dim = 128;

    // Builds cluster_sums and the bookkeeping from the model's labels. The
    // state must outlive the phase. `block_points`: points whose keys are
    // computed together in a pass (0: chosen from the level and pool).
    BalancingPhase(Model& model, const TrainingState& state, KernelLevel level, std::size_t block_points = 0,
                   MovedKeys moved_keys = MovedKeys::automatic);

    // Visits every point in index order with the given penalty; returns the
    // smallest critical penalty above it (+inf if no point set one). With a
    // context, its stop check is asked every thousand or so visits, and the
    // keys of each block of points are computed on its pool.
    float pass(float size_penalty, const ExecutionContext* context = nullptr);

    // Visits point i; returns `next_penalty` lowered by i's critical penalty.
    float visit(std::uint64_t i, float size_penalty, float next_penalty);

    void final_medoid_pass();

    const MovedKeyWork& moved_key_work() const { return moved_key_work_; }

private:
    float visit_point(std::uint64_t i, float size_penalty, float next_penalty, float* block_keys);
    void time_wake_lead(std::size_t visits, std::chrono::steady_clock::duration took);
    void bound_moved_keys();
    std::uint32_t unsettled_slot(std::uint64_t cluster) const;
    float upper_bound(std::uint32_t slot) const;
    void lower_bounds(const float* __restrict stale, const float* __restrict moved, std::size_t count,
                      float* __restrict lower) const;
    float row_length(std::uint64_t cluster) const;
    void settle(std::span<const std::uint32_t> slots);
    void settle_all();
    void row_changing(std::uint64_t cluster);
    void choose_block_treatment();
    std::uint32_t take_slot(std::uint64_t cluster);
    void add_point(std::uint64_t cluster, float weight);
    void set_mean_row(std::uint64_t cluster, double divisor);
    void refresh_after_removal(std::uint64_t c, double s);
    void refresh_after_addition(std::uint64_t b);
    void row_changed(std::uint64_t cluster);
    void compute_block(std::uint64_t first, std::size_t count, const ExecutionContext& context);
    void pack_changed_rows();
    void patch_keys(float* keys, float point_norm);
    void end_block();
    void set_size(std::uint64_t cluster, double size);
    void mirror_sizes();
    std::size_t choose_by_cost(float size_penalty);
    std::size_t choose_by_size();
    std::size_t choose_bounded(std::size_t b, std::uint32_t slot, float size_penalty);
    void settle_ratios(std::uint64_t c, std::uint32_t own_slot, float own_high, float next_penalty);
    float critical_penalty(std::uint64_t c, float size_penalty, float next_penalty);

    Model& model_;
    const TrainingState& state_;
    const PointView& points_;
    const std::size_t k_;
    const std::size_t dim_;
    Matrix sums_;                                      // cluster_sums
    std::vector<std::vector<float>> pending_;          // per cluster, see add_point
    std::vector<std::size_t> pending_moves_;
    std::vector<std::uint64_t> counts_;                // exact member counts
    std::optional<MedoidTracker> medoids_;             // medoid mode
    std::optional<CentroidPanels> panels_;             // norms kept current; packed rows when scored
    std::vector<std::uint32_t> unpacked_rows_;         // rows changed since the panels packed them
    std::vector<std::uint8_t> unpacked_;               // cluster -> in unpacked_rows_
    std::vector<float> row_, point_keys_, costs_;       // per-point scratch, sized once
    const MovedKeys moved_keys_;
    const bool may_bound_;                             // some block may bound its moved keys
    bool bounding_ = false;                            // this block does
    std::size_t exact_blocks_left_ = 0;                // before a block bounds again
    MovedKeyWork block_work_;                          // moved_key_work_ as the block started
    float* keys_ = nullptr;                            // the visited point's keys: point_keys_ or a block row

    // The sizes as floats while every one is below 2^23 (`wide_sizes_` counts
    // those that are not): the scans then run in single precision, which
    // gives the double steps' results bit for bit (cluster_size.hpp).
    std::vector<float> narrow_sizes_;
    std::size_t wide_sizes_ = 0;

    // A pass computes the keys of `block_points_` points at a time against
    // the rows as the block starts. A row that changes later in the block
    // takes a slot, with its row as the block found it and how far it has
    // moved since; a visit bounds its stale keys of those rows by that
    // distance and computes exactly only the few that a choice depends on.
    std::size_t block_points_ = 1;
    std::size_t wake_lead_ = 1;                        // see time_wake_lead
    bool in_block_ = false;
    std::vector<float> block_keys_, block_norms_;
    std::size_t moved_count_ = 0;
    std::vector<std::uint32_t> moved_clusters_;        // slot -> cluster
    std::vector<std::uint32_t> move_slot_;             // cluster -> slot, or no_slot
    std::vector<float> block_rows_;                    // slot -> the row as the block found it
    std::vector<float> moved_by_;                      // slot -> at least its distance from that row
    std::vector<float> stale_, lower_;                 // slot -> the visited point's block key, its lower bound
    float bound_error_ = 0.0f, bound_reach_ = 0.0f;    // the visited point's E and length
    std::vector<std::uint8_t> exact_;                  // slot -> the visited point's key is exact
    std::vector<std::uint32_t> wanted_;                // slots to compute exactly
    float longest_ = 0.0f;                             // at least every row's length in this pass
    float point_norm_ = 0.0f;                          // the visited point's (Euclidean)
    // Exact keys of moved rows: each staged in its slot as it changes, or
    // in a bounding block the wanted ones staged as they are wanted.
    StagedRows staged_;
    MovedKeyWork moved_key_work_;
};

}  // namespace quorla::engine
