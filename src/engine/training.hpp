// The training driver: entry checks, initial centroids, Lloyd iterations,
// empty-cluster repair and the final relabelling. The label step is in
// label_step.hpp, the cost in cost.hpp; balancing and medoids have files of
// their own.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/core/random.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

// `num_threads`, when given, configures the context's pool, which must be
// absent for that to succeed.
Outcome<ClusterLists> train(Model& model, const PointView& points, std::optional<std::uint64_t> num_threads,
                            const ExecutionContext& context);

// Scales every non-zero centroid row to unit length in inner-product mode;
// does nothing in Euclidean mode or without centroids.
void normalize_centroids(Model& model);

// Gives every empty cluster half the size of a randomly walked donor, and a
// perturbed copy of its centroid (or a random member as medoid).
void repair_empty_clusters(Model& model, const TrainingState& state, ThreadRandom& random);

}  // namespace quorla::engine
