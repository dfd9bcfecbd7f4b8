// Top-k assignment. The order of clusters for a point is that of a stable
// sort by key (equal keys keep ascending cluster order); a partial selection
// on (key, cluster) pairs picks exactly the same first k, since ordering the
// pairs lexicographically is that stable order.
#include "engine/assignment.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/fault.hpp"
#include "engine/kernels.hpp"

namespace quorla::engine {

Outcome<ClusterLists> assign(const Model& model, const PointView& points, std::uint64_t k) {
    if (!model.trained) return ClusteringError::not_trained();
    if (k == 0) return ClusteringError::invalid_parameter("k must be positive");
    if (!model.centroids) raise_fault("Trained model without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (points.cols != centroids.cols()) return ClusteringError::dimension_mismatch(centroids.cols(), points.cols);
    if (centroids.rows() < model.n_clusters) raise_fault("Fewer centroid rows than clusters");

    const std::size_t n_clusters = model.n_clusters;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k, n_clusters));
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
        centroid_distances(packed, centroids, model.euclidean, centroid_norms, point_norm, keys);
        // A sort of two or more keys compares every key at least once, so it
        // meets any NaN; one cluster needs no comparison at all.
        if (n_clusters >= 2) {
            for (std::size_t c = 0; c < n_clusters; ++c) {
                if (std::isnan(keys[c])) {
                    raise_fault("Comparison of distances met NaN (the data or centroids contain NaN or overflow "
                                "to infinity)");
                }
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

}  // namespace quorla::engine
