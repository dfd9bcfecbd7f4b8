// Medoid mode: centroids that are actual training points. The update of the
// Lloyd iterations (least summed distance to the other members) and the
// balancing phase's nearest-member rule live here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::parallel {
class PoolRegistry;
}

namespace quorla::engine {

// Distance between two contiguous rows as medoids measure it: the squared
// Euclidean distance of the difference, or 1 - x.y in inner-product mode.
// Symmetric bit for bit, so a pair's value can be computed once and used
// from both sides.
float medoid_distance(const float* x, const float* y, std::size_t dim, bool euclidean);

// For every non-empty cluster, the member with the strictly smallest summed
// distance to the other members becomes the medoid (ties: lowest index).
void update_medoids(Model& model, const PointView& points);
void update_medoids(Model& model, const PointView& points, parallel::PoolRegistry& pool);

// The member of `cluster` nearest to its current centroid row becomes its
// medoid, and its point is copied into the row unscaled. Gathers the members
// from the labels.
void update_cluster_medoid(Model& model, const PointView& points, std::uint64_t cluster);

// The same with the members already known (ascending), as the balancing
// phase keeps them.
void update_cluster_medoid(Model& model, const PointView& points, std::uint64_t cluster,
                           std::span<const std::uint64_t> members);

// Members of one cluster, ascending, by a pass over the labels.
std::vector<std::uint64_t> members_of(const Model& model, std::uint64_t cluster);

// Members of every cluster, each ascending, from one pass over the labels.
std::vector<std::vector<std::uint64_t>> members_by_cluster(const Model& model);

}  // namespace quorla::engine
