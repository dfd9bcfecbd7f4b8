// The bf16 screen: approximate keys of a tile of points against every
// centroid, from values rounded to bfloat16 (8 significant bits) with
// single-precision sums. A screened label step (label/screened_step.hpp)
// ranks clusters by these keys and scores only the few that could be the
// nearest with the level's exact chain; how far an approximate key can be
// from the exact one is worked out in screen/bf16_bound.hpp.
//
// Two units compute the same keys, bit for bit:
//  - emulated: portable code that rounds and multiplies in software. It
//    runs on every machine and is the oracle the other is tested against;
//  - avx512_bf16: VDPBF16PS, on x86-64 CPUs (and OSes) with AVX512_BF16.
// Two more sum in the tile unit's order (amx_tiles.hpp), so their keys may
// differ from those two within the error bound, and agree with each other
// bit for bit:
//  - amx_model: the tile unit's software model, on every machine;
//  - amx: the tile unit itself, where the CPU, the OS and the kernel allow
//    it and its self-check against the model passed.
//
// Layouts:
//  - Screen tiles, shared by every unit: screen_tile_rows points,
//    pair-major: entry q * rows + r is point r's pair q, bf16 of dimension
//    2q in the low 16 bits and of 2q + 1 in the high 16 (0 past an odd
//    dimension), for q up to panel_pairs(d): the pairs past the real ones,
//    which only the tile units read, are zero, as are rows past the real
//    ones. Points are rounded as their tile is packed; no bf16 copy of the
//    data exists.
//  - Screen panels, in Panels::pairs, rounded once per step: for the vector
//    units, the centroids in groups of panel_width, each group pair-major
//    ([pairs][panel_width]), the last group zero-padded; for the tile units
//    (ScreenKernels::centroid_rows), the centroids row by row, entry
//    j * panel_pairs(d) + q, zero past the real pairs and in the rows that
//    fill the last group of panel_width.
// A pair's two products are exact in single precision (8 + 8 significant
// bits) and are added to the running sum one after the other, the high one
// first, each sum rounded to nearest: VDPBF16PS's order, which the emulated
// unit follows step for step. (The instruction also takes a subnormal sum
// as zero and flushes products and sums below 2^-126 to zero, as Zen 4
// does; the emulation keeps them. The units can differ only where values
// are that small, and the error bound covers both.)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/kernels/kernel_level.hpp"
#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine {

enum class ScreenUnit { emulated = 0, avx512_bf16 = 1, amx_model = 2, amx = 3 };

inline constexpr ScreenUnit all_screen_units[] = {ScreenUnit::emulated, ScreenUnit::avx512_bf16, ScreenUnit::amx_model,
                                                  ScreenUnit::amx};

// Points per screen tile: the AVX-512 unit's register tile (3 vectors of
// 16 points), which the emulated unit shares so that both read one layout.
inline constexpr std::size_t screen_tile_rows = 48;

// Pairs a tile unit reads per point and centroid: the real ones,
// (d + 1) / 2, rounded up to whole blocks, the depth of one tile product
// (amx_tiles.hpp).
inline constexpr std::size_t pair_block = 16;
inline constexpr std::size_t panel_pairs(std::size_t dim) {
    return ((dim + 1) / 2 + pair_block - 1) / pair_block * pair_block;
}

// Clusters between two moves of a row's cut: the AVX-512 unit's register
// group, which the emulated unit follows so that both keep, and overflow,
// exactly alike.
inline constexpr std::size_t screen_cut_group = 8;

// Keys are looked at in blocks of this many: a block whose least key is
// above a bound holds nothing below it.
inline constexpr std::size_t key_block = 16;

const char* screen_unit_name(ScreenUnit unit);

// True if the unit was compiled in and the CPU and OS support it (for the
// tile unit: and it passed its self-check).
bool screen_unit_supported(ScreenUnit unit);

// The tile unit is on the machine, allowed, and passed its self-check
// (amx_unit.cpp); screen_unit_supported(ScreenUnit::amx) asks this.
bool amx_unit_ready();

// The tile unit is on the machine but its dots differed from the model's on
// the self-check, so it is off for the process; the interface warns once.
bool amx_unit_failed_check();

// The hardware unit that the automatic choice uses beside kernels of
// `level`: of AMX and AVX512_BF16, those the machine has, the one whose
// screen a measurement, taken once per process and level, finds fastest,
// if it is clearly faster than the level's label kernel; none otherwise
// (bf16_choice.cpp).
std::optional<ScreenUnit> detected_screen_unit(KernelLevel level);

namespace tiles {

// Per-worker buffers of the screen: for each screen tile row, the clusters
// kept so far with their approximate keys, in ascending cluster order.
struct ScreenScratch {
    std::size_t capacity = 0;           // clusters a row may keep
    std::uint32_t* clusters = nullptr;  // screen_tile_rows * capacity
    float* keys = nullptr;              // screen_tile_rows * capacity
    std::uint32_t* sizes = nullptr;     // screen_tile_rows: kept so far; capacity + 1 once a row overflowed
    const float* widths = nullptr;      // screen_tile_rows: each row's cut width (bf16_bound.hpp)
    float* lane_keys = nullptr;         // screen_tile_rows: keys of one cluster spilled for the rare keeps
    float* cuts = nullptr;              // screen_tile_rows: the running cut, at the end the final one
    // Where given, row r's least key of clusters [16 b, 16 b + 16) goes to
    // minima[b * screen_tile_rows + r] (b below ceil(k / key_block)), for
    // every screened row: a screened refresh bounds whole groups from them.
    float* minima = nullptr;
};

struct ScreenKernels {
    // Keys of every row of a screen tile against every centroid of `panels`
    // (whose `pairs` hold the screen panels; `norms` the float kernels'
    // squared norms, Euclidean only), smaller is closer: the Euclidean key
    // of key.hpp from the approximate dot and the exact norms, or the
    // negated approximate dot. Row r's key of cluster j goes to
    // keys[r * row_stride + j]; padding rows are written too. point_norms:
    // the exact chain's squared norms of the tile's rows, screen_tile_rows
    // of them.
    void (*keys)(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                 float* keys, std::size_t row_stride);
    // The same keys, kept only where they may matter: each row keeps the
    // clusters whose key is at most its running cut, the least key so far
    // plus the row's width, and ends with its final cut in scratch.cuts.
    // The cut only falls, so every key at most the final cut was kept,
    // unless the row overflowed. Rows start with sizes 0.
    void (*screen)(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                   const ScreenScratch& scratch);
    // The unit reads the centroids row by row (the tile units), not in panels.
    bool centroid_rows = false;
};

// The unit's kernels; an internal fault if the machine lacks it.
const ScreenKernels& screen_kernels_for(ScreenUnit unit);

// nullptr when not built (anything but x86-64).
const ScreenKernels* screen_kernels_bf16_avx512();
// nullptr when not built (anything but x86-64 Linux).
const ScreenKernels* screen_kernels_amx();
const ScreenKernels& screen_kernels_amx_model();

// Keeps (key, cluster) in row r's list. A full list first drops what is
// above the row's current cut; if nothing goes, the row has overflowed and
// keeps nothing more. Internal linkage, as insert_kept's.
namespace {
inline void keep_candidate(const ScreenScratch& scratch, std::size_t r, float key, std::uint32_t cluster, float cut) {
    std::uint32_t& size = scratch.sizes[r];
    const std::size_t capacity = scratch.capacity;
    if (size > capacity) return;
    float* keys = scratch.keys + r * capacity;
    std::uint32_t* clusters = scratch.clusters + r * capacity;
    if (size == capacity) {
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < size; ++i) {
            if (keys[i] <= cut) {
                keys[kept] = keys[i];
                clusters[kept] = clusters[i];
                ++kept;
            }
        }
        size = kept;
        if (size == capacity) {
            size = static_cast<std::uint32_t>(capacity + 1);
            return;
        }
    }
    keys[size] = key;
    clusters[size] = cluster;
    ++size;
}
}  // namespace

// Internal linkage, as everything with inline code that vector files include
// (key.hpp): no copy compiled for a vector target can serve baseline code.
namespace {

// `value` rounded to bfloat16, as its upper 16 bits: to nearest, ties to
// even, as VCVTNEPS2BF16 does. Subnormal inputs become zeros of their sign
// (the instruction's DAZ); a NaN stays a NaN (quiet). Values within half a
// bf16 unit of the largest float round to infinity.
// Written without branches, so that packing loops vectorise.
inline std::uint32_t bf16_bits(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t rounded = (bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16;
    const std::uint32_t quiet = (bits >> 16) | 0x0040u;
    const std::uint32_t zero = (bits >> 16) & 0x8000u;
    const std::int32_t magnitude = static_cast<std::int32_t>(bits & 0x7FFFFFFFu);
    const std::uint32_t finite = (bits & 0x7F800000u) == 0 ? zero : rounded;
    return magnitude > 0x7F800000 ? quiet : finite;
}

inline float bf16_value(std::uint32_t half) { return std::bit_cast<float>(half << 16); }

// One pair entry from two consecutive values; `high` is 0 past an odd dimension.
inline std::uint32_t bf16_pair(float low, float high) { return bf16_bits(low) | bf16_bits(high) << 16; }

}  // namespace

}  // namespace tiles
}  // namespace quorla::engine
