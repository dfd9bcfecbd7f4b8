// The screen's centroids and the packing of screen tiles.
#include "engine/screen/screen_tiles.hpp"

#include <algorithm>
#include <cmath>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/label/bound_arithmetic.hpp"

namespace quorla::engine {

ScreenCentroids::ScreenCentroids(const Matrix& centroids, const CentroidPanels& exact, ScreenUnit unit) {
    const std::size_t k = exact.clusters();
    const std::size_t dim = exact.dim();
    const std::size_t n_pairs = (dim + 1) / 2;
    const std::size_t width = tiles::panel_width;
    const std::size_t groups = (k + width - 1) / width;
    // Pair q of centroid j: in panels, or row by row with whole blocks of pairs.
    const bool by_rows = tiles::screen_kernels_for(unit).centroid_rows;
    const std::size_t stride = by_rows ? panel_pairs(dim) : n_pairs;
    pairs.assign(checked_product(checked_product(groups, stride), width), 0u);
    std::vector<float> rounded(dim);
    std::vector<std::uint32_t> halves(2 * n_pairs, 0u);  // past an odd dimension: 0
    bool finite = true;
    for (std::size_t j = 0; j < k; ++j) {
        const float* row = centroids.row(j).data();
        for (std::size_t l = 0; l < dim; ++l) {
            halves[l] = tiles::bf16_bits(row[l]);
            rounded[l] = tiles::bf16_value(halves[l]);
        }
        std::uint32_t* first = by_rows ? pairs.data() + j * stride : pairs.data() + (j / width) * stride * width + j % width;
        const std::size_t step = by_rows ? 1 : width;
        for (std::size_t q = 0; q < n_pairs; ++q) first[q * step] = halves[2 * q] | halves[2 * q + 1] << 16;
        const double length = bounds::length_of(rounded.data(), dim);
        const double moved = bounds::distance_between(row, rounded.data(), dim);
        const double norm = exact.euclidean() ? static_cast<double>(exact.panels().norms[j]) : 0.0;
        // A comparison would drop a NaN; it must make the window infinite.
        finite = finite && std::isfinite(length) && std::isfinite(moved) && std::isfinite(norm);
        side.rounded_length = std::max(side.rounded_length, length);
        side.rounding = std::max(side.rounding, moved);
        side.largest_norm = std::max(side.largest_norm, norm);
    }
    if (!finite) side.rounded_length = screen_bound::infinity;
    panels = exact.panels();
    panels.pairs = pairs.data();
}

// The pairs past the real ones stay as constructed, zero: packing never
// writes them.
ScreenTile::ScreenTile(std::size_t dim)
    : pairs(checked_product(panel_pairs(dim), screen_tile_rows)),
      norms(screen_tile_rows),
      widths(screen_tile_rows),
      sums(screen_tile_rows) {}

// The values come from the level's packed tile: dimension-major at the
// vector levels, which the loops below read along the rows, and row-major
// at the scalar level.
void pack_screen_tile(const ScreenCentroids& screen, const tiles::TileKernels& kernels, const Tile& tile,
                      std::size_t from, std::size_t rows, ScreenTile& out) {
    const std::size_t dim = screen.panels.dim;
    const std::size_t n_pairs = (dim + 1) / 2;
    const std::size_t stride = screen_tile_rows;
    const bool euclidean = screen.panels.norms != nullptr;
    std::uint32_t* packed = out.pairs.data();
    float* sums = out.sums.data();
    if (kernels.packs_panels) {
        const std::size_t count = tile.count;
        for (std::size_t q = 0; q < n_pairs; ++q) {
            const float* low = tile.values + 2 * q * count + from;
            std::uint32_t* pairs = packed + q * stride;
            if (2 * q + 1 < dim) {
                const float* high = low + count;
                for (std::size_t r = 0; r < rows; ++r) pairs[r] = tiles::bf16_pair(low[r], high[r]);
            } else {
                for (std::size_t r = 0; r < rows; ++r) pairs[r] = tiles::bf16_pair(low[r], 0.0f);
            }
            std::fill(pairs + rows, pairs + stride, 0u);
        }
        tile_squared_lengths(kernels, tile, dim, from, rows, sums);
        std::fill(sums + rows, sums + stride, 0.0f);
    } else {
        for (std::size_t r = 0; r < stride; ++r) {
            const float* x = tile.values + (from + r) * dim;
            sums[r] = r < rows ? dot_f32(x, x, dim) : 0.0f;
            for (std::size_t q = 0; q < n_pairs; ++q) {
                packed[q * stride + r] =
                    r < rows ? tiles::bf16_pair(x[2 * q], 2 * q + 1 < dim ? x[2 * q + 1] : 0.0f) : 0u;
            }
        }
    }
    for (std::size_t r = 0; r < stride; ++r) {
        if (r >= rows) {
            out.norms.data()[r] = 0.0f;
            out.widths.data()[r] = -__builtin_inff();
            continue;
        }
        const float point_norm = euclidean ? tile.point_norms[from + r] : 0.0f;
        const double length = screen_bound::length_above(sums[r], dim);
        out.norms.data()[r] = point_norm;
        out.widths.data()[r] =
            screen_bound::cut_width(screen_bound::window(euclidean, dim, length, point_norm, screen.side));
    }
}

void tile_squared_lengths(const tiles::TileKernels& kernels, const Tile& tile, std::size_t dim, std::size_t from,
                          std::size_t rows, float* sums) {
    std::fill(sums, sums + rows, 0.0f);
    if (kernels.packs_panels) {
        for (std::size_t l = 0; l < dim; ++l) {
            const float* column = tile.values + l * tile.count + from;
            for (std::size_t r = 0; r < rows; ++r) sums[r] = sums[r] + column[r] * column[r];
        }
    } else {
        for (std::size_t r = 0; r < rows; ++r) {
            const float* x = tile.values + (from + r) * dim;
            sums[r] = dot_f32(x, x, dim);
        }
    }
}

void DeferredPoints::reserve(std::size_t tile_rows, std::size_t dim) {
    tile_rows_ = tile_rows;
    dim_ = dim;
    points_.reserve(tile_rows);
    rows_.resize(checked_product(tile_rows, dim));
    norms_.assign(tile_rows, 0.0f);
    row_pointers_.resize(tile_rows);
    tile_ = CacheAligned<float>(checked_sum(checked_product(tile_rows, dim), tile_rows));
}

bool DeferredPoints::add(const PointView& points, std::uint64_t i, float norm) {
    const std::size_t at = points_.size();
    if (at == tile_rows_) raise_fault("More deferred points than a tile holds");
    points.copy_row(i, rows_.data() + at * dim_);
    norms_[at] = norm;
    points_.push_back(i);
    return points_.size() == tile_rows_;
}

DeferredPoints::Packed DeferredPoints::pack(const tiles::TileKernels& kernels) {
    const std::size_t count = points_.size();
    if (count == 0) return {nullptr, 0, nullptr, {}};
    for (std::size_t r = 0; r < count; ++r) row_pointers_[r] = rows_.data() + r * dim_;
    std::fill(norms_.begin() + static_cast<std::ptrdiff_t>(count), norms_.end(), 0.0f);
    kernels.pack_gathered(row_pointers_.data(), count, dim_, tile_.data());
    return {tile_.data(), count, norms_.data(), points_};
}

std::size_t list_kept(const tiles::ScreenScratch& kept, std::size_t screen_row, std::uint32_t tile_row,
                      std::size_t limit, std::uint32_t* pair_rows, std::uint32_t* pair_clusters) {
    const std::uint32_t size = kept.sizes[screen_row];
    if (size > kept.capacity || !(kept.widths[screen_row] >= 0.0f)) return 0;
    const float cut = kept.cuts[screen_row];
    const float* keys = kept.keys + screen_row * kept.capacity;
    const std::uint32_t* clusters = kept.clusters + screen_row * kept.capacity;
    std::size_t listed = 0;
    for (std::uint32_t i = 0; i < size; ++i) {
        if (keys[i] <= cut) {
            if (listed == limit) return 0;
            pair_rows[listed] = tile_row;
            pair_clusters[listed] = clusters[i];
            ++listed;
        }
    }
    return listed;
}

// Full blocks in a loop of fixed length, which becomes vector minima.
void block_minima(const float* keys, std::size_t k, float* minima) {
    const std::size_t full = k / key_block;
    for (std::size_t b = 0; b < full; ++b) {
        const float* block = keys + b * key_block;
        float least = block[0];
        for (std::size_t i = 1; i < key_block; ++i) least = block[i] < least ? block[i] : least;
        minima[b] = least;
    }
    if (full * key_block < k) {
        float least = keys[full * key_block];
        for (std::size_t i = full * key_block + 1; i < k; ++i) least = keys[i] < least ? keys[i] : least;
        minima[full] = least;
    }
}

std::size_t list_within(const float* keys, std::size_t k, const float* minima, float cut, std::size_t limit,
                        std::uint32_t tile_row, std::uint32_t* pair_rows, std::uint32_t* pair_places) {
    std::size_t listed = 0;
    const std::size_t blocks = (k + key_block - 1) / key_block;
    for (std::size_t b = 0; b < blocks; ++b) {
        if (!(minima[b] <= cut)) continue;
        const std::size_t end = std::min(k, (b + 1) * key_block);
        for (std::size_t i = b * key_block; i < end; ++i) {
            if (!(keys[i] <= cut)) continue;
            if (listed == limit) return 0;
            pair_rows[listed] = tile_row;
            pair_places[listed] = static_cast<std::uint32_t>(i);
            ++listed;
        }
    }
    return listed;
}

}  // namespace quorla::engine
