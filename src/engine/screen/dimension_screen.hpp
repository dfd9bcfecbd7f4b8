// The dimension screen: each point's lower bounds on its keys to every
// cluster from its leading coordinates in a principal basis
// (principal_axes.hpp) and the lengths left over, one exact key for the
// cluster with the least bound, and as candidates the clusters whose bound
// is within the proven window (dimension_bound.hpp) of that key.
//
// The leading coordinates are dots with the basis rows and the bounds are
// keys of them (with the full norms), so both come from the level's own
// tile kernels:
// what this costs is the head's share p / d of a full scan, the exact keys
// of the candidates and a pass over each point's bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/core/matrix.hpp"
#include "engine/scan/scan.hpp"
#include "engine/screen/candidate_source.hpp"
#include "engine/screen/dimension_bound.hpp"
#include "engine/screen/principal_axes.hpp"
#include "engine/screen/screen_tiles.hpp"

namespace quorla::engine {

// A basis and its rows packed for one level, kept for a whole training.
struct DimensionBasis {
    KernelLevel level;
    PrincipalAxes axes;
    CentroidPanels panels;  // the basis rows as inner-product "centroids"
    dimension_bound::Basis bound;

    DimensionBasis(PrincipalAxes found, KernelLevel level);
    DimensionBasis(const DimensionBasis&) = delete;
    DimensionBasis& operator=(const DimensionBasis&) = delete;
};

// The centroids' heads (negated, as the kernels give -dot; the screen's
// products are the same), packed with the full squared norms, and their
// tail lengths; rebuilt each step. A centroid that is not finite makes
// every window infinite.
class DimensionCentroids {
public:
    DimensionCentroids(const Matrix& centroids, const CentroidPanels& exact, const DimensionBasis& basis);

    const tiles::Panels& head_panels() const { return panels_; }
    const float* tails() const { return tails_.data(); }
    const dimension_bound::CentroidSide& side() const { return side_; }
    const DimensionBasis& basis() const { return basis_; }

private:
    const DimensionBasis& basis_;
    Matrix heads_;
    std::optional<CentroidPanels> head_panels_;
    tiles::Panels panels_;
    std::vector<float> tails_;
    dimension_bound::CentroidSide side_;
};

// A tile's rows as the dimension screen leaves them: row r's lower bounds
// on its keys at keys[r * stride + j] (exact >= bound - widths[r]), the
// least of each block of 16 at minima[r * blocks + b], and the cut its
// candidates lie under (an exact key plus the width). A row with a
// negative width, or a cut that is not finite, is not screened.
struct DimensionBounds {
    const float* keys;
    std::size_t stride;
    const float* minima;
    std::size_t blocks;
    const float* widths;
    const float* cuts;
};

class DimensionCandidates final : public CandidateSource {
public:
    explicit DimensionCandidates(const DimensionCentroids& screen)
        : screen_(screen), capacity_(screen_candidate_capacity(screen.head_panels().clusters)) {}

    std::size_t pass_rows(std::size_t tile_rows) const override { return tile_rows; }
    std::size_t capacity() const override { return capacity_; }
    void prepare(std::size_t slots, std::size_t tile_rows) override;
    std::size_t list(const CentroidPanels& centroids, const Tile& tile, std::size_t from, std::size_t rows,
                     std::size_t slot, std::size_t* listed, std::uint32_t* pair_rows,
                     std::uint32_t* pair_clusters) override;
    // The exact chain's key is at least a bound minus the row's cut width.
    BlockMinima block_minima(std::size_t slot) const override;
    // The bounds of every row of a tile, valid until the slot's next call.
    DimensionBounds bound(const CentroidPanels& centroids, const Tile& tile, std::size_t slot);

private:
    struct Slot {
        CacheAligned<float> heads, head_tile, keys, zeros;
        std::vector<const float*> head_rows;
        std::vector<float> minima, lengths, widths, cuts;
        std::vector<std::uint32_t> best_rows, best_clusters;
        std::vector<float> best_dots;
    };

    const DimensionCentroids& screen_;
    std::size_t capacity_;
    std::size_t key_stride_ = 0;
    std::vector<Slot> slots_;
};

}  // namespace quorla::engine
