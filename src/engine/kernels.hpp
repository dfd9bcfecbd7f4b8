// Distance kernels, the nearest-centroid rules and the parallel label step.
// The arithmetic of a key is fixed step by step (euclidean_key below); only
// the summation order inside a dot product is free, and it depends on the
// kernel level (kernel_level.hpp): dot_f32's order at the scalar level, one
// FMA chain per dot at the vector levels (tile_kernels.hpp). Labels can
// differ between levels only where that order decides a near-tie.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/kernel_level.hpp"
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

// Keys of single points against all rows of a centroid matrix, for callers
// that visit points one at a time while rows change in between (balancing).
// Holds the rows packed for its level; refresh_row(j) after row j of the
// matrix changed. The matrix must outlive this object and keep its shape.
class CentroidKeys {
public:
    explicit CentroidKeys(const Matrix& centroids, KernelLevel level = kernel_level());

    void refresh_row(std::size_t j);
    // As centroid_distances below.
    void compute(std::span<const float> point, bool euclidean, std::span<const float> centroid_norms,
                 float point_norm, std::span<float> keys) const;
    KernelLevel level() const { return level_; }

private:
    const Matrix* centroids_;
    KernelLevel level_;
    std::vector<float> panels_;  // empty at the scalar level, which reads the matrix
};

// Keys of one contiguous point against every centroid; smaller is closer.
// Euclidean: the key above. Inner product: the negated dot product. The dots
// are those of the level's label step, so these keys rank clusters exactly
// as update_labels and assign do at the same level.
void centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                        std::span<const float> centroid_norms, float point_norm, std::span<float> keys);
void centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                        std::span<const float> centroid_norms, float point_norm, std::span<float> keys,
                        KernelLevel level);
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
// The same at a given kernel level (Fault if the machine lacks it).
void update_labels(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms,
                   parallel::PoolRegistry& pool, KernelLevel level);

}  // namespace quorla::engine
