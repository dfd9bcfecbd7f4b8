// The balancing phase that may follow the Lloyd iterations: points are moved
// one at a time under a growing size penalty until the cluster sizes are
// within the model's tolerance. The phase's state is a class so that tests
// can visit single points and watch the single-precision size steps.
#pragma once

#include <cstdint>
#include <optional>
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

class BalancingPhase {
public:
    // Builds cluster_sums and the bookkeeping from the model's labels. The
    // state must outlive the phase. `block_points`: points whose keys are
    // computed together in a pass (0: chosen from the level and pool).
    BalancingPhase(Model& model, const TrainingState& state, KernelLevel level, std::size_t block_points = 0);

    // Visits every point in index order with the given penalty; returns the
    // smallest critical penalty above it (+inf if no point set one). With a
    // context, its stop check is asked every thousand or so visits, and the
    // keys of each block of points are computed on its pool.
    float pass(float size_penalty, const ExecutionContext* context = nullptr);

    // Visits point i; returns `next_penalty` lowered by i's critical penalty.
    float visit(std::uint64_t i, float size_penalty, float next_penalty);

    void final_medoid_pass();

private:
    float visit_point(std::uint64_t i, float size_penalty, float next_penalty, float* block_keys);
    void add_point(std::uint64_t cluster, float weight);
    void set_mean_row(std::uint64_t cluster, double divisor);
    void refresh_after_removal(std::uint64_t c, double s);
    void refresh_after_addition(std::uint64_t b);
    void row_changed(std::uint64_t cluster);
    void compute_block(std::uint64_t first, std::size_t count, const ExecutionContext& context);
    void patch_keys(float* keys, float point_norm);
    void end_block();
    void set_size(std::uint64_t cluster, double size);
    void mirror_sizes();
    std::size_t choose_by_cost(float size_penalty);
    std::size_t choose_by_size();
    float critical_penalty(std::uint64_t c, float size_penalty, float next_penalty) const;

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
    std::optional<CentroidPanels> panels_;             // packed rows and norms, kept current
    std::vector<float> row_, point_keys_, costs_;       // per-point scratch, sized once
    const float* keys_ = nullptr;                      // the visited point's keys: point_keys_ or a block row

    // The sizes as floats while every one is below 2^23 (`wide_sizes_` counts
    // those that are not): the scans then run in single precision, which
    // gives the double steps' results bit for bit (cluster_size.hpp).
    std::vector<float> narrow_sizes_;
    std::size_t wide_sizes_ = 0;

    // A pass computes the keys of `block_points_` points at a time against
    // the centroids of the block's start. The rows that change later in the
    // block are staged and each point's keys of them are recomputed before
    // it is placed; every other key is still exact.
    std::size_t block_points_ = 1;
    bool in_block_ = false;
    std::vector<float> block_keys_, block_norms_;
    std::size_t staged_count_ = 0;
    std::vector<std::uint32_t> staged_clusters_;       // slot -> cluster
    std::vector<std::uint32_t> stage_slot_;            // cluster -> slot, or no_slot
    StagedRows staged_;
};

}  // namespace quorla::engine
