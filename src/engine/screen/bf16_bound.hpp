// How far a bf16 screen's key (screen/bf16_screen.hpp) can be from the key the
// exact chain computes for the same point and centroid, and the window that
// follows: every cluster whose approximate key is within the window of the
// point's best approximate key is a candidate, and the cluster the full
// step would choose is always one of them.
//
// The bound. Let u = 2^-24, b = 2^-8 and g(n) = n u / (1 - n u). x is a
// point of d floats, c a centroid, x~ and c~ their values rounded to bf16,
// R >= |x|, and over every centroid C~ >= |c~|, Ec >= |c - c~|, C >= |c|.
//  1. Rounding. To nearest with 8 significant bits, each value moves by at
//     most b times its magnitude, or by less than 2^-126 where a subnormal
//     is flushed, so |x - x~| <= Ex = b R + sqrt(d) 2^-126 (no value is near
//     the float range's end: R < 2^59). The centroids' Ec is measured.
//     x~.c~ - x.c = x.(c~ - c) + (x~ - x).c~, so
//         |x~.c~ - x.c| <= R Ec + Ex C~.
//  2. The screen's sum. Each product of two bf16 values is exact in single
//     precision, and the m = 2 ceil(d / 2) additions (padding included), in
//     any order, fused or not, each rounded to nearest, are within
//     g(m) sum |x~_l c~_l| <= g(m) (R + Ex) C~ of x~.c~; a result or product
//     flushed or rounded below 2^-126 adds less than 2^-126 each, 2m 2^-126
//     in all. The approximate dot a is therefore within
//         F = R Ec + Ex C~ + g(m) (R + Ex) C~ + m 2^-125
//     of x.c.
//  3. The exact chain's dot d~, any order, fused or not: within
//     g(d + 4) R C + (d + 4) 2^-140 of x.c (the term for gradual underflow as
//     in bound_arithmetic.hpp). So |d~ - a| <= D = F + g(d + 4) R C + (d + 4) 2^-140.
//  4. Keys. Inner product: the keys are -d~ and -a, within D. Euclidean:
//     both keys are fl(n_x + fl(n_c - 2 dot)) with the same float norms, so
//     they differ by at most 2 D plus the four roundings, each at most u
//     times a magnitude below M = (n_x + N_c + 2 (R C + D)) (1 + 2u), N_c the
//     largest centroid norm: within 2 D + 4 u M.
// With that bound K on |exact - approximate| for every cluster, a cluster j
// whose approximate key exceeds the best one (cluster b's) by more than 2K
// has an exact key above b's: exact_j >= approx_j - K > approx_b + K >=
// exact_b. It is strictly farther than b, so neither the nearest cluster
// nor any cluster tied with it under either tie rule. window() returns 2K,
// widened by 2^-20 of itself for the double-precision arithmetic here (a
// few units of 2^-53 per step), and never below 2^-20 of the largest
// magnitude a key can have (L: (R + Ex) C~ (1 + g(m)) for a dot, M for a
// Euclidean key), so that the cut below can be formed in single precision.
//
// The cut. The screen keeps, per point, the clusters whose key is at most
// cut = fl(best + w), w = 1.25 times the window rounded up to a float. The
// sum's rounding is within u (|best| + w) <= u (2^20 + 1.25) window, far
// below the extra quarter, so cut >= best + window: a cluster above the cut
// is excluded by the argument above.
//
// Every quantity is finite when the window is: a NaN or infinity among a
// point's values makes R NaN or infinite, among the centroids' makes C~ or
// Ec so, and the window is then infinite, which the caller answers by
// scoring the point in full, where the exact chain meets the NaN and faults
// as the full step does. R + C < 2^59 also keeps every sum, norm and key
// far from overflow.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "engine/label/bound_arithmetic.hpp"

namespace quorla::engine::screen_bound {

inline constexpr double unit = 0x1p-24;
inline constexpr double bf16_unit = 0x1p-8;
inline constexpr double flushed = 0x1p-126;
inline constexpr double largest_length = 0x1p59;
inline constexpr double infinity = __builtin_inf();

inline double gamma(double terms) {
    const double t = terms * unit;
    return t < 0.01 ? t / (1.0 - t) : infinity;
}

// What the window needs of the centroids, measured once per step.
struct CentroidSide {
    double rounded_length = 0.0;  // C~ >= every |c~|
    double rounding = 0.0;        // Ec >= every |c - c~|
    double largest_norm = 0.0;    // N_c: the largest float squared norm (Euclidean)
};

// R >= |x| from n = the point's squared norm as dot_f32 computes it: a sum
// of d non-negative products, within g(d + 4) of exact (relative), plus
// underflow.
inline double length_above(float squared_norm, std::size_t dim) {
    const double terms = static_cast<double>(dim + 4);
    const double exact_above = static_cast<double>(squared_norm) / (1.0 - terms * unit * 1.01) + terms * 0x1p-140;
    return bounds::inflate(std::sqrt(exact_above), dim);
}

// 2K of the derivation, for a point of length at most `length` and exact
// squared norm `point_norm` (Euclidean); infinite where no finite bound holds.
inline double window(bool euclidean, std::size_t dim, double length, float point_norm, const CentroidSide& side) {
    if (!(length < largest_length) || !(side.rounded_length + side.rounding < largest_length)) return infinity;
    const double d = static_cast<double>(dim);
    const double m = 2.0 * std::ceil(d / 2.0);
    const double centroid_length = side.rounded_length + side.rounding;
    const double point_rounding = bf16_unit * length + std::sqrt(d) * flushed;
    const double screen = length * side.rounding + point_rounding * side.rounded_length +
                          gamma(m) * (length + point_rounding) * side.rounded_length + m * 0x1p-125;
    const double dot = screen + gamma(d + 4.0) * length * centroid_length + (d + 4.0) * 0x1p-140;
    double key = dot;
    double largest_key = (length + point_rounding) * side.rounded_length * (1.0 + gamma(m));
    if (euclidean) {
        const double magnitude = (std::fabs(static_cast<double>(point_norm)) + side.largest_norm +
                                  2.0 * (length * centroid_length + dot)) * (1.0 + 2.0 * unit);
        key = 2.0 * dot + 4.0 * unit * magnitude;
        largest_key = magnitude;
    }
    const double width = std::max(2.0 * key * (1.0 + 0x1p-20), largest_key * 0x1p-20);
    return width < infinity ? width : infinity;  // NaN too
}

// The float w of the cut (the window x 1.25, rounded up); -infinity for a
// point that is not screened (its window is not finite, or absurdly wide),
// whose cut no key meets.
inline float cut_width(double window) {
    if (!(window < 0x1p100)) return -__builtin_inff();
    return bounds::round_up(window * 1.25);
}

}  // namespace quorla::engine::screen_bound
