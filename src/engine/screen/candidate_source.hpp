// What a screened label step asks of a screen: for each point of a tile, the
// few clusters that could be its nearest. The step scores them with the
// level's exact chain and its tie rules (label/screened_step.cpp), so a
// screen only has to prove that every cluster it leaves out is strictly
// farther than one it keeps. Two screens answer: the bf16 one
// (screen/bf16_screen.hpp) and the dimension one (dimension_screen.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/scan/scan.hpp"

namespace quorla::engine {

// A pass's rows' least keys of each block of key_block clusters, as a
// screen saw them: row i's (of the pass) for block b at
// values[i * row_step + b * block_step], each at most margins[i] above the
// exact chain's key of every cluster in the block. A row with a negative
// margin has none.
struct BlockMinima {
    const float* values;
    std::size_t row_step, block_step;
    const float* margins;
};

class CandidateSource {
public:
    virtual ~CandidateSource() = default;
    // Rows one call of list() takes at most, in tiles of `tile_rows`.
    virtual std::size_t pass_rows(std::size_t tile_rows) const = 0;
    // Candidates a row may have; a row with more is scored in full.
    virtual std::size_t capacity() const = 0;
    // Before the scan, on the calling thread: room for `slots` workers.
    virtual void prepare(std::size_t slots, std::size_t tile_rows) = 0;
    // Candidates of rows [from, from + rows) of the tile: row from + i's
    // count into listed[i], and its (tile row, cluster) pairs after those of
    // the rows before it, in ascending cluster order, at most capacity() a
    // row. A row listed with none is scored in full. Returns the pairs.
    virtual std::size_t list(const CentroidPanels& centroids, const Tile& tile, std::size_t from, std::size_t rows,
                             std::size_t slot, std::size_t* listed, std::uint32_t* pair_rows,
                             std::uint32_t* pair_clusters) = 0;
    // Those of the rows of the slot's last list(); a screened refresh
    // bounds whole groups of clusters from them.
    virtual BlockMinima block_minima(std::size_t slot) const = 0;
};

}  // namespace quorla::engine
