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

class RefreshSink final : public ScanSink {
public:
    RefreshSink(const ScoringFrame& frame, ScreenUnit unit, const ScreenCentroids& screen)
        : frame_(frame),
          screen_(tiles::screen_kernels_for(unit)),
          centroids_(screen),
          k_(screen.panels.clusters),
          groups_(frame.group_panels.size()),
          capacity_(screen_candidate_capacity(k_)) {
        // Groups are read as whole blocks of keys.
        if (groups_ > 1 && frame.group_size % key_block != 0) raise_fault("Centroid groups split a block of keys");
    }

    void prepare(std::size_t slots, std::size_t) override {
        slots_.resize(slots);
        const std::size_t rows = screen_tile_rows;
        for (Slot& s : slots_) {
            s.screen = ScreenTile(frame_.points->cols);
            s.keys.resize(checked_product(rows, k_));
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
        ScreenTile screen;
        std::vector<float> keys;         // screen_tile_rows x k, in grouped order
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
    const tiles::ScreenKernels& screen_;
    const ScreenCentroids& centroids_;
    std::size_t k_;
    std::size_t groups_;
    std::size_t capacity_;
    std::vector<Slot> slots_;
};

// Each group's least key of a screened row, and the row's candidates: the
// positions whose key is at most fl(best + w), as the screened step's cut
// (bf16_bound.hpp); 0 when the row is not screened or has more than the
// capacity. Groups are whole blocks of keys, so their least keys come from
// the blocks', and only blocks within the cut are read again.
std::size_t RefreshSink::list(Slot& s, std::size_t screen_row, std::size_t tile_row, std::size_t first) {
    const float width = s.screen.widths.data()[screen_row];
    if (!(width >= 0.0f)) return 0;
    const float* keys = s.keys.data() + screen_row * k_;
    float* minima = s.minima.data();
    block_minima(keys, k_, minima);
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
    return list_within(keys, k_, minima, best + width, capacity_, static_cast<std::uint32_t>(tile_row),
                       s.pair_rows.data() + first, s.pair_positions.data() + first);
}

// Row r's label from its scored candidates, by the full step's rule, and
// its bounds. False when it has none or met a NaN (the exact scoring the
// caller falls back to meets it too, and faults).
bool RefreshSink::settle(Slot& s, const Tile& tile, std::size_t screen_row, std::size_t tile_row, std::size_t first,
                         std::size_t listed) {
    if (listed == 0) return false;
    const tiles::Panels& panels = centroids_.panels;
    const std::uint32_t* positions = s.pair_positions.data() + first;
    const float* dots = s.dots.data() + first;
    const float point_norm = euclidean() ? tile.point_norms[tile_row] : 0.0f;
    std::size_t chosen = positions[0];
    float best = infinity;
    for (std::size_t i = 0; i < listed; ++i) {
        const std::size_t p = positions[i];
        const float key = euclidean() ? euclidean_key(dots[i], panels.norms[p], point_norm) : -dots[i];
        if (std::isnan(key)) return false;
        // Candidates come by grouped position, not by cluster: ties go by
        // the clusters themselves, to the lowest (Euclidean) or the highest
        // (inner product), as the full step breaks them.
        const std::uint32_t cluster = frame_.order[p];
        const std::uint32_t held = frame_.order[chosen];
        if (i == 0 || key < best || (key == best && (euclidean() ? cluster < held : cluster > held))) {
            best = key;
            chosen = p;
        }
    }
    const std::uint64_t point = tile.first + tile_row;
    const double error = bounds::key_error(euclidean(), panels.dim, static_cast<double>(frame_.lengths[point]),
                                           frame_.longest);
    const float width = s.screen.widths.data()[screen_row];
    const float screened_error = bounds::round_up(0.5 * static_cast<double>(width) + error + bounds::underflow_term);
    float* own = frame_.bounds.data() + point * (groups_ + 1);
    own[0] = bounds::round_up(bounds::upper_from_key(euclidean(), best, error));
    // The chosen cluster's own key stays out of its group's bound.
    float* least = s.group_least.data() + screen_row * groups_;
    const std::size_t own_group = chosen / frame_.group_size;
    const float* keys = s.keys.data() + screen_row * k_;
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
    for (std::size_t from = 0; from < tile.count; from += screen_tile_rows) {
        const std::size_t rows = std::min(screen_tile_rows, tile.count - from);
        pack_screen_tile(centroids_, centroids.kernels(), tile, from, rows, s.screen);
        screen_.keys(s.screen.pairs.data(), s.screen.norms.data(), centroids_.panels, euclidean(), s.keys.data(), k_);
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

}  // namespace

ScreenedRefresh screened_refresh(const ScoringFrame& frame, const Matrix& grouped, ScreenUnit unit,
                                 const ExecutionContext& context) {
    if (grouped.rows() < 2) raise_fault("Screened refresh for fewer than two clusters");
    const ScreenCentroids screen(grouped, *frame.panels);
    RefreshSink sink(frame, unit, screen);
    scan_points(context, *frame.panels, *frame.points, frame.euclidean ? frame.point_norms : nullptr, sink);
    ScreenedRefresh out = sink.result();
    out.work.full = out.wide.size();
    return out;
}

}  // namespace quorla::engine
