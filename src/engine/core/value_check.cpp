// The value check. Bounds on the largest magnitude m over d dimensions:
//  - above: every key |x|^2 + |c|^2 - 2 x.c is at most 4 d m^2, so
//    m <= sqrt(FLT_MAX / 4d) keeps them all finite;
//  - below: m^2 >= 2^-102 keeps the largest squares 24 bits clear of the
//    subnormal range, so their last bits are still there (m >= 2^-51).
// Data that is all zeros is fine: its points are identical, not unresolved.
#include "engine/core/value_check.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>

namespace quorla::engine {
namespace {

constexpr double smallest_magnitude = 0x1p-51;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// Largest |x| of a row, passing over NaN (a NaN never compares greater).
float largest_in_row(const PointView& points, std::uint64_t i, std::uint64_t cols) {
    float largest = 0.0f;
    if (points.row_contiguous()) {
        const float* x = points.row_start(i);
        for (std::uint64_t j = 0; j < cols; ++j) {
            const float a = std::fabs(x[j]);
            largest = a > largest ? a : largest;
        }
    } else {
        for (std::uint64_t j = 0; j < cols; ++j) {
            const float a = std::fabs(points.at(i, j));
            largest = a > largest ? a : largest;
        }
    }
    return largest;
}

}  // namespace

// Blocks of rows are read in any order; the smallest row holding an
// infinity and the largest magnitude are the same whichever order it is.
// Magnitudes are not negative, so their bit patterns order as they do.
std::optional<ClusteringError> check_values(const PointView& points, ValueBounds bounds,
                                            const ExecutionContext& context, const char* what) {
    const std::uint64_t rows = points.row_stride == 0 ? std::min<std::uint64_t>(points.rows, 1) : points.rows;
    const std::uint64_t cols = points.col_stride == 0 ? std::min<std::uint64_t>(points.cols, 1) : points.cols;
    std::atomic<std::uint64_t> first_infinite{rows};
    std::atomic<std::uint32_t> largest_bits{0};
    context.without_absent_pool().for_each_row_block(rows, cols, [&](std::uint64_t first, std::uint64_t last) {
        float largest = 0.0f;
        for (std::uint64_t i = first; i < last; ++i) {
            const float row_largest = largest_in_row(points, i, cols);
            if (std::isinf(row_largest)) {
                std::uint64_t seen = first_infinite.load(std::memory_order_relaxed);
                while (i < seen && !first_infinite.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
                }
                break;
            }
            largest = std::max(largest, row_largest);
        }
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(largest);
        std::uint32_t seen = largest_bits.load(std::memory_order_relaxed);
        while (bits > seen && !largest_bits.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
        }
    });
    const std::string noun = what;
    if (const std::uint64_t i = first_infinite.load(); i < rows) {
        std::uint64_t j = 0;
        while (!std::isinf(points.at(i, j))) ++j;
        return ClusteringError::invalid_data(noun + " contains an infinite value (row " + std::to_string(i) +
                                             ", column " + std::to_string(j) + "); only finite values can be clustered");
    }
    const float largest = std::bit_cast<float>(largest_bits.load());
    if (bounds == ValueBounds::finite || largest == 0.0f) return std::nullopt;

    const double dims = static_cast<double>(std::max<std::uint64_t>(points.cols, 1));
    const double largest_magnitude = std::sqrt(static_cast<double>(FLT_MAX) / (4.0 * dims));
    const bool too_large = largest > largest_magnitude;
    const bool too_small = bounds == ValueBounds::clusterable && largest < smallest_magnitude;
    if (!too_large && !too_small) return std::nullopt;
    std::string range = bounds == ValueBounds::clusterable
                            ? "between " + number(smallest_magnitude) + " and " + number(largest_magnitude)
                            : "at most " + number(largest_magnitude);
    return ClusteringError::invalid_data(
        noun + " values are out of the range single-precision distances can handle: the largest magnitude is " +
        number(largest) + ", and with " + std::to_string(points.cols) + (points.cols == 1 ? " dimension" : " dimensions") +
        " it must be " + range + "; rescale the data, for example by dividing it by its largest magnitude");
}

}  // namespace quorla::engine
