// Medoid mode: centroids that are actual training points. The update of the
// Lloyd iterations (least summed distance to the other members) and the
// balancing phase's nearest-member rule live here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"

namespace quorla::engine {

// Distance between two contiguous rows as medoids measure it: the squared
// Euclidean distance of the difference, or 1 - x.y in inner-product mode.
// Symmetric bit for bit, so a pair's value can be computed once and used
// from both sides.
float medoid_distance(const float* x, const float* y, std::size_t dim, bool euclidean);

// For every non-empty cluster, the member with the strictly smallest summed
// distance to the other members becomes the medoid (ties: lowest index).
// The pairwise distances of a cluster are spread over the context's pool.
void update_medoids(Model& model, const PointView& points, const ExecutionContext& context);

// The member of `cluster` nearest to its current centroid row becomes its
// medoid, and its point is copied into the row unscaled. `members` are the
// cluster's members, ascending (the balancing phase keeps them current).
void update_cluster_medoid(Model& model, const PointView& points, std::uint64_t cluster,
                           std::span<const std::uint64_t> members);

// The balancing phase's medoid steps (update_cluster_medoid) with what a
// step cannot change left alone. Each cluster keeps its members and,
// while its row is unchanged, the member nearest to that row with its
// distance: a member that joins is compared with it, one that leaves
// matters only if it is that member, so a step costs one distance per
// joined member instead of one per member. The nearest member is found
// again over all members only when the row changed (a new medoid was
// copied in) or the nearest one left. Equal distances keep the lower
// index and NaN never wins, as in update_cluster_medoid's scan: the
// kept member is the one that scan would pick.
class MedoidTracker {
public:
    // Members from the model's labels.
    MedoidTracker(const Model& model, std::size_t clusters);

    // update_cluster_medoid on `cluster`: the same medoid and row. Returns
    // whether the row's values changed.
    bool update(Model& model, const PointView& points, std::uint64_t cluster);

    // Point i, a member of `from`, becomes one of `to`.
    void move(const Model& model, const PointView& points, std::uint64_t i, std::uint64_t from, std::uint64_t to);

    std::span<const std::uint64_t> members(std::uint64_t cluster) const { return members_.at(cluster); }

private:
    struct Nearest {
        bool known = false;       // member and distance hold for the row as it is
        std::uint64_t member = 0;
        float distance = 0.0f;
        bool copied = false;      // the row holds an exact copy of point `source`
        std::uint64_t source = 0;
    };
    float distance_to_row(const Model& model, const PointView& points, std::uint64_t i, std::uint64_t cluster);
    void find_nearest(const Model& model, const PointView& points, std::uint64_t cluster);

    ClusterLists members_;
    std::vector<Nearest> nearest_;
    std::vector<float> row_;  // a gathered point row, for strided views
};

// Members of one cluster, ascending, by a pass over the labels.
std::vector<std::uint64_t> members_of(const Model& model, std::uint64_t cluster);

}  // namespace quorla::engine
