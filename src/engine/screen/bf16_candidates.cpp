#include "engine/screen/bf16_candidates.hpp"

#include <algorithm>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"

namespace quorla::engine {

Bf16Candidates::Bf16Candidates(ScreenUnit unit, const ScreenCentroids& screen, bool refresh)
    : screen_(tiles::screen_kernels_for(unit)),
      centroids_(screen),
      capacity_(screen_candidate_capacity(screen.panels.clusters)),
      minima_(refresh),
      room_(refresh ? 4 * capacity_ : capacity_) {}

void Bf16Candidates::prepare(std::size_t slots, std::size_t) {
    slots_.resize(slots);
    const std::size_t rows = screen_tile_rows;
    const std::size_t blocks = (centroids_.panels.clusters + key_block - 1) / key_block;
    for (Slot& s : slots_) {
        s.screen = ScreenTile(centroids_.panels.dim);
        s.lane_keys = CacheAligned<float>(rows);
        s.cuts = CacheAligned<float>(rows);
        s.sizes.assign(rows, 0);
        s.kept_keys.resize(checked_product(rows, room_));
        s.kept_clusters.resize(checked_product(rows, room_));
        if (minima_) {
            s.minima.resize(checked_product(rows, blocks));
            s.margins.resize(rows);
        }
    }
}

tiles::ScreenScratch Bf16Candidates::scratch(Slot& s) {
    return {room_,            s.kept_clusters.data(), s.kept_keys.data(),
            s.sizes.data(),   s.screen.widths.data(), s.lane_keys.data(),
            s.cuts.data(),    minima_ ? s.minima.data() : nullptr};
}

std::size_t Bf16Candidates::list(const CentroidPanels& centroids, const Tile& tile, std::size_t from,
                                 std::size_t rows, std::size_t slot, std::size_t* listed, std::uint32_t* pair_rows,
                                 std::uint32_t* pair_clusters) {
    Slot& s = slots_[slot];
    pack_screen_tile(centroids_, centroids.kernels(), tile, from, rows, s.screen);
    std::fill(s.sizes.begin(), s.sizes.end(), 0u);
    const tiles::ScreenScratch kept = scratch(s);
    screen_.screen(s.screen.pairs.data(), s.screen.norms.data(), centroids_.panels, centroids.euclidean(), kept);
    std::size_t pairs = 0;
    for (std::size_t sr = 0; sr < rows; ++sr) {
        listed[sr] = list_kept(kept, sr, static_cast<std::uint32_t>(from + sr), capacity_, pair_rows + pairs,
                               pair_clusters + pairs);
        pairs += listed[sr];
    }
    if (minima_) {
        const float* widths = s.screen.widths.data();
        for (std::size_t sr = 0; sr < rows; ++sr) s.margins[sr] = widths[sr] >= 0.0f ? 0.5f * widths[sr] : -1.0f;
    }
    return pairs;
}

BlockMinima Bf16Candidates::block_minima(std::size_t slot) const {
    if (!minima_) raise_fault("Block minima of a screen that keeps none");
    const Slot& s = slots_[slot];
    return {s.minima.data(), 1, screen_tile_rows, s.margins.data()};
}

}  // namespace quorla::engine
