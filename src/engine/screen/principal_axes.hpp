// The directions the dimension screen measures first: an orthonormal basis
// of the subspace that holds most of a sample's second moments. Any
// orthonormal rows keep the screen exact (dimension_bound.hpp); the closer
// they come to the leading principal axes, the more clusters the leading
// coordinates alone rule out.
//
// Why not centred: the screen bounds x.c itself, so what must be small is
// the part of each vector outside the subspace, mean included. Embeddings
// share a large mean, and its direction is usually the first axis found.
//
// Why orthogonal iteration and not a full eigensolver (or LAPACK): only the
// leading p directions are needed, and only roughly; S Q and a Gram-Schmidt
// pass cost d^2 p each, a dozen passes far less than forming S, and nothing
// needs linking into the module or its wheels.
#pragma once

#include <cstddef>

#include "engine/core/matrix.hpp"

namespace quorla::engine {

struct PrincipalAxes {
    Matrix axes;          // `head` rows of `dim` floats, orthonormal up to `defect`
    double defect = 0.0;  // an upper bound on the spectral norm of A A^T - I for the float rows A
};

// `head` directions (at most the dimension) from up to `sample` rows of
// `points` taken at even strides, skipping rows with values that are not
// finite. Deterministic: no random generator is drawn from.
PrincipalAxes principal_axes(const PointView& points, std::size_t head, std::size_t sample = 1024);

// The first `head` rows of `axes`, with their own defect.
PrincipalAxes leading_axes(const PrincipalAxes& axes, std::size_t head);

// The measured defect of float rows: the Frobenius norm of A A^T - I,
// computed in double, rounded outward.
double orthogonality_defect(const Matrix& axes);

}  // namespace quorla::engine
