// Top-k assignment of new points to the clusters of a trained model. Runs on
// the calling thread and never changes the model; it never creates the
// worker pool, but spreads over it when some earlier call already did (the
// result is the same either way).
#pragma once

#include <cstdint>

#include "engine/kernel_level.hpp"
#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::engine {

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k);
// The same at a given kernel level (Fault if the machine lacks it).
Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k, KernelLevel level);

}  // namespace quorla::engine
