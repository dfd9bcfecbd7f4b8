// Top-k assignment of new points to the clusters of a trained model. Never
// changes the model. `screening` says whether the scan may go through the
// bf16 screen (scan/screened_top.hpp); the results are the same bits either
// way. Spreads over the context's pool when it has one (the
// interface passes the process's pool only once it exists: assignment must
// not bring it up); the result is the same either way. With a `cache`,
// the centroids are packed for the kernels once, at the first query that
// needs them (PanelCache in scan/scan.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k,
                             const ExecutionContext& context, const ScreenOptions& screening = {},
                             PanelCache* cache = nullptr);

// Each point's `take` nearest clusters, nearest first, row-major (point i's
// t-th at i * take + t), with their distances: squared Euclidean distances
// ascending (rounding below zero clamped to 0), or inner products
// descending. Ties go to the lower cluster index, as in assign.
struct SearchResult {
    std::size_t take = 0;
    std::vector<float> distances;
    std::vector<std::int64_t> clusters;
};

// k is clamped to the cluster count; the clusters of point i are exactly
// those under which assign(model, points, k) lists i.
Outcome<SearchResult> search(const Model& model, const PointView& points, std::uint64_t k,
                             const ExecutionContext& context, const ScreenOptions& screening = {},
                             PanelCache* cache = nullptr);

}  // namespace quorla::engine
