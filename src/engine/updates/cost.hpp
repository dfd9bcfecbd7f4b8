// The training cost printed in verbose progress lines, by the Lloyd
// iterations and by the balancing phase alike.
#pragma once

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"

namespace quorla::engine {

// Mean over all points of the squared distance to (Euclidean) or the dot
// product with (inner product) the centroid of the point's label, summed in
// point order in single precision. With a context, the terms are computed
// on its pool, and its stop check is asked between pieces of them.
float training_cost(const Model& model, const PointView& points, const ExecutionContext* context = nullptr);

}  // namespace quorla::engine
