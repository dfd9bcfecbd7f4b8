// Top-k assignment of new points to the clusters of a trained model. Runs on
// the calling thread and never changes the model.
#pragma once

#include <cstdint>

#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::engine {

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k);

}  // namespace quorla::engine
