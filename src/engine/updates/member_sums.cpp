// Member sums. Workers take parts of the work that never share an element:
// runs of clusters with about equal member counts, whose rows each reads
// whole, or blocks of columns of every row. Either way every element is
// still summed over a cluster's members in order, so the split changes no
// bit of the result, and with contiguous rows the inner loop is a plain
// vectorisable add.
#include "engine/updates/member_sums.hpp"

#include <algorithm>
#include <vector>

#include "engine/core/fault.hpp"

namespace quorla::engine {
namespace {

// From this many columns workers take runs of clusters. Splitting wide rows
// by columns ran slower on two workers than one worker alone (d = 384:
// 3.0 ms against 2.3 ms for 20,000 rows), as a core's prefetch brings in
// whole rows either way; split by clusters, two workers took 1.5 ms. On
// narrower rows a run's skipping of the other runs' rows, unpredictably,
// costs more than that (d = 192: 6.3 ms against 5.8 ms for 100,000 rows).
constexpr std::size_t least_cluster_split_dim = 256;

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

// A part of the work: the members of clusters [low, high), columns
// [first_column, last_column).
struct SumPart {
    std::size_t low, high, first_column, last_column;
};

// Runs of clusters, cut where the members counted so far pass an equal
// share, each over every column.
std::vector<SumPart> cluster_runs(const std::vector<std::uint64_t>& counts, std::uint64_t members, std::size_t runs,
                                  std::size_t dim) {
    std::vector<SumPart> parts;
    std::size_t low = 0;
    std::uint64_t seen = 0;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        seen += counts[c];
        const bool cut = static_cast<double>(seen) * static_cast<double>(runs) >=
                         static_cast<double>(parts.size() + 1) * static_cast<double>(members);
        if ((cut && parts.size() + 1 < runs) || c + 1 == counts.size()) {
            parts.push_back({low, c + 1, 0, dim});
            low = c + 1;
        }
    }
    return parts;
}

std::vector<SumPart> column_blocks(std::size_t clusters, std::size_t dim, std::size_t workers) {
    const std::size_t columns = sum_columns(dim, workers);
    std::vector<SumPart> parts;
    for (std::size_t first = 0; first < dim; first += columns) parts.push_back({0, clusters, first, std::min(dim, first + columns)});
    return parts;
}

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
    const std::size_t workers = context.workers();
    const std::vector<SumPart> parts = dim >= least_cluster_split_dim && clusters > 1
                                           ? cluster_runs(counts, points.rows, std::min(clusters, workers), dim)
                                           : column_blocks(clusters, dim, workers);
    context.for_each_piece(parts.size(), 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t p = begin; p < end; ++p) {
            const auto [low, high, first_column, last_column] = parts[p];
            std::vector<std::size_t> filled(wide, 0);
            auto close_block = [&](std::size_t c) {
                float* block = blocks.row(block_row[c]).data();
                float* sum = sums.row(c).data();
                for (std::size_t j = first_column; j < last_column; ++j) {
                    sum[j] += block[j];
                    block[j] = 0.0f;
                }
                filled[block_row[c]] = 0;
            };
            for (std::uint64_t i = 0; i < points.rows; ++i) {
                const std::uint64_t c = labels[i];
                if (c < low || c >= high) continue;
                const std::size_t b = block_row[c];
                if (b == no_block) {
                    add_columns(points, i, first_column, last_column, sums.row(c).data());
                    continue;
                }
                add_columns(points, i, first_column, last_column, blocks.row(b).data());
                if (++filled[b] == sum_block) close_block(c);
            }
            for (std::size_t c = low; c < high; ++c) {
                if (block_row[c] != no_block && filled[block_row[c]] > 0) close_block(c);
            }
        }
    });
    return sums;
}

}  // namespace quorla::engine
