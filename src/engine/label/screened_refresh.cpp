// The screened refresh: a scan sink that screens each tile against the
// grouped centroids, keeps every approximate key of a screen tile, and
// settles each point's label and bounds from them.
#include "engine/label/screened_refresh.hpp"

#include <algorithm>
#include <cmath>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/bound_arithmetic.hpp"
#include "engine/screen/screen_tiles.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {
namespace {

using bounds::infinity;

// The keys a refresh settles a pass of rows from, whichever screen gives
// them: row r's key of every cluster (grouped order) at keys[r * stride +
// p], each at most margins[r] above the exact chain's key for the same
// pair; the row's candidates are the keys at or below its cut, best +
// widths[r] or, where `cuts` is given, cuts[r]. A row with a negative
// margin or a cut that is not finite is not screened. `minima`, where the
// screen found them already, holds row r's least key of each block of 16
// at minima[r * blocks + b].
struct RefreshPass {
    const float* keys;
    std::size_t stride;
    const float* margins;
    const float* widths;
    const float* cuts;
    const float* minima;
    std::size_t blocks;
};

class RefreshKeys {
public:
    virtual ~RefreshKeys() = default;
    virtual std::size_t pass_rows(std::size_t tile_rows) const = 0;
    virtual void prepare(std::size_t slots, std::size_t tile_rows) = 0;
    virtual RefreshPass keys(const CentroidPanels& centroids, const Tile& tile, std::size_t from, std::size_t rows,
                             std::size_t slot) = 0;
};

// The bf16 screen's approximate keys, within K of the exact chain's, K at
// most half the cut width (bf16_bound.hpp).
class Bf16RefreshKeys final : public RefreshKeys {
public:
    Bf16RefreshKeys(ScreenUnit unit, const ScreenCentroids& screen)
        : screen_(tiles::screen_kernels_for(unit)), centroids_(screen) {}

    std::size_t pass_rows(std::size_t) const override { return screen_tile_rows; }
    void prepare(std::size_t slots, std::size_t) override {
        slots_.resize(slots);
        for (Slot& s : slots_) {
            s.screen = ScreenTile(centroids_.panels.dim);
            s.keys.resize(checked_product(screen_tile_rows, centroids_.panels.clusters));
            s.margins.resize(screen_tile_rows);
        }
    }
    RefreshPass keys(const CentroidPanels& centroids, const Tile& tile, std::size_t from, std::size_t rows,
                     std::size_t slot) override {
        Slot& s = slots_[slot];
        pack_screen_tile(centroids_, centroids.kernels(), tile, from, rows, s.screen);
        const std::size_t k = centroids_.panels.clusters;
        screen_.keys(s.screen.pairs.data(), s.screen.norms.data(), centroids_.panels, centroids.euclidean(),
                     s.keys.data(), k);
        const float* widths = s.screen.widths.data();
        for (std::size_t r = 0; r < rows; ++r) s.margins[r] = widths[r] >= 0.0f ? 0.5f * widths[r] : -1.0f;
        return {s.keys.data(), k, s.margins.data(), widths, nullptr, nullptr, 0};
    }

private:
    struct Slot {
        ScreenTile screen;
        std::vector<float> keys, margins;
    };
    const tiles::ScreenKernels& screen_;
    const ScreenCentroids& centroids_;
    std::vector<Slot> slots_;
};

// The dimension screen's lower bounds: the exact chain's key is at least a
// bound minus W, and the cut width is at least W (dimension_bound.hpp).
class DimensionRefreshKeys final : public RefreshKeys {
public:
    explicit DimensionRefreshKeys(const DimensionCentroids& screen) : candidates_(screen) {}

    std::size_t pass_rows(std::size_t tile_rows) const override { return tile_rows; }
    void prepare(std::size_t slots, std::size_t tile_rows) override { candidates_.prepare(slots, tile_rows); }
    RefreshPass keys(const CentroidPanels& centroids, const Tile& tile, std::size_t, std::size_t,
                     std::size_t slot) override {
        const DimensionBounds b = candidates_.bound(centroids, tile, slot);
        return {b.keys, b.stride, b.widths, b.widths, b.cuts, b.minima, b.blocks};
    }

private:
    DimensionCandidates candidates_;
};

class RefreshSink final : public ScanSink {
public:
    RefreshSink(const ScoringFrame& frame, RefreshKeys& source, std::size_t k)
        : frame_(frame),
          source_(source),
          k_(k),
          groups_(frame.group_panels.size()),
          capacity_(screen_candidate_capacity(k_)) {
        // Groups are read as whole blocks of keys.
        if (groups_ > 1 && frame.group_size % key_block != 0) raise_fault("Centroid groups split a block of keys");
    }

    void prepare(std::size_t slots, std::size_t tile_rows) override {
        source_.prepare(slots, tile_rows);
        slots_.resize(slots);
        const std::size_t rows = source_.pass_rows(tile_rows);
        for (Slot& s : slots_) {
            s.minima.resize((k_ + key_block - 1) / key_block);
            s.group_least.resize(checked_product(rows, groups_));
            s.listed.resize(rows);
            s.pair_rows.resize(checked_product(rows, capacity_));
            s.pair_positions.resize(checked_product(rows, capacity_));
            s.dots.resize(checked_product(rows, capacity_));
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
    struct Slot {
        RefreshPass pass{};
        std::vector<float> minima;       // one row's least key of each block
        std::vector<float> group_least;  // screen_tile_rows x groups
        // The candidates of a screen tile's rows, all scored in one call:
        // row r's are pairs [first, first + listed[r]), by grouped position.
        std::vector<std::size_t> listed;
        std::vector<std::uint32_t> pair_rows, pair_positions;
        std::vector<float> dots;
        std::vector<std::uint64_t> wide;
        ScreenWork work;
    };

    std::size_t list(Slot& s, std::size_t screen_row, std::size_t tile_row, std::size_t first);
    bool settle(Slot& s, const Tile& tile, std::size_t screen_row, std::size_t tile_row, std::size_t first,
                std::size_t listed);
    bool euclidean() const { return frame_.euclidean; }

    const ScoringFrame& frame_;
    RefreshKeys& source_;
    std::size_t k_;
    std::size_t groups_;
    std::size_t capacity_;
    std::vector<Slot> slots_;
};

// Each group's least key of a screened row, and the row's candidates: the
// positions whose key is at most its cut, as the screened step's; 0 when
// the row is not screened or has more than the capacity. Groups are whole
// blocks of keys, so their least keys come from the blocks', and only
// blocks within the cut are read again.
std::size_t RefreshSink::list(Slot& s, std::size_t screen_row, std::size_t tile_row, std::size_t first) {
    const RefreshPass& pass = s.pass;
    if (!(pass.margins[screen_row] >= 0.0f)) return 0;
    const float* keys = pass.keys + screen_row * pass.stride;
    const float* minima = pass.minima != nullptr ? pass.minima + screen_row * pass.blocks : s.minima.data();
    if (pass.minima == nullptr) block_minima(keys, k_, s.minima.data());
    float* least = s.group_least.data() + screen_row * groups_;
    const std::size_t blocks = (k_ + key_block - 1) / key_block;
    const std::size_t group_blocks = (frame_.group_size + key_block - 1) / key_block;
    float best = infinity;
    for (std::size_t g = 0; g < groups_; ++g) {
        const std::size_t end = std::min(blocks, (g + 1) * group_blocks);
        float m = infinity;
        for (std::size_t b = g * group_blocks; b < end; ++b) m = minima[b] < m ? minima[b] : m;
        least[g] = m;
        best = m < best ? m : best;
    }
    const float cut = pass.cuts != nullptr ? pass.cuts[screen_row] : best + pass.widths[screen_row];
    if (!std::isfinite(cut)) return 0;
    return list_within(keys, k_, minima, cut, capacity_, static_cast<std::uint32_t>(tile_row),
                       s.pair_rows.data() + first, s.pair_positions.data() + first);
}

// Row r's label from its scored candidates, by the full step's rule, and
// its bounds. False when it has none or met a NaN (the exact scoring the
// caller falls back to meets it too, and faults).
bool RefreshSink::settle(Slot& s, const Tile& tile, std::size_t screen_row, std::size_t tile_row, std::size_t first,
                         std::size_t listed) {
    if (listed == 0) return false;
    const tiles::Panels& panels = frame_.panels->panels();
    const std::uint32_t* positions = s.pair_positions.data() + first;
    const float* dots = s.dots.data() + first;
    const float point_norm = euclidean() ? tile.point_norms[tile_row] : 0.0f;
    std::size_t chosen = positions[0];
    float best = infinity;
    for (std::size_t i = 0; i < listed; ++i) {
        const std::size_t p = positions[i];
        const float key = euclidean() ? euclidean_key(dots[i], panels.norms[p], point_norm) : -dots[i];
        if (std::isnan(key)) return false;
        if (i == 0 || takes_over(euclidean(), key, frame_.order[p], best, frame_.order[chosen])) {
            best = key;
            chosen = p;
        }
    }
    const std::uint64_t point = tile.first + tile_row;
    const double error = bounds::key_error(euclidean(), panels.dim, static_cast<double>(frame_.lengths[point]),
                                           frame_.longest);
    const float margin = s.pass.margins[screen_row];
    const float screened_error = bounds::round_up(static_cast<double>(margin) + error + bounds::underflow_term);
    float* own = frame_.bounds.data() + point * (groups_ + 1);
    own[0] = bounds::round_up(bounds::upper_from_key(euclidean(), best, error));
    // The chosen cluster's own key stays out of its group's bound.
    float* least = s.group_least.data() + screen_row * groups_;
    const std::size_t own_group = chosen / frame_.group_size;
    const float* keys = s.pass.keys + screen_row * s.pass.stride;
    const std::size_t end = std::min(k_, (own_group + 1) * frame_.group_size);
    float rest = infinity;
    for (std::size_t p = own_group * frame_.group_size; p < end; ++p) rest = p != chosen && keys[p] < rest ? keys[p] : rest;
    least[own_group] = rest;
    const bool l2 = euclidean();
    for (std::size_t g = 0; g < groups_; ++g) own[1 + g] = bounds::lower_from_key_f32(l2, least[g], screened_error);
    frame_.labels[point] = frame_.order[chosen];
    ++s.work.settled;
    s.work.candidates += listed;
    return true;
}

bool RefreshSink::consume(const CentroidPanels& centroids, const Tile& tile, std::size_t slot) {
    Slot& s = slots_[slot];
    const std::size_t pass = source_.pass_rows(frame_.panels->kernels().tile_rows);
    for (std::size_t from = 0; from < tile.count; from += pass) {
        const std::size_t rows = std::min(pass, tile.count - from);
        s.pass = source_.keys(centroids, tile, from, rows, slot);
        std::size_t pairs = 0;
        for (std::size_t sr = 0; sr < rows; ++sr) {
            s.listed[sr] = list(s, sr, from + sr, pairs);
            pairs += s.listed[sr];
        }
        centroids.kernels().listed_dots(tile.values, tile.count, s.pair_rows.data(), centroids.panels(),
                                        s.pair_positions.data(), pairs, s.dots.data());
        std::size_t first = 0;
        for (std::size_t sr = 0; sr < rows; ++sr) {
            if (!settle(s, tile, sr, from + sr, first, s.listed[sr])) s.wide.push_back(tile.first + from + sr);
            first += s.listed[sr];
        }
    }
    s.work.points += tile.count;
    return true;
}

ScreenedRefresh refresh_through(const ScoringFrame& frame, RefreshKeys& source, const ExecutionContext& context) {
    RefreshSink sink(frame, source, frame.panels->clusters());
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
    Bf16RefreshKeys source(unit, screen);
    return refresh_through(frame, source, context);
}

ScreenedRefresh screened_refresh(const ScoringFrame& frame, const Matrix& grouped, const DimensionBasis& basis,
                                 const ExecutionContext& context) {
    if (grouped.rows() < 2) raise_fault("Screened refresh for fewer than two clusters");
    if (basis.level != context.level) raise_fault("Basis packed for another kernel level");
    const DimensionCentroids screen(grouped, *frame.panels, basis);
    DimensionRefreshKeys source(screen);
    return refresh_through(frame, source, context);
}

}  // namespace quorla::engine
