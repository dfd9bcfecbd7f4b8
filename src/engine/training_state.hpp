// What one training call works with besides the model: the point view, the
// points' squared norms and the point count as a size. It lives for that
// call only; the model keeps just what its record holds afterwards.
#pragma once

#include <optional>
#include <vector>

#include "engine/cluster_size.hpp"
#include "engine/dot.hpp"
#include "engine/matrix.hpp"

namespace quorla::engine {

struct TrainingState {
    PointView points;
    // Euclidean mode only: computed once per training call, read by every
    // label step and by balancing.
    std::optional<std::vector<float>> point_norms;
    // The point count as a size (cluster_size.hpp), as the repair divides by it.
    double point_count = 0.0;

    static TrainingState start(const PointView& points, bool euclidean) {
        TrainingState state{points, std::nullopt, size_from_count(points.rows)};
        if (euclidean) state.point_norms = squared_norms(points);
        return state;
    }
};

}  // namespace quorla::engine
