// Single-precision vector arithmetic shared by every step that is not a
// tile kernel: the plain dot product (the scalar level's, and the one used
// for norms, costs and medoid distances), squared differences, row norms,
// unit-length scaling; the Euclidean key comes with it (key.hpp). The tile
// kernels keep their own FMA chain (tile_kernels.hpp); nothing here is
// compiled for a vector level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/matrix.hpp"
#include "engine/kernels/key.hpp"

namespace quorla::engine {

// Single-precision dot product of two contiguous vectors. The summation order
// is this kernel's own (several partial sums); callers must not rely on it.
float dot_f32(const float* a, const float* b, std::size_t n);

// (a - b) . (a - b), each difference rounded before it is squared, summed in
// dot_f32's order: the same number as forming the difference row and calling
// dot_f32 on it, and the same from either side.
float squared_distance_f32(const float* a, const float* b, std::size_t n);

// Entry i: row i dotted with itself.
std::vector<float> squared_norms(const PointView& matrix);
// The same for rows first .. last - 1, into out[first .. last - 1].
void squared_norms(const PointView& matrix, std::uint64_t first, std::uint64_t last, float* out);
inline std::vector<float> squared_norms(const Matrix& matrix) { return squared_norms(matrix.view()); }

// Divides the row by its length when its squared length is positive; zero
// rows and rows with NaN stay as they are.
void normalize_row(std::span<float> row);

}  // namespace quorla::engine
