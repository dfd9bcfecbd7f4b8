// The screened top-k scan: the sink that picks each point's candidates from
// a screen tile's approximate keys and settles its first `take` from their
// exact keys, and the choice of when to screen. At take 1 the screen
// kernel keeps the candidates itself, under its running cut (as in the
// screened label step); past it, every key of a screen tile is written to
// a worker's buffer and each row's take-th key is selected there. The
// dimension screen works on whole scan tiles and gives lower bounds in
// place of approximate keys; its cut is argued at the end of this comment.
//
// Why the candidates are enough. Let K bound |exact - approximate| for every
// cluster of a point (bf16_bound.hpp: the window is 2K) and a_t be the
// t-th least approximate key of the point, t = take. At least t clusters
// have approximate keys at most a_t, so exact keys at most a_t + K: the t-th
// best exact key e_t is at most a_t + K. A cluster whose approximate key
// exceeds a_t + 2K has an exact key above a_t + K >= e_t, strictly farther
// than the t-th best, so it is neither among the first t nor tied with the
// t-th under the lower-index rule. The candidates are the clusters whose
// approximate key is at most cut = fl(a_t + w), w = cut_width(2K): a_t is a
// key of the screen like the least one, within the magnitude cut_width's
// rounding argument assumes, so cut >= a_t + 2K. Every cluster that ranks
// among the first t, or ties the t-th, is thus a candidate, and the first t
// candidates in stable exact-key order (key, then cluster) are the first t
// of all clusters: the same clusters, keys and order as the level's top
// kernel gives.
//
// The dimension screen bounds each exact key from below: exact >= b_j - W
// for its bound b_j and the row's window W (dimension_bound.hpp), and a
// cut fl(e + w), w = cut_width(W), is at least e + W for any exact key e
// of the row (its take-1 cut is one). Past take 1, the exact keys of the t
// clusters with the least bounds give E, the greatest of them: t clusters
// have exact keys at most E, so e_t <= E. A cluster among the first t, or
// tied with the t-th, has exact <= e_t <= E, so b_j <= exact + W <= E + W
// <= fl(E + w): it is a candidate, and the argument above concludes.
#include "engine/scan/screened_top.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/screen/dimension_screen.hpp"
#include "engine/screen/principal_axes.hpp"
#include "engine/screen/screen_tiles.hpp"

namespace quorla::engine {
namespace {

// A worker holds all keys of a screen tile, screen_tile_rows x k floats:
// 12 MB at this many clusters, past which the plain scan runs.
constexpr std::size_t largest_screened_clusters = std::size_t{1} << 16;

// Automatic choice: at most one taken cluster per this many. A point's
// candidates are about 1.2 to 1.5 times what it takes, and each costs an
// exact key, an FMA chain of d steps over a centroid row read out of
// cache, worth about 16 keys of the tile kernels; the screen itself costs
// about 0.65 of a plain scan. Measured (bench/search_bench.py --screen, AMD
// EPYC Zen 4, 2 threads, 60,000 x 384 at k = 1,024): plain / screened
// search about 1.6 at top 1, 1.3 at top 4 and 1.0 at top 10.
constexpr std::size_t clusters_per_taken = 256;
// Rounding the centroids costs a few points' worth of a plain scan, and a
// screen tile computes screen_tile_rows rows however few are real: fewer
// points than this are not worth screening.
constexpr std::size_t least_screened_points = 256;

// Automatic mode screens this many points first (43 screen tiles: enough
// to count on, and where the screen loses, at most a few percent of a
// large call lost) and goes on only if ScreenPolicy::cost, in plain scans,
// estimates the screened one at most paying_cost: it fits the measurements
// above (0.68 estimated at top 1, 0.9 at top 10), and the margin covers
// the selection of the first `take`, which the label step's model leaves
// out. Standard normal points in Euclidean mode, whose windows hold many
// clusters, stop after the sample.
constexpr std::uint64_t sample_points = 2048;
constexpr double paying_cost = 0.85;

// The dimension screen first finds its axes from a sample of the points,
// which at d = 384 costs what a plain scan of some 10^7 point-cluster pairs
// does on two cores: calls of fewer pairs than this are not worth
// screening. Automatically it screens only the nearest cluster: past it,
// the take-th key lies among many others as near, the windows of
// embeddings hold more clusters than a plain scan costs (measured:
// bench/search_bench.py --screen --screen-kind dimensions, 0.55x at top 4
// and 10 on MiniLM sentences, 4,096 clusters), and the sample would only
// lose its share.
constexpr double least_dimension_pairs = 0x1p27;

bool dimension_screen_reaches(std::size_t n_clusters, std::size_t take, std::uint64_t n_points) {
    return take == 1 && static_cast<double>(n_points) * static_cast<double>(n_clusters) >= least_dimension_pairs;
}

// Where both screens may run, the nearest of this many clusters or more
// goes through the dimension screen: its head costs a fixed share of the
// plain scan, while the bf16 windows hold ever more clusters. Measured on
// 200,000 MiniLM token vectors trained hierarchically, the nearest cluster
// of 40,000-60,000 of them, 2 threads, AMD EPYC (Zen 4), seconds for bf16 /
// dimensions: 0.47 / 0.62 at 4,096 clusters, 0.93 / 0.94 at 8,192, 1.42 /
// 1.31 at 16,384, and 3.39 / 2.95 at 65,536. Data where no axis stands
// out keep the bf16 screen.
constexpr std::size_t dimensions_first_clusters = 16384;

bool dimensions_first(const ScreenOptions& options, std::size_t n_clusters, std::size_t take,
                      std::uint64_t n_points) {
    return options.mode == ScreenMode::automatic && options.kind == ScreenKind::bf16 &&
           n_clusters >= dimensions_first_clusters && dimension_screen_reaches(n_clusters, take, n_points);
}

// Candidates a point may take before it is scored in full instead: past
// k / 16 of them the exact keys alone cost what a plain scan does. A long
// top list (forced screens in tests) gets room for its own entries.
std::size_t candidate_limit(std::size_t n_clusters, std::size_t take) {
    return std::min(n_clusters, std::max(n_clusters / 16, take + 16));
}

// Inserts `key` into the ascending list least[0, size) of at most t keys.
inline std::size_t insert_least(float* least, std::size_t size, std::size_t t, float key) {
    if (size == t && !(key < least[t - 1])) return size;
    std::size_t pos = size < t ? size : t - 1;
    while (pos > 0 && least[pos - 1] > key) {
        least[pos] = least[pos - 1];
        --pos;
    }
    least[pos] = key;
    return size < t ? size + 1 : size;
}

// The t-th least of keys[0, k), 1 <= t <= k (finite, as above), from the
// blocks' minima: the t-th least of the minima is t of the keys, so it
// bounds the t-th least key from above, and only blocks whose minimum is
// at most it (about t of them) hold keys that can be among the t least.
// `least` (t floats) is scratch.
float tth_least(const float* keys, std::size_t k, std::size_t t, const float* minima, float* least) {
    const std::size_t blocks = (k + key_block - 1) / key_block;
    float bound = __builtin_inff();
    if (blocks >= t) {
        std::size_t size = 0;
        for (std::size_t b = 0; b < blocks; ++b) size = insert_least(least, size, t, minima[b]);
        bound = least[t - 1];
    }
    std::size_t size = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        if (!(minima[b] <= bound)) continue;
        const std::size_t end = std::min(k, (b + 1) * key_block);
        for (std::size_t i = b * key_block; i < end; ++i) {
            if (keys[i] <= bound) size = insert_least(least, size, t, keys[i]);
        }
    }
    return size == t ? least[t - 1] : __builtin_nanf("");
}

class ScreenedTopSink final : public ScanSink {
public:
    // Through the bf16 screen of `unit`.
    ScreenedTopSink(const PointView& points, ScreenUnit unit, const ScreenCentroids& screen, std::size_t take,
                    std::span<std::uint32_t> out, std::span<float> keys)
        : points_(points),
          screen_(&tiles::screen_kernels_for(unit)),
          centroids_(&screen),
          clusters_(screen.panels.clusters),
          euclidean_(screen.panels.norms != nullptr),
          take_(take),
          limit_(candidate_limit(clusters_, take)),
          out_(out),
          keys_(keys) {}

    // Through the dimension screen.
    ScreenedTopSink(const PointView& points, const DimensionCentroids& screen, bool euclidean, std::size_t take,
                    std::span<std::uint32_t> out, std::span<float> keys)
        : points_(points),
          dimensions_(std::in_place, screen),
          clusters_(screen.head_panels().clusters),
          euclidean_(euclidean),
          take_(take),
          limit_(candidate_limit(clusters_, take)),
          out_(out),
          keys_(keys) {}

    void prepare(std::size_t slots, std::size_t tile_rows) override {
        slots_.resize(slots);
        const std::size_t dim = points_.cols;
        // The bf16 screen lists a screen tile's rows at a time, the
        // dimension screen a whole scan tile's.
        const std::size_t rows = dimensions_ ? tile_rows : screen_tile_rows;
        if (dimensions_) dimensions_->prepare(slots, tile_rows);
        // The level's top kernel's scratch, as TopSink sizes it.
        kept_stride_ = checked_sum(std::max<std::size_t>(take_, 16), 15) / 16 * 16;
        for (Slot& s : slots_) {
            if (dimensions_) {
                s.dimension_cuts.resize(rows);
                if (take_ > 1) {
                    s.probe_rows.resize(checked_product(rows, take_));
                    s.probe_clusters.resize(checked_product(rows, take_));
                    s.probe_dots.resize(checked_product(rows, take_));
                }
            } else {
                s.screen = ScreenTile(dim);
                if (take_ == 1) {
                    s.sizes.assign(rows, 0);
                    s.kept_clusters_1.resize(checked_product(rows, limit_));
                    s.kept_keys_1.resize(checked_product(rows, limit_));
                    s.lane_keys_1 = CacheAligned<float>(rows);
                    s.cuts_1 = CacheAligned<float>(rows);
                } else {
                    s.approximate.resize(checked_product(rows, clusters_));
                }
                s.minima.resize((clusters_ + key_block - 1) / key_block);
            }
            s.least.resize(take_);
            s.listed.resize(rows);
            s.pair_rows.resize(checked_product(rows, limit_));
            s.pair_clusters.resize(checked_product(rows, limit_));
            s.dots.resize(checked_product(rows, limit_));
            s.best_keys.resize(take_);
            s.best_clusters.resize(take_);
            s.wide.assign(tile_rows, 0);
            s.kept_keys = CacheAligned<float>(checked_product(tile_rows, kept_stride_));
            s.kept_clusters = CacheAligned<std::uint32_t>(checked_product(tile_rows, kept_stride_));
            s.lane_keys = CacheAligned<float>(tile_rows);
            s.cuts = CacheAligned<float>(tile_rows);
            s.chosen.resize(checked_product(tile_rows, take_));
            s.deferred.reserve(tile_rows, dim);
        }
    }

    bool consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) override;

    // Scores the points still deferred, on the calling thread once the scan is over.
    void finish(const CentroidPanels& centroids) {
        for (Slot& s : slots_) {
            if (!score_deferred(s, centroids)) raise_nan_fault();
        }
    }

    ScreenWork work() const {
        ScreenWork total;
        for (const Slot& s : slots_) total += s.work;
        return total;
    }

private:
    struct Slot {
        ScreenTile screen;
        std::vector<float> approximate;  // screen_tile_rows x clusters: a screen tile's keys (take > 1)
        // The screen kernel's kept lists (take 1), as in the screened step.
        std::vector<std::uint32_t> sizes, kept_clusters_1;
        std::vector<float> kept_keys_1;
        CacheAligned<float> lane_keys_1, cuts_1;
        std::vector<float> least;        // take: one row's least approximate keys
        std::vector<float> minima;       // one row's least approximate key of each block
        // The candidates of a screen tile's rows, all scored in one call:
        // row r's are pairs [first, first + listed[r]), in cluster order.
        std::vector<std::size_t> listed;
        std::vector<std::uint32_t> pair_rows, pair_clusters;
        std::vector<float> dots;
        std::vector<float> best_keys;  // take: one row's first clusters so far
        std::vector<std::uint32_t> best_clusters;
        // The dimension screen's cuts, and past take 1 the clusters of
        // least bound whose exact keys set them: row r's at [r * take, ...).
        std::vector<float> dimension_cuts;
        std::vector<std::uint32_t> probe_rows, probe_clusters;
        std::vector<float> probe_dots;
        std::vector<unsigned char> wide;  // per row of the scan's tile
        // The level's top kernel, for points scored in full: alone in
        // tiles of their own, or a whole tile that is mostly wide.
        CacheAligned<float> kept_keys, lane_keys, cuts;
        CacheAligned<std::uint32_t> kept_clusters;
        std::vector<std::uint32_t> chosen;
        DeferredPoints deferred;
        ScreenWork work;
    };

    tiles::TopScratch top_scratch(Slot& s) const {
        return {kept_stride_, s.kept_keys.data(), s.kept_clusters.data(), s.lane_keys.data(), s.cuts.data()};
    }
    std::size_t list(Slot& s, std::size_t screen_row, std::size_t tile_row, std::size_t first);
    std::size_t list_dimensions(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t slot);
    void probe_cuts(Slot& s, const CentroidPanels& centroids, const Tile& tile, const DimensionBounds& bounds);
    std::size_t settle_rows(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t from,
                            std::size_t rows, std::size_t pairs);
    tiles::ScreenScratch kept_1(Slot& s) const {
        return {limit_, s.kept_clusters_1.data(), s.kept_keys_1.data(), s.sizes.data(), s.screen.widths.data(),
                s.lane_keys_1.data(), s.cuts_1.data()};
    }
    bool settle(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r, std::size_t first,
                std::size_t listed);
    bool score_in_full(Slot& s, const CentroidPanels& centroids, const float* values, std::size_t count,
                       const float* point_norms) {
        return centroids.kernels().top(values, count, point_norms, centroids.panels(), euclidean(), take_,
                                       top_scratch(s), s.chosen.data(), 0);
    }
    // Row r of the last full score as `point`'s result.
    void place(Slot& s, std::size_t r, std::uint64_t point) {
        const std::uint32_t* chosen = s.chosen.data() + r * take_;
        std::copy(chosen, chosen + take_, out_.begin() + static_cast<std::ptrdiff_t>(point * take_));
        put_keys(point, s.kept_keys.data() + r * kept_stride_);
    }
    bool defer(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r);
    bool score_deferred(Slot& s, const CentroidPanels& centroids);
    bool euclidean() const { return euclidean_; }
    void put_keys(std::uint64_t point, const float* keys) {
        if (!keys_.empty()) std::copy(keys, keys + take_, keys_.begin() + static_cast<std::ptrdiff_t>(point * take_));
    }

    const PointView& points_;
    // One screen or the other.
    const tiles::ScreenKernels* screen_ = nullptr;
    const ScreenCentroids* centroids_ = nullptr;
    std::optional<DimensionCandidates> dimensions_;
    std::size_t clusters_;
    bool euclidean_;
    std::size_t take_;
    std::size_t limit_;
    std::span<std::uint32_t> out_;
    std::span<float> keys_;
    std::size_t kept_stride_ = 0;
    std::vector<Slot> slots_;
};

// A screened row's candidates, in ascending cluster order, as pairs from
// `first` on; 0 when the row is not screened or its window holds more than
// the limit. Only blocks whose least key is within the cut are read.
std::size_t ScreenedTopSink::list(Slot& s, std::size_t screen_row, std::size_t tile_row, std::size_t first) {
    const float width = s.screen.widths.data()[screen_row];
    if (!(width >= 0.0f)) return 0;
    const std::size_t k = clusters_;
    const float* keys = s.approximate.data() + screen_row * k;
    const float* minima = s.minima.data();
    block_minima(keys, k, s.minima.data());
    const float cut = tth_least(keys, k, take_, minima, s.least.data()) + width;
    const std::size_t listed = list_within(keys, k, minima, cut, limit_, static_cast<std::uint32_t>(tile_row),
                                           s.pair_rows.data() + first, s.pair_clusters.data() + first);
    // Fewer than take only if a NaN made the cut NaN.
    return listed < take_ ? 0 : listed;
}

// Row r's first clusters from its scored candidates, in the stable order
// of the top kernel. False when it has none or met a NaN (the full score
// then meets it too, and faults).
bool ScreenedTopSink::settle(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r,
                             std::size_t first, std::size_t listed) {
    if (listed == 0) return false;
    const tiles::Panels& panels = centroids.panels();
    const std::uint32_t* clusters = s.pair_clusters.data() + first;
    const float* dots = s.dots.data() + first;
    float* best_keys = s.best_keys.data();
    std::uint32_t* best_clusters = s.best_clusters.data();
    std::size_t size = 0;
    for (std::size_t i = 0; i < listed; ++i) {
        const float key = euclidean() ? euclidean_key(dots[i], panels.norms[clusters[i]], tile.point_norms[r]) : -dots[i];
        if (std::isnan(key)) return false;
        // Candidates come in ascending cluster order, as the top kernel
        // meets clusters, so equal keys keep the lower cluster first.
        size = tiles::insert_kept(best_keys, best_clusters, size, take_, key, clusters[i]);
    }
    if (size != take_) raise_fault("Screened top-k row settled with fewer candidates than it takes");
    const std::uint64_t point = tile.first + r;
    std::copy(best_clusters, best_clusters + take_, out_.begin() + static_cast<std::ptrdiff_t>(point * take_));
    put_keys(point, best_keys);
    ++s.work.settled;
    s.work.candidates += listed;
    return true;
}

// The rows [from, from + rows) of `tile` from their `pairs` candidates:
// their exact keys in one call, so that the chains of different rows
// overlap, then each row's first clusters. Returns how many rows were not
// settled, marked wide.
std::size_t ScreenedTopSink::settle_rows(Slot& s, const CentroidPanels& centroids, const Tile& tile,
                                         std::size_t from, std::size_t rows, std::size_t pairs) {
    centroids.kernels().listed_dots(tile.values, tile.count, s.pair_rows.data(), centroids.panels(),
                                    s.pair_clusters.data(), pairs, s.dots.data());
    std::size_t first = 0, wide = 0;
    for (std::size_t sr = 0; sr < rows; ++sr) {
        const bool settled = settle(s, centroids, tile, from + sr, first, s.listed[sr]);
        first += s.listed[sr];
        s.wide[from + sr] = settled ? 0 : 1;
        if (!settled) ++wide;
    }
    return wide;
}

// Past take 1, each screened row's cut from the exact keys of its `take`
// clusters of least bound (the first of them in cluster order where bounds
// tie); -inf where the row is not screened or a key is NaN.
void ScreenedTopSink::probe_cuts(Slot& s, const CentroidPanels& centroids, const Tile& tile,
                                 const DimensionBounds& b) {
    std::size_t probes = 0;
    for (std::size_t r = 0; r < tile.count; ++r) {
        s.dimension_cuts[r] = -__builtin_inff();
        if (!(b.widths[r] >= 0.0f)) continue;
        const float* bounds = b.keys + r * b.stride;
        const float* minima = b.minima + r * b.blocks;
        const float least = tth_least(bounds, clusters_, take_, minima, s.least.data());
        std::size_t found = 0;
        for (std::size_t j = 0; j < clusters_ && found < take_; ++j) {
            if (!(minima[j / key_block] <= least)) {
                j = (j / key_block + 1) * key_block - 1;
                continue;
            }
            if (!(bounds[j] <= least)) continue;
            s.probe_rows[probes + found] = static_cast<std::uint32_t>(r);
            s.probe_clusters[probes + found] = static_cast<std::uint32_t>(j);
            ++found;
        }
        if (found != take_) raise_fault("Fewer bounds at or below the take-th least than it takes");
        probes += take_;
    }
    centroids.kernels().listed_dots(tile.values, tile.count, s.probe_rows.data(), centroids.panels(),
                                    s.probe_clusters.data(), probes, s.probe_dots.data());
    const tiles::Panels& panels = centroids.panels();
    for (std::size_t p = 0; p < probes; p += take_) {
        const std::uint32_t r = s.probe_rows[p];
        float greatest = -__builtin_inff();
        for (std::size_t t = p; t < p + take_; ++t) {
            const std::uint32_t j = s.probe_clusters[t];
            const float key =
                euclidean() ? euclidean_key(s.probe_dots[t], panels.norms[j], tile.point_norms[r]) : -s.probe_dots[t];
            greatest = std::isnan(key) || std::isnan(greatest) ? __builtin_nanf("") : std::max(greatest, key);
        }
        s.dimension_cuts[r] = std::isfinite(greatest) ? greatest + b.widths[r] : -__builtin_inff();
    }
}

// Every row of a scan tile's candidates under the dimension screen, as
// list() gives a screen tile row's.
std::size_t ScreenedTopSink::list_dimensions(Slot& s, const CentroidPanels& centroids, const Tile& tile,
                                             std::size_t slot) {
    const DimensionBounds b = dimensions_->bound(centroids, tile, slot);
    if (take_ > 1) probe_cuts(s, centroids, tile, b);
    std::size_t pairs = 0;
    for (std::size_t r = 0; r < tile.count; ++r) {
        s.listed[r] = 0;
        const float cut = take_ == 1 ? b.cuts[r] : s.dimension_cuts[r];
        if (!(b.widths[r] >= 0.0f) || !std::isfinite(cut)) continue;
        const std::size_t listed = list_within(b.keys + r * b.stride, clusters_, b.minima + r * b.blocks, cut, limit_,
                                               static_cast<std::uint32_t>(r), s.pair_rows.data() + pairs,
                                               s.pair_clusters.data() + pairs);
        s.listed[r] = listed < take_ ? 0 : listed;
        pairs += s.listed[r];
    }
    return pairs;
}

bool ScreenedTopSink::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    Slot& s = slots_[slot];
    std::size_t wide = 0;
    if (dimensions_) {
        wide = settle_rows(s, centroids, tile, 0, tile.count, list_dimensions(s, centroids, tile, slot));
    } else {
        for (std::size_t from = 0; from < tile.count; from += screen_tile_rows) {
            const std::size_t rows = std::min(screen_tile_rows, tile.count - from);
            pack_screen_tile(*centroids_, centroids.kernels(), tile, from, rows, s.screen);
            if (take_ == 1) {
                // The least key's window is the screen kernel's own running
                // cut, kept in registers: no keys are stored.
                std::fill(s.sizes.begin(), s.sizes.end(), 0u);
                screen_->screen(s.screen.pairs.data(), s.screen.norms.data(), centroids_->panels, euclidean(),
                                kept_1(s));
            } else {
                screen_->keys(s.screen.pairs.data(), s.screen.norms.data(), centroids_->panels, euclidean(),
                              s.approximate.data(), clusters_);
            }
            std::size_t pairs = 0;
            for (std::size_t sr = 0; sr < rows; ++sr) {
                // At take 1 the kept clusters are those at or below the final
                // cut, fl(least key + w): the cut above for t = 1.
                s.listed[sr] = take_ == 1 ? list_kept(kept_1(s), sr, static_cast<std::uint32_t>(from + sr),
                                                      limit_, s.pair_rows.data() + pairs,
                                                      s.pair_clusters.data() + pairs)
                                          : list(s, sr, from + sr, pairs);
                pairs += s.listed[sr];
            }
            wide += settle_rows(s, centroids, tile, from, rows, pairs);
        }
    }
    s.work.points += tile.count;
    if (wide == 0) return true;
    if (2 * wide > tile.count) {
        // Mostly wide: the whole tile, packed already, through the top
        // kernel; the settled rows get the same lists again.
        s.work.full += tile.count;
        const bool clean = score_in_full(s, centroids, tile.values, tile.count, tile.point_norms);
        for (std::size_t r = 0; r < tile.count; ++r) place(s, r, tile.first + r);
        return clean;
    }
    bool clean = true;
    for (std::size_t r = 0; r < tile.count; ++r) {
        if (s.wide[r] != 0) clean = defer(s, centroids, tile, r) && clean;
    }
    return clean;
}

bool ScreenedTopSink::defer(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r) {
    const float norm = euclidean() ? tile.point_norms[r] : 0.0f;
    return !s.deferred.add(points_, tile.first + r, norm) || score_deferred(s, centroids);
}

bool ScreenedTopSink::score_deferred(Slot& s, const CentroidPanels& centroids) {
    const DeferredPoints::Packed packed = s.deferred.pack(centroids.kernels());
    if (packed.count == 0) return true;
    const bool clean = score_in_full(s, centroids, packed.values, packed.count, packed.norms);
    for (std::size_t r = 0; r < packed.count; ++r) place(s, r, packed.points[r]);
    s.work.full += packed.count;
    s.deferred.clear();
    return clean;
}

}  // namespace

bool screens_top(const ScreenOptions& options, std::size_t n_clusters, std::size_t dim, std::size_t take,
                 std::uint64_t n_points) {
    if (options.mode == ScreenMode::off || n_clusters < 2 || take == 0 || take >= n_clusters) return false;
    if (n_clusters > largest_screened_clusters) return false;
    if (options.mode == ScreenMode::forced) return true;
    if (options.kind == ScreenKind::dimensions && !dimension_screen_reaches(n_clusters, take, n_points)) return false;
    return ScreenPolicy::shape_pays(n_clusters, dim) && take <= n_clusters / clusters_per_taken &&
           n_points >= least_screened_points;
}

ScreenedRows screened_top(const ExecutionContext& context, const CentroidPanels& panels, const Matrix& centroids,
                          const PointView& points, const ScreenOptions& options, std::size_t take,
                          std::span<std::uint32_t> out, std::span<float> keys) {
    if (take == 0 || take >= panels.clusters()) raise_fault("Screened top-k scan with nothing to leave out");
    if (checked_product(points.rows, take) > out.size() || (!keys.empty() && keys.size() < out.size())) {
        raise_fault("Top-k result smaller than the scan");
    }
    // With the bf16 screen to fall back on.
    const bool tries_dimensions = dimensions_first(options, panels.clusters(), take, points.rows);
    bool dimensions = options.kind == ScreenKind::dimensions || tries_dimensions;
    std::optional<ScreenCentroids> screen;
    std::optional<DimensionBasis> basis;
    std::optional<DimensionCentroids> bounds;
    std::size_t head = 0;
    ScreenedRows done;
    if (dimensions) {
        // The axes of the points searched: they are what the heads must
        // hold, and a call that screens has enough of them to find them.
        // Where they hold no more than they would of noise, the automatic
        // screen would only lose its sample and the centroids' transform.
        head = dimension_screen_head(points.cols);
        PrincipalAxes axes = principal_axes(context, points, head);
        if (options.mode == ScreenMode::automatic && !axes_stand_out(axes)) {
            if (!tries_dimensions) return done;
            dimensions = false;
            head = 0;
        } else {
            basis.emplace(std::move(axes), context.level);
            bounds.emplace(centroids, panels, *basis);
        }
    }
    if (!dimensions) {
        screen.emplace(centroids, panels, options.unit);
    } else {
        done.kind = ScreenKind::dimensions;
    }
    auto scan = [&](std::uint64_t count) {
        PointView part = rows_from(points, done.rows);
        part.rows = count;
        const std::size_t from = checked_product(done.rows, take);
        const std::span<std::uint32_t> part_out = out.subspan(from);
        const std::span<float> part_keys = keys.empty() ? keys : keys.subspan(from);
        // The sink keeps a reference to `part`, which outlives it.
        std::optional<ScreenedTopSink> sink;
        if (dimensions) {
            sink.emplace(part, *bounds, panels.euclidean(), take, part_out, part_keys);
        } else {
            sink.emplace(part, options.unit, *screen, take, part_out, part_keys);
        }
        scan_points(context, panels, part, nullptr, *sink);
        sink->finish(panels);
        done.rows += count;
        done.work += sink->work();
    };
    // Automatic: a sample first, and the rest only if its counts say the
    // screen pays (windows that hold many clusters, or many points scored
    // in full, make it slower than the plain scan).
    if (options.mode == ScreenMode::automatic && points.rows > sample_points) {
        scan(sample_points);
        if (ScreenPolicy::cost(done.work, panels.clusters(), head, points.cols) > paying_cost) return done;
    }
    scan(points.rows - done.rows);
    return done;
}

}  // namespace quorla::engine
