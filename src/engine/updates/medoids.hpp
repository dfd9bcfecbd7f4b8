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

// Members of one cluster, ascending, by a pass over the labels.
std::vector<std::uint64_t> members_of(const Model& model, std::uint64_t cluster);

}  // namespace quorla::engine
