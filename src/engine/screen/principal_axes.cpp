// Second moments of a strided sample, then orthogonal iteration on them.
#include "engine/screen/principal_axes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/core/checked.hpp"

namespace quorla::engine {
namespace {

// Enough passes for the leading subspace to settle where the spectrum
// falls off, as embeddings' does; where it is flat no basis helps much.
constexpr int iterations = 5;

// A dot in four partial sums, which the compiler keeps in vector lanes.
double dot(const double* a, const double* b, std::size_t d) {
    double partial[4] = {};
    std::size_t l = 0;
    for (; l + 4 <= d; l += 4) {
        for (std::size_t q = 0; q < 4; ++q) partial[q] += a[l + q] * b[l + q];
    }
    for (; l < d; ++l) partial[0] += a[l] * b[l];
    return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

// Orthonormalises the columns of q (d x p, column j at q[j * d]) in order,
// Gram-Schmidt applied twice so that the columns stay orthogonal to working
// precision. A column that vanishes against the earlier ones (data of lower
// rank than p) is replaced by the first unit vector that does not.
void orthonormalise(std::vector<double>& q, std::size_t d, std::size_t p) {
    std::size_t next_unit = 0;
    for (std::size_t j = 0; j < p; ++j) {
        double* column = q.data() + j * d;
        for (int attempt = 0;; ++attempt) {
            const double before = dot(column, column, d);
            for (int pass = 0; pass < 2; ++pass) {
                for (std::size_t i = 0; i < j; ++i) {
                    const double* earlier = q.data() + i * d;
                    const double along = dot(earlier, column, d);
                    for (std::size_t l = 0; l < d; ++l) column[l] -= along * earlier[l];
                }
            }
            const double after = dot(column, column, d);
            if (after > 1e-20 * before && after > 0.0 && std::isfinite(after)) {
                const double scale = 1.0 / std::sqrt(after);
                for (std::size_t l = 0; l < d; ++l) column[l] *= scale;
                break;
            }
            // d unit vectors span everything, so one of them survives.
            std::fill(column, column + d, 0.0);
            column[next_unit++ % d] = 1.0;
            if (attempt > static_cast<int>(d)) break;
        }
    }
}

}  // namespace

PrincipalAxes principal_axes(const PointView& points, std::size_t head, std::size_t sample) {
    const std::size_t d = static_cast<std::size_t>(points.cols);
    const std::size_t p = std::min(head, d);
    const std::uint64_t n = points.rows;
    const std::uint64_t taken = std::min<std::uint64_t>(n, sample);

    // Upper triangle of the sum of x x^T, four rows at a time: the
    // accumulator rows, not the products, are what the loops wait on.
    std::vector<double> moments(checked_product(d, d), 0.0);
    std::vector<float> row(d);
    std::vector<double> batch(checked_product(4, d), 0.0);
    std::size_t filled = 0;
    auto accumulate = [&] {
        const double* x0 = batch.data();
        const double* x1 = x0 + d;
        const double* x2 = x1 + d;
        const double* x3 = x2 + d;
        for (std::size_t a = 0; a < d; ++a) {
            const double w0 = x0[a], w1 = x1[a], w2 = x2[a], w3 = x3[a];
            double* out = moments.data() + a * d;
            for (std::size_t b = a; b < d; ++b) out[b] += (w0 * x0[b] + w1 * x1[b]) + (w2 * x2[b] + w3 * x3[b]);
        }
        std::fill(batch.begin(), batch.end(), 0.0);
        filled = 0;
    };
    for (std::uint64_t s = 0; s < taken; ++s) {
        // floor(s n / taken), without the product overflowing.
        const std::uint64_t i = s * (n / taken) + s * (n % taken) / taken;
        points.copy_row(i, row.data());
        bool finite = true;
        for (std::size_t l = 0; l < d; ++l) finite = finite && std::isfinite(row[l]);
        if (!finite) continue;
        double* x = batch.data() + filled * d;
        for (std::size_t l = 0; l < d; ++l) x[l] = row[l];
        if (++filled == 4) accumulate();
    }
    if (filled > 0) accumulate();  // the unfilled rows are zeros
    // Scaled to the largest entry: huge values would overflow the products
    // of later passes, tiny ones lose themselves under the renormalisation.
    double largest = 0.0;
    for (std::size_t a = 0; a < d; ++a) {
        for (std::size_t b = a; b < d; ++b) largest = std::max(largest, std::fabs(moments[a * d + b]));
    }
    const double scale = largest > 0.0 && std::isfinite(largest) ? 1.0 / largest : 0.0;
    for (std::size_t a = 0; a < d; ++a) {
        for (std::size_t b = a; b < d; ++b) {
            const double v = moments[a * d + b] * scale;
            moments[a * d + b] = v;
            moments[b * d + a] = v;
        }
    }

    // A fixed, irregular start: every column meets every direction.
    std::vector<double> q(checked_product(d, p)), product(checked_product(d, p));
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& v : q) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        v = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
    orthonormalise(q, d, p);
    for (int it = 0; it < iterations; ++it) {
        // S symmetric: S q as a sum of S's rows, loops without a reduction.
        std::fill(product.begin(), product.end(), 0.0);
        for (std::size_t j = 0; j < p; ++j) {
            const double* column = q.data() + j * d;
            double* out = product.data() + j * d;
            std::size_t l = 0;
            for (; l + 4 <= d; l += 4) {
                const double* s0 = moments.data() + l * d;
                const double *s1 = s0 + d, *s2 = s1 + d, *s3 = s2 + d;
                const double w0 = column[l], w1 = column[l + 1], w2 = column[l + 2], w3 = column[l + 3];
                for (std::size_t a = 0; a < d; ++a) out[a] += (w0 * s0[a] + w1 * s1[a]) + (w2 * s2[a] + w3 * s3[a]);
            }
            for (; l < d; ++l) {
                const double weight = column[l];
                const double* s0 = moments.data() + l * d;
                for (std::size_t a = 0; a < d; ++a) out[a] += weight * s0[a];
            }
        }
        q.swap(product);
        orthonormalise(q, d, p);
    }

    PrincipalAxes result{Matrix(p, d), 0.0};
    for (std::size_t j = 0; j < p; ++j) {
        float* out = result.axes.row(j).data();
        for (std::size_t l = 0; l < d; ++l) out[l] = static_cast<float>(q[j * d + l]);
    }
    result.defect = orthogonality_defect(result.axes);
    return result;
}

PrincipalAxes leading_axes(const PrincipalAxes& axes, std::size_t head) {
    const std::size_t p = std::min(head, axes.axes.rows());
    const std::size_t d = axes.axes.cols();
    PrincipalAxes result{Matrix(p, d), 0.0};
    std::copy(axes.axes.data(), axes.axes.data() + p * d, result.axes.data());
    result.defect = orthogonality_defect(result.axes);
    return result;
}

double orthogonality_defect(const Matrix& axes) {
    const std::size_t p = axes.rows(), d = axes.cols();
    double sum = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
        const float* a = axes.row(i).data();
        for (std::size_t j = i; j < p; ++j) {
            const float* b = axes.row(j).data();
            double dot = 0.0;
            for (std::size_t l = 0; l < d; ++l) dot += static_cast<double>(a[l]) * b[l];
            const double off = dot - (i == j ? 1.0 : 0.0);
            sum += (i == j ? 1.0 : 2.0) * off * off;
        }
    }
    // Each double dot is within d units of 2^-53 of exact (the products of
    // floats are exact in double); that, and the sum's own rounding, is far
    // below the absolute term added here.
    const double rounding = static_cast<double>(d + 2) * 0x1p-50;
    return std::sqrt(sum) * (1.0 + 0x1p-40) + static_cast<double>(p) * rounding;
}

}  // namespace quorla::engine
