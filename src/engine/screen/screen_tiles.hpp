// What every screened scan builds before it screens: the centroids rounded
// to bf16 once per scan, with what the window needs to know of them, and a
// scan tile's rows packed into screen tiles with each row's cut width
// (bf16_bound.hpp). The screened label step (label/screened_step.cpp) and the
// screened top-k scan (scan/screened_top.cpp) share them; how candidates are
// chosen and scored is each one's own business.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/matrix.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/screen/bf16_bound.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {

// The centroids as `unit` reads them, and the centroid side of the window.
// A NaN or infinity among the centroids makes every window infinite.
struct ScreenCentroids {
    std::vector<std::uint32_t> pairs;
    screen_bound::CentroidSide side;
    tiles::Panels panels;  // the exact panels, with `pairs` set

    ScreenCentroids(const Matrix& centroids, const CentroidPanels& exact, ScreenUnit unit);
};

// One worker's screen tile: bf16 pairs of screen_tile_rows points, their
// exact squared norms (Euclidean; 0 otherwise) and their cut widths, -inf
// for a row that is not screened (padding, or a window that is not finite).
struct ScreenTile {
    CacheAligned<std::uint32_t> pairs;  // panel_pairs(d) pairs a row, zero past the real ones
    CacheAligned<float> norms, widths;
    std::vector<float> sums;  // squared lengths for the window, in any order

    ScreenTile() = default;
    explicit ScreenTile(std::size_t dim);
};

// Rows [from, from + rows) of the scan's packed tile into `out`, rounded to
// bf16 on the way, with each row's cut width; the rest of the screen tile
// is padding that keeps nothing.
void pack_screen_tile(const ScreenCentroids& screen, const tiles::TileKernels& kernels, const Tile& tile,
                      std::size_t from, std::size_t rows, ScreenTile& out);

// Squared lengths of rows [from, from + rows) of a packed tile into
// sums[0, rows), in single precision and any order (screen_bound's
// length_above allows for that).
void tile_squared_lengths(const tiles::TileKernels& kernels, const Tile& tile, std::size_t dim, std::size_t from,
                          std::size_t rows, float* sums);

// Points whose window holds too many clusters, set aside to be scored in
// full a tile at a time: their rows are copied, since the scan's tile they
// came from is gone by then.
class DeferredPoints {
public:
    void reserve(std::size_t tile_rows, std::size_t dim);

    // Sets point i aside, with its squared norm (Euclidean; 0 otherwise);
    // true once a whole tile is waiting.
    bool add(const PointView& points, std::uint64_t i, float norm);

    // The points set aside, packed as one tile by `kernels`, in the order
    // they came; empty when there are none. Valid until clear().
    struct Packed {
        const float* values;
        std::size_t count;
        const float* norms;  // tile_rows entries, 0 past count
        std::span<const std::uint64_t> points;
    };
    Packed pack(const tiles::TileKernels& kernels);
    void clear() { points_.clear(); }

private:
    std::size_t tile_rows_ = 0;
    std::size_t dim_ = 0;
    std::vector<std::uint64_t> points_;
    std::vector<float> rows_, norms_;
    std::vector<const float*> row_pointers_;
    CacheAligned<float> tile_;
};

// Clusters a screened point may keep as candidates. An exact key of a
// candidate is one FMA chain of d steps, about 16 times the cost of a key in
// the tile kernels, so at k / 16 candidates a point costs as much as
// scoring it in full; past that it is scored in full.
inline std::size_t screen_candidate_capacity(std::size_t n_clusters) {
    return std::clamp<std::size_t>(n_clusters / 16, 16, 256);
}

// The least key of each block of keys[0, k) into minima[0, ceil(k / 16)).
// For rows with a finite window only, whose keys are finite
// (bf16_bound.hpp): a minimum is then one of the keys whatever the order
// of folding, and the compiler may fold in vectors.
void block_minima(const float* keys, std::size_t k, float* minima);

// The keys of keys[0, k) at or below `cut`, in ascending order of their
// place, written as (tile_row, place) pairs; only blocks whose least key
// (`minima`, from block_minima) is within the cut are read. 0 when more
// than `limit` are.
std::size_t list_within(const float* keys, std::size_t k, const float* minima, float cut, std::size_t limit,
                        std::uint32_t tile_row, std::uint32_t* pair_rows, std::uint32_t* pair_places);

// A screened row's candidates after the screen kernel: those it kept at or
// below the row's final cut, in ascending cluster order, written as
// (tile_row, cluster) pairs; 0 when the row was not screened, overflowed
// its list, or has more than `limit` of them.
std::size_t list_kept(const tiles::ScreenScratch& kept, std::size_t screen_row, std::uint32_t tile_row,
                      std::size_t limit, std::uint32_t* pair_rows, std::uint32_t* pair_clusters);

}  // namespace quorla::engine
