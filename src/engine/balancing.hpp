// The balancing phase that may follow the Lloyd iterations: points are moved
// one at a time under a growing size penalty until the cluster sizes are
// within the model's tolerance. The phase's state is a class so that tests
// can visit single points and watch the single-precision size steps.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/execution_context.hpp"
#include "engine/matrix.hpp"
#include "engine/model.hpp"
#include "engine/scan.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

void balance_clusters(Model& model, const TrainingState& state, const ExecutionContext& context);

class BalancingPhase {
public:
    // Builds cluster_sums and the bookkeeping from the model's labels. The
    // state must outlive the phase.
    BalancingPhase(Model& model, const TrainingState& state, KernelLevel level);

    // Visits every point in index order with the given penalty; returns the
    // smallest critical penalty above it (+inf if no point set one). With a
    // context, its stop check is asked every thousand or so visits.
    float pass(float size_penalty, const ExecutionContext* context = nullptr);

    // Visits point i; returns `next_penalty` lowered by i's critical penalty.
    float visit(std::uint64_t i, float size_penalty, float next_penalty);

    void final_medoid_pass();

private:
    void add_point(std::uint64_t cluster, std::uint64_t i, float weight);
    void set_mean_row(std::uint64_t cluster, double divisor);
    void refresh_after_removal(std::uint64_t c, double s);
    void refresh_after_addition(std::uint64_t b);
    void compute_distances(std::uint64_t i);
    std::size_t choose_by_cost(float size_penalty);
    std::size_t choose_by_size();
    float critical_penalty(std::uint64_t c, float size_penalty, float next_penalty) const;
    void move_member(std::uint64_t i, std::uint64_t from, std::uint64_t to);

    Model& model_;
    const TrainingState& state_;
    const PointView& points_;
    const std::size_t k_;
    const std::size_t dim_;
    Matrix sums_;                                      // cluster_sums
    std::vector<std::vector<float>> pending_;          // per cluster, see add_point
    std::vector<std::size_t> pending_moves_;
    std::vector<std::uint64_t> counts_;                // exact member counts
    ClusterLists members_;                             // medoid mode, ascending
    std::optional<CentroidPanels> panels_;             // packed rows and norms, kept current
    std::vector<float> row_, distances_, costs_;       // per-point scratch, sized once
};

}  // namespace quorla::engine
