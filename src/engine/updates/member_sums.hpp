// The sum of each cluster's member rows, as the mean update and the
// balancing phase start from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"

namespace quorla::engine {

// Members per block of a cluster's sum. A running single-precision total of
// m rows can be off by (m - 1) units of roundoff times the sum of their
// magnitudes, and once the total dwarfs its terms they stop registering at
// all: 10M values near 1000 summed in one float come to a mean of 1022.
// Summing consecutive members in blocks of B and adding the block sums in
// order bounds the error by about (B + m / B) units, smallest at B = sqrt(m);
// 4096 is that optimum for clusters of 2^24 members, where float counting
// used to end, and keeps clusters of up to 4096 members (an inverted-file
// list is typically far smaller) on the one plain running total, bit for bit.
inline constexpr std::size_t sum_block = 4096;

// Row c: the members of cluster c (points with labels[i] == c) added in
// point order, in blocks of sum_block members whose sums are added in order.
// The result does not depend on the context's pool size. A label at or
// beyond `clusters` is a fault.
Matrix member_sums(const PointView& points, std::span<const std::uint64_t> labels, std::size_t clusters,
                   const ExecutionContext& context);

}  // namespace quorla::engine
