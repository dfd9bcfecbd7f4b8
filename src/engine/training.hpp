// The training driver: entry checks, initial centroids, Lloyd iterations,
// empty-cluster repair and the final relabelling. The label step itself is
// in kernels.hpp; balancing and medoids have files of their own.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::engine {

Outcome<ClusterLists> train(Model& model, const PointView& points, std::optional<std::uint64_t> num_threads);

}  // namespace quorla::engine

namespace quorla::engine {

// Steps the balancing phase and the medoid code share with the driver.

// Scales every non-zero centroid row to unit length in inner-product mode;
// does nothing in Euclidean mode or without centroids.
void normalize_centroids(Model& model);

// Mean over all points of the squared distance to (Euclidean) or the dot
// product with (inner product) the centroid of the point's label.
float training_cost(const Model& model, const PointView& points);

// Gives every empty cluster half the size of a randomly walked donor, and a
// perturbed copy of its centroid (or a random member as medoid).
void repair_empty_clusters(Model& model, const PointView& points, float n_f);

}  // namespace quorla::engine
