// Member sums. Workers take blocks of columns: every element is still summed
// over the points in order, so the split changes no bit of the result, and
// with contiguous rows the inner loop is a plain vectorisable add.
#include "engine/updates/member_sums.hpp"

#include <algorithm>
#include <vector>

#include "engine/core/fault.hpp"

namespace quorla::engine {
namespace {

// Columns per task: whole cache lines of a sums row, and as few tasks as
// there are workers. Each task reads every point's row for its columns, so
// narrow column blocks read the points in scattered pieces of a few lines;
// at d = 384 on two workers, 64 columns made the update three times slower
// than 192.
constexpr std::size_t least_sum_columns = 64;

std::size_t sum_columns(std::size_t dim, std::size_t workers) {
    const std::size_t share = (dim + workers - 1) / std::max<std::size_t>(workers, 1);
    return std::max(least_sum_columns, (share + 15) / 16 * 16);
}

constexpr std::size_t no_block = SIZE_MAX;

void add_columns(const PointView& points, std::uint64_t i, std::size_t low, std::size_t high, float* row) {
    if (points.row_contiguous()) {
        const float* x = points.row_start(i);
        for (std::size_t j = low; j < high; ++j) row[j] += x[j];
    } else {
        for (std::size_t j = low; j < high; ++j) row[j] += points.at(i, j);
    }
}

}  // namespace

Matrix member_sums(const PointView& points, std::span<const std::uint64_t> labels, std::size_t clusters,
                   const ExecutionContext& context) {
    if (labels.size() != points.rows) raise_fault("Labels do not match the point count");
    std::vector<std::uint64_t> counts(clusters, 0);
    for (std::uint64_t label : labels) {
        if (label >= clusters) raise_fault("Label beyond the cluster count");
        ++counts[label];
    }
    // Only clusters of more than one block need a row for the open block.
    std::vector<std::size_t> block_row(clusters, no_block);
    std::size_t wide = 0;
    for (std::size_t c = 0; c < clusters; ++c) {
        if (counts[c] > sum_block) block_row[c] = wide++;
    }

    const std::size_t dim = points.cols;
    Matrix sums(clusters, dim);
    Matrix blocks(wide, dim);
    const std::size_t columns = sum_columns(dim, context.workers());
    const std::size_t pieces = (dim + columns - 1) / columns;
    context.for_each_piece(pieces, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        const std::size_t low = begin * columns;
        const std::size_t high = std::min(dim, end * columns);
        std::vector<std::size_t> filled(wide, 0);
        auto close_block = [&](std::size_t c) {
            float* block = blocks.row(block_row[c]).data();
            float* sum = sums.row(c).data();
            for (std::size_t j = low; j < high; ++j) {
                sum[j] += block[j];
                block[j] = 0.0f;
            }
            filled[block_row[c]] = 0;
        };
        for (std::uint64_t i = 0; i < points.rows; ++i) {
            const std::uint64_t c = labels[i];
            const std::size_t b = block_row[c];
            if (b == no_block) {
                add_columns(points, i, low, high, sums.row(c).data());
                continue;
            }
            add_columns(points, i, low, high, blocks.row(b).data());
            if (++filled[b] == sum_block) close_block(c);
        }
        for (std::size_t c = 0; c < clusters; ++c) {
            if (block_row[c] != no_block && filled[block_row[c]] > 0) close_block(c);
        }
    });
    return sums;
}

}  // namespace quorla::engine
