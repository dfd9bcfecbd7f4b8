// Cluster sizes: counts of points that the empty-cluster repair and the
// balancing phase move in fractional steps, so they are not integers.
//
// A single-precision float counts every point only up to 2^24; past it,
// adding 1.0 no longer changes it, so a size held as a float stops counting
// and means divided by it drift. Sizes are therefore held as doubles that
// behave exactly as floats below 2^24: every step whose result lies below
// it is rounded to single precision, and since a double holds the exact sum,
// difference, product or quotient of two floats before that one rounding
// (53 >= 2 * 24 + 2 bits), the result is the float operation's, bit for bit,
// drift included. At 2^24 and beyond a step keeps its double result, which
// counts exactly up to 2^53.
#pragma once

#include <cmath>
#include <cstdint>

namespace quorla::engine {

inline constexpr double float_count_limit = 16777216.0;  // 2^24

// The size a step produces from its exact (or double-rounded) result.
inline double settle_size(double value) {
    return std::fabs(value) < float_count_limit ? static_cast<double>(static_cast<float>(value)) : value;
}

inline double size_from_count(std::uint64_t count) { return settle_size(static_cast<double>(count)); }

// a + b as one size step.
inline double add_sizes(double a, double b) { return settle_size(a + b); }

// value / size, rounded once to single precision: the float division while
// size is a float, a true division by the exact count beyond.
inline float divide_by_size(float value, double size) {
    return static_cast<float>(static_cast<double>(value) / size);
}

// A size scaled by a single-precision factor (a balancing penalty), as a
// single-precision cost term.
inline float scale_size(double size, float factor) {
    return static_cast<float>(size * static_cast<double>(factor));
}

}  // namespace quorla::engine
