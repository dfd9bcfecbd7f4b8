// The dimension screen's centroids, and its candidates for a tile.
#include "engine/screen/dimension_screen.hpp"

#include <algorithm>
#include <cmath>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/kernels/key.hpp"
#include "engine/label/bound_arithmetic.hpp"
#include "engine/screen/bf16_bound.hpp"
#include "engine/screen/screen_tiles.hpp"

namespace quorla::engine {

DimensionBasis::DimensionBasis(PrincipalAxes found, KernelLevel kernel_level)
    : level(kernel_level),
      axes(std::move(found)),
      panels(axes.axes, axes.axes.rows(), false, kernel_level),
      bound{axes.axes.cols(), axes.axes.rows(), axes.defect} {}

DimensionCentroids::DimensionCentroids(const Matrix& centroids, const CentroidPanels& exact,
                                       const DimensionBasis& basis)
    : basis_(basis), heads_(centroids.rows(), basis.bound.head), tails_(centroids.rows()) {
    const std::size_t k = exact.clusters();
    const std::size_t dim = exact.dim();
    const std::size_t head = basis.bound.head;
    if (dim != basis.bound.dim) raise_fault("Basis and centroid dimensions differ");
    const tiles::TileKernels& kernels = basis.panels.kernels();
    if (&kernels != &exact.kernels()) raise_fault("Basis packed for another kernel level");
    // The centroids' heads through the same kernels as the points'.
    const std::size_t rows = kernels.tile_rows;
    CacheAligned<float> tile(checked_sum(checked_product(rows, dim), rows));
    std::vector<float> zeros(rows, 0.0f);
    const PointView view = centroids.view();
    const tiles::PointSource source{view.origin, view.row_stride, view.col_stride, dim};
    for (std::size_t first = 0; first < k; first += rows) {
        const std::size_t count = std::min(rows, k - first);
        kernels.pack(source, first, count, tile.data());
        kernels.keys(tile.data(), count, zeros.data(), basis.panels.panels(), false, heads_.row(first).data(), head);
    }
    head_panels_.emplace(heads_, k, false, basis.level);
    panels_ = head_panels_->panels();
    panels_.norms = exact.panels().norms;

    bool finite = true;
    for (std::size_t j = 0; j < k; ++j) {
        const double length = bounds::length_of(centroids.row(j).data(), dim);
        const double head_length = bounds::length_of(heads_.row(j).data(), head);
        const double tail = dimension_bound::tail_length(basis.bound, length, head_length);
        const double norm = exact.euclidean() ? static_cast<double>(exact.panels().norms[j]) : 0.0;
        // A comparison would drop a NaN; it must make the window infinite.
        finite = finite && std::isfinite(length) && std::isfinite(head_length) && std::isfinite(tail) &&
                 std::isfinite(norm);
        tails_[j] = bounds::round_up(tail);
        side_.length = std::max(side_.length, length);
        side_.head_length = std::max(side_.head_length, head_length);
        side_.largest_norm = std::max(side_.largest_norm, norm);
    }
    if (!finite) side_.length = dimension_bound::infinity;
}

void DimensionCandidates::prepare(std::size_t slots, std::size_t tile_rows) {
    const std::size_t k = screen_.head_panels().clusters;
    const std::size_t head = screen_.basis().bound.head;
    key_stride_ = (k + key_block - 1) / key_block * key_block;
    const std::size_t blocks = key_stride_ / key_block;
    slots_.resize(slots);
    for (Slot& s : slots_) {
        s.heads = CacheAligned<float>(checked_product(tile_rows, head));
        s.head_tile = CacheAligned<float>(checked_sum(checked_product(tile_rows, head), tile_rows));
        s.keys = CacheAligned<float>(checked_product(tile_rows, key_stride_));
        s.zeros = CacheAligned<float>(tile_rows);
        s.head_rows.resize(tile_rows);
        s.minima.resize(checked_product(tile_rows, blocks));
        s.lengths.resize(tile_rows);
        s.widths.resize(tile_rows);
        s.cuts.resize(tile_rows);
        s.best_rows.resize(tile_rows);
        s.best_clusters.resize(tile_rows);
        s.best_dots.resize(tile_rows);
    }
}

namespace {

// Row r's bounds in place: key - a T(c_j), and the least of each block of
// them; returns the first cluster with the least bound. Every value is
// finite here (the row's window is), so a minimum is one of the bounds
// whatever the order of folding.
std::uint32_t lower_bounds(float* keys, std::size_t k, const float* tails, float scale, float* minima) {
    for (std::size_t j = 0; j < k; ++j) keys[j] = keys[j] - scale * tails[j];
    block_minima(keys, k, minima);
    const std::size_t blocks = (k + key_block - 1) / key_block;
    std::size_t least = 0;
    for (std::size_t b = 1; b < blocks; ++b) least = minima[b] < minima[least] ? b : least;
    const std::size_t end = std::min(k, (least + 1) * key_block);
    for (std::size_t j = least * key_block; j < end; ++j) {
        if (keys[j] == minima[least]) return static_cast<std::uint32_t>(j);
    }
    return static_cast<std::uint32_t>(least * key_block);
}

}  // namespace

DimensionBounds DimensionCandidates::bound(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    Slot& s = slots_[slot];
    const tiles::TileKernels& kernels = centroids.kernels();
    const DimensionBasis& basis = screen_.basis();
    const std::size_t head = basis.bound.head;
    const std::size_t dim = basis.bound.dim;
    const std::size_t k = screen_.head_panels().clusters;
    const std::size_t blocks = key_stride_ / key_block;
    const std::size_t rows = tile.count;
    const bool euclidean = centroids.euclidean();

    // Heads, packed as a tile of their own, and their keys with the full norms.
    kernels.keys(tile.values, rows, s.zeros.data(), basis.panels.panels(), false, s.heads.data(), head);
    for (std::size_t r = 0; r < rows; ++r) s.head_rows[r] = s.heads.data() + r * head;
    kernels.pack_gathered(s.head_rows.data(), rows, head, s.head_tile.data());
    kernels.keys(s.head_tile.data(), rows, euclidean ? tile.point_norms : s.zeros.data(), screen_.head_panels(),
                 euclidean, s.keys.data(), key_stride_);

    if (!euclidean) tile_squared_lengths(kernels, tile, dim, 0, rows, s.lengths.data());
    std::size_t bests = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const float point_norm = euclidean ? tile.point_norms[r] : 0.0f;
        const double length = screen_bound::length_above(euclidean ? point_norm : s.lengths[r], dim);
        const double head_length = bounds::length_of(s.head_rows[r], head);
        const double tail = dimension_bound::tail_length(basis.bound, length, head_length);
        const double window =
            dimension_bound::window(euclidean, basis.bound, length, head_length, point_norm, screen_.side());
        s.widths[r] = std::isfinite(tail) ? dimension_bound::cut_width(window) : -__builtin_inff();
        s.cuts[r] = -__builtin_inff();
        if (!(s.widths[r] >= 0.0f)) continue;
        const float scale = bounds::round_up(euclidean ? 2.0 * tail : tail);
        s.best_rows[bests] = static_cast<std::uint32_t>(r);
        s.best_clusters[bests] =
            lower_bounds(s.keys.data() + r * key_stride_, k, screen_.tails(), scale, s.minima.data() + r * blocks);
        ++bests;
    }
    // One exact key per row, for the cluster with the least bound.
    kernels.listed_dots(tile.values, tile.count, s.best_rows.data(), centroids.panels(), s.best_clusters.data(), bests,
                        s.best_dots.data());
    for (std::size_t i = 0; i < bests; ++i) {
        const std::uint32_t r = s.best_rows[i];
        const std::uint32_t b = s.best_clusters[i];
        const float exact = euclidean ? euclidean_key(s.best_dots[i], centroids.panels().norms[b], tile.point_norms[r])
                                      : -s.best_dots[i];
        s.cuts[r] = std::isfinite(exact) ? exact + s.widths[r] : -__builtin_inff();
    }
    return {s.keys.data(), key_stride_, s.minima.data(), blocks, s.widths.data(), s.cuts.data()};
}

std::size_t DimensionCandidates::list(const CentroidPanels& centroids, const Tile& tile, std::size_t from,
                                      std::size_t rows, std::size_t slot, std::size_t* listed,
                                      std::uint32_t* pair_rows, std::uint32_t* pair_clusters) {
    if (from != 0 || rows != tile.count) raise_fault("Dimension screen given part of a tile");
    const DimensionBounds b = bound(centroids, tile, slot);
    const std::size_t k = screen_.head_panels().clusters;
    std::size_t pairs = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        listed[r] = 0;
        if (!(b.widths[r] >= 0.0f) || !std::isfinite(b.cuts[r])) continue;
        listed[r] = list_within(b.keys + r * b.stride, k, b.minima + r * b.blocks, b.cuts[r], capacity_,
                                static_cast<std::uint32_t>(r), pair_rows + pairs, pair_clusters + pairs);
        pairs += listed[r];
    }
    return pairs;
}

BlockMinima DimensionCandidates::block_minima(std::size_t slot) const {
    const Slot& s = slots_[slot];
    return {s.minima.data(), key_stride_ / key_block, 1, s.widths.data()};
}

}  // namespace quorla::engine
