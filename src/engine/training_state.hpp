// What one training call works with besides the model: the point view, the
// points' squared norms and the point count as a size. It lives for that
// call only; the model keeps just what its record holds afterwards.
#pragma once

#include <optional>
#include <vector>

#include "engine/core/cluster_size.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"

namespace quorla::engine {

struct TrainingState {
    PointView points;
    // Euclidean mode only: computed once per training call, read by every
    // label step and by balancing.
    std::optional<std::vector<float>> point_norms;
    // The point count as a size (cluster_size.hpp), as the repair divides by it.
    double point_count = 0.0;

    // The norms are computed on the context's pool, with its stop checks;
    // without one, on the calling thread.
    static TrainingState start(const PointView& points, bool euclidean, const ExecutionContext& context = {}) {
        TrainingState state{points, std::nullopt, size_from_count(points.rows)};
        if (euclidean) {
            std::vector<float>& norms = state.point_norms.emplace(points.rows);
            context.for_each_row_block(points.rows, points.cols, [&](std::uint64_t first, std::uint64_t last) {
                squared_norms(points, first, last, norms.data());
            });
        }
        return state;
    }
};

}  // namespace quorla::engine
