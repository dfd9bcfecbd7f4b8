// How far below a cluster's exact key the dimension screen's key may lie,
// and the window that follows. The screen measures the leading p
// coordinates of a point and a centroid in a basis A (p x d float rows,
// principal_axes.hpp) and bounds the rest by the lengths left over.
//
// The bound. u = 2^-24, g(n) = n u / (1 - n u). A is nearly orthonormal:
// A A^T = I + F with |F| <= eta (measured). x a point, c a centroid, X >=
// |x|, C >= every |c|; exact heads h = A x, v = A c; the computed heads H~,
// V~ (any float dot chains).
//  1. Tails. With M = I - A^T A, M^2 = M + A^T F A, so x.c = h.v + x^T M c
//     and x^T M c = (M x).(M c) - h^T F v. |M x|^2 = x^T M^2 x = |x|^2 -
//     |h|^2 + h^T F h <= X^2 - (1 - eta) |h|^2, and |h| >= |H~| - Eh. With
//     T(x) the square root of that (0 if negative):
//         x.c <= h.v + T(x) T(c) + eta |h| |v|.
//  2. Heads. Each coordinate of H~ is a dot of d terms with a row of A
//     (|row| <= sqrt(1 + eta)): |H~ - h| <= Eh(X) = sqrt(p) g(d)
//     sqrt(1 + eta) X + sqrt(p) d 2^-140, and the same for V~ with C. So
//         h.v <= H~.V~ + Eh(X) V + (|H~| + Eh(X)) Eh(C),
//     V >= every |V~|, and the screen's chain s~ of H~.V~ is within
//     g(p) |H~| V + p 2^-140 of it.
//  3. Together: x.c <= s~ + T(x) T(c) + delta, delta the sum of the terms
//     in |H~|, V, Eh above. The exact chain's dot d~ is within
//     g(d + 4) X C + (d + 4) 2^-140 of x.c.
//  4. Keys. Euclidean: the exact key is fl(n_x + fl(n_c - 2 d~)), the
//     screen's lo~ = fl(fl(n_x + fl(n_c - 2 s~)) - fl(a T(c))), a >= 2 T(x);
//     every rounding is within u of a magnitude below Mk (the norms plus
//     2 (X + Eh)(C + Eh) and 2 X C), seven of them in all. So
//         exact >= lo~ - W,  W = 2 delta + 2 (d~'s error) + 10 u Mk.
//     Inner product: exact = -d~, lo~ = fl(-s~ - fl(a T(c))), a >= T(x):
//     W = delta + (d~'s error) + 4 u L, L the dots' magnitude.
// A cluster whose lo~ exceeds e_b + W, e_b the exact key of any cluster b,
// has an exact key above e_b: strictly farther than b, so neither the
// nearest cluster nor tied with it under either tie rule. As in
// bf16_bound.hpp, W is widened by 2^-20 of itself for the double
// arithmetic here and kept at least 2^-20 of the largest key, so that the
// cut fl(e_b + 1.25 W) is at least e_b + W.
//
// A value that is not finite, or a length past 2^59, makes W infinite:
// the point is then scored in full, where the exact chain meets it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "engine/label/bound_arithmetic.hpp"
#include "engine/screen/bf16_bound.hpp"

namespace quorla::engine::dimension_bound {

using screen_bound::gamma;
using screen_bound::infinity;
using screen_bound::largest_length;
using screen_bound::unit;

struct Basis {
    std::size_t dim = 0;
    std::size_t head = 0;
    double defect = 0.0;  // eta
};

// What the window needs of the centroids, measured once per step.
struct CentroidSide {
    double length = 0.0;        // C >= every |c|
    double head_length = 0.0;   // V >= every |V~|
    double largest_norm = 0.0;  // the largest float squared norm (Euclidean)
};

// Eh(length): how far a computed head may be from the exact one.
inline double head_error(const Basis& basis, double length) {
    const double root = std::sqrt(static_cast<double>(basis.head));
    return root * gamma(static_cast<double>(basis.dim)) * std::sqrt(1.0 + basis.defect) * length +
           root * static_cast<double>(basis.dim) * 0x1p-140;
}

// T: an upper bound on the length outside the head of a vector of length
// at most `length` whose computed head has length `head_length`.
inline double tail_length(const Basis& basis, double length, double head_length) {
    const double below = std::max(0.0, head_length - head_error(basis, length));
    const double squared = length * length - (1.0 - basis.defect) * below * below;
    if (!(squared > 0.0)) return squared == 0.0 || squared < 0.0 ? 0.0 : infinity;  // NaN: no bound
    return std::sqrt(squared) * (1.0 + 0x1p-40);
}

// W for a point of length at most `length` whose computed head has length
// `head_length` and whose float squared norm is `point_norm` (Euclidean).
inline double window(bool euclidean, const Basis& basis, double length, double head_length, float point_norm,
                     const CentroidSide& side) {
    if (!(length < largest_length) || !(side.length < largest_length) || !(head_length < largest_length) ||
        !(side.head_length < largest_length)) {
        return infinity;
    }
    const double d = static_cast<double>(basis.dim);
    const double p = static_cast<double>(basis.head);
    const double point_error = head_error(basis, length);
    const double centroid_error = head_error(basis, side.length);
    const double head_above = head_length + point_error;
    const double delta = gamma(p) * head_length * side.head_length + p * 0x1p-140 +
                         point_error * side.head_length + head_above * centroid_error +
                         basis.defect * head_above * (side.head_length + centroid_error);
    const double chain = gamma(d + 4.0) * length * side.length + (d + 4.0) * 0x1p-140;
    // |s~|, |d~| and the tail term a T(c) / 2 are each below this.
    const double dots = head_length * side.head_length * (1.0 + gamma(p)) + p * 0x1p-140 + length * side.length * 1.01 + chain;
    double width, largest_key;
    if (euclidean) {
        largest_key = (std::fabs(static_cast<double>(point_norm)) + side.largest_norm + 2.0 * dots) * (1.0 + 4.0 * unit);
        width = 2.0 * delta + 2.0 * chain + 10.0 * unit * largest_key;
    } else {
        largest_key = dots * (1.0 + 4.0 * unit);
        width = delta + chain + 4.0 * unit * largest_key;
    }
    width = std::max(width * (1.0 + 0x1p-20), largest_key * 0x1p-20);
    return width < infinity ? width : infinity;  // NaN too
}

// The float added to e_b for the cut; -infinity for a window that is not
// finite (the point is then scored in full).
inline float cut_width(double window) { return screen_bound::cut_width(window); }

}  // namespace quorla::engine::dimension_bound
