// The label step with distance bounds: between steps each point keeps an
// upper bound on its distance to its own centroid and, per group of
// centroids, a lower bound on its distance to the others. When the
// centroids move, the bounds move by as much as the centroids did; a point
// is recomputed only where they can no longer prove its label unchanged,
// and then only against the groups that could hold a closer centroid.
// Groups are whole runs of panels, so the recomputation is the tile
// kernels' own arithmetic on gathered points (gathered_scorer.hpp).
//
// Within a group the centroids are ordered by how far they moved, farthest
// first, so that a group's bound, which only its farthest mover lowers that
// far, still proves the rest: a point scores the prefix of panels whose
// drift breaks its bound, and keeps the bound for the others. In a typical
// group most centroids barely move and one moves far.
//
// The labels are those of the full step (label_step.hpp), bit for bit, at
// every kernel level: a label is kept without computing only when the keys
// the full step would compare are proven apart by more than their rounding
// error (the derivation is in bound_arithmetic.hpp). When bounded steps
// run, and when they stop, is the policy's business (step_policy.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/label/label_step.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/label/step_policy.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

struct GatherBatch;
class GatheredScorer;
struct ScoringFrame;

class BoundedStep final : public LabelStep {
public:
    // Each point holds (groups + 2) floats: its own bound, one per group,
    // and its length; the group count keeps that within max(dim, 64)
    // bytes, a quarter of the point itself from 64 dimensions on.
    static std::size_t group_size_for(std::size_t n_clusters, std::size_t dim);
    static std::size_t group_count_for(std::size_t n_clusters, std::size_t dim);

    BoundedStep(std::size_t n_clusters, std::size_t dim, bool euclidean);

    // Relabels every point and recounts cluster_sizes exactly as the full
    // step does. The first step, and one after refresh_all(), computes
    // every key and sets the bounds afresh.
    void update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) override;

    void refresh_all() { refresh_ = true; }
    // Refreshes through the bf16 screen of `unit` (screened_refresh.hpp),
    // or, without one, with every key exact.
    void screen_refreshes(std::optional<ScreenUnit> unit) {
        screen_ = unit;
        basis_ = nullptr;
    }
    // Refreshes through the dimension screen of `basis`, which the caller
    // keeps, or, with null, with every key exact.
    void dimension_refreshes(const DimensionBasis* basis) {
        basis_ = basis;
        screen_.reset();
    }
    // What the last step's screen did, if it was a screened refresh.
    const ScreenWork* screened_work() const { return screened_last_ ? &screen_work_ : nullptr; }
    // What the last step did.
    const BoundedWork& work() const { return work_; }
    // Per point: its own bound, then one per group; and each cluster's
    // group. What the tests hold against exact distances.
    std::span<const float> bounds() const { return bounds_; }
    std::size_t group_of(std::size_t cluster) const { return group_of_[cluster]; }
    std::size_t groups() const { return group_count_; }

private:
    // How far the centroids moved since the bounds were set.
    struct Drift {
        std::vector<double> per_cluster;
        std::vector<float> per_group;  // the most any centroid of a group moved, rounded up
        double longest = 0.0;          // an upper bound on every centroid's length
    };

    void choose_groups(const Matrix& centroids);
    void set_up(const Matrix& centroids, const PointView& points, const ExecutionContext& context);
    Drift measure_drift(const Matrix& centroids, bool refresh) const;
    Matrix grouped_centroids(const Matrix& centroids) const;
    void refresh_screened(const ScoringFrame& frame, const Matrix& grouped, GatheredScorer& scorer,
                          const ExecutionContext& context);
    void test_points(bool refresh, const ScoringFrame& frame, const Matrix& centroids, const Drift& drift,
                     GatheredScorer& scorer, const ExecutionContext& context);
    void order_by_drift(const Drift& drift);
    std::uint64_t test_point(std::uint64_t i, std::uint64_t label, const Matrix& centroids, const PointView& points,
                             const Drift& drift, GatherBatch& batch, std::uint32_t* spans);

    std::size_t k_ = 0;
    std::size_t dim_ = 0;
    bool euclidean_ = true;
    bool valid_ = false;    // bounds hold for previous_
    bool refresh_ = false;  // the next step recomputes every point
    std::size_t group_size_ = 0;
    std::size_t group_count_ = 0;
    std::vector<std::uint32_t> order_;     // position in the grouped order -> cluster
    std::vector<std::uint32_t> position_;  // cluster -> position in the grouped order
    std::vector<std::uint32_t> group_of_;  // cluster -> group
    std::vector<float> moves_;             // per position: its cluster's drift, rounded up
    Matrix previous_;                      // the centroids the bounds refer to
    std::vector<float> bounds_;            // per point: own, then one per group
    std::vector<float> lengths_;           // per point: an upper bound on its length
    BoundedWork work_;
    std::optional<ScreenUnit> screen_;
    const DimensionBasis* basis_ = nullptr;
    bool screened_last_ = false;
    ScreenWork screen_work_;
};

}  // namespace quorla::engine
