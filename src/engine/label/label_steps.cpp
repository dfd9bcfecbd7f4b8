// Training's label steps, one at a time, as the policy says.
#include "engine/label/label_steps.hpp"

#include <chrono>

#include "engine/core/checked.hpp"

namespace quorla::engine {

LabelSteps::LabelSteps(const Model& model, const TrainingState& state, const ExecutionContext& context,
                       LabelStepMode mode, std::vector<LabelStepShare>* shares, const ScreenOptions& screen)
    : full_(screen, model.n_clusters, state.points.cols),
      policy_(mode,
              {state.points.rows, model.n_clusters, state.points.cols,
               BoundedStep::group_count_for(model.n_clusters, state.points.cols)},
              context.memory_bytes),
      shares_(shares) {
    if (!policy_.uses_bounds()) return;
    bounded_ = std::make_unique<BoundedStep>(model.n_clusters, state.points.cols, model.euclidean);
    // The bounded step's refreshes go through the bf16 screen only.
    if (full_.screens() && full_.screen_kind() == ScreenKind::bf16) {
        bounded_->screen_refreshes(full_.screen_unit());
        policy_.screen_refreshes(true);
        bf16_refreshes_ = true;
    }
}

void LabelSteps::start_from_means() {
    full_.start_from_means();
    // A refresh through the bf16 screen costs about what a screened full
    // step does. One without it computes every key, several times what the
    // dimension screen's full step costs: at the AVX2 level, 200,000 token
    // vectors into 16,384 clusters, 1 iteration from a hierarchical start,
    // took 18.0 s with full steps and 30.6 s with bounds from the first.
    if (bf16_refreshes_) policy_.start_from_means();
}

void LabelSteps::update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) {
    // The clock is read for benchmarks only; no step is chosen by it.
    const auto start = std::chrono::steady_clock::now();
    const StepKind kind = policy_.next();
    const std::uint64_t possible = checked_product(state.points.rows, model.n_clusters);
    LabelStepShare share{model.n_clusters > 1 ? possible : 0, possible};
    if (kind == StepKind::full) {
        full_.update_labels(model, state, context);
        policy_.full_done();
        // Once the dimension screen runs, refreshes go through its basis,
        // and bounded steps are weighed against them.
        if (full_.screen_work().points > 0 && full_.screen_kind() == ScreenKind::dimensions) {
            if (bounded_ && !dimension_refreshes_) {
                bounded_->dimension_refreshes(full_.basis());
                policy_.screen_refreshes(true);
                dimension_refreshes_ = true;
            }
        }
    } else {
        if (kind == StepKind::refresh) bounded_->refresh_all();
        bounded_->update_labels(model, state, context);
        const BoundedWork& work = bounded_->work();
        if (const ScreenWork* screened = bounded_->screened_work()) {
            share.screened = screened->settled;
            full_.screened_elsewhere(*screened);
            policy_.screened_refresh_done(full_.screen_cost(*screened));
            // Where the screen gives up, so do the refreshes that used it.
            if (!full_.screens()) {
                bounded_->screen_refreshes(std::nullopt);
                policy_.screen_refreshes(false);
            }
        } else {
            policy_.bounded_done(kind, work);
        }
        share.distances = work.distances;
        share.tested = work.tested;
        share.tightened = work.tightened;
        share.packed = work.packed;
        share.group_results = work.group_results;
    }
    if (shares_ != nullptr) {
        share.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        shares_->push_back(share);
    }
}

}  // namespace quorla::engine
