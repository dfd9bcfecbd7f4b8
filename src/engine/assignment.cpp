// Top-k assignment. The order of clusters for a point is that of a stable
// sort by key (equal keys keep ascending cluster order); a partial selection
// on (key, cluster) pairs picks exactly the same first k, since ordering the
// pairs lexicographically is that stable order.
//
// The scalar level keeps the original point-by-point path. The vector
// levels score tiles of points with the label step's kernels: top-1 through
// the fused choice, larger k through a per-row kept list that only the keys
// beating its current cut enter. Each point's chosen clusters go to a slot
// of its own, so pieces can run on any worker, and the lists are built
// afterwards in point order.
#include "engine/assignment.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/fault.hpp"
#include "engine/kernels.hpp"
#include "engine/tile_driver.hpp"
#include "parallel/pool.hpp"

namespace quorla::engine {

namespace {

[[noreturn]] void nan_fault() {
    raise_fault("Comparison of distances met NaN (the data or centroids contain NaN or overflow to infinity)");
}

// Points per piece when the pool is used: enough tiles that claiming a
// piece costs nothing next to scoring it.
constexpr std::size_t assign_grain = 256;

ClusterLists assign_scalar(const Model& model, const PointView& points, std::size_t take) {
    const Matrix& centroids = *model.centroids;
    const std::size_t n_clusters = model.n_clusters;
    std::vector<float> centroid_norms;
    if (model.euclidean) centroid_norms = squared_norms(centroids);

    ClusterLists lists(n_clusters);
    std::vector<float> packed(points.cols);
    std::vector<float> keys(centroids.rows());
    std::vector<std::pair<float, std::uint64_t>> order_wide;
    order_wide.resize(n_clusters);

    for (std::uint64_t i = 0; i < points.rows; ++i) {
        points.copy_row(i, packed.data());
        const float point_norm = model.euclidean ? dot_f32(packed.data(), packed.data(), packed.size()) : 0.0f;
        centroid_distances(packed, centroids, model.euclidean, centroid_norms, point_norm, keys, KernelLevel::scalar);
        // A sort of two or more keys compares every key at least once, so it
        // meets any NaN; one cluster needs no comparison at all.
        if (n_clusters >= 2) {
            for (std::size_t c = 0; c < n_clusters; ++c) {
                if (std::isnan(keys[c])) nan_fault();
            }
        }
        if (take == 1) {
            std::size_t best = 0;
            for (std::size_t c = 1; c < n_clusters; ++c) {
                if (keys[c] < keys[best]) best = c;
            }
            lists[best].push_back(i);
            continue;
        }
        for (std::size_t c = 0; c < n_clusters; ++c) order_wide[c] = {keys[c], c};
        auto by_key_then_cluster = [](const auto& a, const auto& b) {
            return a.first < b.first || (!(b.first < a.first) && a.second < b.second);
        };
        if (take < n_clusters) {
            std::nth_element(order_wide.begin(), order_wide.begin() + static_cast<std::ptrdiff_t>(take),
                             order_wide.end(), by_key_then_cluster);
        }
        // Which clusters are chosen is all that matters; their order is not.
        for (std::size_t t = 0; t < take; ++t) lists[order_wide[t].second].push_back(i);
    }
    return lists;
}

// Cluster lists from each point's chosen clusters, in point order, with one
// allocation per list.
ClusterLists lists_from_choices(const std::vector<std::uint32_t>& chosen, std::size_t take, std::size_t n_clusters) {
    std::vector<std::size_t> counts(n_clusters, 0);
    for (std::uint32_t c : chosen) ++counts[c];
    ClusterLists lists(n_clusters);
    for (std::size_t c = 0; c < n_clusters; ++c) lists[c].reserve(counts[c]);
    const std::size_t n = take == 0 ? 0 : chosen.size() / take;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t t = 0; t < take; ++t) lists[chosen[i * take + t]].push_back(i);
    }
    return lists;
}

ClusterLists assign_tiled(const tiles::TileKernels& kernels, const Model& model, const PointView& points,
                          std::size_t take) {
    const Matrix& centroids = *model.centroids;
    const std::size_t n_clusters = model.n_clusters;
    const std::size_t dim = points.cols;
    const bool euclidean = model.euclidean;
    const std::size_t rows = kernels.tile_rows;

    if (n_clusters > UINT32_MAX) raise_fault("Too many centroids for the tile kernels");
    std::vector<float> centroid_norms;
    if (euclidean) centroid_norms = squared_norms(centroids);
    const std::vector<float> panel_values = tiles::pack_panels(centroids, n_clusters);
    const tiles::Panels panels{panel_values.data(), euclidean ? centroid_norms.data() : nullptr, n_clusters, dim};
    const tiles::PointSource source = tiles::source_of(points);
    // Every cluster taken: the keys are computed only to find NaN; the
    // fused choice does that without keeping lists.
    const bool fused = take == 1 || take == n_clusters;
    const tiles::Rule rule = euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_first;
    const std::size_t slots = take == n_clusters ? 1 : take;

    // The pool is used only if it is already there: assignment must not
    // bring it up (only training's thread setting may decide its size).
    parallel::PoolRegistry& registry = parallel::global_registry();
    const bool pooled = registry.state() == parallel::PoolState::created && points.rows > assign_grain;
    const std::size_t n_workers = pooled ? registry.thread_count() : 1;

    // Per worker: the tile, its point norms, one unpacked row for the norm
    // of a strided point, the kept keys, one spilled key vector and the
    // rows' cuts; and apart, the kept clusters and the tile's choices.
    const std::size_t kept_stride = std::max<std::size_t>(take, 16);
    const std::size_t kept = fused ? 0 : rows * kept_stride;
    const std::size_t stride = (rows * dim + rows + dim + kept + 2 * rows + 15) / 16 * 16;
    tiles::AlignedFloats scratch(n_workers * stride);
    std::vector<std::uint32_t> kept_clusters(n_workers * kept);
    std::vector<std::uint32_t> tile_choices(n_workers * rows * slots);
    std::vector<std::uint32_t> chosen(points.rows * slots);

    auto run = [&](std::size_t begin, std::size_t end, std::size_t worker) {
        float* tile = scratch.data() + worker * stride;
        float* tile_norms = tile + rows * dim;
        float* row = tile_norms + rows;
        tiles::TopScratch top{kept_stride, row + dim, kept_clusters.data() + worker * kept, row + dim + kept,
                              row + dim + kept + rows};
        std::uint32_t* choices = tile_choices.data() + worker * rows * slots;
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint64_t first = t * rows;
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(rows, points.rows - first));
            kernels.pack(source, first, count, tile);
            if (euclidean) {
                for (std::size_t r = 0; r < count; ++r) {
                    const float* x = points.row_start(first + r);
                    if (!points.row_contiguous()) {
                        points.copy_row(first + r, row);
                        x = row;
                    }
                    tile_norms[r] = dot_f32(x, x, dim);
                }
                std::fill(tile_norms + count, tile_norms + rows, 0.0f);
            }
            const bool clean = fused ? kernels.label(tile, count, tile_norms, panels, rule, choices)
                                     : kernels.top(tile, count, tile_norms, panels, euclidean, take, top, choices);
            if (!clean) nan_fault();
            std::copy(choices, choices + count * slots, chosen.begin() + static_cast<std::ptrdiff_t>(first * slots));
        }
    };
    const std::size_t n_tiles = (points.rows + rows - 1) / rows;
    if (pooled) {
        registry.for_each_piece(n_tiles, std::max<std::size_t>(1, assign_grain / rows), run);
    } else {
        run(0, n_tiles, 0);
    }

    if (take == n_clusters) {
        ClusterLists lists(n_clusters);
        for (auto& list : lists) {
            list.resize(points.rows);
            for (std::uint64_t i = 0; i < points.rows; ++i) list[i] = i;
        }
        return lists;
    }
    return lists_from_choices(chosen, take, n_clusters);
}

}  // namespace

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k) {
    return assign(model, points, k, kernel_level());
}

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k, KernelLevel level) {
    if (!model.trained) return ClusteringError::not_trained();
    if (k == 0) return ClusteringError::invalid_parameter("k must be positive");
    if (!model.centroids) raise_fault("Trained model without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (points.cols != centroids.cols()) return ClusteringError::dimension_mismatch(centroids.cols(), points.cols);
    if (centroids.rows() < model.n_clusters) raise_fault("Fewer centroid rows than clusters");

    const std::size_t n_clusters = model.n_clusters;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k, n_clusters));
    const tiles::TileKernels* kernels = tiles::kernels_for_level(level);
    // One cluster: nothing to compare, so no key is needed (nor a NaN check).
    if (kernels == nullptr || n_clusters == 1) return assign_scalar(model, points, take);
    return assign_tiled(*kernels, model, points, take);
}

}  // namespace quorla::engine
