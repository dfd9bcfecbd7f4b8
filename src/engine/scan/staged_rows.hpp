// A few centroid rows set aside in slots, laid out as the level's kernels
// read them, so that one point can be scored against just the rows that
// changed since a block of its keys was computed (balancing's visits).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/scan/scan.hpp"

namespace quorla::engine {

class StagedRows {
public:
    // Rows the vector levels score together: the one-point kernel keeps up
    // to 8 panels of 16 rows in flight, and one panel costs it as long as a
    // group of 8 (the FMA latency of one chain per dimension), so staged
    // rows are scored in groups of this many, the unused slots left as they
    // are.
    static constexpr std::size_t group_rows = 128;

    // Room for `capacity` rows of `source`, which must outlive this object.
    void reserve(const CentroidPanels& source, std::size_t capacity);

    // Slot `slot` takes cluster `cluster`'s row and norm as `source` holds
    // them now (after its refresh_norm).
    void stage(std::size_t slot, std::size_t cluster);

    // Keys of a contiguous point against slots [0, count), by slot: the
    // bits centroid_keys gives for the same rows, and its NaN fault. Valid
    // until the next call.
    std::span<const float> score(std::span<const float> point, float point_norm, std::size_t count);

private:
    const CentroidPanels* source_ = nullptr;
    std::size_t capacity_ = 0;
    std::vector<float> rows_;    // row-major, for levels that read rows in place
    std::vector<float> values_;  // panels, for levels that pack them
    std::vector<float> norms_;   // Euclidean only
    std::vector<float> keys_;
};

}  // namespace quorla::engine
