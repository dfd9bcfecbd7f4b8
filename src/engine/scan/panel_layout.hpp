// Where a centroid's values sit in the panels the vector kernels read
// (kernels/tile_kernels.hpp): groups of `width` centroids, each group
// dimension-major. Only the scan room lays panels out; everyone else asks
// CentroidPanels or StagedRows.
#pragma once

#include <cstddef>

namespace quorla::engine {

inline float* panel_column(float* panels, std::size_t j, std::size_t dim, std::size_t width) {
    return panels + (j / width) * dim * width + j % width;
}

inline void pack_panel_row(const float* row, std::size_t j, std::size_t dim, std::size_t width, float* panels) {
    float* column = panel_column(panels, j, dim, width);
    for (std::size_t l = 0; l < dim; ++l) column[l * width] = row[l];
}

}  // namespace quorla::engine
