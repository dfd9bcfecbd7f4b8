// Distance kernels and the label step.
//
// The label step has two paths. The scalar one (the baseline, and the oracle
// the others are tested against) works point by point: a packed copy of the
// point, then its dot with every centroid through dot_f32. The vector levels
// work a tile at a time: each worker packs tile_rows points from the strided
// view into its own scratch (never the whole matrix), and the level's tile
// kernel scores them against centroid panels packed once per call, choosing
// each point's cluster while the scores are in registers. Neither path
// allocates per point or writes an n x k distance matrix.
#include "engine/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/fault.hpp"
#include "engine/tile_driver.hpp"
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

// Row count of the centroid matrix the kernels see, or a fault.
std::size_t cluster_rows(const Matrix& centroids) {
    if (centroids.rows() > UINT32_MAX) raise_fault("Too many centroids for the tile kernels");
    return centroids.rows();
}

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

namespace tiles {

const TileKernels* kernels_for_level(KernelLevel level) {
    if (!kernel_level_supported(level)) {
        raise_fault(std::string("Kernel level ") + kernel_level_name(level) + " is not supported on this machine");
    }
    switch (level) {
        case KernelLevel::scalar:
            return nullptr;
        case KernelLevel::avx2:
            return tile_kernels_f32_avx2();
        case KernelLevel::avx512:
            return tile_kernels_f32_avx512();
    }
    return nullptr;
}

void pack_panel_row(const float* row, std::size_t j, std::size_t dim, float* panels) {
    float* column = panels + (j / panel_width) * dim * panel_width + j % panel_width;
    for (std::size_t l = 0; l < dim; ++l) column[l * panel_width] = row[l];
}

std::vector<float> pack_panels(const Matrix& centroids, std::size_t clusters) {
    const std::size_t dim = centroids.cols();
    const std::size_t groups = (clusters + panel_width - 1) / panel_width;
    std::vector<float> panels(groups * panel_width * dim, 0.0f);
    for (std::size_t j = 0; j < clusters; ++j) pack_panel_row(centroids.row(j).data(), j, dim, panels.data());
    return panels;
}

}  // namespace tiles

CentroidKeys::CentroidKeys(const Matrix& centroids, KernelLevel level) : centroids_(&centroids), level_(level) {
    if (tiles::kernels_for_level(level) != nullptr) panels_ = tiles::pack_panels(centroids, cluster_rows(centroids));
}

void CentroidKeys::refresh_row(std::size_t j) {
    if (panels_.empty()) return;
    if (j >= centroids_->rows()) raise_fault("Centroid row beyond the matrix");
    tiles::pack_panel_row(centroids_->row(j).data(), j, centroids_->cols(), panels_.data());
}

void CentroidKeys::compute(std::span<const float> point, bool euclidean, std::span<const float> centroid_norms,
                           float point_norm, std::span<float> keys) const {
    const Matrix& centroids = *centroids_;
    if (centroids.cols() != point.size()) raise_fault("Centroid and point dimensions differ");
    if (keys.size() != centroids.rows()) raise_fault("Key vector does not match the centroid count");
    if (euclidean && centroid_norms.size() != centroids.rows()) raise_fault("Centroid norms missing");
    const tiles::TileKernels* kernels = tiles::kernels_for_level(level_);
    if (kernels == nullptr) {
        for (std::size_t j = 0; j < centroids.rows(); ++j) {
            float dot = dot_f32(centroids.row(j).data(), point.data(), point.size());
            keys[j] = euclidean ? euclidean_key(dot, centroid_norms[j], point_norm) : -dot;
        }
        return;
    }
    const tiles::Panels panels{panels_.data(), euclidean ? centroid_norms.data() : nullptr, centroids.rows(),
                               centroids.cols()};
    kernels->point_keys(point.data(), panels, euclidean, point_norm, keys.data());
}

void centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                        std::span<const float> centroid_norms, float point_norm, std::span<float> keys,
                        KernelLevel level) {
    // Packing costs as much as the keys of one point; callers with many
    // points keep a CentroidKeys instead.
    CentroidKeys(centroids, level).compute(point, euclidean, centroid_norms, point_norm, keys);
}

void centroid_distances(std::span<const float> point, const Matrix& centroids, bool euclidean,
                        std::span<const float> centroid_norms, float point_norm, std::span<float> keys) {
    centroid_distances(point, centroids, euclidean, centroid_norms, point_norm, keys, kernel_level());
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
    update_labels(model, points, point_norms, pool, kernel_level());
}

namespace {

// The scalar path, point by point.
void label_points_scalar(const Matrix& centroids, const PointView& points, bool euclidean,
                         const std::vector<float>& centroid_norms, const std::optional<std::vector<float>>& point_norms,
                         parallel::PoolRegistry& pool, std::vector<std::uint64_t>& labels) {
    const std::size_t n_clusters = centroids.rows();
    const std::size_t dim = points.cols;
    const std::size_t n_workers = pool.thread_count();
    // One scratch block per worker: the packed point, then one dot per centroid.
    const std::size_t stride = dim + n_clusters;
    std::vector<float> scratch(n_workers * stride);

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
}

// The tiled path. Pieces are whole tiles, and a point's dots do not depend
// on its row within a tile, so the labels do not depend on the pool size.
void label_points_tiled(const tiles::TileKernels& kernels, const Matrix& centroids, const PointView& points,
                        bool euclidean, const std::vector<float>& centroid_norms,
                        const std::optional<std::vector<float>>& point_norms, parallel::PoolRegistry& pool,
                        std::vector<std::uint64_t>& labels) {
    const std::size_t n_clusters = cluster_rows(centroids);
    const std::size_t dim = points.cols;
    const std::size_t rows = kernels.tile_rows;
    const std::vector<float> panel_values = tiles::pack_panels(centroids, n_clusters);
    const tiles::Panels panels{panel_values.data(), euclidean ? centroid_norms.data() : nullptr, n_clusters, dim};
    const tiles::PointSource source = tiles::source_of(points);
    const tiles::Rule rule = euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last;

    // Per worker: the packed tile, then the tile's point norms; whole cache
    // lines each, so workers never share one.
    const std::size_t n_workers = pool.thread_count();
    const std::size_t stride = (rows * dim + rows + 15) / 16 * 16;
    tiles::AlignedFloats scratch(n_workers * stride);
    std::vector<std::uint32_t> chosen(n_workers * rows);

    const std::size_t n_tiles = (points.rows + rows - 1) / rows;
    const std::size_t grain = std::max<std::size_t>(1, label_grain / rows);
    pool.for_each_piece(n_tiles, grain, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        float* tile = scratch.data() + worker * stride;
        float* tile_norms = tile + rows * dim;
        std::uint32_t* tile_labels = chosen.data() + worker * rows;
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint64_t first = t * rows;
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(rows, points.rows - first));
            kernels.pack(source, first, count, tile);
            if (euclidean) {
                const float* given = point_norms->data() + first;
                std::copy(given, given + count, tile_norms);
                std::fill(tile_norms + count, tile_norms + rows, 0.0f);
            }
            if (!kernels.label(tile, count, tile_norms, panels, rule, tile_labels)) nan_fault();
            std::copy(tile_labels, tile_labels + count, labels.begin() + static_cast<std::ptrdiff_t>(first));
        }
    });
}

}  // namespace

void update_labels(Model& model, const PointView& points, const std::optional<std::vector<float>>& point_norms,
                   parallel::PoolRegistry& pool, KernelLevel level) {
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (centroids.cols() != points.cols) raise_fault("Centroid and point dimensions differ");
    if (centroids.rows() == 0) raise_fault("No centroids to compare");
    const bool euclidean = model.euclidean;
    if (euclidean) {
        if (!point_norms) raise_fault("Point norms missing in Euclidean mode");
        if (point_norms->size() != points.rows) raise_fault("Point norms do not match the point count");
    }
    const tiles::TileKernels* kernels = tiles::kernels_for_level(level);

    std::vector<std::uint64_t> labels(points.rows);
    // One centroid needs no comparison, so there is nothing to compute (and
    // no NaN to find): every label is 0. The pool is still brought up, as
    // the label step always has, so that its creation (and any failure of
    // it) happens at the same point of training whatever k is.
    if (centroids.rows() == 1) {
        pool.thread_count();
    } else {
        std::vector<float> centroid_norms;
        if (euclidean) centroid_norms = squared_norms(centroids);
        if (kernels == nullptr) {
            label_points_scalar(centroids, points, euclidean, centroid_norms, point_norms, pool, labels);
        } else {
            label_points_tiled(*kernels, centroids, points, euclidean, centroid_norms, point_norms, pool, labels);
        }
    }

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
