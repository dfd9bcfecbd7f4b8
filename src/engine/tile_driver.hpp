// Baseline-side helpers shared by the label step (kernels.cpp) and the
// assignment (assignment.cpp) for driving the tile kernels: the kernel table
// of a level, centroid panels, and per-worker scratch with cache-line
// alignment. Nothing here is compiled for a vector level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/kernel_level.hpp"
#include "engine/matrix.hpp"
#include "engine/tile_kernels.hpp"

namespace quorla::engine::tiles {

// The kernels of a vector level; nullptr at the scalar level. Raises Fault
// for a level the machine lacks.
const TileKernels* kernels_for_level(KernelLevel level);

// The first `clusters` rows of `centroids` as zero-padded panels.
std::vector<float> pack_panels(const Matrix& centroids, std::size_t clusters);
// Writes one row into its panel column.
void pack_panel_row(const float* row, std::size_t j, std::size_t dim, float* panels);

// Floats whose start is on a cache line, so that a tile's rows of 16 or 48
// points are whole lines and vector loads never split one.
class AlignedFloats {
public:
    explicit AlignedFloats(std::size_t count) : storage_(count + line_floats) {
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        const std::size_t skip = (line_bytes - address % line_bytes) % line_bytes / sizeof(float);
        data_ = storage_.data() + skip;
    }
    float* data() { return data_; }

private:
    static constexpr std::size_t line_bytes = 64;
    static constexpr std::size_t line_floats = line_bytes / sizeof(float);
    std::vector<float> storage_;
    float* data_;
};

// PointView as the packing kernels see it.
inline PointSource source_of(const PointView& points) {
    return PointSource{points.origin, points.row_stride, points.col_stride, static_cast<std::size_t>(points.cols)};
}

}  // namespace quorla::engine::tiles
