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
#include "engine/screen/bf16_bound.hpp"
#include "engine/screen/bf16_candidates.hpp"
#include "engine/screen/screen_tiles.hpp"
#include "engine/scan/scan.hpp"
#include "engine/scan/screened_top.hpp"

namespace quorla::engine {
namespace {

// Settles each point from the candidates a screen lists for it, with the
// exact chain and the label step's rules; the rest are scored in full.
class ScreenedSink final : public ScanSink {
public:
    ScreenedSink(const PointView& points, CandidateSource& source, std::span<std::uint64_t> out)
        : points_(points), source_(source), out_(out) {}

    void prepare(std::size_t slots, std::size_t tile_rows) override {
        source_.prepare(slots, tile_rows);
        slots_.resize(slots);
        const std::size_t rows = source_.pass_rows(tile_rows);
        const std::size_t pairs = checked_product(rows, source_.capacity());
        for (Slot& s : slots_) {
            s.listed.resize(rows);
            s.pair_rows.resize(pairs);
            s.pair_clusters.resize(pairs);
            s.dots.resize(pairs);
            s.wide.assign(tile_rows, 0);
            s.deferred.reserve(tile_rows, points_.cols);
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
        // The candidates of a pass's rows, all scored in one call: row r's
        // are pairs [first, first + listed[r]), in cluster order.
        std::vector<std::size_t> listed;
        std::vector<std::uint32_t> pair_rows, pair_clusters;
        std::vector<float> dots;
        std::vector<unsigned char> wide;  // per row of the scan's tile
        // Points without candidates, gathered into tiles of their own for
        // the level's label kernel.
        DeferredPoints deferred;
        std::vector<std::uint32_t> chosen;
        ScreenWork work;
    };

    bool choose(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r, std::size_t first,
                std::size_t listed);
    bool defer(Slot& s, const CentroidPanels& centroids, const Tile& tile, std::size_t r);
    bool score_deferred(Slot& s, const CentroidPanels& centroids);
    static tiles::Rule rule(const CentroidPanels& centroids) {
        return centroids.euclidean() ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last;
    }

    const PointView& points_;
    CandidateSource& source_;
    std::span<std::uint64_t> out_;
    std::vector<Slot> slots_;
};

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
    std::size_t wide = 0;
    const std::size_t pass = source_.pass_rows(s.wide.size());
    for (std::size_t from = 0; from < tile.count; from += pass) {
        const std::size_t rows = std::min(pass, tile.count - from);
        // Every row's candidates in one call, so that the exact chains of
        // different rows overlap.
        const std::size_t pairs = source_.list(centroids, tile, from, rows, slot, s.listed.data(), s.pair_rows.data(),
                                               s.pair_clusters.data());
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
                                                     rule(centroids), s.chosen.data(), nullptr);
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
    const float norm = centroids.euclidean() ? tile.point_norms[r] : 0.0f;
    return !s.deferred.add(points_, tile.first + r, norm) || score_deferred(s, centroids);
}

bool ScreenedSink::score_deferred(Slot& s, const CentroidPanels& centroids) {
    const tiles::TileKernels& kernels = centroids.kernels();
    const DeferredPoints::Packed packed = s.deferred.pack(kernels);
    if (packed.count == 0) return true;
    const bool clean = kernels.label(packed.values, packed.count, packed.norms, centroids.panels(), rule(centroids),
                                     s.chosen.data(), nullptr);
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
// The dimension screen's own share: its head's keys, a third dearer than
// the same multiply-adds in the label kernel since every key is stored,
// the heads themselves (p x d a point, as many as p clusters), the pass
// over the bounds, and the one exact key every screened point takes
// first. Fitted to the same benchmark on 40,960 of those embeddings at
// k = 1,024 (heads 32 to 128), and on 384-d data with a decaying spectrum.
// The pass over the bounds costs the same for each point and cluster
// whatever d is, about 46 multiply-adds of a full step's d: 0.12 of a
// full step at d = 384, but most of one at d = 64, where a forced screen
// ran slower than none on low-rank data (0.85 s against 0.76 s).
constexpr double head_key = 1.3;
constexpr double bounds_pass = 46.0;
constexpr std::size_t largest_basis_dim = 1024;
// Below this many clusters the heads (p x d a point, as many as p
// clusters) and finding the basis weigh too much: at k = 1,024 the screen
// never estimated a clear gain on real embeddings, and choosing the head
// cost 5% of a 25-iteration training.
constexpr std::size_t least_dimension_clusters = 2048;
// The automatic policy's first step screens this many points before it
// commits the rest: where the screen does not pay, the step costs little
// more than a plain one.
constexpr std::uint64_t sample_points = 4096;
// The heads the dimension screen chooses from, each on the same strided
// sample of this many points: a fifth of a step's points at 40,000.
constexpr std::size_t head_choices[] = {16, 32, 48, 64, 96, 128};
constexpr std::uint64_t head_sample = 1024;
// A screened step estimated at more than this gives the screen up for the
// rest of the training.
constexpr double give_up_cost = 0.95;
// The dimension screen's estimate is the rougher (within about 15% where
// it was fitted), and a screened full step competes with bounded steps
// that may cost less, so it must promise a clear gain: on MiniLM
// sentences at k = 1,024 it estimated 0.83 at best, and whole trainings
// ran slower with it than without; on 200,000 MiniLM token vectors at
// k = 4,096 it estimated 0.70 where steps took 0.63 to 0.67.
constexpr double dimension_give_up_cost = 0.75;
// Each point also costs the screen a fixed share (its rounding, window and
// choice) that small steps do not pay back: in the same runs, k x d of
// 128 x 256 and less ran as fast or slower screened, 128 x 1,024 and
// 256 x 512 faster (1.2 to 1.7 times).
constexpr std::size_t least_screened_clusters = 256;
constexpr std::size_t least_screened_dim = 64;
constexpr std::size_t least_screened_work = 65536;  // k x d

}  // namespace

namespace {

// The centroids of a model a screened step may scan: checked against the
// points, two or more of them.
const Matrix& screened_centroids(const Model& model, const TrainingState& state) {
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (centroids.cols() != state.points.cols) raise_fault("Centroid and point dimensions differ");
    if (centroids.rows() < 2) raise_fault("Screened label step for fewer than two clusters");
    if (model.euclidean && !state.point_norms) raise_fault("Point norms missing in Euclidean mode");
    return centroids;
}

// Every point through `source`. With a policy that has not seen a step yet,
// the first sample_points points go first, and the rest are screened only
// if the policy finds that the sample paid.
ScreenWork screened_scan(Model& model, const TrainingState& state, const ExecutionContext& context,
                         const ScreenPolicy* policy, const CentroidPanels& panels, CandidateSource& source) {
    const PointView& points = state.points;
    const bool euclidean = model.euclidean;
    std::vector<std::uint64_t> labels(points.rows);
    const std::span<std::uint64_t> out(labels);
    // Norms are given for the whole view only; a part's are computed per
    // tile, to the same bits.
    auto run = [&](std::uint64_t first, std::uint64_t count) {
        PointView part = rows_from(points, first);
        part.rows = count;
        ScreenedSink sink(part, source, out.subspan(first, count));
        const bool whole = count == points.rows;
        scan_points(context, panels, part, euclidean && whole ? &*state.point_norms : nullptr, sink);
        sink.finish(panels);
        return sink.work();
    };
    ScreenWork work;
    if (policy == nullptr || !policy->samples() || points.rows <= sample_points) {
        work = run(0, points.rows);
    } else {
        work = run(0, sample_points);
        const std::uint64_t rest = points.rows - sample_points;
        if (policy->pays(work)) {
            work += run(sample_points, rest);
        } else {
            NearestSink<std::uint64_t> sink(euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last,
                                            out.subspan(sample_points, rest));
            scan_points(context, panels, rows_from(points, sample_points), nullptr, sink);
        }
    }
    set_labels(model, std::move(labels));
    return work;
}

}  // namespace

ScreenWork screened_update_labels(Model& model, const TrainingState& state, const ExecutionContext& context,
                                  ScreenUnit unit, const ScreenPolicy* policy) {
    const Matrix& centroids = screened_centroids(model, state);
    const CentroidPanels panels(centroids, centroids.rows(), model.euclidean, context.level);
    const ScreenCentroids screen(centroids, panels, unit);
    Bf16Candidates source(unit, screen);
    return screened_scan(model, state, context, policy, panels, source);
}

ScreenWork screened_update_labels(Model& model, const TrainingState& state, const ExecutionContext& context,
                                  const DimensionBasis& basis, const ScreenPolicy* policy) {
    if (basis.level != context.level) raise_fault("Basis packed for another kernel level");
    const Matrix& centroids = screened_centroids(model, state);
    const CentroidPanels panels(centroids, centroids.rows(), model.euclidean, context.level);
    const DimensionCentroids screen(centroids, panels, basis);
    DimensionCandidates source(screen);
    return screened_scan(model, state, context, policy, panels, source);
}

DimensionChoice choose_dimension_basis(const Model& model, const TrainingState& state,
                                       const ExecutionContext& context) {
    const PointView& points = state.points;
    const std::size_t dim = points.cols;
    const std::size_t k = model.n_clusters;
    std::vector<std::size_t> heads;
    for (const std::size_t head : head_choices) {
        if (2 * head <= dim) heads.push_back(head);
    }
    DimensionChoice choice;
    if (heads.size() < 2 || points.rows < 4 * head_sample || !model.centroids) {
        choice.head = dimension_screen_head(dim);
        choice.basis = std::make_unique<DimensionBasis>(principal_axes(context, points, choice.head), context.level);
        return choice;
    }
    const PrincipalAxes axes = principal_axes(context, points, heads.back());
    // Every (rows / sample)-th point: a view with a longer row stride.
    PointView sample = points;
    sample.rows = head_sample;
    sample.row_stride = points.row_stride * static_cast<std::int64_t>(points.rows / head_sample);
    const TrainingState sample_state = TrainingState::start(sample, model.euclidean, context);
    double best = 0.0;
    for (const std::size_t head : heads) {
        auto basis = std::make_unique<DimensionBasis>(leading_axes(axes, head), context.level);
        Model scratch = Model::create(k);  // the centroids only: labels of the sample are thrown away
        scratch.euclidean = model.euclidean;
        scratch.centroids = model.centroids;
        const ScreenWork work = screened_update_labels(scratch, sample_state, context, *basis);
        const double cost = ScreenPolicy::cost(work, k, head, dim);
        if (!choice.basis || cost < best) {
            best = cost;
            choice.basis = std::move(basis);
            choice.head = head;
            choice.work = work;
        }
    }
    choice.sampled = true;
    return choice;
}

std::size_t dimension_screen_head(std::size_t dim) {
    const std::size_t quarter = (dim / 4 + 15) / 16 * 16;
    // Below 16 dimensions the head is all of them.
    return std::clamp<std::size_t>(quarter, std::min<std::size_t>(16, dim), dim);
}

bool ScreenPolicy::shape_pays(std::size_t n_clusters, std::size_t dim) {
    return n_clusters >= least_screened_clusters && dim >= least_screened_dim &&
           checked_product(n_clusters, dim) >= least_screened_work;
}

ScreenPolicy::ScreenPolicy(const ScreenOptions& options, std::size_t n_clusters, std::size_t dim)
    : automatic_(options.mode == ScreenMode::automatic), unit_(options.unit), kind_(options.kind),
      n_clusters_(n_clusters) {
    if (options.mode == ScreenMode::off || n_clusters < 2) return;
    if (kind_ == ScreenKind::dimensions) {
        // Its basis costs d x d memory and d^2 p arithmetic to find.
        if (dim > largest_basis_dim || dim < 2) return;
        if (automatic_ && n_clusters < least_dimension_clusters) return;
        use_head(dimension_screen_head(dim), dim);
    }
    if (automatic_ && !shape_pays(n_clusters, dim)) return;
    enabled_ = true;
}

double ScreenPolicy::cost(const ScreenWork& work, std::size_t n_clusters, std::size_t head, std::size_t dim) {
    if (work.points == 0 || n_clusters == 0) return 0.0;
    const double points = static_cast<double>(work.points);
    const double k = static_cast<double>(n_clusters);
    const double p = static_cast<double>(head);
    const double share = head == 0 || dim == 0
                             ? screen_share
                             : (head_key * p + bounds_pass) / static_cast<double>(dim) + p / k + candidate_key / k;
    return share + full_point * static_cast<double>(work.full) / points +
           candidate_key * static_cast<double>(work.candidates) / (points * static_cast<double>(n_clusters));
}

double ScreenPolicy::step_cost(const ScreenWork& work) const { return cost(work, n_clusters_, head_, dim_); }

bool ScreenPolicy::pays(const ScreenWork& work) const {
    return step_cost(work) <= (head_ > 0 ? dimension_give_up_cost : give_up_cost);
}

void ScreenPolicy::done(const ScreenWork& work) {
    seen_ = true;
    if (automatic_ && !pays(work)) enabled_ = false;
}

}  // namespace quorla::engine
