// What one training call works with besides the model: the point view, the
// points' squared norms and the point count as a float. It lives for that
// call only; the model keeps just what its record holds afterwards.
#pragma once

#include <optional>
#include <vector>

#include "engine/dot.hpp"
#include "engine/matrix.hpp"

namespace quorla::engine {

struct TrainingState {
    PointView points;
    // Euclidean mode only: computed once per training call, read by every
    // label step and by balancing.
    std::optional<std::vector<float>> point_norms;
    // The point count rounded to a float once, as the repair divides by it.
    float n_f = 0.0f;

    static TrainingState start(const PointView& points, bool euclidean) {
        TrainingState state{points, std::nullopt, static_cast<float>(points.rows)};
        if (euclidean) state.point_norms = squared_norms(points);
        return state;
    }
};

}  // namespace quorla::engine
