// The label step.
#include "engine/label/label_step.hpp"

#include <algorithm>

#include "engine/core/cluster_size.hpp"
#include "engine/core/fault.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {

void set_labels(Model& model, std::vector<std::uint64_t> labels) {
    // Counted as integers: a float count stops at 2^24.
    std::vector<std::uint64_t> counts(model.cluster_sizes.size(), 0);
    for (std::uint64_t label : labels) {
        if (label >= counts.size()) raise_fault("Label beyond the cluster count");
        ++counts[label];
    }
    model.labels = std::move(labels);
    std::transform(counts.begin(), counts.end(), model.cluster_sizes.begin(), size_from_count);
}

void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) {
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    const PointView& points = state.points;
    if (centroids.cols() != points.cols) raise_fault("Centroid and point dimensions differ");
    if (centroids.rows() == 0) raise_fault("No centroids to compare");
    const bool euclidean = model.euclidean;
    if (euclidean && !state.point_norms) raise_fault("Point norms missing in Euclidean mode");

    std::vector<std::uint64_t> labels(points.rows);
    // One centroid needs no comparison, so there is nothing to compute (and
    // no NaN to find): every label is 0. The pool is still brought up, as
    // the label step always does, so that its creation (and any failure of
    // it) happens at the same point of training whatever k is.
    if (centroids.rows() == 1) {
        context.workers();
    } else {
        const CentroidPanels panels(centroids, centroids.rows(), euclidean, context.level);
        NearestSink<std::uint64_t> sink(euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last, labels);
        scan_points(context, panels, points, euclidean ? &*state.point_norms : nullptr, sink);
    }

    // Only now, after every point was evaluated, does the model change.
    set_labels(model, std::move(labels));
}

void FullStep::update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) {
    const bool dimensions = policy_.screens() && policy_.kind() == ScreenKind::dimensions;
    // The automatic choice takes its sample at the second step: the first
    // scores the initial centroids, sample points themselves, against which
    // far more clusters stay in every window than after one mean update.
    const bool waits = dimensions && policy_.automatic() && steps_++ == 0;
    if (dimensions && !waits && (!basis_ || basis_->level != context.level)) {
        // The basis comes from the training's own points, once, with the
        // head whose sample cost least.
        DimensionChoice choice = choose_dimension_basis(model, state, context);
        policy_.use_head(choice.head, state.points.cols);
        basis_ = std::move(choice.basis);
        if (choice.sampled) policy_.done(choice.work);
    }
    if (waits || !policy_.screens()) {
        work_ = {};
        engine::update_labels(model, state, context);
        return;
    }
    if (policy_.kind() == ScreenKind::dimensions) {
        work_ = screened_update_labels(model, state, context, *basis_);
    } else {
        work_ = screened_update_labels(model, state, context, policy_.unit(), &policy_);
    }
    policy_.done(work_);
}

}  // namespace quorla::engine
