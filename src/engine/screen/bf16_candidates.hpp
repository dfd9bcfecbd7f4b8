// The bf16 screen as a candidate source: a scan tile's rows in screen tiles
// of 48, each row keeping the clusters its running cut lets through, and,
// for a screened refresh, each row's least key of every block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/matrix.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/screen/candidate_source.hpp"
#include "engine/screen/screen_tiles.hpp"

namespace quorla::engine {

class Bf16Candidates final : public CandidateSource {
public:
    // `refresh`: keep what block_minima() reads, which costs the screen a
    // little, and room for four times capacity() a row, so that a row
    // whose running cut let many through early still lists its few.
    Bf16Candidates(ScreenUnit unit, const ScreenCentroids& screen, bool refresh = false);

    std::size_t pass_rows(std::size_t) const override { return screen_tile_rows; }
    std::size_t capacity() const override { return capacity_; }
    void prepare(std::size_t slots, std::size_t tile_rows) override;
    std::size_t list(const CentroidPanels& centroids, const Tile& tile, std::size_t from, std::size_t rows,
                     std::size_t slot, std::size_t* listed, std::uint32_t* pair_rows,
                     std::uint32_t* pair_clusters) override;
    // A bf16 key is within K of the exact chain's, K at most half the row's
    // cut width (bf16_bound.hpp).
    BlockMinima block_minima(std::size_t slot) const override;

private:
    struct Slot {
        ScreenTile screen;
        CacheAligned<float> lane_keys, cuts;
        std::vector<std::uint32_t> sizes, kept_clusters;
        std::vector<float> kept_keys, minima, margins;
    };

    tiles::ScreenScratch scratch(Slot& s);

    const tiles::ScreenKernels& screen_;
    const ScreenCentroids& centroids_;
    std::size_t capacity_;
    bool minima_;
    std::size_t room_;  // a row's kept clusters
    std::vector<Slot> slots_;
};

}  // namespace quorla::engine
