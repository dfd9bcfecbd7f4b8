// The screened label step: the screen panels and their bound inputs, the
// scan sink that settles each point from its candidates, and the policy.
#include "engine/label/screened_step.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/label/label_step.hpp"
#include "engine/label/screen_bound.hpp"
#include "engine/label/screen_tiles.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {
namespace {

class ScreenedSink final : public ScanSink {
public:
    ScreenedSink(const PointView& points, ScreenUnit unit, const ScreenCentroids& screen, std::span<std::uint64_t> out)
        : points_(points),
          screen_(tiles::screen_kernels_for(unit)),
          centroids_(screen),
          out_(out),
          capacity_(screen_candidate_capacity(screen.panels.clusters)) {}

    void prepare(std::size_t slots, std::size_t tile_rows) override {
        slots_.resize(slots);
        const std::size_t dim = points_.cols;
        const std::size_t rows = screen_tile_rows;
        for (Slot& s : slots_) {
            s.screen = ScreenTile(dim);
            s.lane_keys = CacheAligned<float>(rows);
            s.cuts = CacheAligned<float>(rows);
            s.sizes.assign(rows, 0);
            s.kept_keys.resize(checked_product(rows, capacity_));
            s.kept_clusters.resize(checked_product(rows, capacity_));
            s.listed.resize(rows);
            s.pair_rows.resize(checked_product(rows, capacity_));
            s.pair_clusters.resize(checked_product(rows, capacity_));
            s.dots.resize(checked_product(rows, capacity_));
            s.wide.assign(tile_rows, 0);
            s.deferred.reserve(tile_rows, dim);
            s.chosen.resize(tile_rows);
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
        CacheAligned<float> lane_keys, cuts;
        std::vector<std::uint32_t> sizes, kept_clusters;
        std::vector<float> kept_keys, row;
        // The candidates of a screen tile's rows, all scored in one call:
        // row r's are pairs [first, first + listed[r]), in cluster order.
        std::vector<std::size_t> listed;
        std::vector<std::uint32_t> pair_rows, pair_clusters;
        std::vector<float> dots;
        std::vector<unsigned char> wide;  // per row of the scan's tile
        // Points whose window was too wide, gathered into tiles of their own
        // for the level's label kernel.
        DeferredPoints deferred;
        std::vector<std::uint32_t> chosen;
        ScreenWork work;
    };

    tiles::ScreenScratch scratch(Slot& s) {
        return {capacity_, s.kept_clusters.data(), s.kept_keys.data(), s.sizes.data(), s.screen.widths.data(),
                s.lane_keys.data(), s.cuts.data()};
    }
    void pack(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t from, std::size_t rows);
    bool choose(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r, std::size_t first,
                std::size_t listed);
    bool defer(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r);
    bool score_deferred(Slot& s, const CentroidPanels& centroids);
    tiles::Rule rule() const { return centroids_.panels.norms != nullptr ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last; }

    const PointView& points_;
    const tiles::ScreenKernels& screen_;
    const ScreenCentroids& centroids_;
    std::span<std::uint64_t> out_;
    std::size_t capacity_;
    std::vector<Slot> slots_;
};

// Rows [from, from + rows) of the scan's tile into the slot's screen tile,
// every row starting with nothing kept.
void ScreenedSink::pack(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t from,
                        std::size_t rows) {
    pack_screen_tile(centroids_, centroids.kernels(), tile, from, rows, s.screen);
    std::fill(s.sizes.begin(), s.sizes.end(), 0u);
}

// Row r's label from its scored candidates, by the label step's rule.
// False when it has none or met a NaN (the full score then meets it too,
// and faults).
bool ScreenedSink::choose(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r,
                          std::size_t first, std::size_t listed) {
    if (listed == 0) return false;
    const tiles::Panels& panels = centroids.panels();
    const bool euclidean = panels.norms != nullptr;
    const std::uint32_t* clusters = s.pair_clusters.data() + first;
    const float* dots = s.dots.data() + first;
    auto value = [&](std::size_t i) {
        return euclidean ? euclidean_key(dots[i], panels.norms[clusters[i]], tile.point_norms[r]) : dots[i];
    };
    std::uint32_t label = clusters[0];
    float best = value(0);
    if (std::isnan(best)) return false;
    for (std::size_t i = 1; i < listed; ++i) {
        const float v = value(i);
        if (std::isnan(v)) return false;
        // The full step's rules: the lowest key, ties to the lowest index;
        // the highest dot, ties to the highest index.
        if (euclidean ? best > v : best <= v) {
            best = v;
            label = clusters[i];
        }
    }
    out_[tile.first + r] = label;
    ++s.work.settled;
    s.work.candidates += listed;
    return true;
}

bool ScreenedSink::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    Slot& s = slots_[slot];
    const bool euclidean = centroids_.panels.norms != nullptr;
    std::size_t wide = 0;
    for (std::size_t from = 0; from < tile.count; from += screen_tile_rows) {
        const std::size_t rows = std::min(screen_tile_rows, tile.count - from);
        pack(s, centroids, tile, from, rows);
        screen_.screen(s.screen.pairs.data(), s.screen.norms.data(), centroids_.panels, euclidean, scratch(s));
        // Every row's candidates in one call, so that the exact chains of
        // different rows overlap.
        std::size_t pairs = 0;
        for (std::size_t sr = 0; sr < rows; ++sr) {
            s.listed[sr] = list_kept(scratch(s), sr, static_cast<std::uint32_t>(from + sr), s.pair_rows.data() + pairs,
                                     s.pair_clusters.data() + pairs);
            pairs += s.listed[sr];
        }
        centroids.kernels().listed_dots(tile.values, tile.count, s.pair_rows.data(), centroids.panels(),
                                        s.pair_clusters.data(), pairs, s.dots.data());
        std::size_t first = 0;
        for (std::size_t sr = 0; sr < rows; ++sr) {
            const bool settled = choose(s, centroids, tile, from + sr, first, s.listed[sr]);
            first += s.listed[sr];
            s.wide[from + sr] = settled ? 0 : 1;
            if (!settled) ++wide;
        }
    }
    s.work.points += tile.count;
    if (wide == 0) return true;
    if (2 * wide > tile.count) {
        // Mostly wide: the whole tile, packed already, through the label
        // kernel; the settled rows get the labels they have.
        s.work.full += tile.count;
        const bool clean = centroids.kernels().label(tile.values, tile.count, tile.point_norms, centroids.panels(),
                                                     rule(), s.chosen.data(), nullptr);
        for (std::size_t r = 0; r < tile.count; ++r) out_[tile.first + r] = s.chosen[r];
        return clean;
    }
    bool clean = true;
    for (std::size_t r = 0; r < tile.count; ++r) {
        if (s.wide[r] != 0) clean = defer(s, centroids, tile, r) && clean;
    }
    return clean;
}

bool ScreenedSink::defer(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r) {
    const float norm = centroids_.panels.norms != nullptr ? tile.point_norms[r] : 0.0f;
    return !s.deferred.add(points_, tile.first + r, norm) || score_deferred(s, centroids);
}

bool ScreenedSink::score_deferred(Slot& s, const CentroidPanels& centroids) {
    const tiles::TileKernels& kernels = centroids.kernels();
    const DeferredPoints::Packed packed = s.deferred.pack(kernels);
    if (packed.count == 0) return true;
    const bool clean =
        kernels.label(packed.values, packed.count, packed.norms, centroids.panels(), rule(), s.chosen.data(), nullptr);
    for (std::size_t r = 0; r < packed.count; ++r) out_[packed.points[r]] = s.chosen[r];
    s.work.full += packed.count;
    s.deferred.clear();
    return clean;
}

// The policy's cost model, in full steps: the screen itself, each point
// scored in full, each exact candidate key against a key of the full step.
// Fitted to bench/bench_screen.cpp on AMD EPYC (Zen 4; lscpu model name), 2
// threads, AVX-512 level and AVX512_BF16 unit: 45,056 MiniLM embeddings x
// 384 at k = 1,024 took 0.60 of a full step with 1.2 candidates a point;
// standard-normal points, 0.65 (inner product, 1.05 candidates) and 0.87
// (Euclidean, 9.5 candidates, 5% in full).
constexpr double screen_share = 0.6;
constexpr double full_point = 1.2;
constexpr double candidate_key = 24.0;
// A screened step estimated at more than this gives the screen up for the
// rest of the training.
constexpr double give_up_cost = 0.95;
// Each point also costs the screen a fixed share (its rounding, window and
// choice) that small steps do not pay back: in the same runs, k x d of
// 128 x 256 and less ran as fast or slower screened, 128 x 1,024 and
// 256 x 512 faster (1.2 to 1.7 times).
constexpr std::size_t least_screened_clusters = 256;
constexpr std::size_t least_screened_dim = 64;
constexpr std::size_t least_screened_work = 65536;  // k x d

}  // namespace

ScreenWork screened_update_labels(Model& model, const TrainingState& state, const ExecutionContext& context,
                                  ScreenUnit unit) {
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    const PointView& points = state.points;
    if (centroids.cols() != points.cols) raise_fault("Centroid and point dimensions differ");
    if (centroids.rows() < 2) raise_fault("Screened label step for fewer than two clusters");
    const bool euclidean = model.euclidean;
    if (euclidean && !state.point_norms) raise_fault("Point norms missing in Euclidean mode");

    const CentroidPanels panels(centroids, centroids.rows(), euclidean, context.level);
    const ScreenCentroids screen(centroids, panels);
    std::vector<std::uint64_t> labels(points.rows);
    ScreenedSink sink(points, unit, screen, labels);
    scan_points(context, panels, points, euclidean ? &*state.point_norms : nullptr, sink);
    sink.finish(panels);
    set_labels(model, std::move(labels));
    return sink.work();
}

bool ScreenPolicy::shape_pays(std::size_t n_clusters, std::size_t dim) {
    return n_clusters >= least_screened_clusters && dim >= least_screened_dim &&
           checked_product(n_clusters, dim) >= least_screened_work;
}

ScreenPolicy::ScreenPolicy(const ScreenOptions& options, std::size_t n_clusters, std::size_t dim)
    : automatic_(options.mode == ScreenMode::automatic), unit_(options.unit), n_clusters_(n_clusters) {
    if (options.mode == ScreenMode::off || n_clusters < 2) return;
    if (automatic_ && !shape_pays(n_clusters, dim)) return;
    enabled_ = true;
}

double ScreenPolicy::cost(const ScreenWork& work, std::size_t n_clusters) {
    if (work.points == 0 || n_clusters == 0) return 0.0;
    const double points = static_cast<double>(work.points);
    return screen_share + full_point * static_cast<double>(work.full) / points +
           candidate_key * static_cast<double>(work.candidates) / (points * static_cast<double>(n_clusters));
}

void ScreenPolicy::done(const ScreenWork& work) {
    if (automatic_ && cost(work, n_clusters_) > give_up_cost) enabled_ = false;
}

}  // namespace quorla::engine
