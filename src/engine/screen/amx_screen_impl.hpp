// The bf16 screen on the tile unit, written once over `Unit`: the software
// model (amx_model.cpp) or the real unit (amx_unit.cpp). Both issue the
// same instructions in the same order, so their dots agree bit for bit
// wherever the real unit does what the manual says; the self-check on first
// use holds it to that.
//
// The centroids are the left operand and the points the right one, so that
// the dots come out one cluster to a row: tile 3 holds 16 centroids' pairs
// (rows of ScreenKernels::centroid_rows), tiles 4-6 the screen tile's three
// blocks of 16 points (the pair-major screen tile, read as it is), one
// block of pair_block pairs at a time, and tiles 0-2 the dots. Both sides
// hold whole blocks of pairs, zero past the real ones, which add exact
// zeros. The endings then run across the 48 points of each cluster in
// vectors, with no sums across lanes, and share the emulated unit's rules:
// the same keys, and cuts that move once per screen_cut_group clusters.
//
// Internal linkage, as in the files that include tile_kernels_impl.hpp: the
// real unit compiles these templates for its own target.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/kernels/key.hpp"
#include "engine/screen/amx_tiles.hpp"
#include "engine/screen/bf16_screen.hpp"

namespace quorla::engine::tiles {
namespace {

inline constexpr std::size_t amx_block_rows = 16;
static_assert(screen_tile_rows == 3 * amx_block_rows, "three blocks of points per screen tile");
static_assert(panel_width * 4 == amx::max_row_bytes && pair_block * 4 == amx::max_row_bytes,
              "a group of centroids and a block of pairs each fill a tile row");
static_assert(panel_width % screen_cut_group == 0, "cuts move within a group");
static_assert(panel_width == key_block, "a group of centroids is a block of keys");

inline amx::TileConfig amx_screen_config() {
    amx::TileConfig config;
    for (int t = 0; t < 7; ++t) {
        config.rows[t] = static_cast<std::uint8_t>(amx_block_rows);
        config.row_bytes[t] = static_cast<std::uint16_t>(amx::max_row_bytes);
    }
    return config;
}

// dots[j * screen_tile_rows + r]: centroid j of the group whose rows start
// at `centroids` (`pairs` pairs a row) against point r of the screen tile.
// The unit must hold amx_screen_config().
template <class Unit>
void amx_group_dots(Unit& unit, const std::uint32_t* centroids, std::size_t pairs, const std::uint32_t* tile,
                    float* dots) {
    constexpr std::size_t points = screen_tile_rows, block = amx_block_rows;
    unit.template zero<0>();
    unit.template zero<1>();
    unit.template zero<2>();
    for (std::size_t q = 0; q < pairs; q += pair_block) {
        unit.template load<3>(centroids + q, pairs * 4);
        unit.template load<4>(tile + q * points, points * 4);
        unit.template load<5>(tile + q * points + block, points * 4);
        unit.template load<6>(tile + q * points + 2 * block, points * 4);
        unit.template dot<0, 3, 4>();
        unit.template dot<1, 3, 5>();
        unit.template dot<2, 3, 6>();
    }
    unit.template store<0>(dots, points * 4);
    unit.template store<1>(dots + block, points * 4);
    unit.template store<2>(dots + 2 * block, points * 4);
}

// Calls take(j0, live, dots) for each group of centroids, between the
// unit's configuration and its release.
template <class Unit, class Take>
void amx_each_group(const std::uint32_t* tile, const Panels& panels, Take take) {
    const std::size_t pairs = panel_pairs(panels.dim);
    alignas(64) float dots[panel_width * screen_tile_rows];
    Unit unit;
    unit.configure(amx_screen_config());
    for (std::size_t j0 = 0; j0 < panels.clusters; j0 += panel_width) {
        amx_group_dots(unit, panels.pairs + j0 * pairs, pairs, tile, dots);
        take(j0, std::min(panel_width, panels.clusters - j0), dots);
    }
    unit.release();
}

// The keys of one cluster's dots against the 48 points, smaller is closer.
inline void amx_cluster_keys(const float* dots, const float* point_norms, float centroid_norm, bool euclidean,
                             float* keys) {
    if (euclidean) {
        for (std::size_t r = 0; r < screen_tile_rows; ++r) keys[r] = euclidean_key(dots[r], centroid_norm, point_norms[r]);
    } else {
        for (std::size_t r = 0; r < screen_tile_rows; ++r) keys[r] = -dots[r];
    }
}

template <class Unit>
void keys_amx(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean, float* keys,
              std::size_t row_stride) {
    amx_each_group<Unit>(tile, panels, [&](std::size_t j0, std::size_t live, const float* dots) {
        alignas(64) float group[panel_width * screen_tile_rows];
        for (std::size_t j = 0; j < live; ++j) {
            amx_cluster_keys(dots + j * screen_tile_rows, point_norms, euclidean ? panels.norms[j0 + j] : 0.0f,
                             euclidean, group + j * screen_tile_rows);
        }
        // Row by row, so that each row's keys of the group are written together.
        for (std::size_t r = 0; r < screen_tile_rows; ++r) {
            float* row = keys + r * row_stride + j0;
            for (std::size_t j = 0; j < live; ++j) row[j] = group[j * screen_tile_rows + r];
        }
    });
}

// The screen of the vector units' ending, one cluster at a time across the
// points: each row's least key (`key < best ? key : best`, which passes over
// a NaN), and the clusters at most its cut, kept in ascending order by each
// row. The cut follows the least key once per screen_cut_group clusters,
// starts at +inf, and for a row not screened (width -inf) is NaN or -inf,
// which no key meets. Each group of panel_width clusters is a block of
// ScreenScratch::minima.
template <class Unit>
void screen_amx(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                const ScreenScratch& scratch) {
    alignas(64) float best[screen_tile_rows], cut[screen_tile_rows], keys[screen_tile_rows];
    const float* widths = scratch.widths;
    for (std::size_t r = 0; r < screen_tile_rows; ++r) {
        best[r] = __builtin_inff();
        cut[r] = best[r] + widths[r];
    }
    const bool keep_minima = scratch.minima != nullptr;
    amx_each_group<Unit>(tile, panels, [&](std::size_t j0, std::size_t live, const float* dots) {
        alignas(64) float least[screen_tile_rows];  // of the group, which is one block
        std::fill(least, least + screen_tile_rows, __builtin_inff());
        for (std::size_t j = 0; j < live; ++j) {
            amx_cluster_keys(dots + j * screen_tile_rows, point_norms, euclidean ? panels.norms[j0 + j] : 0.0f,
                             euclidean, keys);
            unsigned met = 0;  // an unsigned, not a bool: gcc folds it in vectors
            for (std::size_t r = 0; r < screen_tile_rows; ++r) {
                best[r] = keys[r] < best[r] ? keys[r] : best[r];
                met |= keys[r] <= cut[r] ? 1u : 0u;
            }
            if (keep_minima) {
                for (std::size_t r = 0; r < screen_tile_rows; ++r) least[r] = keys[r] < least[r] ? keys[r] : least[r];
            }
            if (met != 0u) {
                for (std::size_t r = 0; r < screen_tile_rows; ++r) {
                    if (keys[r] <= cut[r]) keep_candidate(scratch, r, keys[r], static_cast<std::uint32_t>(j0 + j), cut[r]);
                }
            }
            if ((j + 1) % screen_cut_group == 0) {
                for (std::size_t r = 0; r < screen_tile_rows; ++r) cut[r] = best[r] + widths[r];
            }
        }
        if (keep_minima) {
            std::copy(least, least + screen_tile_rows, scratch.minima + j0 / key_block * screen_tile_rows);
        }
    });
    for (std::size_t r = 0; r < screen_tile_rows; ++r) scratch.cuts[r] = best[r] + widths[r];
}

}  // namespace
}  // namespace quorla::engine::tiles
