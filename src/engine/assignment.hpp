// Top-k assignment of new points to the clusters of a trained model. Never
// changes the model. Spreads over the context's pool when it has one (the
// interface passes the process's pool only once it exists: assignment must
// not bring it up); the result is the same either way.
#pragma once

#include <cstdint>

#include "engine/execution_context.hpp"
#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::engine {

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k,
                             const ExecutionContext& context);

}  // namespace quorla::engine
