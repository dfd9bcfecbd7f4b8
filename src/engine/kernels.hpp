// Distances between points and centroids, the nearest-centroid rules and the
// parallel label step. The arithmetic of a key is fixed step by step (see
// kernels.cpp); only the summation order inside a dot product is free.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/matrix.hpp"
#include "engine/model.hpp"

namespace quorla::parallel {
class PoolRegistry;
}

namespace quorla::engine {

// Single-precision dot product of two contiguous vectors. The summation order
// is this kernel's own (several partial sums); callers must not rely on it.
float dot_f32(const float* a, const float* b, std::size_t n);

// Entry i: row i dotted with itself.
std::vector<float> squared_norms(const PointView& matrix);
inline std::vector<float> squared_norms(const Matrix& matrix) { return squared_norms(matrix.view()); }

// Euclidean key, in the fixed order: t = 2d, u = |c|^2 - t, e = |x|^2 + u.
// Not clamped at zero: rounding may make it slightly negative, and that value
// is compared as it is.
inline float euclidean_key(float dot, float centroid_norm, float point_norm) {
    float twice = 2.0f * dot;
    float shifted = centroid_norm - twice;
    return point_norm + shifted;
}

// Keys of one contiguous point against every centroid; smaller is closer.
// Euclidean: the key above. Inner product: the negated dot product.
void centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                        std::span<const float> centroid_norms, float point_norm, std::span<float> keys);
std::vector<float> centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                                      std::span<const float> centroid_norms, float point_norm);

// The label step's choice among the keys (Euclidean: lowest key, ties to the
// lowest index) or the dot products (inner product: highest dot, ties to the
// highest index). NaN met by a comparison is a fault; one entry needs no
// comparison and is always chosen; no entries is a fault.
std::uint64_t nearest_by_key(std::span<const float> keys);
std::uint64_t nearest_by_dot(std::span<const float> dots);

// Relabels every point on the worker pool and recounts cluster_sizes. On a
// fault neither labels nor cluster_sizes has been touched.
void update_labels(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms);
// The same on a given pool rather than the process-wide one, so that tests
// can compare pool sizes within one process.
void update_labels(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms,
                   parallel::PoolRegistry& pool);

}  // namespace quorla::engine
