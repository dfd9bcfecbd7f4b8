// Top-k assignment. The order of clusters for a point is that of a stable
// sort by key (equal keys keep ascending cluster order); a selection on
// (key, cluster) pairs picks exactly the same first k, since ordering the
// pairs lexicographically is that stable order.
//
// Top-1 goes through the label kernels' fused choice, with ties to the lower
// index in both modes; larger k through TopSink, whose kept lists only the
// keys beating their current cut enter. Where the caller's screening allows
// it (screens_top), both go through the bf16 screen instead, with the same
// results. A few points take each point's keys whole instead, with the
// same order. Each point's choices go to a slot of its own, and the lists
// are built afterwards in point order.
#include "engine/assignment.hpp"

#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/scan/scan.hpp"
#include "engine/scan/screened_top.hpp"
#include "engine/core/value_check.hpp"

namespace quorla::engine {
namespace {

// The refusals assign and search share, in the order callers see them.
std::optional<ClusteringError> refuse_query(const Model& model, const PointView& points, std::uint64_t k) {
    if (!model.trained) return ClusteringError::not_trained();
    if (k == 0) return ClusteringError::invalid_parameter("k must be positive");
    if (!model.centroids) raise_fault("Trained model without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (points.cols != centroids.cols()) return ClusteringError::dimension_mismatch(centroids.cols(), points.cols);
    if (centroids.rows() < model.n_clusters) raise_fault("Fewer centroid rows than clusters");
    return std::nullopt;
}

// `size` zeros, written a block at a time with stop checks: a result of
// tens of millions of entries takes longer to zero than a stop may wait.
template <class T>
std::vector<T> zeroed(std::size_t size, const ExecutionContext& context) {
    constexpr std::size_t block = std::size_t{1} << 20;
    std::vector<T> values;
    values.reserve(size);
    while (values.size() < size) {
        context.check_stop();
        values.resize(values.size() + std::min(block, size - values.size()));
    }
    return values;
}

std::shared_ptr<const CentroidPanels> panels_of(const Model& model, const ExecutionContext& context,
                                                PanelCache* cache) {
    const Matrix& centroids = *model.centroids;
    if (cache != nullptr) return cache->panels(centroids, model.n_clusters, model.euclidean, context.level);
    return std::make_shared<const CentroidPanels>(centroids, model.n_clusters, model.euclidean, context.level);
}

// A few points are scored one at a time: a tile holds a vector of points
// for each centroid, so for them it would spend most of its lanes on
// padding rows, and all of its work on one worker. Each point's keys come
// from the single-point kernel (the bits of a tile's), the clusters split
// over the pool; its first `take` clusters go to chosen[i * take ...] in
// stable key order, and their keys to `keys_out` when it is not empty.
// On AMD EPYC (Zen 4), 2 threads, d = 384: a point took 0.06 ms against
// 4,096 clusters and 3-4 ms against 65,536 (memory bound), where a tile of
// 1 to 16 points took 1.4 and 24 ms.
constexpr std::uint64_t few_points = 4;

void choose_for_few(const ExecutionContext& context, const CentroidPanels& panels, const PointView& points,
                    std::size_t take, std::span<std::uint32_t> chosen, std::span<float> keys_out) {
    const std::size_t k = panels.clusters();
    const std::size_t dim = points.cols;
    std::vector<float> row(dim);
    std::vector<float> keys(k);
    std::vector<std::uint32_t> order;
    for (std::uint64_t i = 0; i < points.rows; ++i) {
        points.copy_row(i, row.data());
        const float norm = panels.euclidean() ? dot_f32(row.data(), row.data(), dim) : 0.0f;
        centroid_keys(context, panels, row, norm, keys);
        const std::span<std::uint32_t> out = chosen.subspan(i * take, take);
        if (take == 1) {
            std::uint32_t best = 0;
            for (std::uint32_t j = 1; j < k; ++j) {
                if (keys[j] < keys[best]) best = j;
            }
            out[0] = best;
        } else {
            order.resize(k);
            std::iota(order.begin(), order.end(), std::uint32_t{0});
            std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(),
                              [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b] || (keys[a] == keys[b] && a < b); });
            std::copy_n(order.begin(), take, out.begin());
        }
        if (!keys_out.empty()) {
            for (std::size_t t = 0; t < take; ++t) keys_out[i * take + t] = keys[out[t]];
        }
    }
}

}  // namespace

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k,
                             const ExecutionContext& context, const ScreenOptions& screening, PanelCache* cache) {
    if (std::optional<ClusteringError> refused = refuse_query(model, points, k)) return *refused;
    const Matrix& centroids = *model.centroids;

    const std::size_t n_clusters = model.n_clusters;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k, n_clusters));
    const bool every_cluster = take == n_clusters;
    // With one cluster there is no comparison, so no key is needed at all.
    // Otherwise the keys are computed even when every cluster is taken,
    // since a NaN among them is a fault; the fused top-1 choice finds it
    // without keeping lists.
    const std::size_t slots = every_cluster ? 1 : take;
    // The lists name rows x take indices, each also a slot of a Python list;
    // a result that cannot fit is refused before any work.
    const std::size_t listed = checked_product(points.rows, take);
    const std::size_t choices = n_clusters > 1 ? checked_product(points.rows, slots) : 0;
    context.require_memory(checked_sum(checked_product(listed, 16), checked_product(choices, 4)));
    const ValueBounds bounds = n_clusters > 1 ? ValueBounds::no_overflow : ValueBounds::finite;
    if (std::optional<ClusteringError> refused = check_values(points, bounds, context)) return *refused;

    std::vector<std::uint32_t> chosen;
    if (n_clusters > 1) {
        const std::shared_ptr<const CentroidPanels> held = panels_of(model, context, cache);
        const CentroidPanels& panels = *held;
        chosen = zeroed<std::uint32_t>(choices, context);
        std::uint64_t screened = 0;
        if (points.rows <= few_points) {
            choose_for_few(context, panels, points, slots, chosen, {});
            screened = points.rows;
        } else if (screens_top(screening, n_clusters, points.cols, take, points.rows)) {
            screened = screened_top(context, panels, centroids, points, screening, take, chosen).rows;
        }
        if (screened < points.rows) {
            const PointView rest = rows_from(points, screened);
            const std::span<std::uint32_t> rest_chosen = std::span(chosen).subspan(screened * slots);
            if (slots == 1) {
                NearestSink<std::uint32_t> sink(
                    model.euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_first, rest_chosen);
                scan_points(context, panels, rest, nullptr, sink);
            } else {
                TopSink sink(take, rest_chosen);
                scan_points(context, panels, rest, nullptr, sink);
            }
        }
    }
    if (!every_cluster) return group_by_cluster(std::span<const std::uint32_t>(chosen), take, n_clusters);

    ClusterLists lists(n_clusters);
    for (auto& list : lists) {
        list.resize(points.rows);
        for (std::uint64_t i = 0; i < points.rows; ++i) list[i] = i;
    }
    return lists;
}

Outcome<SearchResult> search(const Model& model, const PointView& points, std::uint64_t k,
                             const ExecutionContext& context, const ScreenOptions& screening, PanelCache* cache) {
    if (std::optional<ClusteringError> refused = refuse_query(model, points, k)) return *refused;
    const Matrix& centroids = *model.centroids;

    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k, model.n_clusters));
    // Per entry: a float distance and an int64 cluster here, the same again
    // in the arrays handed to Python, and the 32-bit choice of the scan.
    const std::size_t entries = checked_product(points.rows, take);
    context.require_memory(checked_product(entries, 28));
    const ValueBounds bounds = model.n_clusters > 1 ? ValueBounds::no_overflow : ValueBounds::finite;
    if (std::optional<ClusteringError> refused = check_values(points, bounds, context)) return *refused;

    SearchResult result{take, zeroed<float>(entries, context), zeroed<std::int64_t>(entries, context)};
    std::vector<std::uint32_t> chosen = zeroed<std::uint32_t>(entries, context);
    const std::shared_ptr<const CentroidPanels> held = panels_of(model, context, cache);
    const CentroidPanels& panels = *held;
    std::uint64_t screened = 0;
    if (model.n_clusters > 1 && points.rows <= few_points) {
        choose_for_few(context, panels, points, take, chosen, result.distances);
        screened = points.rows;
    } else if (screens_top(screening, model.n_clusters, points.cols, take, points.rows)) {
        screened = screened_top(context, panels, centroids, points, screening, take, chosen, result.distances).rows;
    }
    if (model.n_clusters == 1) {
        // Nothing is compared, so a key that is NaN (a centroid that
        // overflowed in training, say) is handed out as it is, beside
        // cluster 0.
        KeysSink sink(result.distances);
        scan_points(context, panels, points, nullptr, sink);
    } else if (screened < points.rows) {
        const std::size_t from = screened * take;
        TopSink sink(take, std::span(chosen).subspan(from), std::span(result.distances).subspan(from));
        scan_points(context, panels, rows_from(points, screened), nullptr, sink);
    }
    context.for_each_row_block(points.rows, take, [&](std::uint64_t first, std::uint64_t last) {
        for (std::size_t e = first * take; e < last * take; ++e) {
            result.clusters[e] = chosen[e];
            // The keys rank the clusters; what is handed out is the distance
            // (a key is |x|^2 + |c|^2 - 2 x.c, which rounding can take below
            // 0) or the inner product (the key is its negation).
            const float key = result.distances[e];
            result.distances[e] = model.euclidean ? std::max(key, 0.0f) : -key;
        }
    });
    return result;
}

}  // namespace quorla::engine
