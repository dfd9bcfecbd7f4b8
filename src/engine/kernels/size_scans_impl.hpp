// The balancing phase's scans over float sizes, written once over the lane
// count in the compiler's generic vectors. balancing.cpp includes this file
// once per level, each time after a `#pragma GCC target` and with
// QUORLA_SIZE_SCANS_NAME (the namespace of that copy) and
// QUORLA_SIZE_SCANS_LANES defined, so that every copy is compiled whole for
// its level while the rest of that file stays at the baseline; hence no
// include guard. (A template body inlined into per-level wrappers is not
// enough: gcc lowers its vectors for the baseline before inlining.)
//
// Vectors never cross a function boundary: at the baseline a wider vector
// argument would change the calling convention. Every lane does the
// sequential scan's single-precision operations; only the order in which a
// minimum is taken differs, and a minimum does not depend on it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorla::engine::QUORLA_SIZE_SCANS_NAME {
namespace {

constexpr std::size_t lanes = QUORLA_SIZE_SCANS_LANES;
using F = Lanes<lanes>::F;
using M = Lanes<lanes>::M;
using U = Lanes<lanes>::U;
constexpr float infinity = __builtin_inff();

// keys[j] + sizes[j] x penalty over all j: the first index of the least
// cost, and the overflow and NaN checks. Each lane keeps the first index
// of its least cost (a strictly smaller cost replaces it), so among the
// lanes' equal minima the lowest index is the sequential scan's choice;
// equal zeros of either sign included.
CostScan scan_costs(const float* keys, const float* sizes, std::size_t k, float size_penalty) {
    M overflow{}, unordered{};
    F least = F{} + infinity;
    U index{}, best{};
    for (std::size_t l = 0; l < lanes; ++l) index[l] = static_cast<std::uint32_t>(l);
    std::size_t j = 0;
    for (; j + lanes <= k; j += lanes) {
        F size, key;
        std::memcpy(&size, sizes + j, sizeof size);
        std::memcpy(&key, keys + j, sizeof key);
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
    CostScan scan{infinity, 0, false, false};
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
        scan.overflows = scan.overflows || std::isinf(penalty);
        scan.unordered = scan.unordered || std::isnan(cost);
        if (cost < scan.least) {
            scan.least = cost;
            scan.best = j;
        }
    }
    return scan;
}

// The least (keys[j] - own_key) / (own_size - sizes[j]) over the clusters
// smaller than own_size; +inf if none, and NaN never taken.
float least_ratio(const float* keys, const float* sizes, std::size_t k, float own_size, float own_key) {
    F least = F{} + infinity;
    std::size_t j = 0;
    for (; j + lanes <= k; j += lanes) {
        F size, key;
        std::memcpy(&size, sizes + j, sizeof size);
        std::memcpy(&key, keys + j, sizeof key);
        const F gap = own_size - size;
        const F ratio = (key - own_key) / gap;
        const M take = (own_size > size) & (gap != 0.0f) & (least > ratio);
        least = take ? ratio : least;
    }
    float smallest = infinity;
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

constexpr SizeScans table{&scan_costs, &least_ratio};

}  // namespace quorla::engine::QUORLA_SIZE_SCANS_NAME

#undef QUORLA_SIZE_SCANS_NAME
#undef QUORLA_SIZE_SCANS_LANES
