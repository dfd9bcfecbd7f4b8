// Refusing values that the single-precision distance arithmetic cannot
// rank. Keys are built from squares and products of coordinates:
//  - an infinite coordinate turns them into infinity minus infinity, or
//    makes every centroid equally far;
//  - squares past the float range make every key infinite, and the
//    normalisation of inner-product centroids divides by an infinite
//    length, so every point lands in one cluster;
//  - squares below the normal range lose their last bits or vanish, so every
//    key ties and again every point lands in one cluster.
// Such data gets a ValueError up front rather than that partition. NaN is
// not refused here: it is a fault where it meets a comparison.
#pragma once

#include <optional>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"

namespace quorla::engine {

enum class ValueBounds {
    finite,     // only infinities are refused (one cluster: nothing is compared)
    no_overflow,  // also magnitudes whose squared distances overflow (queries)
    clusterable,  // also data whose largest squares are below the normal range (training)
};

// The error for the first infinite value (in row-major order) or for the
// largest magnitude out of bounds; nothing for acceptable data. Broadcast
// rows and columns are read once. Rows are read on the context's pool, with
// its stop checks. `what` names the values in the message ("Data").
std::optional<ClusteringError> check_values(const PointView& points, ValueBounds bounds,
                                            const ExecutionContext& context, const char* what = "Data");

}  // namespace quorla::engine
