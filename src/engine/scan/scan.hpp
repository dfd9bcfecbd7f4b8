// The scan driver: scores points against every centroid, for the label
// step, assignment and balancing alike. It owns everything around the
// arithmetic: the kernel table of the context's level, the centroid panels
// and norms, tiling the points, scratch for each worker that takes tiles,
// packing, point norms, spreading tiles over the pool, and the NaN fault. What is done with a
// tile's scores is a sink's business: the nearest centroid under a tie rule
// (NearestSink), the k nearest in stable key order (TopSink), or the keys of
// single points as balancing visits them (centroid_keys).
//
// The arithmetic of a key is fixed step by step (euclidean_key in dot.hpp);
// only the summation order inside a dot product is free, and it depends on
// the level (tile_kernels.hpp). Results can differ between levels only where
// that order decides a near-tie; they never depend on the pool size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/core/matrix.hpp"
#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine {

// The first `clusters` rows of a centroid matrix as one level's kernels read
// them, with their squared norms in Euclidean mode. The matrix must outlive
// this object and keep its shape; after row j of it changes, refresh_row(j)
// brings the panels and the norm up to date, giving the numbers a fresh
// build would.
class CentroidPanels {
public:
    CentroidPanels(const Matrix& centroids, std::size_t clusters, bool euclidean, KernelLevel level);

    void refresh_row(std::size_t j) {
        refresh_norm(j);
        repack_row(j);
    }
    // The two halves of refresh_row, for a caller that changes a row many
    // times between two scores against the panels: the norm (which the
    // rows read in place are scored with too) and the packed values.
    void refresh_norm(std::size_t j);
    void repack_row(std::size_t j);

    const tiles::TileKernels& kernels() const { return *kernels_; }
    const tiles::Panels& panels() const { return panels_; }
    // Clusters [first, first + count) as panels of their own, which a kernel
    // reads as it reads the whole; `first` must start a panel.
    tiles::Panels range(std::size_t first, std::size_t count) const;
    std::size_t clusters() const { return panels_.clusters; }
    std::size_t dim() const { return panels_.dim; }
    bool euclidean() const { return euclidean_; }

private:
    const Matrix* centroids_;
    const tiles::TileKernels* kernels_;
    bool euclidean_;
    std::vector<float> values_;  // empty when the level reads the rows in place
    std::vector<float> norms_;   // Euclidean only
    tiles::Panels panels_;
};

// One model's centroid panels, kept between its queries: at 65,536 x 384
// centroids, packing them took 115 ms, against 3.5 ms to score one point.
// Queries may share it from several threads. Whoever changes the model's
// centroids clears it first; nothing here can tell that they changed.
class PanelCache {
public:
    // The panels of the first `clusters` rows of `centroids`, which must
    // outlive them, built at the first call and again for another level.
    std::shared_ptr<const CentroidPanels> panels(const Matrix& centroids, std::size_t clusters, bool euclidean,
                                                 KernelLevel level);
    void clear();

private:
    std::mutex lock_;
    std::shared_ptr<const CentroidPanels> panels_;
    KernelLevel level_ = KernelLevel::scalar;
};

// Values whose start is on a cache line, zero-initialised: a full tile's
// rows of 16 or 48 points are then whole lines, and a kept list of 16 keys
// is one vector load that never splits a line.
template <class T>
class CacheAligned {
public:
    CacheAligned() = default;
    explicit CacheAligned(std::size_t count) : storage_(count + line_values, T{}) {
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        offset_ = (line_bytes - address % line_bytes) % line_bytes / sizeof(T);
    }
    T* data() { return storage_.data() + offset_; }

private:
    static constexpr std::size_t line_bytes = 64;
    static constexpr std::size_t line_values = line_bytes / sizeof(T);
    std::vector<T> storage_;
    std::size_t offset_ = 0;
};

// One packed tile as a sink sees it.
struct Tile {
    const float* values;       // `count` rows packed by the level's kernels
    std::size_t count;         // real rows, at most tile_rows
    std::uint64_t first;       // point index of row 0
    const float* point_norms;  // tile_rows entries, Euclidean only
};

// A scan gives each worker that takes tiles a slot of scratch of its own,
// numbered from 0: as many slots as workers can meet tiles, one on the
// calling thread, and never more than there are tiles.
class ScanSink {
public:
    virtual ~ScanSink() = default;
    // Before the scan, on the calling thread: size the scratch of `slots`.
    virtual void prepare(std::size_t slots, std::size_t tile_rows) = 0;
    // One tile in one slot; false if a key or dot of a real row was NaN.
    virtual bool consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) = 0;

    // A sink that can merge a tile's results over blocks of clusters says
    // so; the driver may then score the tiles of a piece against one
    // cache-sized block of centroids after another (scan_points).
    virtual bool merges_blocks() const { return false; }
    // Before a blocked scan, on the calling thread, instead of prepare:
    // room for tiles of `tile_rows` and pieces of `piece_rows` rows in each
    // of `slots`.
    virtual void prepare_blocks(std::size_t slots, std::size_t tile_rows, std::size_t piece_rows);
    // The tile against clusters [first_cluster, first_cluster +
    // block.clusters); each tile meets the blocks in ascending order. Its
    // rows are rows [piece_row, piece_row + tile.count) of the slot's piece.
    virtual bool consume_block(const CentroidPanels& centroids, const tiles::Panels& block, std::size_t first_cluster,
                               const Tile& tile, std::size_t slot, std::size_t piece_row);
    // After the last block: the slot's piece of `rows` rows, the first of
    // them point `first`, is done.
    virtual void finish_piece(std::size_t slot, std::uint64_t first, std::size_t rows);
};

// Scores every point of `points` and hands each tile to `sink`, on the
// context's pool (created if absent) or on the calling thread. Euclidean
// point norms are taken from `point_norms` when given (one per point), else
// computed per tile. NaN reported by the sink is a fault, raised after the
// scan has stopped. `grain`: points per piece of pool work (rounded to
// whole tiles), 0 for the default; scans of at most that many points stay
// on the calling thread.
void scan_points(const ExecutionContext& context, const CentroidPanels& centroids, const PointView& points,
                 const std::vector<float>* point_norms, ScanSink& sink, std::size_t grain = 0);

// Each point's cluster under `rule`, written to out[point]. Over blocks of
// clusters, a later block's choice replaces the kept one as the rule's own
// comparison would have within one scan (ties to the lower index by a
// strict comparison, to the higher by a non-strict one), so the labels are
// the unblocked scan's.
template <class Index>
class NearestSink final : public ScanSink {
public:
    NearestSink(tiles::Rule rule, std::span<Index> out) : rule_(rule), out_(out) {}
    void prepare(std::size_t slots, std::size_t tile_rows) override;
    bool consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) override;
    bool merges_blocks() const override { return true; }
    void prepare_blocks(std::size_t slots, std::size_t tile_rows, std::size_t piece_rows) override;
    bool consume_block(const CentroidPanels& centroids, const tiles::Panels& block, std::size_t first_cluster,
                       const Tile& tile, std::size_t slot, std::size_t piece_row) override;
    void finish_piece(std::size_t slot, std::uint64_t first, std::size_t rows) override;

private:
    tiles::Rule rule_;
    std::span<Index> out_;
    std::size_t tile_rows_ = 0;
    std::vector<std::uint32_t> chosen_;  // per slot, one tile's choices
    std::vector<float> chosen_values_;   // per slot, their keys or dots
    std::size_t piece_rows_ = 0;
    std::vector<std::uint32_t> kept_;    // per slot, the piece's choices so far
    std::vector<float> kept_values_;     // and their keys or dots
};

// Each point's first `take` clusters in stable key order (equal keys keep
// ascending cluster order), written to out[point * take + t], and their keys
// to keys[point * take + t] when `keys` is not empty. Over blocks of
// clusters, each row's kept list and cut carry from one block to the next,
// so the lists are the unblocked scan's.
class TopSink final : public ScanSink {
public:
    TopSink(std::size_t take, std::span<std::uint32_t> out, std::span<float> keys = {})
        : take_(take), out_(out), keys_(keys) {}
    void prepare(std::size_t slots, std::size_t tile_rows) override;
    bool consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) override;
    // Long lists cost their insertions, not their reads of the centroids,
    // and a piece's lists would take take x piece rows a slot.
    bool merges_blocks() const override { return take_ <= 64; }
    void prepare_blocks(std::size_t slots, std::size_t tile_rows, std::size_t piece_rows) override;
    bool consume_block(const CentroidPanels& centroids, const tiles::Panels& block, std::size_t first_cluster,
                       const Tile& tile, std::size_t slot, std::size_t piece_row) override;
    void finish_piece(std::size_t slot, std::uint64_t first, std::size_t rows) override;

private:
    // Lists for `slot_rows` rows in each of `slots`.
    void allocate(std::size_t slots, std::size_t slot_rows);
    // The lists of rows [row, ...) of `slot`.
    tiles::TopScratch scratch(std::size_t slot, std::size_t row);
    void copy_keys(const tiles::TopScratch& lists, std::uint64_t first, std::size_t rows);

    std::size_t take_;
    std::span<std::uint32_t> out_;
    std::span<float> keys_;
    std::size_t slot_rows_ = 0;
    std::size_t kept_stride_ = 0;
    CacheAligned<float> kept_keys_, lane_keys_, cuts_;  // per slot
    CacheAligned<std::uint32_t> kept_clusters_;        // per slot
};

// Every key of every point, row-major: point i's key of cluster j goes to
// out[i * clusters + j]; the same bits as centroid_keys gives. Keys are
// not checked for NaN here: balancing compares them, and faults there.
class KeysSink final : public ScanSink {
public:
    explicit KeysSink(std::span<float> out) : out_(out) {}
    void prepare(std::size_t, std::size_t) override {}
    bool consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) override;

private:
    std::span<float> out_;
};

// Keys of one contiguous point against every cluster of `centroids`;
// smaller is closer. Euclidean: the key of dot.hpp with `point_norm`. Inner
// product: the negated dot. The dots are those of the tile kernels at the
// same level, so these keys rank clusters exactly as the sinks do. A NaN
// key is a fault once there are two clusters to compare.
void centroid_keys(const CentroidPanels& centroids, std::span<const float> point, float point_norm,
                        std::span<float> keys);
// The same, with the clusters split over the context's pool.
void centroid_keys(const ExecutionContext& context, const CentroidPanels& centroids, std::span<const float> point,
                   float point_norm, std::span<float> keys);

}  // namespace quorla::engine
