// The balancing phase that may follow the Lloyd iterations: points are moved
// one at a time under a growing size penalty until the cluster sizes are
// within the model's tolerance.
#pragma once

#include <optional>
#include <vector>

#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::engine {

void balance_clusters(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms);

}  // namespace quorla::engine
