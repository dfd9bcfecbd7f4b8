// A hierarchical start for trainings into many clusters: coarse clusters of
// all the points, then each coarse cluster split into fine ones in
// proportion to its size, each split a small training of its own. The
// training then refines the fine centroids with its usual Lloyd iterations
// over all points and all clusters, exact steps as ever: the start only
// spares the iterations that flat training spends getting the centroids
// near their place, each costing n x k x d.
//
// The start draws from a generator of its own: the seed's second stream
// when the model has a seed, else one draw from the training's generator.
// The coarse training draws from it, then each fine training gets a seed
// of it. So the start depends on the seed alone, not on the pool's size or
// the data's memory layout; the fine trainings are independent tasks that
// may run anywhere; and a seeded training leaves its own generator to the
// refinement, which a warm start from the stacked fine centroids repeats
// bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/training.hpp"

namespace quorla::engine {

// Iterations of the coarse training and of each fine one.
inline constexpr std::uint64_t level_iterations = 10;

// Coarse clusters for k fine ones: about sqrt(k), which balances the coarse
// training's work (n x sqrt(k) x d per iteration) against the fine ones'
// (the same in all); 0 when k is too small for two levels to pay.
std::uint64_t coarse_clusters(std::uint64_t k);

// Fine clusters per coarse cluster, in proportion to `sizes`, summing to k:
// each the floor of its share, and the clusters left over to the largest
// remainders (ties to the lower index). None exceeds its size when the
// sizes sum to at least k.
std::vector<std::uint64_t> fine_counts(const std::vector<std::uint64_t>& sizes, std::uint64_t k);

// One fine training: the rows of a coarse cluster, and the model, seed
// included, that trains them into their share of the clusters.
struct FineTask {
    std::vector<std::uint64_t> rows;
    Model model;
};

// Trains the coarse level of `model` (which names k, the metric, the seed
// and whether to print) on `points`, and returns the fine trainings in the
// order their centroids are stacked; coarse clusters given no fine cluster
// have none. Reports ("coarse", 1, cost) and prints its line in verbose
// mode; the cost is computed only for them.
std::vector<FineTask> fine_tasks(const Model& model, const PointView& points, const ExecutionContext& context,
                                 const TrainingOptions& options);

// The k starting centroids: fine_tasks, then the fine trainings spread over
// the pool, one whole training per worker at a time. Reports ("fine", 1,
// cost) and prints its line as the coarse level does.
Matrix hierarchical_start(const Model& model, const PointView& points, const ExecutionContext& context,
                          const TrainingOptions& options);

}  // namespace quorla::engine
