// The label step with distance bounds: between steps each point keeps an
// upper bound on its distance to its own centroid and, per group of
// centroids, a lower bound on its distance to the others. When the
// centroids move, the bounds move by as much as the centroids did; a point
// is recomputed only where they can no longer prove its label unchanged,
// and then only against the groups that could hold a closer centroid.
// Groups are whole runs of panels, so the recomputation is the tile
// kernels' own arithmetic on gathered points.
//
// The labels are those of update_labels (label_step.hpp), bit for bit, at
// every kernel level: a label is kept without computing only when the keys
// the full step would compare are proven apart by more than their rounding
// error (the derivation is beside `key_error` in label_bounds.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

class LabelBounds {
public:
    // Bounds for training on `state` in `model`'s mode. Each point holds
    // (groups + 2) floats: its own bound, one per group, and its length; the
    // group count keeps that within max(dim, 64) bytes, a quarter of the
    // point itself from 64 dimensions on. When even that does not fit in a
    // quarter of the machine's memory, every step is a full one.
    LabelBounds(const Model& model, const TrainingState& state, const ExecutionContext& context);

    // Relabels every point and recounts cluster_sizes exactly as
    // update_labels does. The first two steps are update_labels itself;
    // the third, and any after bounds were lost, computes every key and
    // sets the bounds up.
    void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context);

    std::size_t groups() const { return group_count_; }

private:
    void choose_groups(const Matrix& centroids);

    std::size_t k_ = 0;
    std::size_t dim_ = 0;
    bool euclidean_ = true;
    bool enabled_ = false;
    bool adaptive_ = false;
    bool valid_ = false;  // bounds hold for previous_
    std::uint64_t steps_ = 0;
    double plain_seconds_ = 0.0;   // what a full step costs
    double excess_seconds_ = 0.0;  // bounded steps' time beyond that, so far
    std::uint64_t dense_steps_left_ = 0;
    std::uint64_t dense_backoff_ = 1;
    std::size_t group_size_ = 0;
    std::size_t group_count_ = 0;
    std::vector<std::uint32_t> order_;     // position in the grouped order -> cluster
    std::vector<std::uint32_t> group_of_;  // cluster -> group
    Matrix previous_;                      // the centroids the bounds refer to
    std::vector<float> bounds_;            // per point: own, then one per group
    std::vector<float> lengths_;           // per point: an upper bound on its length
};

}  // namespace quorla::engine
