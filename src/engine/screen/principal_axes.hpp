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

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"

namespace quorla::engine {

struct PrincipalAxes {
    Matrix axes;          // `head` rows of `dim` floats, orthonormal up to `defect`
    double defect = 0.0;  // an upper bound on the spectral norm of A A^T - I for the float rows A
    // The share of the sample's centred variance that the rows hold, and
    // the share they would hold of isotropic noise sampled alike.
    double held_share = 1.0;
    double isotropic_share = 0.0;
};

// Whether the axes hold clearly more than they would of noise: where they
// do not, no direction stands out, and a screen through them rules out
// next to nothing.
inline bool axes_stand_out(const PrincipalAxes& axes) { return axes.held_share > axes.isotropic_share + 0.05; }

// `head` directions (at most the dimension) from up to `sample` rows of
// `points` taken at even strides, skipping rows with values that are not
// finite, on the context's pool. Deterministic: the same on any pool, and no
// random generator is drawn from.
PrincipalAxes principal_axes(const ExecutionContext& context, const PointView& points, std::size_t head,
                             std::size_t sample = 1024);

// The first `head` rows of `axes`, with their own defect.
PrincipalAxes leading_axes(const PrincipalAxes& axes, std::size_t head);

// The measured defect of float rows: the Frobenius norm of A A^T - I,
// computed in double, rounded outward.
double orthogonality_defect(const Matrix& axes);

}  // namespace quorla::engine
