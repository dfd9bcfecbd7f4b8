// The bf16 screen on the tile unit, written once over `Unit`: the software
// model (amx_model.cpp) or the real unit (amx_unit.cpp). Both issue the
// same instructions in the same order, so their dots agree bit for bit
// wherever the real unit does what the manual says; the self-check on first
// use holds it to that.
//
// Tiles 0-2 hold the dots of the screen tile's three blocks of 16 points
// against a group of 16 centroids; tiles 3-5 those blocks' pairs and tile 6
// the group's, one block of pair_block pairs at a time. Points are read
// point-major (ScreenKernels::point_major), centroids from the screen
// panels; both hold whole blocks of pairs, zero past the real ones, which
// add exact zeros. The endings then read the dots from memory and share the
// emulated unit's rules: the same keys, and cuts that move once per
// screen_cut_group clusters.
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

inline amx::TileConfig amx_screen_config() {
    amx::TileConfig config;
    for (int t = 0; t < 7; ++t) {
        config.rows[t] = static_cast<std::uint8_t>(amx_block_rows);
        config.row_bytes[t] = static_cast<std::uint16_t>(amx::max_row_bytes);
    }
    return config;
}

// dots[r * panel_width + j]: point r of the screen tile (point-major,
// `pairs` a row) against centroid j of the group whose panel is `panel`.
// The unit must hold amx_screen_config().
template <class Unit>
void amx_group_dots(Unit& unit, const std::uint32_t* tile, std::size_t pairs, const std::uint32_t* panel,
                    float* dots) {
    const std::size_t row_bytes = pairs * 4;
    const std::size_t block = amx_block_rows * pairs;
    unit.template zero<0>();
    unit.template zero<1>();
    unit.template zero<2>();
    for (std::size_t q = 0; q < pairs; q += pair_block) {
        unit.template load<6>(panel + q * panel_width, panel_width * 4);
        unit.template load<3>(tile + q, row_bytes);
        unit.template load<4>(tile + block + q, row_bytes);
        unit.template load<5>(tile + 2 * block + q, row_bytes);
        unit.template dot<0, 3, 6>();
        unit.template dot<1, 4, 6>();
        unit.template dot<2, 5, 6>();
    }
    unit.template store<0>(dots, panel_width * 4);
    unit.template store<1>(dots + amx_block_rows * panel_width, panel_width * 4);
    unit.template store<2>(dots + 2 * amx_block_rows * panel_width, panel_width * 4);
}

// Calls take(j0, live, dots) for each group of centroids, between the
// unit's configuration and its release.
template <class Unit, class Take>
void amx_each_group(const std::uint32_t* tile, const Panels& panels, Take take) {
    const std::size_t pairs = panel_pairs(panels.dim);
    alignas(64) float dots[screen_tile_rows * panel_width];
    Unit unit;
    unit.configure(amx_screen_config());
    for (std::size_t j0 = 0; j0 < panels.clusters; j0 += panel_width) {
        amx_group_dots(unit, tile, pairs, panels.pairs + (j0 / panel_width) * pairs * panel_width, dots);
        take(j0, std::min(panel_width, panels.clusters - j0), dots);
    }
    unit.release();
}

inline float amx_key(float dot, const float* point_norms, const Panels& panels, bool euclidean, std::size_t r,
                     std::size_t j) {
    return euclidean ? euclidean_key(dot, panels.norms[j], point_norms[r]) : -dot;
}

template <class Unit>
void keys_amx(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean, float* keys,
              std::size_t row_stride) {
    amx_each_group<Unit>(tile, panels, [&](std::size_t j0, std::size_t live, const float* dots) {
        for (std::size_t r = 0; r < screen_tile_rows; ++r) {
            for (std::size_t j = 0; j < live; ++j) {
                keys[r * row_stride + j0 + j] = amx_key(dots[r * panel_width + j], point_norms, panels, euclidean, r, j0 + j);
            }
        }
    });
}

// The emulated unit's screen, group by group: per row, the least key so
// far and a cut that follows it once per screen_cut_group clusters.
template <class Unit>
void screen_amx(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                const ScreenScratch& scratch) {
    float best[screen_tile_rows], cut[screen_tile_rows];
    for (std::size_t r = 0; r < screen_tile_rows; ++r) {
        best[r] = __builtin_inff();
        cut[r] = best[r] + scratch.widths[r];
    }
    amx_each_group<Unit>(tile, panels, [&](std::size_t j0, std::size_t live, const float* dots) {
        for (std::size_t r = 0; r < screen_tile_rows; ++r) {
            const float width = scratch.widths[r];
            if (!(width >= 0.0f)) continue;  // not screened: nothing to keep
            for (std::size_t j = 0; j < live; ++j) {
                const float key = amx_key(dots[r * panel_width + j], point_norms, panels, euclidean, r, j0 + j);
                if (key < best[r]) best[r] = key;
                if (key <= cut[r]) keep_candidate(scratch, r, key, static_cast<std::uint32_t>(j0 + j), cut[r]);
                if ((j + 1) % screen_cut_group == 0) cut[r] = best[r] + width;
            }
        }
    });
    for (std::size_t r = 0; r < screen_tile_rows; ++r) {
        if (scratch.widths[r] >= 0.0f) scratch.cuts[r] = best[r] + scratch.widths[r];
    }
}

}  // namespace
}  // namespace quorla::engine::tiles
