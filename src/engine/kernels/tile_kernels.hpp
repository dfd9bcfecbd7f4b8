// The interface between the engine's baseline code (the scan driver,
// scan.hpp, and the balancing phase) and the kernels of each
// instruction-set level: one table per level, the portable scalar level
// included, and one function that picks it (kernels_for). Only plain
// structs, raw pointers and functions with internal linkage live here, so
// that nothing compiled for AVX-512 can be shared with (and picked by the
// linker for) baseline code.
//
// Data layouts:
//  - Centroid panels: centroids in groups of `width`, each group stored
//    dimension-major ([dim][width]), the last group zero-padded. The width
//    is panel_width, so that a vector of panel_width lanes holds one
//    dimension of a whole group; at large d, fewer clusters than that make
//    a single narrow panel of width `clusters`, the size of the centroids
//    themselves (the scan driver decides). The tile kernels broadcast
//    single entries from consecutive floats.
//  - Point tiles: the `count` points of a tile (at most tile_rows),
//    dimension-major with a stride of count ([dim][count]). One vector load
//    gives one dimension of a lane's worth of points.
// Tails: the kernels read tile_rows values for each dimension of a tile and
// panel_width for each dimension of a panel, whatever the count or width.
// In a short tile or a narrow panel the lanes past the real ones therefore
// hold the next dimensions' values, or past the last dimension the buffer's
// slack: a tile buffer holds count * dim + tile_rows floats, and the panels
// panel_width floats more than their groups. These padding lanes are never
// used: a tile's results for them are dropped and left out of the NaN
// check, and a panel's are never looked at, since the choice stops at
// `clusters` (as it does at the zeros of a last full-width panel). The
// dimension is never split, so it has no tail. A short tile thus costs its
// own points and no more, padding costs a little arithmetic and no
// special-case code, and every real point and centroid goes through exactly
// the same instructions.
//
// The scalar level uses neither layout: its tiles are row-major and it reads
// the centroid rows in place, since its dots are dot_f32's (dot.hpp), whose
// arithmetic is independent of the vector levels' so that it can check them.
//
// Every dot product, in every vector kernel, is the same chain
//     acc = 0; for l = 0 .. dim-1: acc = fma(x[l], c[l], acc)
// so a point gets the same dots whichever tile row or lane it lands in, on
// any pool size, in the tile kernels and the one-point kernel alike, and at
// the AVX2, AVX-512 and NEON levels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/kernels/kernel_level.hpp"

namespace quorla::engine::tiles {

inline constexpr std::size_t panel_width = 16;

struct Panels {
    const float* values = nullptr;  // ceil(clusters / width) * dim * width, then panel_width floats of slack
    const float* rows = nullptr;    // the centroid rows, row-major, `clusters` x dim
    const float* norms = nullptr;   // squared centroid norms, `clusters` of them; Euclidean only
    std::size_t clusters = 0;
    std::size_t dim = 0;
    std::size_t width = panel_width;  // centroids per panel: panel_width, or all of them in one narrow panel
    // The bf16 screen's centroids (screen/bf16_screen.hpp): in panels of panel_width,
    // each dimension pair one 32-bit entry; null for the float kernels.
    const std::uint32_t* pairs = nullptr;
};

// The rows a tile is packed from: any signed strides, as in PointView.
struct PointSource {
    const float* origin = nullptr;
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 1;
    std::size_t dim = 0;
};

// How the fused choice picks a cluster.
enum class Rule {
    lowest_key,         // Euclidean: smallest key, ties to the lowest index
    highest_dot_last,   // label step, inner product: largest dot, ties to the highest index
    highest_dot_first,  // assignment, inner product (key -dot ascending): ties to the lowest index
};

// Per-worker buffers of the top-k selection: for each tile row, `take`
// (key, cluster) pairs kept in the stable order, in a slot of `stride`
// entries (at least take, and at least 16 so that a level may hold a short
// list in one vector).
struct TopScratch {
    std::size_t stride = 0;
    float* keys = nullptr;              // tile_rows * stride
    std::uint32_t* clusters = nullptr;  // tile_rows * stride
    float* lane_keys = nullptr;         // tile_rows, keys of one centroid spilled for the rare insertions
    float* cuts = nullptr;              // tile_rows, each row's current cut (its take-th kept key)
};

// What the balancing phase's scan of a point's costs finds.
struct CostScan {
    float least;       // the least cost
    std::size_t best;  // its first index (0 if no cost is below +inf)
    bool overflows;    // some size x penalty is infinite
    bool unordered;    // some cost is NaN
};

struct TileKernels {
    std::size_t tile_rows;
    bool packs_panels;  // false: the kernels read Panels::rows, not Panels::values
    // Packs rows [first, first + count) of `source` into `tile`, which
    // holds count * dim + tile_rows floats.
    void (*pack)(const PointSource& source, std::uint64_t first, std::size_t count, float* tile);
    // Fused label choice for the `count` rows of a packed tile; point_norms
    // has tile_rows entries (Euclidean; those of padding rows may hold
    // anything). Returns false if any key or dot of a real row is NaN.
    // `best`, unless null, gets each row's chosen key (lowest_key) or dot,
    // so that choices over blocks of clusters can be merged.
    bool (*label)(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, Rule rule,
                  std::uint32_t* labels, float* best);
    // The first `take` clusters in stable key order for each real row, into
    // chosen[row * take + t]. Keys as the assignment defines them (Euclidean
    // key, or -dot). Returns false on NaN among a real row's keys.
    // `first_cluster`: the panels are clusters [first_cluster, ...) of a
    // larger set, whose earlier ones the rows' kept lists (and, once full,
    // their cuts) in `scratch` already hold; 0 starts the lists afresh.
    bool (*top)(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, bool euclidean,
                std::size_t take, const TopScratch& scratch, std::uint32_t* chosen, std::size_t first_cluster);
    // Keys of one contiguous point against every cluster (Euclidean key, or
    // -dot), written to keys[0 .. clusters). Returns false if any is NaN.
    bool (*point_keys)(const float* point, const Panels& panels, bool euclidean, float point_norm, float* keys);
    // For each group of `group` consecutive clusters (a multiple of the
    // level's register tile, or all the clusters) and each row: the cluster
    // `rule` picks within the group (lowest_key or highest_dot_last), as its
    // place in the group, into first[g * tile_rows + row]; its key into
    // first_keys[...]; and the least key among the group's other clusters
    // (+inf if there is none) into second_keys[...]. Keys are
    // smaller-is-closer: the Euclidean key, or -dot. Entries of padding rows
    // hold anything. Returns false on NaN among a real row's keys.
    bool (*nearest_two)(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                        Rule rule, std::size_t group, float* first_keys, float* second_keys, std::uint32_t* first);
    // Keys of the `count` rows of a packed tile against every cluster, as
    // point_keys gives them, row-major: row r's key of cluster j goes to
    // keys[r * row_stride + j] (row_stride >= clusters). point_norms as for
    // label. No NaN check: the caller compares the keys and faults there.
    void (*keys)(const float* tile, std::size_t count, const float* point_norms, const Panels& panels, bool euclidean,
                 float* keys, std::size_t row_stride);
    // As pack, from `count` rows anywhere in memory, each `dim` contiguous
    // floats: the points a step gathered from all over the view.
    void (*pack_gathered)(const float* const* rows, std::size_t count, std::size_t dim, float* tile);
    // The balancing phase's scans over float sizes (size_scans_impl.hpp).
    // keys[j] + sizes[j] x size_penalty over j < k: the least, its first
    // index, and whether any product overflows or any cost is NaN.
    CostScan (*scan_costs)(const float* keys, const float* sizes, std::size_t k, float size_penalty);
    // The least (keys[j] - own_key) / (own_size - sizes[j]) over the
    // clusters smaller than own_size; +inf if none, and NaN never taken.
    float (*least_ratio)(const float* keys, const float* sizes, std::size_t k, float own_size, float own_key);
    // Dots of `listed` pairs of a tile row and a cluster: row rows[i] of a
    // packed tile of `count` rows with the row of cluster clusters[i], into
    // dots[i]. The same bits as the tile kernels give for those pairs, for a
    // step that scores points against a few clusters each.
    void (*listed_dots)(const float* tile, std::size_t count, const std::uint32_t* rows, const Panels& panels,
                        const std::uint32_t* clusters, std::size_t listed, float* dots);
};

// The table of a level; an internal fault if the CPU does not support the
// level or the build left it out.
const TileKernels& kernels_for(KernelLevel level);

// Each level's table. Always available: the portable oracle.
const TileKernels* tile_kernels_f32_scalar();
// nullptr when the level was not compiled in (the x86 levels on other
// targets, NEON anywhere but AArch64).
const TileKernels* tile_kernels_f32_avx2();
const TileKernels* tile_kernels_f32_avx512();
const TileKernels* tile_kernels_f32_neon();

// Inserts (key, cluster) into a row's kept list of `size` pairs ordered by
// key, then cluster. `cluster` is above every kept cluster, so it goes after
// the kept pairs with an equal key; the list keeps at most `take` pairs.
// Returns the new size. Internal linkage: each level's file gets its own copy.
namespace {
inline std::size_t insert_kept(float* keys, std::uint32_t* clusters, std::size_t size, std::size_t take, float key,
                               std::uint32_t cluster) {
    std::size_t pos = size;
    while (pos > 0 && keys[pos - 1] > key) --pos;
    if (pos >= take) return size;
    std::size_t last = size < take ? size : take - 1;
    for (std::size_t t = last; t > pos; --t) {
        keys[t] = keys[t - 1];
        clusters[t] = clusters[t - 1];
    }
    keys[pos] = key;
    clusters[pos] = cluster;
    return size < take ? size + 1 : size;
}
}  // namespace

}  // namespace quorla::engine::tiles
