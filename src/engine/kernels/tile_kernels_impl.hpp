// The vector kernels, written once over a small vector-traits type `V` and
// instantiated by each level's file after its `#pragma GCC target`. Every
// function here has internal linkage, so each level's copy stays its own.
//
// Each kernel is named for the TileKernels entry it fills, then the element
// type: label_f32, top_f32, nearest_two_f32, keys_f32, point_keys_f32,
// pack_f32, pack_gathered_f32, listed_dots_f32; the bf16 screen's keys_bf16
// and screen_bf16 (ScreenKernels, screen/bf16_screen.hpp). The instruction set is the
// traits type.
//
// The tile kernels are one register-tile loop (tile_loop) with an ending
// each, in the manner of faiss's result handlers: what a kernel keeps of
// the keys (the nearest cluster, the first k, the nearest two, all of them,
// the screen's candidates) is a small struct whose hooks the loop calls.
// The hooks are forced inline, so an ending's running choice lives in
// registers beside the accumulators, exactly as if the loop had been
// written out for it. The bf16 screen runs the same loop over a register
// tile of bf16 pairs (PairAccumulators) instead of floats.
//
// V provides: F (float vector), I (uint32 vector), M (lane mask); lanes;
// point_vectors (vectors of points per tile); tile_centroids (centroids per
// register tile, a divisor of panel_width); and the handful of operations
// used below. Not a general SIMD layer: only what these kernels need.
//
// Arithmetic contract, kept in every float kernel (the screen's keys are
// approximate by design; screen/bf16_screen.hpp fixes their order of operations):
//  - dot: the fixed FMA chain described in tile_kernels.hpp;
//  - Euclidean key: euclidean_key (key.hpp), the same three single-precision
//    steps as in the scalar level, never fused;
//  - a NaN key or dot of a real row is reported, never silently skipped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/kernels/key.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/kernels/size_scans_impl.hpp"
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

// A run-time choice made a template argument: the kernels take their shape
// and mode as constants, so that each copy has only its own branches.
template <auto v>
struct Constant {
    static constexpr decltype(v) value = v;
};

// body(Constant<full>).
template <class Body>
[[gnu::always_inline]] inline decltype(auto) with_shape(bool full, Body&& body) {
    return full ? body(Constant<true>{}) : body(Constant<false>{});
}

// body(Constant<m>) for the first m of `modes` equal to `mode`, or the last.
template <auto m, auto... rest, class Body>
[[gnu::always_inline]] inline decltype(auto) with_mode(decltype(m) mode, Body&& body) {
    if constexpr (sizeof...(rest) == 0) {
        return body(Constant<m>{});
    } else {
        if (mode == m) return body(Constant<m>{});
        return with_mode<rest...>(mode, body);
    }
}

// The one dispatch of every kernel with a mode: body(shape, mode), both as
// Constants.
template <auto... modes, class Mode, class Body>
[[gnu::always_inline]] inline decltype(auto) dispatch(bool full, Mode mode, Body&& body) {
    return with_shape(full, [&](auto shape) {
        return with_mode<modes...>(mode, [&](auto chosen) { return body(shape, chosen); });
    });
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
void pack_f32_shape(const PointSource& source, std::uint64_t first, std::size_t count, float* tile) {
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
void pack_f32(const PointSource& source, std::uint64_t first, std::size_t count, float* tile) {
    with_shape(count == tile_rows_of<V>,
               [&](auto full) { pack_f32_shape<V, full.value>(source, first, count, tile); });
}

template <class V>
void pack_gathered_f32(const float* const* rows, std::size_t count, std::size_t dim, float* tile) {
    with_shape(count == tile_rows_of<V>,
               [&](auto full) { pack_gathered_f32_shape<V, full.value>(rows, count, dim, tile); });
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

// Keys ordered smaller-is-closer, as assignment ranks them: the Euclidean
// key as it is, a dot negated.
template <class V, bool euclidean>
[[gnu::always_inline]] inline typename V::F smaller_is_closer(typename V::F key_or_dot) {
    if constexpr (euclidean) {
        return key_or_dot;
    } else {
        return V::neg(key_or_dot);
    }
}

// The register-tile loop of every tile kernel. For each group of
// tile_centroids clusters it runs the accumulators, then turns each one
// into the Euclidean key (or leaves the dot), folds it into the NaN check
// of its lanes, and hands it to the ending:
//   take(p, j, cluster, key_or_dot)  vector p of rows against cluster j0 + j;
//   end_centroid(cluster)            after a cluster's point_vectors takes;
//   end_group(j0, live)              after the group's `live` real clusters;
//   finish(count)                    after the last group.
// Ending::euclidean picks the key. Returns false if a real row met a NaN.
// `Acc` is the register tile: the float one, or the bf16 screen's pairs
// (PairAccumulators), each reading its own kind of tile.
template <class V, bool full, class Ending, class Acc = Accumulators<V>, class Value>
[[gnu::always_inline]] inline bool tile_loop(const Value* tile, std::size_t count, const float* point_norms,
                                             const Panels& panels, Ending& ending) {
    using F = typename V::F;
    using M = typename V::M;
    constexpr int P = V::point_vectors;
    constexpr int J = V::tile_centroids;
    constexpr bool euclidean = Ending::euclidean;

    F norms[P];
    M ordered[P];
    for (int p = 0; p < P; ++p) {
        norms[p] = euclidean ? V::load(point_norms + static_cast<std::size_t>(p) * V::lanes) : V::zero();
        ordered[p] = V::all();
    }

    Acc tile_acc;
    const std::size_t clusters = panels.clusters;
    for (std::size_t j0 = 0; j0 < clusters; j0 += J) {
        tile_acc.template run<full>(tile, count, panels, j0);
        const std::size_t live = clusters - j0 < static_cast<std::size_t>(J) ? clusters - j0 : J;
        // Fully unrolled, so that the accumulators and the ending's running
        // state are only ever named by constants and stay in registers.
#pragma GCC unroll 16
        for (int j = 0; j < J; ++j) {
            if (static_cast<std::size_t>(j) >= live) break;
            const std::size_t cluster = j0 + static_cast<std::size_t>(j);
            const F centroid_norm = euclidean ? V::splat(panels.norms[cluster]) : V::zero();
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) {
                F key_or_dot = tile_acc.acc[p][j];
                if constexpr (euclidean) key_or_dot = euclidean_key(key_or_dot, centroid_norm, norms[p]);
                ordered[p] = V::keep_ordered(ordered[p], key_or_dot);
                ending.take(p, j, cluster, key_or_dot);
            }
            ending.end_centroid(cluster);
        }
        ending.end_group(j0, live);
    }

    bool clean = true;
    for (int p = 0; p < P; ++p) {
        const unsigned real = real_lanes<V>(count, p);
        if ((V::bits(ordered[p]) & real) != real) clean = false;
    }
    ending.finish(count);
    return clean;
}

// The hooks an ending may leave out.
struct EndingDefaults {
    [[gnu::always_inline]] void end_centroid(std::size_t) {}
    [[gnu::always_inline]] void end_group(std::size_t, std::size_t) {}
    [[gnu::always_inline]] void finish(std::size_t) {}
};

// One tile kernel: the loop with Ending<V, mode> built from `args`, at the
// shape and mode the dispatch picks.
template <class V, template <class, auto> class Ending, auto... modes, class Mode, class... Args>
bool tile_kernel(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, Mode mode,
                 Args... args) {
    return dispatch<modes...>(full_tile<V>(count, panels), mode, [&](auto full, auto chosen) {
        Ending<V, chosen.value> ending{args...};
        return tile_loop<V, full.value>(tile, count, point_norms, panels, ending);
    });
}

// Label: the nearest cluster by `rule`, folded in while the tile is in
// registers. Per lane, clusters arrive in ascending order, so a strict
// comparison keeps the lowest index among equals and a non-strict one the
// highest.
template <class V, Rule rule>
struct LabelEnding : EndingDefaults {
    using F = typename V::F;
    using I = typename V::I;
    static constexpr bool euclidean = rule == Rule::lowest_key;

    std::uint32_t* labels;
    float* best_out;
    F best[V::point_vectors];
    I chosen[V::point_vectors];

    LabelEnding(std::uint32_t* out, float* best_values) : labels(out), best_out(best_values) {
        for (int p = 0; p < V::point_vectors; ++p) {
            best[p] = V::splat(euclidean ? positive_infinity : -positive_infinity);
            chosen[p] = V::splat_i(0);
        }
    }

    [[gnu::always_inline]] void take(int p, int, std::size_t cluster, F key_or_dot) {
        typename V::M better;
        if constexpr (euclidean) {
            better = V::lt(key_or_dot, best[p]);
        } else if constexpr (rule == Rule::highest_dot_last) {
            better = V::ge(key_or_dot, best[p]);
        } else {
            better = V::gt(key_or_dot, best[p]);
        }
        best[p] = V::select(better, best[p], key_or_dot);
        chosen[p] = V::select_i(better, chosen[p], V::splat_i(static_cast<std::uint32_t>(cluster)));
    }

    [[gnu::always_inline]] void finish(std::size_t count) {
        alignas(64) std::uint32_t lanes[tile_rows_of<V>];
        for (int p = 0; p < V::point_vectors; ++p) {
            V::store_i(lanes + static_cast<std::size_t>(p) * V::lanes, chosen[p]);
        }
        for (std::size_t r = 0; r < count; ++r) labels[r] = lanes[r];
        if (best_out == nullptr) return;
        alignas(64) float values[tile_rows_of<V>];
        for (int p = 0; p < V::point_vectors; ++p) V::store(values + static_cast<std::size_t>(p) * V::lanes, best[p]);
        for (std::size_t r = 0; r < count; ++r) best_out[r] = values[r];
    }
};

template <class V>
bool label_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, Rule rule,
               std::uint32_t* labels, float* best) {
    return tile_kernel<V, LabelEnding, Rule::lowest_key, Rule::highest_dot_last, Rule::highest_dot_first>(
        tile, count, point_norms, panels, rule, labels, best);
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

// Top-k: each key is tested against its row's current cut (the take-th
// kept key) for a whole vector of rows at once, and only the rare keys that
// beat it are inserted one by one. A key equal to the cut comes later in
// the stable order, so it is not taken.
template <class V, bool euclidean_keys>
struct TopEnding : EndingDefaults {
    using F = typename V::F;
    static constexpr bool euclidean = euclidean_keys;

    TopScratch scratch;
    std::size_t take_count, count, first;
    std::uint32_t* chosen;
    F cut[V::point_vectors];
    unsigned real[V::point_vectors];

    // Clusters arrive numbered from 0 within the panels; `first_cluster`
    // numbers them within the whole set, whose earlier ones the lists hold.
    TopEnding(const TopScratch& kept, std::size_t take, std::size_t rows, std::uint32_t* out,
              std::size_t first_cluster)
        : scratch(kept), take_count(take), count(rows), first(first_cluster), chosen(out) {
        for (int p = 0; p < V::point_vectors; ++p) {
            cut[p] = V::splat(-positive_infinity);
            real[p] = real_lanes<V>(rows, p);
        }
        if (first >= take_count) load_cuts();
    }

    [[gnu::always_inline]] void take(int p, int, std::size_t in_panels, F key_or_dot) {
        const std::size_t cluster = first + in_panels;
        const F key = smaller_is_closer<V, euclidean>(key_or_dot);
        // While the lists fill, every key is kept; afterwards only those
        // strictly below the cut.
        const bool filling = cluster < take_count;
        const unsigned wanted = filling ? real[p] : V::bits(V::lt(key, cut[p])) & real[p];
        if (wanted != 0u) {
            const std::size_t base = static_cast<std::size_t>(p) * V::lanes;
            V::store(scratch.lane_keys + base, key);
            insert_rows<V>(scratch, base, wanted, filling ? cluster : take_count, take_count, cluster);
            if (!filling) cut[p] = V::load(scratch.cuts + base);
        }
    }

    [[gnu::always_inline]] void end_centroid(std::size_t in_panels) {
        if (first + in_panels + 1 == take_count) load_cuts();
    }

    // The lists are full: from now on the last kept key is the cut.
    // Padding rows get -inf, which no key is below.
    void load_cuts() {
        for (std::size_t r = count; r < tile_rows_of<V>; ++r) scratch.cuts[r] = -positive_infinity;
        for (int p = 0; p < V::point_vectors; ++p) {
            cut[p] = V::load(scratch.cuts + static_cast<std::size_t>(p) * V::lanes);
        }
    }

    [[gnu::always_inline]] void finish(std::size_t) {
        for (std::size_t r = 0; r < count; ++r) {
            for (std::size_t t = 0; t < take_count; ++t) {
                chosen[r * take_count + t] = scratch.clusters[r * scratch.stride + t];
            }
        }
    }
};

template <class V>
bool top_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, bool euclidean,
             std::size_t take, const TopScratch& scratch, std::uint32_t* chosen, std::size_t first_cluster) {
    return tile_kernel<V, TopEnding, true, false>(tile, count, point_norms, panels, euclidean, scratch, take, count,
                                                  chosen, first_cluster);
}

// Nearest two: the label choice plus the runner-up's key, per group of
// `group` consecutive clusters (a multiple of tile_centroids, or all of
// them). When a cluster takes over, the one it displaces becomes the
// runner-up; otherwise the runner-up is the smaller of itself and the new
// key. Invariant: `second` is the least key among the group's clusters seen
// other than the chosen one, ties and all. At each group's end the three are
// stored, a vector of rows at a time, and start over.
template <class V, bool euclidean_keys>
struct NearestTwoEnding : EndingDefaults {
    using F = typename V::F;
    using I = typename V::I;
    static constexpr bool euclidean = euclidean_keys;

    std::size_t group, clusters;
    float* first_keys;
    float* second_keys;
    std::uint32_t* first;
    std::size_t group_start = 0;
    F best[V::point_vectors], second[V::point_vectors];
    I chosen[V::point_vectors];

    NearestTwoEnding(std::size_t size, std::size_t n_clusters, float* first_out, float* second_out,
                     std::uint32_t* first_clusters)
        : group(size), clusters(n_clusters), first_keys(first_out), second_keys(second_out), first(first_clusters) {
        start_group();
    }

    [[gnu::always_inline]] void start_group() {
        for (int p = 0; p < V::point_vectors; ++p) {
            best[p] = V::splat(positive_infinity);
            second[p] = V::splat(positive_infinity);
            chosen[p] = V::splat_i(0);
        }
    }

    [[gnu::always_inline]] void take(int p, int, std::size_t cluster, F key_or_dot) {
        const F key = smaller_is_closer<V, euclidean>(key_or_dot);
        // -dot at or below the best: the highest index among equals.
        const typename V::M better = euclidean ? V::lt(key, best[p]) : V::ge(best[p], key);
        const F runner_up = V::select(V::lt(key, second[p]), second[p], key);
        second[p] = V::select(better, runner_up, best[p]);
        best[p] = V::select(better, best[p], key);
        chosen[p] = V::select_i(better, chosen[p], V::splat_i(static_cast<std::uint32_t>(cluster - group_start)));
    }

    [[gnu::always_inline]] void end_group(std::size_t j0, std::size_t live) {
        const std::size_t end = j0 + live;
        if (end != clusters && end % group != 0) return;
        const std::size_t at = j0 / group * tile_rows_of<V>;
        for (int p = 0; p < V::point_vectors; ++p) {
            const std::size_t base = at + static_cast<std::size_t>(p) * V::lanes;
            V::store_i(first + base, chosen[p]);
            V::store(first_keys + base, best[p]);
            V::store(second_keys + base, second[p]);
        }
        start_group();
        group_start = end;
    }
};

template <class V>
bool nearest_two_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, Rule rule,
                     std::size_t group, float* first_keys, float* second_keys, std::uint32_t* first) {
    return tile_kernel<V, NearestTwoEnding, true, false>(tile, count, point_norms, panels, rule == Rule::lowest_key,
                                                         group, panels.clusters, first_keys, second_keys, first);
}

// Every key of a tile, equal to point_keys' bit for bit. The register tile
// holds a vector of points per centroid, and the rows want a vector of
// centroids per point; without shuffles among the V operations, a group's
// keys go through a small buffer on the stack and are copied out row by
// row. At d = 64 that copy is about a tenth of the kernel's time, and it
// runs on the workers with the arithmetic. No NaN check: the caller
// compares the keys and faults there.
template <class V, bool euclidean_keys>
struct KeysEnding : EndingDefaults {
    static constexpr bool euclidean = euclidean_keys;
    static constexpr int J = V::tile_centroids;

    float* keys;
    std::size_t row_stride, count;
    alignas(64) float buffer[J][tile_rows_of<V>];

    KeysEnding(float* out, std::size_t stride, std::size_t rows) : keys(out), row_stride(stride), count(rows) {}

    [[gnu::always_inline]] void take(int p, int j, std::size_t, typename V::F key_or_dot) {
        V::store(&buffer[j][static_cast<std::size_t>(p) * V::lanes], smaller_is_closer<V, euclidean>(key_or_dot));
    }

    [[gnu::always_inline]] void end_group(std::size_t j0, std::size_t live) {
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
};

template <class V>
void keys_f32(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, bool euclidean,
              float* keys, std::size_t row_stride) {
    tile_kernel<V, KeysEnding, true, false>(tile, count, point_norms, panels, euclidean, keys, row_stride, count);
}

// One point against every centroid, centroids in the lanes: each lane runs
// the same FMA chain as a tile accumulator, so the keys equal the tile
// kernels' bit for bit. Several panels at once keep enough independent
// chains in flight to cover the FMA latency.
// `full`: every panel is panel_width wide, as in the tile kernels. Returns
// false if a key of a real cluster is NaN; a partial panel's padding lanes
// can be NaN (0 x inf) without that.
template <class V, bool euclidean, bool full>
bool point_keys_f32_shape(const float* point, const Panels& panels, float point_norm, float* keys) {
    using F = typename V::F;
    constexpr std::size_t per_panel = panel_width / V::lanes;
    constexpr std::size_t group = V::point_key_panels;
    const std::size_t dim = panels.dim;
    const std::size_t width = full ? panel_width : panels.width;
    const std::size_t clusters = panels.clusters;
    const std::size_t n_panels = (clusters + panel_width - 1) / panel_width;  // a narrow panel is the only one
    const F norm = V::splat(point_norm);
    alignas(64) float spill[panel_width];
    bool clean = true;

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
            key = euclidean_key(d, centroid_norms, norm);
        } else {
            key = V::neg(d);
        }
        if (j < clusters) {
            const unsigned real = real_lanes<V>(clusters - j, 0);
            if ((V::bits(V::keep_ordered(V::all(), key)) & real) != real) clean = false;
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
    return clean;
}

template <class V>
bool point_keys_f32(const float* point, const Panels& panels, bool euclidean, float point_norm, float* keys) {
    return dispatch<true, false>(panels.width == panel_width, euclidean, [&](auto full, auto mode) {
        return point_keys_f32_shape<V, mode.value, full.value>(point, panels, point_norm, keys);
    });
}

// Tile rows against a few listed clusters. Each dot is the FMA chain of
// the tile kernels, one lane's worth, so it has their bits; eight pairs,
// from any rows, run side by side to cover the FMA latency, the last pair
// repeated to fill them. Rows of a packed tile are `count` floats apart.
template <class V>
void listed_dots_f32(const float* tile, std::size_t count, const std::uint32_t* rows, const Panels& panels,
                     const std::uint32_t* clusters, std::size_t listed, float* dots) {
    constexpr std::size_t chains = 8;
    const std::size_t dim = panels.dim;
    for (std::size_t i = 0; i < listed; i += chains) {
        const std::size_t live = listed - i < chains ? listed - i : chains;
        const float* x[chains];
        const float* c[chains];
        float acc[chains];
        for (std::size_t a = 0; a < chains; ++a) {
            const std::size_t pair = i + (a < live ? a : live - 1);
            x[a] = tile + rows[pair];
            c[a] = panels.rows + static_cast<std::size_t>(clusters[pair]) * dim;
            acc[a] = 0.0f;
        }
        for (std::size_t l = 0; l < dim; ++l) {
#pragma GCC unroll 8
            for (std::size_t a = 0; a < chains; ++a) acc[a] = __builtin_fmaf(x[a][l * count], c[a][l], acc[a]);
        }
        for (std::size_t a = 0; a < live; ++a) dots[i + a] = acc[a];
    }
}

template <class V>
constexpr TileKernels level_table{
    tile_rows_of<V>,      true,          &pack_f32<V>,          &label_f32<V>,
    &top_f32<V>,          &point_keys_f32<V>, &nearest_two_f32<V>, &keys_f32<V>,
    &pack_gathered_f32<V>, &scan_costs_f32<V::lanes>, &least_ratio_f32<V::lanes>,
    &listed_dots_f32<V>,
};

// The bf16 screen's register tile: Accumulators' loop over pairs of
// dimensions. A tile entry holds one point's bf16 values of dimensions 2q
// (low half) and 2q + 1 (high half), a panel entry the same of one centroid,
// and V::dot_pairs adds both exact products into a float lane. Screen tiles
// are always whole (padding rows zero) and their panels always
// panel_width wide, so the one shape needs no run-time strides.
template <class V>
struct PairAccumulators {
    static constexpr int P = V::point_vectors;
    static constexpr int J = V::tile_centroids;
    typename V::F acc[P][J];

    template <bool>
    void run(const std::uint32_t* tile, std::size_t, const Panels& panels, std::size_t j0) {
        const std::size_t pairs = (panels.dim + 1) / 2;
        const std::uint32_t* centroids = panels.pairs + (j0 / panel_width) * pairs * panel_width + j0 % panel_width;
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) {
#pragma GCC unroll 16
            for (int j = 0; j < J; ++j) acc[p][j] = V::zero();
        }
        for (std::size_t q = 0; q < pairs; ++q) {
            typename V::I x[P];
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) x[p] = V::load_i(tile + q * tile_rows_of<V> + static_cast<std::size_t>(p) * V::lanes);
            const std::uint32_t* c = centroids + q * panel_width;
#pragma GCC unroll 16
            for (int j = 0; j < J; ++j) {
                const typename V::I cj = V::splat_i(c[j]);
#pragma GCC unroll 4
                for (int p = 0; p < P; ++p) acc[p][j] = V::dot_pairs(acc[p][j], x[p], cj);
            }
        }
    }
};

// Keeps cluster `cluster` for the rows of `wanted` (bits from row `base`),
// out of line as insert_rows: once the cuts have settled, rare.
template <class V>
__attribute__((noinline)) void keep_rows(const ScreenScratch& scratch, std::size_t base, unsigned wanted,
                                         std::size_t cluster) {
    for (unsigned bits = wanted; bits != 0u; bits &= bits - 1u) {
        const std::size_t r = base + static_cast<std::size_t>(__builtin_ctz(bits));
        keep_candidate(scratch, r, scratch.lane_keys[r], static_cast<std::uint32_t>(cluster), scratch.cuts[r]);
    }
}

// The screen: each row's least approximate key so far, and the clusters at
// most its cut, the least key plus the row's width. The cut follows the
// least key once per register group (a late cut only keeps more), starts
// at +inf, and for a row not screened (width -inf) is NaN, which no key
// meets. Keys are compared smaller-is-closer in both modes.
template <class V, bool euclidean_keys>
struct ScreenEnding : EndingDefaults {
    using F = typename V::F;
    static constexpr bool euclidean = euclidean_keys;

    ScreenScratch scratch;
    F best[V::point_vectors], width[V::point_vectors], cut[V::point_vectors];

    explicit ScreenEnding(const ScreenScratch& kept) : scratch(kept) {
        for (int p = 0; p < V::point_vectors; ++p) {
            best[p] = V::splat(positive_infinity);
            width[p] = V::load(scratch.widths + static_cast<std::size_t>(p) * V::lanes);
            cut[p] = best[p] + width[p];
        }
    }

    [[gnu::always_inline]] void take(int p, int, std::size_t cluster, F key_or_dot) {
        const F key = smaller_is_closer<V, euclidean>(key_or_dot);
        best[p] = V::select(V::lt(key, best[p]), best[p], key);
        const unsigned wanted = V::bits(V::ge(cut[p], key));
        if (wanted != 0u) {
            const std::size_t base = static_cast<std::size_t>(p) * V::lanes;
            V::store(scratch.lane_keys + base, key);
            V::store(scratch.cuts + base, cut[p]);
            keep_rows<V>(scratch, base, wanted, cluster);
        }
    }

    [[gnu::always_inline]] void end_group(std::size_t, std::size_t) {
        for (int p = 0; p < V::point_vectors; ++p) cut[p] = best[p] + width[p];
    }

    [[gnu::always_inline]] void finish(std::size_t) {
        for (int p = 0; p < V::point_vectors; ++p) {
            V::store(scratch.cuts + static_cast<std::size_t>(p) * V::lanes, best[p] + width[p]);
        }
    }
};

// The screen, and each row's least key of every block of key_block
// clusters (ScreenScratch::minima), a block being whole register groups.
// The running minima live in memory: the screen's register tile and cuts
// fill the vector registers already, and a load and a store per key vector
// cost less than spilling them.
template <class V, bool euclidean_keys>
struct ScreenMinimaEnding : ScreenEnding<V, euclidean_keys> {
    using Base = ScreenEnding<V, euclidean_keys>;
    using F = typename V::F;
    static_assert(key_block % V::tile_centroids == 0, "a block ends with a register group");

    alignas(64) float least[tile_rows_of<V>];
    std::size_t end = 0;  // clusters taken so far

    explicit ScreenMinimaEnding(const ScreenScratch& kept) : Base(kept) { restart(); }

    [[gnu::always_inline]] void take(int p, int j, std::size_t cluster, F key_or_dot) {
        Base::take(p, j, cluster, key_or_dot);
        const F key = smaller_is_closer<V, euclidean_keys>(key_or_dot);
        float* at = least + static_cast<std::size_t>(p) * V::lanes;
        const F held = V::load(at);
        V::store(at, V::select(V::lt(key, held), held, key));
    }

    [[gnu::always_inline]] void end_group(std::size_t j0, std::size_t live) {
        Base::end_group(j0, live);
        end = j0 + live;
        if (end % key_block == 0) store(end / key_block - 1);
    }

    [[gnu::always_inline]] void finish(std::size_t count) {
        Base::finish(count);
        if (end % key_block != 0) store(end / key_block);
    }

private:
    void restart() {
        for (float& v : least) v = positive_infinity;
    }
    void store(std::size_t block) {
        float* out = this->scratch.minima + block * tile_rows_of<V>;
        for (std::size_t r = 0; r < tile_rows_of<V>; ++r) out[r] = least[r];
        restart();
    }
};

// A whole screen tile through the pair register tile, with `Ending`.
template <class V, template <class, auto> class Ending, class... Args>
void screen_tile(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                 Args... args) {
    with_mode<true, false>(euclidean, [&](auto mode) {
        Ending<V, mode.value> ending{args...};
        tile_loop<V, true, Ending<V, mode.value>, PairAccumulators<V>>(tile, tile_rows_of<V>, point_norms, panels,
                                                                       ending);
    });
}

// Every approximate key of a screen tile (ScreenKernels::keys).
template <class V>
void keys_bf16(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean, float* keys,
               std::size_t row_stride) {
    screen_tile<V, KeysEnding>(tile, point_norms, panels, euclidean, keys, row_stride, tile_rows_of<V>);
}

// The candidates of a screen tile's rows (ScreenKernels::screen).
template <class V>
void screen_bf16(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                 const ScreenScratch& scratch) {
    if (scratch.minima != nullptr) {
        screen_tile<V, ScreenMinimaEnding>(tile, point_norms, panels, euclidean, scratch);
    } else {
        screen_tile<V, ScreenEnding>(tile, point_norms, panels, euclidean, scratch);
    }
}

}  // namespace
}  // namespace quorla::engine::tiles
