// The vector kernels, written once over a small vector-traits type `V` and
// instantiated by each level's file after its `#pragma GCC target`. Every
// function here has internal linkage, so each level's copy stays its own.
//
// Names follow what_elementtype (label_tile_f32, top_tile_f32, ...); the
// instruction set is the traits type, and each level's table is exported as
// tile_kernels_f32_<isa>().
//
// V provides: F (float vector), I (uint32 vector), M (lane mask); lanes;
// point_vectors (vectors of points per tile); tile_centroids (centroids per
// register tile, a divisor of panel_width); and the handful of operations
// used below. Not a general SIMD layer: only what these kernels need.
//
// Arithmetic contract, kept in every kernel:
//  - dot: the fixed FMA chain described in tile_kernels.hpp;
//  - Euclidean key: t = 2 * d, u = |c|^2 - t, e = |x|^2 + u, three separate
//    single-precision operations (mul, sub, add; never fused: the key is
//    compared across clusters and must round the same way everywhere);
//  - a NaN key or dot of a real row is reported, never silently skipped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine::tiles {
namespace {

constexpr float positive_infinity = __builtin_inff();

template <class V>
constexpr std::size_t tile_rows_of = static_cast<std::size_t>(V::point_vectors) * V::lanes;

// Each kernel comes in two copies. `full`: a whole tile against full-width
// panels, the hot path, whose strides are the constants tile_rows_of<V> and
// panel_width. Otherwise (the short tile of a scan, or the one narrow panel
// of fewer clusters than panel_width) the strides are the tile's count and
// the panels' width. Both copies do the same arithmetic in the same order;
// the full one only keeps its address steps and set-up free of run-time
// strides, which at small d cost several percent of a label step.
template <class V>
bool full_tile(std::size_t count, const Panels& panels) {
    return count == tile_rows_of<V> && panels.width == panel_width;
}

// Lanes of vector p in a tile that hold real rows, as a bit mask.
template <class V>
unsigned real_lanes(std::size_t count, int p) {
    const std::size_t first = static_cast<std::size_t>(p) * V::lanes;
    if (count <= first) return 0u;
    const std::size_t live = count - first;
    return live >= V::lanes ? (1u << V::lanes) - 1u : (1u << live) - 1u;
}

// Rows [first, first + count) into dimension-major order, `count` floats
// per dimension. The loop nest walks whichever stride is shorter in the
// inner loop, so row-major and column-major (transposed) views both read
// memory in order. Nothing is written past count * dim: in a short tile the
// lanes past `count` are padding the kernels read but never use.
template <class V, bool full>
void pack_tile_f32_shape(const PointSource& source, std::uint64_t first, std::size_t count, float* tile) {
    const std::size_t stride = full ? tile_rows_of<V> : count;
    const std::size_t dim = source.dim;
    const std::int64_t rs = source.row_stride;
    const std::int64_t cs = source.col_stride;
    const float* base = source.origin + static_cast<std::ptrdiff_t>(first) * rs;
    if (cs == 1 && V::packs_rows) {
        V::template pack_rows<full>([&](std::size_t r) { return base + static_cast<std::ptrdiff_t>(r) * rs; }, count,
                                    dim, tile);
        return;
    }
    if (cs == 1) {
        for (std::size_t r = 0; r < count; ++r) {
            const float* row = base + static_cast<std::ptrdiff_t>(r) * rs;
            for (std::size_t l = 0; l < dim; ++l) tile[l * stride + r] = row[l];
        }
    } else {
        const bool rows_inner = (rs < 0 ? -rs : rs) <= (cs < 0 ? -cs : cs);
        if (rows_inner) {
            for (std::size_t l = 0; l < dim; ++l) {
                const float* column = base + static_cast<std::ptrdiff_t>(l) * cs;
                for (std::size_t r = 0; r < count; ++r) tile[l * stride + r] = column[static_cast<std::ptrdiff_t>(r) * rs];
            }
        } else {
            for (std::size_t r = 0; r < count; ++r) {
                const float* row = base + static_cast<std::ptrdiff_t>(r) * rs;
                for (std::size_t l = 0; l < dim; ++l) tile[l * stride + r] = row[static_cast<std::ptrdiff_t>(l) * cs];
            }
        }
    }
}

// The same from rows anywhere in memory, each with unit column stride.
template <class V, bool full>
void pack_gathered_f32_shape(const float* const* rows, std::size_t count, std::size_t dim, float* tile) {
    if constexpr (V::packs_rows) {
        V::template pack_rows<full>([&](std::size_t r) { return rows[r]; }, count, dim, tile);
    } else {
        const std::size_t stride = full ? tile_rows_of<V> : count;
        for (std::size_t r = 0; r < count; ++r) {
            for (std::size_t l = 0; l < dim; ++l) tile[l * stride + r] = rows[r][l];
        }
    }
}

template <class V>
void pack_gathered_f32(const float* const* rows, std::size_t count, std::size_t dim, float* tile) {
    if (count == tile_rows_of<V>) {
        pack_gathered_f32_shape<V, true>(rows, count, dim, tile);
    } else {
        pack_gathered_f32_shape<V, false>(rows, count, dim, tile);
    }
}

template <class V>
void pack_tile_f32(const PointSource& source, std::uint64_t first, std::size_t count, float* tile) {
    if (count == tile_rows_of<V>) {
        pack_tile_f32_shape<V, true>(source, first, count, tile);
    } else {
        pack_tile_f32_shape<V, false>(source, first, count, tile);
    }
}

// The register tile: point_vectors x tile_centroids accumulators, each one
// vector of lanes points against one centroid, summed over every dimension.
// One pass over the tile's dimensions loads point_vectors vectors and
// broadcasts tile_centroids centroid entries (consecutive floats of a panel).
template <class V>
struct Accumulators {
    static constexpr int P = V::point_vectors;
    static constexpr int J = V::tile_centroids;
    typename V::F acc[P][J];

    // Centroids [j0, j0 + J) against a tile of `count` rows; j0 is a
    // multiple of J, so the group never crosses a panel boundary. A narrow
    // panel is the only one, so j0 / panel_width is the panel either way.
    template <bool full>
    void run(const float* tile, std::size_t count, const Panels& panels, std::size_t j0) {
        const std::size_t stride = full ? tile_rows_of<V> : count;
        const std::size_t width = full ? panel_width : panels.width;
        const std::size_t dim = panels.dim;
        const float* centroids = panels.values + (j0 / panel_width) * dim * width + j0 % panel_width;
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) {
#pragma GCC unroll 16
            for (int j = 0; j < J; ++j) acc[p][j] = V::zero();
        }
        for (std::size_t l = 0; l < dim; ++l) {
            typename V::F x[P];
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) x[p] = V::load(tile + l * stride + static_cast<std::size_t>(p) * V::lanes);
            const float* c = centroids + l * width;
#pragma GCC unroll 16
            for (int j = 0; j < J; ++j) {
                const typename V::F cj = V::splat(c[j]);
#pragma GCC unroll 4
                for (int p = 0; p < P; ++p) acc[p][j] = V::fma(x[p], cj, acc[p][j]);
            }
        }
    }
};

template <class V, Rule rule, bool full>
bool label_tile_f32_rule(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                     std::uint32_t* labels) {
    using F = typename V::F;
    using I = typename V::I;
    using M = typename V::M;
    constexpr int P = V::point_vectors;
    constexpr int J = V::tile_centroids;
    constexpr bool euclidean = rule == Rule::lowest_key;

    F best[P], norms[P];
    I chosen[P];
    M ordered[P];
    const F two = V::splat(2.0f);
    for (int p = 0; p < P; ++p) {
        best[p] = V::splat(euclidean ? positive_infinity : -positive_infinity);
        chosen[p] = V::splat_i(0);
        ordered[p] = V::all();
        norms[p] = euclidean ? V::load(point_norms + static_cast<std::size_t>(p) * V::lanes) : V::zero();
    }

    Accumulators<V> tile_acc;
    const std::size_t clusters = panels.clusters;
    for (std::size_t j0 = 0; j0 < clusters; j0 += J) {
        tile_acc.template run<full>(tile, count, panels, j0);
        const std::size_t live = clusters - j0 < static_cast<std::size_t>(J) ? clusters - j0 : J;
        // The choice is folded in while the tile is in registers: per lane,
        // clusters arrive in ascending order, so a strict comparison keeps the
        // lowest index among equals and a non-strict one the highest.
#pragma GCC unroll 16
        for (int j = 0; j < J; ++j) {
            if (static_cast<std::size_t>(j) >= live) break;
            const I index = V::splat_i(static_cast<std::uint32_t>(j0 + static_cast<std::size_t>(j)));
            const F centroid_norm = euclidean ? V::splat(panels.norms[j0 + static_cast<std::size_t>(j)]) : V::zero();
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) {
                const F d = tile_acc.acc[p][j];
                F key;
                M better;
                if constexpr (euclidean) {
                    const F t = V::mul(two, d);
                    const F u = V::sub(centroid_norm, t);
                    key = V::add(norms[p], u);
                    better = V::lt(key, best[p]);
                } else if constexpr (rule == Rule::highest_dot_last) {
                    key = d;
                    better = V::ge(key, best[p]);
                } else {
                    key = d;
                    better = V::gt(key, best[p]);
                }
                ordered[p] = V::keep_ordered(ordered[p], key);
                best[p] = V::select(better, best[p], key);
                chosen[p] = V::select_i(better, chosen[p], index);
            }
        }
    }

    alignas(64) std::uint32_t lanes[tile_rows_of<V>];
    bool clean = true;
    for (int p = 0; p < P; ++p) {
        V::store_i(lanes + static_cast<std::size_t>(p) * V::lanes, chosen[p]);
        const unsigned real = real_lanes<V>(count, p);
        if ((V::bits(ordered[p]) & real) != real) clean = false;
    }
    for (std::size_t r = 0; r < count; ++r) labels[r] = lanes[r];
    return clean;
}

template <class V, bool full>
bool label_tile_f32_shape(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                          Rule rule, std::uint32_t* labels) {
    switch (rule) {
        case Rule::lowest_key:
            return label_tile_f32_rule<V, Rule::lowest_key, full>(tile, count, point_norms, panels, labels);
        case Rule::highest_dot_last:
            return label_tile_f32_rule<V, Rule::highest_dot_last, full>(tile, count, point_norms, panels, labels);
        case Rule::highest_dot_first:
            return label_tile_f32_rule<V, Rule::highest_dot_first, full>(tile, count, point_norms, panels, labels);
    }
    return false;
}

template <class V>
bool label_tile_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, Rule rule,
                std::uint32_t* labels) {
    return full_tile<V>(count, panels) ? label_tile_f32_shape<V, true>(tile, count, point_norms, panels, rule, labels)
                                       : label_tile_f32_shape<V, false>(tile, count, point_norms, panels, rule, labels);
}

// Inserts cluster `cluster` for the rows of `wanted` (bits from row `base`)
// into their kept lists and updates their cuts. Rare once the lists are
// full, so kept out of line: the register tile's code stays small.
template <class V>
__attribute__((noinline)) void insert_rows(const TopScratch& scratch, std::size_t base, unsigned wanted,
                                           std::size_t size, std::size_t take, std::size_t cluster) {
    for (unsigned bits = wanted; bits != 0u; bits &= bits - 1u) {
        const std::size_t r = base + static_cast<std::size_t>(__builtin_ctz(bits));
        float* kept_keys = scratch.keys + r * scratch.stride;
        V::insert_kept(kept_keys, scratch.clusters + r * scratch.stride, size, take, scratch.lane_keys[r],
                       static_cast<std::uint32_t>(cluster));
        scratch.cuts[r] = kept_keys[take - 1];  // meaningful once the list is full
    }
}

// Top-k: the same register tile; each key is tested against its row's
// current cut (the take-th kept key) for a whole vector of rows at once, and
// only the rare keys that beat it are inserted one by one. A key equal to
// the cut comes later in the stable order, so it is not taken.
template <class V, bool euclidean, bool full>
bool top_tile_f32_mode(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                   std::size_t take, const TopScratch& scratch, std::uint32_t* chosen) {
    using F = typename V::F;
    using M = typename V::M;
    constexpr int P = V::point_vectors;
    constexpr int J = V::tile_centroids;
    constexpr std::size_t rows = tile_rows_of<V>;

    F norms[P], cut[P];
    M ordered[P];
    unsigned real[P];
    const F two = V::splat(2.0f);
    for (int p = 0; p < P; ++p) {
        norms[p] = euclidean ? V::load(point_norms + static_cast<std::size_t>(p) * V::lanes) : V::zero();
        cut[p] = V::splat(-positive_infinity);
        ordered[p] = V::all();
        real[p] = real_lanes<V>(count, p);
    }

    Accumulators<V> tile_acc;
    const std::size_t clusters = panels.clusters;
    for (std::size_t j0 = 0; j0 < clusters; j0 += J) {
        tile_acc.template run<full>(tile, count, panels, j0);
        const std::size_t live = clusters - j0 < static_cast<std::size_t>(J) ? clusters - j0 : J;
        // Fully unrolled, like the label kernel's, so that the accumulators
        // are only ever named by constants and stay in registers.
#pragma GCC unroll 16
        for (int j = 0; j < J; ++j) {
            if (static_cast<std::size_t>(j) >= live) break;
            const std::size_t cluster = j0 + static_cast<std::size_t>(j);
            const F centroid_norm = euclidean ? V::splat(panels.norms[cluster]) : V::zero();
            const bool filling = cluster < take;
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) {
                const F d = tile_acc.acc[p][j];
                F key;
                if constexpr (euclidean) {
                    const F t = V::mul(two, d);
                    const F u = V::sub(centroid_norm, t);
                    key = V::add(norms[p], u);
                } else {
                    key = V::neg(d);
                }
                ordered[p] = V::keep_ordered(ordered[p], key);
                // While the lists fill, every key is kept; afterwards only
                // those strictly below the cut.
                const unsigned wanted = filling ? real[p] : V::bits(V::lt(key, cut[p])) & real[p];
                if (wanted != 0u) {
                    const std::size_t base = static_cast<std::size_t>(p) * V::lanes;
                    V::store(scratch.lane_keys + base, key);
                    insert_rows<V>(scratch, base, wanted, filling ? cluster : take, take, cluster);
                    if (!filling) cut[p] = V::load(scratch.cuts + base);
                }
            }
            if (cluster + 1 == take) {
                // The lists are full: from now on the last kept key is the
                // cut. Padding rows get -inf, which no key is below.
                for (std::size_t r = count; r < rows; ++r) scratch.cuts[r] = -positive_infinity;
                for (int p = 0; p < P; ++p) cut[p] = V::load(scratch.cuts + static_cast<std::size_t>(p) * V::lanes);
            }
        }
    }

    bool clean = true;
    for (int p = 0; p < P; ++p) {
        if ((V::bits(ordered[p]) & real[p]) != real[p]) clean = false;
    }
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t t = 0; t < take; ++t) chosen[r * take + t] = scratch.clusters[r * scratch.stride + t];
    }
    return clean;
}

template <class V>
bool top_tile_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, bool euclidean,
              std::size_t take, const TopScratch& scratch, std::uint32_t* chosen) {
    if (full_tile<V>(count, panels)) {
        return euclidean ? top_tile_f32_mode<V, true, true>(tile, count, point_norms, panels, take, scratch, chosen)
                         : top_tile_f32_mode<V, false, true>(tile, count, point_norms, panels, take, scratch, chosen);
    }
    return euclidean ? top_tile_f32_mode<V, true, false>(tile, count, point_norms, panels, take, scratch, chosen)
                     : top_tile_f32_mode<V, false, false>(tile, count, point_norms, panels, take, scratch, chosen);
}

// One point against every centroid, centroids in the lanes: each lane runs
// the same FMA chain as a tile accumulator, so the keys equal the tile
// kernels' bit for bit. Several panels at once keep enough independent
// chains in flight to cover the FMA latency.
// `full`: every panel is panel_width wide, as in the tile kernels.
template <class V, bool euclidean, bool full>
void point_keys_f32_mode(const float* point, const Panels& panels, float point_norm, float* keys) {
    using F = typename V::F;
    constexpr std::size_t per_panel = panel_width / V::lanes;
    constexpr std::size_t group = V::point_key_panels;
    const std::size_t dim = panels.dim;
    const std::size_t width = full ? panel_width : panels.width;
    const std::size_t clusters = panels.clusters;
    const std::size_t n_panels = (clusters + panel_width - 1) / panel_width;  // a narrow panel is the only one
    const F two = V::splat(2.0f);
    const F norm = V::splat(point_norm);
    alignas(64) float spill[panel_width];

    auto finish = [&](std::size_t panel, std::size_t q, F d) {
        const std::size_t j = panel * panel_width + q * V::lanes;
        F key;
        if constexpr (euclidean) {
            F centroid_norms;
            if (j + V::lanes <= clusters) {
                centroid_norms = V::load(panels.norms + j);
            } else {
                // The norms end with the clusters; the padding lanes get 0.
                for (std::size_t r = 0; r < V::lanes; ++r) spill[r] = j + r < clusters ? panels.norms[j + r] : 0.0f;
                centroid_norms = V::load(spill);
            }
            const F t = V::mul(two, d);
            const F u = V::sub(centroid_norms, t);
            key = V::add(norm, u);
        } else {
            key = V::neg(d);
        }
        if (j + V::lanes <= clusters) {
            V::store(keys + j, key);
        } else if (j < clusters) {
            V::store(spill, key);
            for (std::size_t r = 0; j + r < clusters; ++r) keys[j + r] = spill[r];
        }
    };

    std::size_t g = 0;
    for (; g + group <= n_panels; g += group) {
        F acc[group][per_panel];
        for (std::size_t a = 0; a < group; ++a)
            for (std::size_t q = 0; q < per_panel; ++q) acc[a][q] = V::zero();
        const float* base = panels.values + g * dim * width;
        for (std::size_t l = 0; l < dim; ++l) {
            const F x = V::splat(point[l]);
#pragma GCC unroll 8
            for (std::size_t a = 0; a < group; ++a) {
                // Up to 4 vectors per panel (NEON's); a loop left rolled
                // would index acc at run time and keep it in memory.
#pragma GCC unroll 4
                for (std::size_t q = 0; q < per_panel; ++q) {
                    const F c = V::load(base + a * dim * width + l * width + q * V::lanes);
                    acc[a][q] = V::fma(x, c, acc[a][q]);
                }
            }
        }
        for (std::size_t a = 0; a < group; ++a)
            for (std::size_t q = 0; q < per_panel; ++q) finish(g + a, q, acc[a][q]);
    }
    for (; g < n_panels; ++g) {
        F acc[per_panel];
        for (std::size_t q = 0; q < per_panel; ++q) acc[q] = V::zero();
        const float* base = panels.values + g * dim * width;
        for (std::size_t l = 0; l < dim; ++l) {
            const F x = V::splat(point[l]);
            for (std::size_t q = 0; q < per_panel; ++q) {
                acc[q] = V::fma(x, V::load(base + l * width + q * V::lanes), acc[q]);
            }
        }
        for (std::size_t q = 0; q < per_panel; ++q) finish(g, q, acc[q]);
    }
}

template <class V>
void point_keys_f32(const float* point, const Panels& panels, bool euclidean, float point_norm, float* keys) {
    const bool full = panels.width == panel_width;
    if (euclidean) {
        full ? point_keys_f32_mode<V, true, true>(point, panels, point_norm, keys)
             : point_keys_f32_mode<V, true, false>(point, panels, point_norm, keys);
    } else {
        full ? point_keys_f32_mode<V, false, true>(point, panels, point_norm, keys)
             : point_keys_f32_mode<V, false, false>(point, panels, point_norm, keys);
    }
}

// The label kernel's register tile and running choice, plus the runner-up's
// key, per group of `group` consecutive clusters (a multiple of
// tile_centroids, or all of them): when a cluster takes over, the one it
// displaces becomes the runner-up; otherwise the runner-up is the smaller of
// itself and the new key. Invariant: `second` is the least key among the
// group's clusters seen other than the chosen one, ties and all. At each
// group's end the three are stored, a vector of rows at a time, and start
// over; one call covers every group of a tile.
template <class V, bool euclidean, bool full>
bool nearest_two_f32_mode(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                          std::size_t group, float* first_keys, float* second_keys, std::uint32_t* first) {
    using F = typename V::F;
    using I = typename V::I;
    using M = typename V::M;
    constexpr int P = V::point_vectors;
    constexpr int J = V::tile_centroids;
    constexpr std::size_t rows = tile_rows_of<V>;

    F best[P], second[P], norms[P];
    I chosen[P];
    M ordered[P];
    const F two = V::splat(2.0f);
    auto start_group = [&] {
        for (int p = 0; p < P; ++p) {
            best[p] = V::splat(positive_infinity);
            second[p] = V::splat(positive_infinity);
            chosen[p] = V::splat_i(0);
        }
    };
    for (int p = 0; p < P; ++p) {
        ordered[p] = V::all();
        norms[p] = euclidean ? V::load(point_norms + static_cast<std::size_t>(p) * V::lanes) : V::zero();
    }
    start_group();

    Accumulators<V> tile_acc;
    const std::size_t clusters = panels.clusters;
    for (std::size_t j0 = 0; j0 < clusters; j0 += J) {
        tile_acc.template run<full>(tile, count, panels, j0);
        const std::size_t live = clusters - j0 < static_cast<std::size_t>(J) ? clusters - j0 : J;
        const std::size_t group_start = j0 / group * group;
#pragma GCC unroll 16
        for (int j = 0; j < J; ++j) {
            if (static_cast<std::size_t>(j) >= live) break;
            const I index = V::splat_i(static_cast<std::uint32_t>(j0 + static_cast<std::size_t>(j) - group_start));
            const F centroid_norm = euclidean ? V::splat(panels.norms[j0 + static_cast<std::size_t>(j)]) : V::zero();
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) {
                const F d = tile_acc.acc[p][j];
                F key;
                M better;
                if constexpr (euclidean) {
                    const F t = V::mul(two, d);
                    const F u = V::sub(centroid_norm, t);
                    key = V::add(norms[p], u);
                    better = V::lt(key, best[p]);
                } else {
                    // -dot at or below the best: the highest index among equals.
                    key = V::neg(d);
                    better = V::ge(best[p], key);
                }
                ordered[p] = V::keep_ordered(ordered[p], key);
                const F runner_up = V::select(V::lt(key, second[p]), second[p], key);
                second[p] = V::select(better, runner_up, best[p]);
                best[p] = V::select(better, best[p], key);
                chosen[p] = V::select_i(better, chosen[p], index);
            }
        }
        const std::size_t end = j0 + live;
        if (end == clusters || end % group == 0) {
            const std::size_t at = j0 / group * rows;
            for (int p = 0; p < P; ++p) {
                const std::size_t base = at + static_cast<std::size_t>(p) * V::lanes;
                V::store_i(first + base, chosen[p]);
                V::store(first_keys + base, best[p]);
                V::store(second_keys + base, second[p]);
            }
            start_group();
        }
    }

    bool clean = true;
    for (int p = 0; p < P; ++p) {
        const unsigned real = real_lanes<V>(count, p);
        if ((V::bits(ordered[p]) & real) != real) clean = false;
    }
    return clean;
}

template <class V>
bool nearest_two_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, Rule rule,
                     std::size_t group, float* first_keys, float* second_keys, std::uint32_t* first) {
    const bool euclidean = rule == Rule::lowest_key;
    if (full_tile<V>(count, panels)) {
        return euclidean ? nearest_two_f32_mode<V, true, true>(tile, count, point_norms, panels, group, first_keys,
                                                               second_keys, first)
                         : nearest_two_f32_mode<V, false, true>(tile, count, point_norms, panels, group, first_keys,
                                                                second_keys, first);
    }
    return euclidean ? nearest_two_f32_mode<V, true, false>(tile, count, point_norms, panels, group, first_keys,
                                                            second_keys, first)
                     : nearest_two_f32_mode<V, false, false>(tile, count, point_norms, panels, group, first_keys,
                                                             second_keys, first);
}

// Every key of a tile: the register tile's dots turned into keys with the
// top kernel's three steps, so they equal point_keys' bit for bit. The
// register tile holds a vector of points per centroid, and the rows want a
// vector of centroids per point; without shuffles among the V operations,
// a tile's keys of tile_centroids clusters go through a small buffer on the
// stack and are copied out row by row. At d = 64 that copy is about a tenth
// of the kernel's time, and it runs on the workers with the arithmetic.
template <class V, bool euclidean, bool full>
void keys_tile_f32_mode(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                        float* keys, std::size_t row_stride) {
    using F = typename V::F;
    constexpr int P = V::point_vectors;
    constexpr int J = V::tile_centroids;
    constexpr std::size_t rows = tile_rows_of<V>;

    F norms[P];
    const F two = V::splat(2.0f);
    for (int p = 0; p < P; ++p) {
        norms[p] = euclidean ? V::load(point_norms + static_cast<std::size_t>(p) * V::lanes) : V::zero();
    }
    alignas(64) float buffer[J][rows];

    Accumulators<V> tile_acc;
    const std::size_t clusters = panels.clusters;
    for (std::size_t j0 = 0; j0 < clusters; j0 += J) {
        tile_acc.template run<full>(tile, count, panels, j0);
        const std::size_t live = clusters - j0 < static_cast<std::size_t>(J) ? clusters - j0 : J;
#pragma GCC unroll 16
        for (int j = 0; j < J; ++j) {
            if (static_cast<std::size_t>(j) >= live) break;
            const F centroid_norm = euclidean ? V::splat(panels.norms[j0 + static_cast<std::size_t>(j)]) : V::zero();
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) {
                const F d = tile_acc.acc[p][j];
                F key;
                if constexpr (euclidean) {
                    const F t = V::mul(two, d);
                    const F u = V::sub(centroid_norm, t);
                    key = V::add(norms[p], u);
                } else {
                    key = V::neg(d);
                }
                V::store(&buffer[j][static_cast<std::size_t>(p) * V::lanes], key);
            }
        }
        if (live == static_cast<std::size_t>(J)) {
            for (std::size_t r = 0; r < count; ++r) {
                float* out = keys + r * row_stride + j0;
#pragma GCC unroll 16
                for (int j = 0; j < J; ++j) out[j] = buffer[j][r];
            }
        } else {
            for (std::size_t r = 0; r < count; ++r) {
                for (std::size_t j = 0; j < live; ++j) keys[r * row_stride + j0 + j] = buffer[j][r];
            }
        }
    }
}

template <class V>
void keys_tile_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                   bool euclidean, float* keys, std::size_t row_stride) {
    if (full_tile<V>(count, panels)) {
        euclidean ? keys_tile_f32_mode<V, true, true>(tile, count, point_norms, panels, keys, row_stride)
                  : keys_tile_f32_mode<V, false, true>(tile, count, point_norms, panels, keys, row_stride);
    } else {
        euclidean ? keys_tile_f32_mode<V, true, false>(tile, count, point_norms, panels, keys, row_stride)
                  : keys_tile_f32_mode<V, false, false>(tile, count, point_norms, panels, keys, row_stride);
    }
}

template <class V>
constexpr TileKernels kernels_for{
    tile_rows_of<V>, true, &pack_tile_f32<V>, &label_tile_f32<V>, &top_tile_f32<V>, &point_keys_f32<V>,
    &nearest_two_f32<V>, &keys_tile_f32<V>, &pack_gathered_f32<V>,
};

}  // namespace
}  // namespace quorla::engine::tiles
