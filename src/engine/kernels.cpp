// Distance kernels and the label step.
//
// The label step works on contiguous ranges of points, one range per task,
// with scratch owned by the worker that runs it: a packed copy of the point
// (so that any strides cost one gather per point, not one per centroid) and
// the dot products against all centroids. Nothing is allocated per point.
#include "engine/kernels.hpp"

#include <cmath>
#include <string>

#include "engine/fault.hpp"
#include "parallel/pool.hpp"

namespace quorla::engine {
namespace {

// Eight partial sums in two 4-lane vectors: 4 lanes is the native width of
// every baseline target (SSE2, NEON), so the sums stay in registers, and two
// independent chains hide the latency of the additions. The compiler may not
// reassociate a plain loop, so the lanes are spelled out.
typedef float Lanes4 __attribute__((vector_size(16)));

// Points per task of the label step: large enough that the dispatch cost is
// noise, small enough that two workers finish close together.
constexpr std::size_t label_grain = 256;

[[noreturn]] void nan_fault() {
    raise_fault("Comparison of distances met NaN (the data or centroids contain NaN or overflow to infinity)");
}

}  // namespace

float dot_f32(const float* a, const float* b, std::size_t n) {
    Lanes4 low = {0, 0, 0, 0};
    Lanes4 high = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Lanes4 a0, a1, b0, b1;
        __builtin_memcpy(&a0, a + i, sizeof a0);  // unaligned loads, no aliasing games
        __builtin_memcpy(&a1, a + i + 4, sizeof a1);
        __builtin_memcpy(&b0, b + i, sizeof b0);
        __builtin_memcpy(&b1, b + i + 4, sizeof b1);
        low += a0 * b0;
        high += a1 * b1;
    }
    Lanes4 sum = low + high;
    float total = (sum[0] + sum[2]) + (sum[1] + sum[3]);
    for (; i < n; ++i) total += a[i] * b[i];
    return total;
}

std::vector<float> squared_norms(const PointView& matrix) {
    std::vector<float> norms(matrix.rows);
    std::vector<float> row(matrix.cols);
    for (std::uint64_t i = 0; i < matrix.rows; ++i) {
        const float* values = matrix.row_start(i);
        if (!matrix.row_contiguous()) {
            matrix.copy_row(i, row.data());
            values = row.data();
        }
        norms[i] = dot_f32(values, values, matrix.cols);
    }
    return norms;
}

void centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                        std::span<const float> centroid_norms, float point_norm, std::span<float> keys) {
    if (centroids.cols() != point.size()) raise_fault("Centroid and point dimensions differ");
    if (keys.size() != centroids.rows()) raise_fault("Key vector does not match the centroid count");
    if (euclidean && centroid_norms.size() != centroids.rows()) raise_fault("Centroid norms missing");
    for (std::size_t j = 0; j < centroids.rows(); ++j) {
        float dot = dot_f32(centroids.row(j).data(), point.data(), point.size());
        keys[j] = euclidean ? euclidean_key(dot, centroid_norms[j], point_norm) : -dot;
    }
}

std::vector<float> centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                                      std::span<const float> centroid_norms, float point_norm) {
    std::vector<float> keys(centroids.rows());
    centroid_distances(point, centroids, euclidean, centroid_norms, point_norm, keys);
    return keys;
}

std::uint64_t nearest_by_key(std::span<const float> keys) {
    if (keys.empty()) raise_fault("No centroids to compare");
    std::size_t best = 0;
    for (std::size_t j = 1; j < keys.size(); ++j) {
        if (std::isnan(keys[best]) || std::isnan(keys[j])) nan_fault();
        if (keys[best] > keys[j]) best = j;  // strict: ties keep the lower index
    }
    return best;
}

std::uint64_t nearest_by_dot(std::span<const float> dots) {
    if (dots.empty()) raise_fault("No centroids to compare");
    std::size_t best = 0;
    for (std::size_t j = 1; j < dots.size(); ++j) {
        if (std::isnan(dots[best]) || std::isnan(dots[j])) nan_fault();
        if (dots[best] <= dots[j]) best = j;  // ties move to the higher index
    }
    return best;
}

void update_labels(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms) {
    update_labels(model, points, point_norms, parallel::global_registry());
}

void update_labels(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms,
                   parallel::PoolRegistry& pool) {
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (centroids.cols() != points.cols) raise_fault("Centroid and point dimensions differ");
    if (centroids.rows() == 0) raise_fault("No centroids to compare");
    const bool euclidean = model.euclidean;
    std::vector<float> centroid_norms;
    if (euclidean) {
        if (!point_norms) raise_fault("Point norms missing in Euclidean mode");
        if (point_norms->size() != points.rows) raise_fault("Point norms do not match the point count");
        centroid_norms = squared_norms(centroids);
    }

    const std::size_t n_clusters = centroids.rows();
    const std::size_t dim = points.cols;
    const std::size_t n_workers = pool.thread_count();
    // One scratch block per worker: the packed point, then one dot per centroid.
    const std::size_t stride = dim + n_clusters;
    std::vector<float> scratch(n_workers * stride);
    std::vector<std::uint64_t> labels(points.rows);

    pool.for_each_piece(points.rows, label_grain, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        float* packed = scratch.data() + worker * stride;
        float* dots = packed + dim;
        for (std::size_t i = begin; i < end; ++i) {
            const float* x = points.row_start(i);
            if (!points.row_contiguous()) {
                points.copy_row(i, packed);
                x = packed;
            }
            for (std::size_t j = 0; j < n_clusters; ++j) dots[j] = dot_f32(centroids.row(j).data(), x, dim);
            if (euclidean) {
                const float point_norm = (*point_norms)[i];
                for (std::size_t j = 0; j < n_clusters; ++j) {
                    dots[j] = euclidean_key(dots[j], centroid_norms[j], point_norm);
                }
                labels[i] = nearest_by_key({dots, n_clusters});
            } else {
                labels[i] = nearest_by_dot({dots, n_clusters});
            }
        }
    });

    // Only now, after every point was evaluated, does the model change.
    model.labels = std::move(labels);
    std::vector<float>& sizes = model.cluster_sizes;
    std::fill(sizes.begin(), sizes.end(), 0.0f);
    for (std::uint64_t label : model.labels) {
        if (label >= sizes.size()) raise_fault("Label beyond the cluster count");
        sizes[label] += 1.0f;
    }
}

}  // namespace quorla::engine
