// The scan driver and its sinks.
//
// Points are scored a tile at a time: each worker packs up to tile_rows
// points from the strided view into its own scratch (never the whole
// matrix), and the level's kernels score them against the centroid panels,
// packed once per scan. A sink turns the scores into results while they are
// hot; no n x k distance matrix is ever written, and nothing is allocated
// per point.
//
// Scratch follows the points actually present: a tile buffer holds the
// scan's tallest tile (all its points when they are fewer than a tile), and
// only workers that can meet a tile get one. At d = 8M a full tile is 1.5 GB
// at the AVX-512 level; a scan of two such points needs 64 MB.
#include "engine/scan/scan.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

#include "engine/core/checked.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"
#include "engine/scan/panel_layout.hpp"

namespace quorla::engine {
namespace {

// Points per piece of pool work: enough tiles that claiming a piece costs
// nothing next to scoring it, few enough that two workers finish close
// together. Scans of at most this many points stay on the calling thread.
constexpr std::size_t scan_grain = 256;

// From this many dimensions on, fewer clusters than panel_width get one
// narrow panel, as wide as they are. Below it the padding of a full-width
// panel is at most 240 KB, and the kernels' full-width copies, whose strides
// are constants, are worth more: with a run-time width, label steps at d = 4
// and k = 3 took 15 to 35% longer, while from d = 1024 on both are equal.
constexpr std::size_t narrow_panel_dim = 4096;

// Cache blocking. Unblocked, every tile streams all the centroids: at
// d = 384 and k = 16,384 that is 25 MB per tile of 16 to 48 points, and the
// scan waits on memory (the AVX2 level's rate fell by 40% from k = 1,024 to
// 16,384 on a Zen 4, the AVX-512 level's by 15%). Blocked, the tiles of a
// piece (about scan_grain points) meet one block of centroids after
// another, so each block is read from memory once per piece and from the
// L2 cache by the piece's other tiles. A block of 256 KiB is half of a Zen 3
// core's L2 and a quarter of a Zen 4's, which leaves room for the tile that
// streams past it.
constexpr std::size_t block_bytes = std::size_t{256} << 10;
// Centroids below this many blocks fit the caches well enough unblocked.
constexpr std::size_t least_blocks = 4;
// A piece's packed tiles are kept for all the blocks; wider points than
// this makes them too tall a buffer for the caches to help.
constexpr std::size_t piece_bytes_limit = std::size_t{2} << 20;

// Clusters per block for a blocked scan, a whole number of panels; 0 when
// the scan is not blocked.
std::size_t block_clusters(const CentroidPanels& centroids, std::size_t piece_points, const ScanSink& sink) {
    const std::size_t dim = centroids.dim();
    const std::size_t clusters = centroids.clusters();
    if (!sink.merges_blocks() || dim == 0 || centroids.panels().width != tiles::panel_width) return 0;
    if (piece_points > piece_bytes_limit / sizeof(float) / dim) return 0;
    const std::size_t per_block = std::max<std::size_t>(1, block_bytes / sizeof(float) / dim / tiles::panel_width);
    const std::size_t block = per_block * tiles::panel_width;
    return clusters / block >= least_blocks ? block : 0;
}

}  // namespace

CentroidPanels::CentroidPanels(const Matrix& centroids, std::size_t clusters, bool euclidean, KernelLevel level)
    : centroids_(&centroids), kernels_(&tiles::kernels_for(level)), euclidean_(euclidean) {
    if (clusters > centroids.rows()) raise_fault("Fewer centroid rows than clusters");
    if (clusters > UINT32_MAX) raise_fault("Too many centroids for the tile kernels");
    const std::size_t dim = centroids.cols();
    if (euclidean) {
        norms_.resize(clusters);
        for (std::size_t j = 0; j < clusters; ++j) {
            const float* row = centroids.row(j).data();
            norms_[j] = dot_f32(row, row, dim);
        }
    }
    // Padding k = 2 up to a full-width panel would make the panels 8 times
    // the centroids: 512 MB at d = 8M.
    const std::size_t width = clusters > 0 && clusters < tiles::panel_width && dim >= narrow_panel_dim
                                  ? clusters
                                  : tiles::panel_width;
    if (kernels_->packs_panels) {
        const std::size_t groups = (clusters + width - 1) / width;
        values_.assign(checked_sum(checked_product(checked_product(groups, width), dim), tiles::panel_width), 0.0f);
        for (std::size_t j = 0; j < clusters; ++j) {
            pack_panel_row(centroids.row(j).data(), j, dim, width, values_.data());
        }
    }
    panels_ = {values_.data(), centroids.data(), euclidean ? norms_.data() : nullptr, clusters, dim, width};
}

void CentroidPanels::refresh_norm(std::size_t j) {
    if (j >= panels_.clusters) raise_fault("Centroid row beyond the panels");
    const float* row = centroids_->row(j).data();
    if (euclidean_) norms_[j] = dot_f32(row, row, panels_.dim);
}

void CentroidPanels::repack_row(std::size_t j) {
    if (j >= panels_.clusters) raise_fault("Centroid row beyond the panels");
    if (kernels_->packs_panels) pack_panel_row(centroids_->row(j).data(), j, panels_.dim, panels_.width, values_.data());
}

std::shared_ptr<const CentroidPanels> PanelCache::panels(const Matrix& centroids, std::size_t clusters,
                                                         bool euclidean, KernelLevel level) {
    const std::lock_guard<std::mutex> held(lock_);
    if (!panels_ || level_ != level || panels_->clusters() != clusters || panels_->euclidean() != euclidean ||
        panels_->panels().rows != centroids.data()) {
        panels_.reset();
        panels_ = std::make_shared<const CentroidPanels>(centroids, clusters, euclidean, level);
        level_ = level;
    }
    return panels_;
}

void PanelCache::clear() {
    const std::lock_guard<std::mutex> held(lock_);
    panels_.reset();
}

tiles::Panels CentroidPanels::range(std::size_t first, std::size_t count) const {
    if (first % panels_.width != 0) raise_fault("Panel range not starting a panel");
    if (first > panels_.clusters || count > panels_.clusters - first) raise_fault("Panel range beyond the clusters");
    tiles::Panels part = panels_;
    part.clusters = count;
    // Levels that read the rows in place have no packed values to offset.
    if (kernels_->packs_panels) part.values = panels_.values + first / panels_.width * panels_.dim * panels_.width;
    part.rows = panels_.rows + first * panels_.dim;
    if (euclidean_) part.norms = panels_.norms + first;
    return part;
}

void scan_points(const ExecutionContext& context, const CentroidPanels& centroids, const PointView& points,
                 const std::vector<float>* point_norms, ScanSink& sink, std::size_t grain) {
    const tiles::TileKernels& kernels = centroids.kernels();
    const std::size_t dim = points.cols;
    if (centroids.dim() != dim) raise_fault("Centroid and point dimensions differ");
    const bool euclidean = centroids.euclidean();
    if (euclidean && point_norms != nullptr && point_norms->size() != points.rows) {
        raise_fault("Point norms do not match the point count");
    }
    const std::size_t rows = kernels.tile_rows;
    const std::size_t workers = context.workers();  // brings up an absent pool, as every scan does
    const std::uint64_t n_tiles = points.rows / rows + (points.rows % rows != 0 ? 1 : 0);
    const std::size_t piece_points = grain != 0 ? grain : scan_grain;
    const bool pooled = context.pool != nullptr && points.rows > piece_points;
    // No more slots than tiles: a worker that gets no tile needs no scratch.
    const std::size_t slots = static_cast<std::size_t>(std::min<std::uint64_t>(pooled ? workers : 1, n_tiles));
    const std::size_t piece_tiles = std::max<std::size_t>(1, piece_points / rows);
    const std::size_t block = block_clusters(centroids, piece_tiles * rows, sink);
    // A blocked scan keeps a piece's tiles, an unblocked one tile.
    const std::size_t slot_tiles = block != 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(piece_tiles, n_tiles)) : 1;
    if (block != 0) {
        sink.prepare_blocks(slots, rows, checked_product(slot_tiles, rows));
    } else {
        sink.prepare(slots, rows);
    }

    // Per slot: the packed tiles, each as tall as the scan's tallest tile,
    // with the slack the kernels read past a short one, and its point norms;
    // and, when norms of strided points are computed here, one unpacked
    // row. Whole cache lines each, so that slots never share one.
    const std::size_t tallest = static_cast<std::size_t>(std::min<std::uint64_t>(rows, points.rows));
    const std::size_t tile_floats = checked_sum(checked_product(tallest, dim), rows);
    const std::size_t packed_floats = checked_sum(tile_floats, rows);
    const bool unpacks_rows = euclidean && point_norms == nullptr && !points.row_contiguous();
    const std::size_t slot_floats = checked_sum(checked_product(slot_tiles, packed_floats), unpacks_rows ? dim : 0);
    const std::size_t stride = checked_sum(slot_floats, 15) / 16 * 16;
    CacheAligned<float> scratch(checked_product(slots, stride));
    const tiles::PointSource source{points.origin, points.row_stride, points.col_stride, dim};

    // On the pool, a worker claims the next free slot with its first tile;
    // it meets a tile only if it runs a piece, and pieces are whole tiles,
    // so no more than `slots` are ever claimed. Each entry of slot_of is
    // touched by its own worker only.
    constexpr std::size_t unclaimed = SIZE_MAX;
    std::vector<std::size_t> slot_of(pooled ? workers : 0, unclaimed);
    std::atomic<std::size_t> claimed{0};

    // Tile t as packed into `tile`, with its norms after it.
    auto tile_at = [&](std::uint64_t t, float* tile) -> Tile {
        const std::uint64_t first = t * rows;
        return Tile{tile, static_cast<std::size_t>(std::min<std::uint64_t>(rows, points.rows - first)), first,
                    tile + tile_floats};
    };
    // Packs tile t into `tile`.
    auto pack = [&](std::uint64_t t, float* tile, float* row) -> Tile {
        const Tile packed = tile_at(t, tile);
        const std::uint64_t first = packed.first;
        const std::size_t count = packed.count;
        float* tile_norms = tile + tile_floats;
        kernels.pack(source, first, count, tile);
        if (euclidean) {
            if (point_norms != nullptr) {
                const float* given = point_norms->data() + first;
                std::copy(given, given + count, tile_norms);
            } else {
                // As squared_norms computes them, so that a point scores
                // the same whether its norm was given or not.
                for (std::size_t r = 0; r < count; ++r) {
                    const float* x = points.row_start(first + r);
                    if (unpacks_rows) {
                        points.copy_row(first + r, row);
                        x = row;
                    }
                    tile_norms[r] = dot_f32(x, x, dim);
                }
            }
            std::fill(tile_norms + count, tile_norms + rows, 0.0f);
        }
        return packed;
    };

    auto run = [&](std::size_t begin, std::size_t end, std::size_t worker) {
        std::size_t slot = 0;
        if (pooled) {
            if (worker >= slot_of.size()) raise_fault("Scan piece on a worker beyond the pool");
            if (slot_of[worker] == unclaimed) slot_of[worker] = claimed.fetch_add(1, std::memory_order_relaxed);
            slot = slot_of[worker];
            if (slot >= slots) raise_fault("More workers took tiles than the scan has scratch for");
        }
        float* tiles_at = scratch.data() + slot * stride;
        float* row = tiles_at + slot_tiles * packed_floats;
        if (block == 0) {
            for (std::size_t t = begin; t < end; ++t) {
                if (!sink.consume(centroids, pack(t, tiles_at, row), slot)) raise_nan_fault();
            }
            return;
        }
        const std::size_t clusters = centroids.clusters();
        for (std::size_t t0 = begin; t0 < end; t0 += slot_tiles) {
            const std::size_t t1 = std::min(end, t0 + slot_tiles);
            std::size_t piece_rows = 0;
            for (std::size_t t = t0; t < t1; ++t) piece_rows += pack(t, tiles_at + (t - t0) * packed_floats, row).count;
            bool clean = true;
            for (std::size_t c0 = 0; c0 < clusters; c0 += block) {
                const tiles::Panels panels = centroids.range(c0, std::min(block, clusters - c0));
                for (std::size_t t = t0; t < t1; ++t) {
                    const Tile packed = tile_at(t, tiles_at + (t - t0) * packed_floats);
                    clean = sink.consume_block(centroids, panels, c0, packed, slot, (t - t0) * rows) && clean;
                }
            }
            if (!clean) raise_nan_fault();
            sink.finish_piece(slot, t0 * rows, piece_rows);
        }
    };
    // Pieces are whole tiles, and a point's scores do not depend on its row
    // within a tile, so results do not depend on how tiles meet workers.
    // Larger scans go through the context, which asks its stop check
    // between pieces: on the pool, or on the calling thread in slot 0.
    if (points.rows > piece_points) {
        context.for_each_piece(static_cast<std::size_t>(n_tiles), piece_tiles, run);
    } else if (n_tiles > 0) {
        run(0, static_cast<std::size_t>(n_tiles), 0);
    }
}

void ScanSink::prepare_blocks(std::size_t, std::size_t, std::size_t) {
    raise_fault("Blocked scan of a sink that merges no blocks");
}

bool ScanSink::consume_block(const CentroidPanels&, const tiles::Panels&, std::size_t, const Tile&, std::size_t,
                             std::size_t) {
    raise_fault("Blocked scan of a sink that merges no blocks");
}

void ScanSink::finish_piece(std::size_t, std::uint64_t, std::size_t) {
    raise_fault("Blocked scan of a sink that merges no blocks");
}

template <class Index>
void NearestSink<Index>::prepare(std::size_t slots, std::size_t tile_rows) {
    tile_rows_ = tile_rows;
    chosen_.assign(checked_product(slots, tile_rows), 0);
}

template <class Index>
bool NearestSink<Index>::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    std::uint32_t* chosen = chosen_.data() + slot * tile_rows_;
    const bool clean = centroids.kernels().label(tile.values, tile.count, tile.point_norms, centroids.panels(), rule_,
                                                 chosen, nullptr);
    std::copy(chosen, chosen + tile.count, out_.begin() + static_cast<std::ptrdiff_t>(tile.first));
    return clean;
}

template <class Index>
void NearestSink<Index>::prepare_blocks(std::size_t slots, std::size_t tile_rows, std::size_t piece_rows) {
    prepare(slots, tile_rows);  // a block's choices for one tile
    piece_rows_ = piece_rows;
    chosen_values_.assign(checked_product(slots, tile_rows_), 0.0f);
    kept_.assign(checked_product(slots, piece_rows), 0);
    kept_values_.assign(checked_product(slots, piece_rows), 0.0f);
}

template <class Index>
bool NearestSink<Index>::consume_block(const CentroidPanels& centroids, const tiles::Panels& block,
                                       std::size_t first_cluster, const Tile& tile, std::size_t slot,
                                       std::size_t piece_row) {
    if (piece_row + tile.count > piece_rows_) raise_fault("Tile beyond its piece");
    std::uint32_t* chosen = chosen_.data() + slot * tile_rows_;
    float* values = chosen_values_.data() + slot * tile_rows_;
    const bool clean =
        centroids.kernels().label(tile.values, tile.count, tile.point_norms, block, rule_, chosen, values);
    std::uint32_t* kept = kept_.data() + slot * piece_rows_ + piece_row;
    float* kept_values = kept_values_.data() + slot * piece_rows_ + piece_row;
    const auto cluster = static_cast<std::uint32_t>(first_cluster);
    for (std::size_t r = 0; r < tile.count; ++r) {
        bool replaces = first_cluster == 0;
        switch (rule_) {
            case tiles::Rule::lowest_key:
                replaces = replaces || values[r] < kept_values[r];
                break;
            case tiles::Rule::highest_dot_last:
                replaces = replaces || values[r] >= kept_values[r];
                break;
            case tiles::Rule::highest_dot_first:
                replaces = replaces || values[r] > kept_values[r];
                break;
        }
        if (replaces) {
            kept[r] = cluster + chosen[r];
            kept_values[r] = values[r];
        }
    }
    return clean;
}

template <class Index>
void NearestSink<Index>::finish_piece(std::size_t slot, std::uint64_t first, std::size_t rows) {
    const std::uint32_t* kept = kept_.data() + slot * piece_rows_;
    std::copy(kept, kept + rows, out_.begin() + static_cast<std::ptrdiff_t>(first));
}

template class NearestSink<std::uint32_t>;
template class NearestSink<std::uint64_t>;

void TopSink::allocate(std::size_t slots, std::size_t slot_rows) {
    slot_rows_ = slot_rows;
    // At least 16 entries, so that a level may hold a short list in one
    // vector, and whole cache lines, so that every row's list starts a line.
    kept_stride_ = checked_sum(std::max<std::size_t>(take_, 16), 15) / 16 * 16;
    const std::size_t rows = checked_product(slots, slot_rows);
    kept_keys_ = CacheAligned<float>(checked_product(rows, kept_stride_));
    kept_clusters_ = CacheAligned<std::uint32_t>(checked_product(rows, kept_stride_));
    lane_keys_ = CacheAligned<float>(rows);
    cuts_ = CacheAligned<float>(rows);
}

void TopSink::prepare(std::size_t slots, std::size_t tile_rows) { allocate(slots, tile_rows); }

void TopSink::prepare_blocks(std::size_t slots, std::size_t, std::size_t piece_rows) { allocate(slots, piece_rows); }

tiles::TopScratch TopSink::scratch(std::size_t slot, std::size_t row) {
    const std::size_t at = slot * slot_rows_ + row;
    return {kept_stride_, kept_keys_.data() + at * kept_stride_, kept_clusters_.data() + at * kept_stride_,
            lane_keys_.data() + at, cuts_.data() + at};
}

void TopSink::copy_keys(const tiles::TopScratch& lists, std::uint64_t first, std::size_t rows) {
    if (keys_.empty()) return;
    // Each row's kept list holds its keys in the order of its clusters.
    for (std::size_t r = 0; r < rows; ++r) {
        const float* row_keys = lists.keys + r * lists.stride;
        std::copy(row_keys, row_keys + take_, keys_.begin() + static_cast<std::ptrdiff_t>((first + r) * take_));
    }
}

bool TopSink::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    const tiles::TopScratch lists = scratch(slot, 0);
    const bool clean = centroids.kernels().top(tile.values, tile.count, tile.point_norms, centroids.panels(),
                                               centroids.euclidean(), take_, lists, out_.data() + tile.first * take_, 0);
    copy_keys(lists, tile.first, tile.count);
    return clean;
}

bool TopSink::consume_block(const CentroidPanels& centroids, const tiles::Panels& block, std::size_t first_cluster,
                            const Tile& tile, std::size_t slot, std::size_t piece_row) {
    if (piece_row + tile.count > slot_rows_) raise_fault("Tile beyond its piece");
    // Each block writes the tile's choices so far; the last block's stand.
    return centroids.kernels().top(tile.values, tile.count, tile.point_norms, block, centroids.euclidean(), take_,
                                   scratch(slot, piece_row), out_.data() + tile.first * take_, first_cluster);
}

void TopSink::finish_piece(std::size_t slot, std::uint64_t first, std::size_t rows) {
    copy_keys(scratch(slot, 0), first, rows);
}

bool KeysSink::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t) {
    const std::size_t clusters = centroids.clusters();
    if (checked_product(checked_sum(tile.first, tile.count), clusters) > out_.size()) {
        raise_fault("Key block smaller than the scan");
    }
    centroids.kernels().keys(tile.values, tile.count, tile.point_norms, centroids.panels(), centroids.euclidean(),
                             out_.data() + tile.first * clusters, clusters);
    return true;
}

void centroid_keys(const CentroidPanels& centroids, std::span<const float> point, float point_norm,
                        std::span<float> keys) {
    centroid_keys(ExecutionContext{}, centroids, point, point_norm, keys);
}

void centroid_keys(const ExecutionContext& context, const CentroidPanels& centroids, std::span<const float> point,
                   float point_norm, std::span<float> keys) {
    if (point.size() != centroids.dim()) raise_fault("Centroid and point dimensions differ");
    if (keys.size() != centroids.clusters()) raise_fault("Key vector does not match the centroid count");
    // Whole panels a piece, enough of them that waking a worker pays.
    constexpr std::size_t piece_clusters = 2048;
    const std::size_t width = centroids.panels().width;
    const std::size_t per_piece = std::max<std::size_t>(1, piece_clusters / width) * width;
    const std::size_t clusters = centroids.clusters();
    std::atomic<bool> clean{true};
    context.for_each_piece((clusters + per_piece - 1) / per_piece, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t piece = begin; piece < end; ++piece) {
            const std::size_t first = piece * per_piece;
            const tiles::Panels part = centroids.range(first, std::min(per_piece, clusters - first));
            if (!centroids.kernels().point_keys(point.data(), part, centroids.euclidean(), point_norm, keys.data() + first)) {
                clean.store(false, std::memory_order_relaxed);
            }
        }
    });
    if (!clean.load() && clusters > 1) raise_nan_fault();
}

}  // namespace quorla::engine
