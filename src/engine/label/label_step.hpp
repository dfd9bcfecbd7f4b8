// The label step of training: every point to its nearest centroid, on the
// worker pool, and the cluster sizes recounted. Scoring is the scan
// driver's (scan.hpp); the tie rules are the label step's own: Euclidean
// mode takes the lowest key and the lowest index among equals, inner-product
// mode the highest dot product and the highest index among equals.
//
// Training's steps are classes behind one interface: FullStep here, the
// bounded step in bounded_step.hpp; label_steps.hpp chooses between them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/model.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

// Relabels every point and recounts cluster_sizes. On a fault neither labels
// nor cluster_sizes has been touched.
void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context);

// Makes `labels` the model's and recounts cluster_sizes from them; faults,
// leaving both untouched, on a label beyond the cluster count.
void set_labels(Model& model, std::vector<std::uint64_t> labels);

// One way of relabelling every point and recounting cluster_sizes; every
// way gives the full step's labels bit for bit.
class LabelStep {
public:
    virtual ~LabelStep() = default;
    virtual void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) = 0;
};

// Every point against every centroid: with the fused kernel, or through
// a screen (screened_step.hpp) while its policy says so.
class FullStep final : public LabelStep {
public:
    FullStep() = default;
    FullStep(const ScreenOptions& screen, std::size_t n_clusters, std::size_t dim) : policy_(screen, n_clusters, dim) {}

    void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) override;
    // The centroids are close to means of their points already, so the
    // dimension screen need not wait a step before it samples.
    void start_from_means() { steps_ = std::max<std::uint64_t>(steps_, 1); }

    bool screens() const { return policy_.screens(); }
    ScreenUnit screen_unit() const { return policy_.unit(); }
    ScreenKind screen_kind() const { return policy_.kind(); }
    // Another step's pass through the screen (the bounded step's refresh),
    // weighed by the policy as a screened full step would be.
    void screened_elsewhere(const ScreenWork& work) { policy_.done(work); }

    // What the last step did through the screen; nothing if it was not screened.
    const ScreenWork& screen_work() const { return work_; }
    // The estimated cost, in full steps, of a pass through this step's screen.
    double screen_cost(const ScreenWork& work) const { return policy_.step_cost(work); }
    // The dimension screen's basis, once a step has found it.
    const DimensionBasis* basis() const { return basis_.get(); }

private:
    ScreenPolicy policy_;
    ScreenWork work_;
    std::unique_ptr<DimensionBasis> basis_;
    std::uint64_t steps_ = 0;
};

}  // namespace quorla::engine
