// What the training driver holds for its label steps: the full step, the
// bounded one when the policy allows it, and the policy (step_policy.hpp)
// that picks one of them for each step.
#pragma once

#include <memory>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/model.hpp"
#include "engine/label/bounded_step.hpp"
#include "engine/label/label_step.hpp"
#include "engine/label/step_policy.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

class LabelSteps {
public:
    // `shares`, when not null, gets one entry per step. `screen`: whether
    // full steps go through the bf16 screen.
    LabelSteps(const Model& model, const TrainingState& state, const ExecutionContext& context, LabelStepMode mode,
               std::vector<LabelStepShare>* shares = nullptr, const ScreenOptions& screen = {});

    // Relabels every point and recounts cluster_sizes, as update_labels
    // (label_step.hpp) does, with whichever step the policy picks.
    void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context);
    // Before the first step, when the centroids come from a hierarchical
    // start or are given (most often a trained model's), and so are close
    // to means of their points already: the dimension screen samples at
    // once, and where refreshes go through the bf16 screen, bounds are set
    // at the first step.
    void start_from_means();

    // Groups of the bounded step; 0 when bounds never run.
    std::size_t groups() const { return bounded_ ? bounded_->groups() : 0; }

private:
    FullStep full_;
    std::unique_ptr<BoundedStep> bounded_;
    StepPolicy policy_;
    std::vector<LabelStepShare>* shares_;
    bool bf16_refreshes_ = false;
    bool dimension_refreshes_ = false;
};

}  // namespace quorla::engine
