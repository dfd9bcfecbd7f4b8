// Straightforward versions of the balancing phase and the medoid update,
// written the slow way on purpose: all centroid norms recomputed for every
// visited point, members gathered by scanning every label, every pair's
// distance computed from both sides, one thread. They define what the fast
// paths must reproduce bit for bit, and the benchmark times them.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"
#include "engine/updates/medoids.hpp"
#include "engine/core/model.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::reference {

using engine::Matrix;
using engine::Model;
using engine::PointView;

inline std::vector<float> row_of(const PointView& points, std::uint64_t i) {
    std::vector<float> row(points.cols);
    points.copy_row(i, row.data());
    return row;
}

inline void update_medoids(Model& model, const PointView& points) {
    for (std::uint64_t c = 0; c < model.n_clusters; ++c) {
        if (model.cluster_sizes[c] == 0.0f) continue;
        const std::vector<std::uint64_t> members = engine::members_of(model, c);
        if (members.empty()) continue;
        std::uint64_t best = members[0];
        float best_total = std::numeric_limits<float>::infinity();
        for (std::uint64_t i : members) {
            const std::vector<float> x = row_of(points, i);
            float total = 0.0f;
            for (std::uint64_t j : members) {
                if (j == i) continue;
                const std::vector<float> y = row_of(points, j);
                total += engine::medoid_distance(x.data(), y.data(), x.size(), model.euclidean);
            }
            if (total < best_total) {
                best = i;
                best_total = std::min(total, best_total);
            }
        }
        model.medoid_indices[c] = best;
        points.copy_row(best, model.centroids->row(c).data());
    }
}

inline void balance(Model& model, const PointView& points, const std::optional<std::vector<float>>& norms,
                    engine::KernelLevel level) {
    const std::size_t k = model.n_clusters;
    const std::size_t dim = points.cols;
    Matrix& centroids = *model.centroids;
    // Float sizes: below 2^24 members the model's sizes must be exactly these.
    std::vector<float> sizes(model.cluster_sizes.begin(), model.cluster_sizes.end());
    Matrix sums(k, dim);
    std::vector<std::uint64_t> counts(k, 0);  // only to know when a cluster empties
    for (std::uint64_t i = 0; i < points.rows; ++i) {
        for (std::size_t j = 0; j < dim; ++j) sums.row(model.labels[i])[j] += points.at(i, j);
        ++counts[model.labels[i]];
    }
    auto range = [&] {
        float lo = std::numeric_limits<float>::infinity(), hi = -lo;
        for (float s : sizes) {
            lo = std::fmin(lo, s);
            hi = std::fmax(hi, s);
        }
        return std::pair{lo, hi};
    };
    auto mean_row = [&](std::size_t c, float divisor) {
        for (std::size_t j = 0; j < dim; ++j) centroids.row(c)[j] = sums.row(c)[j] / divisor;
        if (!model.euclidean) {
            auto row = centroids.row(c);
            const float q = engine::dot_f32(row.data(), row.data(), dim);
            if (q > 0.0f) {
                const float t = std::sqrt(q);
                for (float& v : row) v = v / t;
            }
        }
    };
    auto [lo, hi] = range();
    float penalty = 0.0f;
    const float limit = static_cast<float>(model.max_balance_diff) + 0.5f;
    while (hi - lo > limit) {
        float next = std::numeric_limits<float>::infinity();
        for (std::uint64_t i = 0; i < points.rows; ++i) {
            const std::vector<float> x = row_of(points, i);
            const std::uint64_t c = model.labels[i];
            const float s = sizes[c];
            for (std::size_t j = 0; j < dim; ++j) sums.row(c)[j] = sums.row(c)[j] + -1.0f * x[j];
            if (s > 0.0f) {
                if (model.use_medoids) {
                    engine::update_cluster_medoid(model, points, c, engine::members_of(model, c));
                } else if (counts[c] > 1) {
                    mean_row(c, s + -1.0f);
                }
            }
            sizes[c] = (sizes[c] + -1.0f) + 0.15f;
            const engine::CentroidPanels fresh(centroids, k, model.euclidean, level);  // norms recomputed too
            std::vector<float> d(k);
            engine::centroid_keys(fresh, x, model.euclidean ? (*norms)[i] : 0.0f, d);
            std::size_t b = 0;
            if (std::isinf(penalty)) {
                for (std::size_t j = 1; j < k; ++j) {
                    if (std::isnan(d[b]) || std::isnan(d[j])) quorla::raise_fault("NaN");
                    if (sizes[j] < sizes[b] || (sizes[j] == sizes[b] && d[j] < d[b])) b = j;
                }
            } else {
                std::vector<float> cost(k);
                bool overflow = false;
                for (std::size_t j = 0; j < k; ++j) {
                    const float p = sizes[j] * penalty;
                    overflow = overflow || std::isinf(p);
                    cost[j] = d[j] + p;
                }
                for (std::size_t j = 1; j < k; ++j) {
                    if (overflow) {
                        if (sizes[j] < sizes[b] || (sizes[j] == sizes[b] && d[j] < d[b])) b = j;
                    } else {
                        if (std::isnan(cost[b]) || std::isnan(cost[j])) quorla::raise_fault("NaN");
                        if (cost[b] > cost[j]) b = j;
                    }
                }
            }
            float r = std::numeric_limits<float>::infinity();
            for (std::size_t j = 0; j < k; ++j) {
                const float h = sizes[c] - sizes[j];
                if (sizes[c] > sizes[j] && h != 0.0f) {
                    const float q = (d[j] - d[c]) / h;
                    if (r > q) r = q;
                }
            }
            if (penalty < r && r < next) next = r;
            sizes[b] = sizes[b] + 1.0f;
            for (std::size_t j = 0; j < dim; ++j) sums.row(b)[j] = sums.row(b)[j] + 1.0f * x[j];
            if (model.use_medoids) {
                engine::update_cluster_medoid(model, points, b, engine::members_of(model, b));
            } else {
                mean_row(b, sizes[b]);
            }
            sizes[c] = sizes[c] + -0.15f;
            --counts[c];
            ++counts[b];
            model.labels[i] = b;
        }
        std::tie(lo, hi) = range();
        penalty = next * 2.5f;
    }
    if (model.use_medoids) {
        for (std::uint64_t j = 0; j < k; ++j) {
            if (sizes[j] != 0.0f) engine::update_cluster_medoid(model, points, j, engine::members_of(model, j));
        }
    }
    model.cluster_sizes.assign(sizes.begin(), sizes.end());
}

}  // namespace quorla::reference
