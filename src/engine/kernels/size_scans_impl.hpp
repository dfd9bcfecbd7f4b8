// The balancing phase's scans over float sizes, written once over the lane
// count in the compiler's generic vectors and filled into each level's
// kernel table (tile_kernels.hpp). Each level's file includes this after its
// `#pragma GCC target`, as it does tile_kernels_impl.hpp, so that its copy
// is compiled whole for the level: a template defined at the baseline and
// instantiated for a level is not enough, since gcc lowers its vectors for
// the baseline. For that reason too nothing here includes a standard
// header: one first included after the pragma would compile its inline
// functions for the level. The scalar level takes 4 lanes at the baseline.
//
// Vectors never cross a function boundary: at the baseline a wider vector
// argument would change the calling convention. Every lane does the
// sequential scan's single-precision operations; only the order in which a
// minimum is taken differs, and a minimum does not depend on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine::tiles {
namespace {

// Vector types of 4, 8 and 16 lanes (gcc ignores a vector_size that
// depends on a template parameter, hence one specialisation each).
template <std::size_t lanes>
struct SizeLanes;
template <>
struct SizeLanes<4> {
    typedef float F __attribute__((vector_size(16)));
    typedef std::int32_t M __attribute__((vector_size(16)));
    typedef std::uint32_t U __attribute__((vector_size(16)));
};
template <>
struct SizeLanes<8> {
    typedef float F __attribute__((vector_size(32)));
    typedef std::int32_t M __attribute__((vector_size(32)));
    typedef std::uint32_t U __attribute__((vector_size(32)));
};
template <>
struct SizeLanes<16> {
    typedef float F __attribute__((vector_size(64)));
    typedef std::int32_t M __attribute__((vector_size(64)));
    typedef std::uint32_t U __attribute__((vector_size(64)));
};

constexpr float size_scan_infinity = __builtin_inff();

// keys[j] + sizes[j] x penalty over all j: the first index of the least
// cost, and the overflow and NaN checks. Each lane keeps the first index
// of its least cost (a strictly smaller cost replaces it), so among the
// lanes' equal minima the lowest index is the sequential scan's choice;
// equal zeros of either sign included.
template <std::size_t lanes>
CostScan scan_costs_f32(const float* keys, const float* sizes, std::size_t k, float size_penalty) {
    using F = typename SizeLanes<lanes>::F;
    using M = typename SizeLanes<lanes>::M;
    M overflow{}, unordered{};
    F least = F{} + size_scan_infinity;
    typename SizeLanes<lanes>::U index{}, best{};
    for (std::size_t l = 0; l < lanes; ++l) index[l] = static_cast<std::uint32_t>(l);
    std::size_t j = 0;
    for (; j + lanes <= k; j += lanes) {
        F size, key;
        __builtin_memcpy(&size, sizes + j, sizeof size);
        __builtin_memcpy(&key, keys + j, sizeof key);
        const F penalty = size * size_penalty;
        const F cost = key + penalty;
        // Sizes here are finite, so the penalty is infinite exactly where
        // its difference from itself is NaN.
        const F spread = penalty - penalty;
        overflow |= spread != spread;
        unordered |= cost != cost;
        const M smaller = cost < least;
        least = smaller ? cost : least;
        best = smaller ? index : best;
        index += static_cast<std::uint32_t>(lanes);
    }
    CostScan scan{size_scan_infinity, 0, false, false};
    for (std::size_t l = 0; l < lanes; ++l) {
        scan.overflows = scan.overflows || overflow[l] != 0;
        scan.unordered = scan.unordered || unordered[l] != 0;
        if (least[l] < scan.least || (least[l] == scan.least && best[l] < scan.best)) {
            scan.least = least[l];
            scan.best = best[l];
        }
    }
    for (; j < k; ++j) {
        const float penalty = sizes[j] * size_penalty;
        const float cost = keys[j] + penalty;
        scan.overflows = scan.overflows || __builtin_isinf(penalty);
        scan.unordered = scan.unordered || __builtin_isnan(cost);
        if (cost < scan.least) {
            scan.least = cost;
            scan.best = j;
        }
    }
    return scan;
}

// The least (keys[j] - own_key) / (own_size - sizes[j]) over the clusters
// smaller than own_size; +inf if none, and NaN never taken.
template <std::size_t lanes>
float least_ratio_f32(const float* keys, const float* sizes, std::size_t k, float own_size, float own_key) {
    using F = typename SizeLanes<lanes>::F;
    using M = typename SizeLanes<lanes>::M;
    F least = F{} + size_scan_infinity;
    std::size_t j = 0;
    for (; j + lanes <= k; j += lanes) {
        F size, key;
        __builtin_memcpy(&size, sizes + j, sizeof size);
        __builtin_memcpy(&key, keys + j, sizeof key);
        const F gap = own_size - size;
        const F ratio = (key - own_key) / gap;
        const M take = (own_size > size) & (gap != 0.0f) & (least > ratio);
        least = take ? ratio : least;
    }
    float smallest = size_scan_infinity;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (least[l] < smallest) smallest = least[l];
    }
    for (; j < k; ++j) {
        const float gap = own_size - sizes[j];
        if (own_size > sizes[j] && gap != 0.0f) {
            const float ratio = (keys[j] - own_key) / gap;
            if (smallest > ratio) smallest = ratio;
        }
    }
    return smallest;
}

}  // namespace
}  // namespace quorla::engine::tiles
