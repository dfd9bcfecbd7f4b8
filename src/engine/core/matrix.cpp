// Row access of the point view.
#include "engine/core/matrix.hpp"

namespace quorla::engine {

void PointView::copy_row(std::uint64_t i, float* out) const {
    const float* src = row_start(i);
    if (col_stride == 1) {
        for (std::uint64_t j = 0; j < cols; ++j) out[j] = src[j];
    } else {
        for (std::uint64_t j = 0; j < cols; ++j) out[j] = src[static_cast<std::ptrdiff_t>(j) * col_stride];
    }
}

}  // namespace quorla::engine
