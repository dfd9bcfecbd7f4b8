// Medoid mode: centroids that are actual training points. The update of the
// Lloyd iterations (least summed distance to the other members) and the
// balancing phase's nearest-member rule live here.
#pragma once

#include <cstdint>

#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::engine {

// For every non-empty cluster, the member with the strictly smallest summed
// distance to the other members becomes the medoid (ties: lowest index).
void update_medoids(Model& model, const PointView& points);

// The member of `cluster` nearest to its current centroid row becomes its
// medoid, and its point is copied into the row unscaled.
void update_cluster_medoid(Model& model, const PointView& points, std::uint64_t cluster);

}  // namespace quorla::engine
