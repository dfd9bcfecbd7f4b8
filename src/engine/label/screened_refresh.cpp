// The screened refresh: a scan sink that takes each tile's candidates and
// block minima from a screen, scores the candidates and the chosen
// cluster's block with the exact chain, and settles each point's label and
// bounds.
#include "engine/label/screened_refresh.hpp"

#include <algorithm>
#include <cmath>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/bound_arithmetic.hpp"
#include "engine/screen/bf16_candidates.hpp"
#include "engine/screen/screen_tiles.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {
namespace {

using bounds::infinity;

// A block of keys is scored as one panel of the chosen cluster's.
static_assert(key_block == tiles::panel_width, "a block of keys is one panel");

class RefreshSink final : public ScanSink {
public:
    RefreshSink(const ScoringFrame& frame, CandidateSource& source)
        : frame_(frame), source_(source), k_(frame.panels->clusters()), groups_(frame.group_panels.size()) {
        // Groups are read as whole blocks of keys.
        if (groups_ > 1 && frame.group_size % key_block != 0) raise_fault("Centroid groups split a block of keys");
    }

    void prepare(std::size_t slots, std::size_t tile_rows) override {
        source_.prepare(slots, tile_rows);
        slots_.resize(slots);
        const std::size_t rows = source_.pass_rows(tile_rows);
        const std::size_t pairs = checked_product(rows, source_.capacity());
        for (Slot& s : slots_) {
            s.listed.resize(rows);
            s.pair_rows.resize(pairs);
            s.pair_positions.resize(pairs);
            s.dots.resize(pairs);
            s.chosen.resize(rows);
            s.best.resize(rows);
            s.row.resize(frame_.panels->panels().dim);
        }
    }

    bool consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) override;

    ScreenedRefresh result() {
        ScreenedRefresh out;
        for (Slot& s : slots_) {
            out.work += s.work;
            out.wide.insert(out.wide.end(), s.wide.begin(), s.wide.end());
        }
        return out;
    }

private:
    static constexpr std::uint32_t none = UINT32_MAX;

    struct Slot {
        // The candidates of a pass's rows, all scored in one call: row r's
        // are pairs [first, first + listed[r]), by grouped position.
        std::vector<std::size_t> listed;
        std::vector<std::uint32_t> pair_rows, pair_positions;
        std::vector<float> dots;
        std::vector<std::uint32_t> chosen;  // per row of the pass: a grouped position, or none
        std::vector<float> best;
        std::vector<float> row;  // a point's values, where its row is not contiguous
        float block_keys[key_block];
        std::vector<std::uint64_t> wide;
        ScreenWork work;
    };

    float key(const Tile& tile, std::size_t tile_row, std::size_t position, float dot) const {
        const tiles::Panels& panels = frame_.panels->panels();
        return frame_.euclidean ? euclidean_key(dot, panels.norms[position], tile.point_norms[tile_row]) : -dot;
    }
    void choose(Slot& s, const Tile& tile, std::size_t row, std::size_t tile_row, std::size_t first);
    bool settle(Slot& s, const Tile& tile, const BlockMinima& minima, std::size_t row, std::size_t tile_row);

    const ScoringFrame& frame_;
    CandidateSource& source_;
    std::size_t k_;
    std::size_t groups_;
    std::vector<Slot> slots_;
};

// Row `row` of the pass's label from its scored candidates, by the full
// step's rule; none when it has no candidates or met a NaN (the exact
// scoring the caller falls back to meets it too, and faults).
void RefreshSink::choose(Slot& s, const Tile& tile, std::size_t row, std::size_t tile_row, std::size_t first) {
    s.chosen[row] = none;
    const std::size_t listed = s.listed[row];
    const std::uint32_t* positions = s.pair_positions.data() + first;
    const float* dots = s.dots.data() + first;
    std::uint32_t chosen = none;
    float best = infinity;
    for (std::size_t i = 0; i < listed; ++i) {
        const float v = key(tile, tile_row, positions[i], dots[i]);
        if (std::isnan(v)) return;
        if (i == 0 || takes_over(frame_.euclidean, v, frame_.order[positions[i]], best, frame_.order[chosen])) {
            best = v;
            chosen = positions[i];
        }
    }
    s.chosen[row] = chosen;
    s.best[row] = best;
}

// The chosen row's label and bounds. Group g's bound comes from the least
// screen key of its blocks, less the row's margin and the chain's error,
// except in the chosen cluster's block, whose least key may be the chosen
// one's: that block's keys are computed exactly, in one vector chain across
// its clusters, and the chosen one's stays out of the bound. False on a NaN.
bool RefreshSink::settle(Slot& s, const Tile& tile, const BlockMinima& minima, std::size_t row,
                         std::size_t tile_row) {
    const std::size_t chosen = s.chosen[row];
    const float margin = minima.margins[row];
    if (!(margin >= 0.0f)) return false;
    const std::uint64_t point = tile.first + tile_row;
    const PointView& points = *frame_.points;
    const float* x = points.row_start(point);
    if (!points.row_contiguous()) {
        points.copy_row(point, s.row.data());
        x = s.row.data();
    }
    const bool l2 = frame_.euclidean;
    const std::size_t home = chosen / key_block * key_block;
    const std::size_t home_size = std::min(k_, home + key_block) - home;
    const float norm = l2 ? tile.point_norms[tile_row] : 0.0f;
    if (!frame_.panels->kernels().point_keys(x, frame_.panels->range(home, home_size), l2, norm, s.block_keys)) {
        return false;
    }
    float mate_least = infinity;
    for (std::size_t j = 0; j < home_size; ++j) {
        if (home + j != chosen) mate_least = s.block_keys[j] < mate_least ? s.block_keys[j] : mate_least;
    }

    const double error = bounds::key_error(l2, frame_.panels->panels().dim, static_cast<double>(frame_.lengths[point]),
                                           frame_.longest);
    const float exact_error = bounds::round_up(error + bounds::underflow_term);
    const float screened_error = bounds::round_up(static_cast<double>(margin) + error + bounds::underflow_term);
    float* own = frame_.bounds.data() + point * (groups_ + 1);
    own[0] = bounds::round_up(bounds::upper_from_key(l2, s.best[row], error));
    const float* values = minima.values + row * minima.row_step;
    const std::size_t blocks = (k_ + key_block - 1) / key_block;
    const std::size_t group_blocks = (frame_.group_size + key_block - 1) / key_block;
    for (std::size_t g = 0; g < groups_; ++g) {
        const std::size_t end = std::min(blocks, (g + 1) * group_blocks);
        float least = infinity;
        for (std::size_t b = g * group_blocks; b < end; ++b) {
            const float m = values[b * minima.block_step];
            least = b != home / key_block && m < least ? m : least;
        }
        own[1 + g] = bounds::lower_from_key_f32(l2, least, screened_error);
    }
    float& home_group = own[1 + chosen / frame_.group_size];
    home_group = std::min(home_group, bounds::lower_from_key_f32(l2, mate_least, exact_error));
    frame_.labels[point] = frame_.order[chosen];
    ++s.work.settled;
    s.work.candidates += s.listed[row];
    return true;
}

bool RefreshSink::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    Slot& s = slots_[slot];
    const std::size_t pass = source_.pass_rows(frame_.panels->kernels().tile_rows);
    for (std::size_t from = 0; from < tile.count; from += pass) {
        const std::size_t rows = std::min(pass, tile.count - from);
        const std::size_t pairs = source_.list(centroids, tile, from, rows, slot, s.listed.data(), s.pair_rows.data(),
                                               s.pair_positions.data());
        centroids.kernels().listed_dots(tile.values, tile.count, s.pair_rows.data(), centroids.panels(),
                                        s.pair_positions.data(), pairs, s.dots.data());
        const BlockMinima minima = source_.block_minima(slot);
        std::size_t first = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            choose(s, tile, r, from + r, first);
            first += s.listed[r];
            if (s.chosen[r] == none || !settle(s, tile, minima, r, from + r)) s.wide.push_back(tile.first + from + r);
        }
    }
    s.work.points += tile.count;
    return true;
}

ScreenedRefresh refresh_through(const ScoringFrame& frame, CandidateSource& source, const ExecutionContext& context) {
    RefreshSink sink(frame, source);
    scan_points(context, *frame.panels, *frame.points, frame.euclidean ? frame.point_norms : nullptr, sink);
    ScreenedRefresh out = sink.result();
    out.work.full = out.wide.size();
    return out;
}

}  // namespace

ScreenedRefresh screened_refresh(const ScoringFrame& frame, const Matrix& grouped, ScreenUnit unit,
                                 const ExecutionContext& context) {
    if (grouped.rows() < 2) raise_fault("Screened refresh for fewer than two clusters");
    const ScreenCentroids screen(grouped, *frame.panels, unit);
    Bf16Candidates source(unit, screen, true);
    return refresh_through(frame, source, context);
}

ScreenedRefresh screened_refresh(const ScoringFrame& frame, const Matrix& grouped, const DimensionBasis& basis,
                                 const ExecutionContext& context) {
    if (grouped.rows() < 2) raise_fault("Screened refresh for fewer than two clusters");
    if (basis.level != context.level) raise_fault("Basis packed for another kernel level");
    const DimensionCentroids screen(grouped, *frame.panels, basis);
    DimensionCandidates source(screen);
    return refresh_through(frame, source, context);
}

}  // namespace quorla::engine
