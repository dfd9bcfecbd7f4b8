// The top-k scan of assign and search through the bf16 screen: each tile's
// approximate keys (screen/bf16_screen.hpp) pick, per point, the few clusters
// that can be among its `take` nearest, and only those are scored with the
// level's exact chain. Clusters, keys and their order are TopSink's (and
// NearestSink's, at take 1) bit for bit; points whose window is not finite
// or holds too many clusters are scored in full by the level's top kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {

// Whether a top-`take` scan of this shape goes through the screen: never
// when off, for fewer than two clusters, when every cluster is taken or the
// clusters are too many for a worker's buffer of keys; always when forced;
// automatically where ScreenPolicy::shape_pays, `take` is a small share of
// the clusters and the points are enough to pay for rounding the centroids
// (for the dimension screen: `take` is 1, and the points and clusters are
// enough to pay for finding its axes).
bool screens_top(const ScreenOptions& options, std::size_t n_clusters, std::size_t dim, std::size_t take,
                 std::uint64_t n_points);

// What a screened top-k scan covered: its first `rows` points (all of
// them, or in automatic mode a sample whose counts said the screen would
// not pay for the rest), and what it did there.
struct ScreenedRows {
    std::uint64_t rows = 0;
    ScreenWork work;
    ScreenKind kind = ScreenKind::bf16;  // the screen that ran
};

// What TopSink(take, out, keys) writes through scan_points, through the
// screen of options.unit: each point's first `take` clusters in stable key
// order into out[point * take + t], and their keys into keys (when not
// empty), for the leading points it covers; the caller scans the rest
// plainly. A NaN among the keys of a point faults, as the plain scan does.
ScreenedRows screened_top(const ExecutionContext& context, const CentroidPanels& panels, const Matrix& centroids,
                          const PointView& points, const ScreenOptions& options, std::size_t take,
                          std::span<std::uint32_t> out, std::span<float> keys = {});

// Points [first, rows) of `points` as a view of their own.
inline PointView rows_from(const PointView& points, std::uint64_t first) {
    return {points.row_start(first), points.rows - first, points.cols, points.row_stride, points.col_stride};
}

}  // namespace quorla::engine
