// A hierarchical start for trainings into many clusters: coarse clusters of
// all the points, then each coarse cluster split into fine ones in
// proportion to its size, each split a small training of its own. The
// training then refines the fine centroids with its usual Lloyd iterations
// over all points and all clusters, exact steps as ever: the start only
// spares the iterations that flat training spends getting the centroids
// near their place, each costing n x k x d.
//
// Coarse and fine trainings draw from the training's generator in a fixed
// order and run their label steps on its pool, so the start depends on the
// seed alone, not on the pool's size or the data's memory layout.
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

// The k starting centroids of `model` (which names k, the metric and
// whether to print) on `points`, with draws from context.generator().
// Reports ("coarse", 1, cost) and ("fine", 1, cost) and prints a line per
// level in verbose mode; the costs are computed only for them.
Matrix hierarchical_start(const Model& model, const PointView& points, const ExecutionContext& context,
                          const TrainingOptions& options);

}  // namespace quorla::engine
