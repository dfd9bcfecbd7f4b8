// The Euclidean key, written once for every value type that computes it: a
// float in the scalar level and the other steps (dot.hpp includes this
// file), and each vector level's F in its tile and one-point kernels
// (tile_kernels_impl.hpp). Plain operators work on both, since gcc's SIMD
// types are its own vector types; with -ffp-contract=off they stay three
// roundings.
//
// A vector level's file must include this first after its target pragma, as
// tile_kernels_impl.hpp does, so that its instantiations are compiled for
// the level: a template defined at the baseline cannot be inlined into that
// level's kernels. Internal linkage for the same reason as insert_kept's
// (tile_kernels.hpp): no copy compiled for a vector level can be picked by
// the linker for baseline code.
#pragma once

namespace quorla::engine {
namespace {

// t = 2d, u = |c|^2 - t, e = |x|^2 + u: in this order, each step rounded,
// never fused, so that a key compared across clusters rounds the same way
// at every level and in every kernel. Not clamped at zero: rounding may make
// it slightly negative, and that value is compared as it is.
template <class T>
[[gnu::always_inline]] inline T euclidean_key(T dot, T centroid_norm, T point_norm) {
    const T twice = 2.0f * dot;
    const T shifted = centroid_norm - twice;
    return point_norm + shifted;
}

}  // namespace
}  // namespace quorla::engine
