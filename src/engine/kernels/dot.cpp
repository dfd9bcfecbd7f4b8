// The plain vector arithmetic of dot.hpp.
#include "engine/kernels/dot.hpp"

#include <cmath>

namespace quorla::engine {
namespace {

// Eight partial sums in two 4-lane vectors: 4 lanes is the native width of
// every baseline target (SSE2, NEON), so the sums stay in registers, and two
// independent chains hide the latency of the additions. The compiler may not
// reassociate a plain loop, so the lanes are spelled out. `term` turns a
// pair of lane vectors (or of scalars, in the tail) into the summands.
typedef float Lanes4 __attribute__((vector_size(16)));

template <class Term>
float sum_of_terms(const float* a, const float* b, std::size_t n, Term term) {
    Lanes4 low = {0, 0, 0, 0};
    Lanes4 high = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Lanes4 a0, a1, b0, b1;
        __builtin_memcpy(&a0, a + i, sizeof a0);  // unaligned loads, no aliasing games
        __builtin_memcpy(&a1, a + i + 4, sizeof a1);
        __builtin_memcpy(&b0, b + i, sizeof b0);
        __builtin_memcpy(&b1, b + i + 4, sizeof b1);
        low += term(a0, b0);
        high += term(a1, b1);
    }
    Lanes4 sum = low + high;
    float total = (sum[0] + sum[2]) + (sum[1] + sum[3]);
    for (; i < n; ++i) total += term(a[i], b[i]);
    return total;
}

}  // namespace

float dot_f32(const float* a, const float* b, std::size_t n) {
    return sum_of_terms(a, b, n, [](auto x, auto y) { return x * y; });
}

float squared_distance_f32(const float* a, const float* b, std::size_t n) {
    return sum_of_terms(a, b, n, [](auto x, auto y) {
        const auto d = x - y;
        return d * d;
    });
}

std::vector<float> squared_norms(const PointView& matrix) {
    std::vector<float> norms(matrix.rows);
    squared_norms(matrix, 0, matrix.rows, norms.data());
    return norms;
}

void squared_norms(const PointView& matrix, std::uint64_t first, std::uint64_t last, float* out) {
    std::vector<float> row(matrix.row_contiguous() ? 0 : matrix.cols);
    for (std::uint64_t i = first; i < last; ++i) {
        const float* values = matrix.row_start(i);
        if (!matrix.row_contiguous()) {
            matrix.copy_row(i, row.data());
            values = row.data();
        }
        out[i] = dot_f32(values, values, matrix.cols);
    }
}

void normalize_row(std::span<float> row) {
    const float s = dot_f32(row.data(), row.data(), row.size());
    if (!(s > 0.0f)) return;  // zero rows and NaN rows stay as they are
    const float length = std::sqrt(s);
    for (float& value : row) value = value / length;
}

}  // namespace quorla::engine
