// The arithmetic of the bounded label step: how far a computed key can be
// from the exact distance, the bounds made from keys, and the rounding that
// keeps every stored bound on the safe side. Inline, as the bound test runs
// it for every group of every point. The bookkeeping that uses it is in
// bounded_step.cpp and gathered_scorer.cpp.
//
// The error bound. Let u = 2^-24 and g(d) = d u / (1 - d u). A dot product of
// d float terms, fused or not and in any order, is within
// g(d) sum |x_l c_l| <= g(d) |x| |c| of the exact one, and so are the squared
// norms |x|^2 and |c|^2 of theirs. The Euclidean key is
// e~ = fl(n_x + fl(n_c - 2 d~)), 2 d~ exact. With s = n_c - 2 d~:
//     |s - (|c|^2 - 2 x.c)|   <= g(d) (|c|^2 + 2 |x||c|)
//     |fl(s) - s|             <= u (1 + g(d)) (|c|^2 + 2 |x||c|)
//     |n_x + fl(s) - |x-c|^2| <= (g(d) + u (1 + g(d))) (|x| + |c|)^2
// and the last rounding adds u |n_x + fl(s)|, at most u (1 + g(d) + 2u)
// (|x| + |c|)^2. So |e~ - |x-c|^2| <= (d + 3) u (1 + 1/100) (|x| + |c|)^2
// for d u < 1/200, and the inner-product key -d~ is within g(d) |x||c| of
// -x.c. key_error takes twice the first factor, (d + 4) 2u, over upper
// bounds R >= |x| and C >= every |c|; gradual underflow adds at most 2^-150
// per rounding, covered by an absolute term. The double arithmetic of the
// bounds themselves (a few units of 2^-53 of (R + C)^2 per step, stored
// rounded outward) stays far inside that factor of two.
//
// With exact distances D_j = |x - c_j| and bounds U >= D_a, L_g <= D_j for
// every other j of group g: e~_j >= L_g^2 - E and e~_a <= U^2 + E, so
// L_g^2 > U^2 + 2E proves e~_j > e~_a, strictly: the full step's choice
// cannot be j, whatever its tie rule. Inner product, with scores
// S_j = -x.c_j: L_g > U + 2E. A centroid that moved by delta moves D_j,
// and S_j / |x|, by at most delta.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quorla::engine::bounds {

inline constexpr double unit = 0x1p-24;
inline constexpr double double_unit = 0x1p-53;
inline constexpr float infinity = __builtin_inff();
// The absolute term per summed term: a rounding in the subnormal range may
// be off by up to 2^-150 however small the sum is, which no relative term
// covers; 2^-140 leaves room for every rounding of a term's path.
inline constexpr double underflow_term = 0x1p-140;
// Four units of 2^-24: a single-precision result is within one unit of
// exact, and taking four of its magnitude off (a step rounded within one
// unit again) moves it past the exact value, outward.
inline constexpr float outward_margin = 0x1p-22f;

// The neighbours of a finite float, by its bits (nextafter is a library
// call, and this runs for every bound of every point).
inline float float_above(float f) {
    if (f == 0.0f) return std::numeric_limits<float>::denorm_min();
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    return std::bit_cast<float>(f > 0.0f ? bits + 1 : bits - 1);
}

inline float round_up(double value) {
    const float f = static_cast<float>(value);
    return static_cast<double>(f) < value ? float_above(f) : f;
}

// Double-precision lengths and distances of float rows are within
// (d + 2) units of 2^-53 of exact; this factor covers that.
inline double inflate(double value, std::size_t dim) {
    return value * (1.0 + static_cast<double>(dim + 4) * 2.0 * double_unit);
}

// Sums in eight interleaved partial sums, so that the compiler can keep
// them in vector lanes; the error bound holds for any order.
template <class Term>
double sum_of(std::size_t dim, Term term) {
    double partial[8] = {};
    std::size_t l = 0;
    for (; l + 8 <= dim; l += 8) {
        for (std::size_t q = 0; q < 8; ++q) partial[q] += term(l + q);
    }
    for (; l < dim; ++l) partial[0] += term(l);
    return ((partial[0] + partial[1]) + (partial[2] + partial[3])) + ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

inline double length_of(const float* row, std::size_t dim) {
    return inflate(std::sqrt(sum_of(dim, [&](std::size_t l) { return static_cast<double>(row[l]) * row[l]; })), dim);
}

inline double distance_between(const float* a, const float* b, std::size_t dim) {
    const double sum = sum_of(dim, [&](std::size_t l) {
        const double diff = static_cast<double>(a[l]) - b[l];
        return diff * diff;
    });
    return inflate(std::sqrt(sum), dim);
}

// The E of the derivation above, for a point of length at most `length`.
inline double key_error(bool euclidean, std::size_t dim, double length, double centroid_length) {
    const double factor = static_cast<double>(dim + 4) * 2.0 * unit;
    const double tiny = static_cast<double>(dim + 4) * underflow_term;
    const double scale = euclidean ? (length + centroid_length) * (length + centroid_length) : length * centroid_length;
    return factor * scale + tiny;
}

// The least group bound that proves every centroid of the group farther
// than the own one, rounded up: L_g^2 > U^2 + 2E (Euclidean) or
// L_g > U + 2E (inner product), as a float L_g is compared against.
inline float proof_threshold(bool euclidean, double upper, double error) {
    return round_up(euclidean ? std::sqrt(upper * upper + 2.0 * error) : upper + 2.0 * error);
}

// Eight single-precision partial sums finished in double precision.
inline double finish_partials(const float (&partial)[8]) {
    return ((static_cast<double>(partial[0]) + partial[1]) + (partial[2] + static_cast<double>(partial[3]))) +
           ((static_cast<double>(partial[4]) + partial[5]) + (partial[6] + static_cast<double>(partial[7])));
}

// Single-precision sums of d terms are within (d + 2) u of exact relative
// to the sum of magnitudes; these widen them by twice that, plus an
// absolute term for underflow, and finish in double precision.
inline double distance_above(const float* a, const float* b, std::size_t dim) {
    float partial[8] = {};
    std::size_t l = 0;
    for (; l + 8 <= dim; l += 8) {
        for (std::size_t q = 0; q < 8; ++q) {
            const float diff = a[l + q] - b[l + q];
            partial[q] += diff * diff;
        }
    }
    for (; l < dim; ++l) partial[0] += (a[l] - b[l]) * (a[l] - b[l]);
    const double sum = finish_partials(partial);
    const double widened =
        sum * (1.0 + static_cast<double>(dim + 4) * 2.0 * unit) + static_cast<double>(dim + 4) * underflow_term;
    return inflate(std::sqrt(widened), dim);
}

inline double score_above(const float* x, const float* c, std::size_t dim, double length, double centroid_length) {
    float partial[8] = {};
    std::size_t l = 0;
    for (; l + 8 <= dim; l += 8) {
        for (std::size_t q = 0; q < 8; ++q) partial[q] += x[l + q] * c[l + q];
    }
    for (; l < dim; ++l) partial[0] += x[l] * c[l];
    const double sum = finish_partials(partial);
    return -sum + static_cast<double>(dim + 4) * 2.0 * unit * length * centroid_length +
           static_cast<double>(dim + 4) * underflow_term;
}

// Bounds on the exact distance (score) from a computed key.
inline double upper_from_key(bool euclidean, float key, double error) {
    const double high = static_cast<double>(key) + error;
    return euclidean ? std::sqrt(std::max(0.0, high)) : high;
}

// A lower bound from a computed key, in single precision, for the many
// bounds of a recomputed tile, in a loop the compiler can vectorise.
// `error` is E rounded up, plus underflow_term for the steps below. Each
// single-precision step is within u = 2^-24 (relative) of exact, so
// fl(key - error) is at most (1 + u) (key - E) when positive, its square
// root at most (1 + u)^1.5 sqrt(key - E), and scaling by 1 - 4u, itself
// rounded, leaves the result below sqrt(key - E). Inner product:
// fl(key - error) is within u of key - E, and taking 4u of its magnitude
// off, rounded, stays below.
inline float lower_from_key_f32(bool euclidean, float key, float error) {
    constexpr float shrink = 1.0f - outward_margin;
    const float low = key - error;
    if (euclidean) return std::sqrt(std::max(0.0f, low)) * shrink;
    return low == infinity ? low : low - std::fabs(low) * outward_margin;
}

}  // namespace quorla::engine::bounds
