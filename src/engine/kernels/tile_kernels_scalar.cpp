// The scalar level's table: baseline code, always compiled, and the oracle
// the vector levels are tested against. Its dots are dot_f32's, whose
// summation order owes nothing to the vector levels' FMA chains, so a fault
// in those shows up as a disagreement rather than being copied here.
//
// Tiles are row-major, and the centroids are read as rows in place: the
// panel layout exists for vector loads, which this level does not make.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/kernels/dot.hpp"
#include "engine/kernels/size_scans_impl.hpp"
#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine::tiles {
namespace {

// Points per tile: the driver's unit of work and of per-worker scratch. The
// scalar kernels work point by point, so this only sets how many rows are
// copied at once.
constexpr std::size_t scalar_tile_rows = 16;
constexpr float positive_infinity = __builtin_inff();

void pack_f32_scalar(const PointSource& source, std::uint64_t first, std::size_t count, float* tile) {
    const std::size_t dim = source.dim;
    for (std::size_t r = 0; r < count; ++r) {
        const float* row = source.origin + static_cast<std::ptrdiff_t>(first + r) * source.row_stride;
        float* out = tile + r * dim;
        if (source.col_stride == 1) {
            for (std::size_t l = 0; l < dim; ++l) out[l] = row[l];
        } else {
            for (std::size_t l = 0; l < dim; ++l) out[l] = row[static_cast<std::ptrdiff_t>(l) * source.col_stride];
        }
    }
}

// Key of cluster j as assignment and balancing rank it: smaller is closer.
float key_of(const Panels& panels, const float* x, float point_norm, std::size_t j, bool euclidean) {
    const float dot = dot_f32(panels.rows + j * panels.dim, x, panels.dim);
    return euclidean ? euclidean_key(dot, panels.norms[j], point_norm) : -dot;
}

// The clusters are scanned in order with the first as the current best; a
// later one replaces it when strictly closer, or, for the label step's
// inner-product rule, when at least as close (ties to the highest index).
bool label_f32_scalar(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                           Rule rule, std::uint32_t* labels, float* best_values) {
    bool clean = true;
    for (std::size_t r = 0; r < count; ++r) {
        const float* x = tile + r * panels.dim;
        std::uint32_t best = 0;
        float best_value = 0.0f;
        for (std::size_t j = 0; j < panels.clusters; ++j) {
            const float dot = dot_f32(panels.rows + j * panels.dim, x, panels.dim);
            float value;
            bool better;
            switch (rule) {
                case Rule::lowest_key:
                    value = euclidean_key(dot, panels.norms[j], point_norms[r]);
                    better = best_value > value;
                    break;
                case Rule::highest_dot_last:
                    value = dot;
                    better = best_value <= value;
                    break;
                case Rule::highest_dot_first:
                default:
                    value = dot;
                    better = best_value < value;
                    break;
            }
            if (std::isnan(value)) clean = false;
            if (j == 0 || better) {
                best = static_cast<std::uint32_t>(j);
                best_value = value;
            }
        }
        labels[r] = best;
        if (best_values != nullptr) best_values[r] = best_value;
    }
    return clean;
}

bool top_f32_scalar(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                         bool euclidean, std::size_t take, const TopScratch& scratch, std::uint32_t* chosen,
                         std::size_t first_cluster) {
    bool clean = true;
    for (std::size_t r = 0; r < count; ++r) {
        const float* x = tile + r * panels.dim;
        float* kept_keys = scratch.keys + r * scratch.stride;
        std::uint32_t* kept_clusters = scratch.clusters + r * scratch.stride;
        std::size_t size = std::min(first_cluster, take);  // kept from the clusters before these
        for (std::size_t j = 0; j < panels.clusters; ++j) {
            const float key = key_of(panels, x, euclidean ? point_norms[r] : 0.0f, j, euclidean);
            if (std::isnan(key)) clean = false;
            size = insert_kept(kept_keys, kept_clusters, size, take, key, static_cast<std::uint32_t>(first_cluster + j));
        }
        for (std::size_t t = 0; t < take; ++t) chosen[r * take + t] = kept_clusters[t];
    }
    return clean;
}

bool point_keys_f32_scalar(const float* point, const Panels& panels, bool euclidean, float point_norm, float* keys) {
    bool clean = true;
    for (std::size_t j = 0; j < panels.clusters; ++j) {
        keys[j] = key_of(panels, point, point_norm, j, euclidean);
        if (std::isnan(keys[j])) clean = false;
    }
    return clean;
}

// The label kernel's scan over each group with the runner-up kept as well:
// whenever a cluster takes over, the one it displaces becomes the runner-up.
bool nearest_two_f32_scalar(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                            Rule rule, std::size_t group, float* first_keys, float* second_keys,
                            std::uint32_t* first) {
    const bool euclidean = rule == Rule::lowest_key;
    bool clean = true;
    for (std::size_t r = 0; r < count; ++r) {
        const float* x = tile + r * panels.dim;
        for (std::size_t start = 0; start < panels.clusters; start += group) {
            const std::size_t end = std::min(panels.clusters, start + group);
            std::uint32_t best = 0;
            float best_key = positive_infinity;
            float second_key = positive_infinity;
            for (std::size_t j = start; j < end; ++j) {
                const float key = key_of(panels, x, euclidean ? point_norms[r] : 0.0f, j, euclidean);
                if (std::isnan(key)) clean = false;
                const bool better = euclidean ? key < best_key : key <= best_key;
                if (better) {
                    second_key = best_key;
                    best_key = key;
                    best = static_cast<std::uint32_t>(j - start);
                } else if (key < second_key) {
                    second_key = key;
                }
            }
            const std::size_t at = start / group * scalar_tile_rows + r;
            first[at] = best;
            first_keys[at] = best_key;
            second_keys[at] = second_key;
        }
    }
    return clean;
}

void keys_f32_scalar(const float* tile, std::size_t count, const float* point_norms, const Panels& panels,
                         bool euclidean, float* keys, std::size_t row_stride) {
    for (std::size_t r = 0; r < count; ++r) {
        const float* x = tile + r * panels.dim;
        const float norm = euclidean ? point_norms[r] : 0.0f;
        for (std::size_t j = 0; j < panels.clusters; ++j) keys[r * row_stride + j] = key_of(panels, x, norm, j, euclidean);
    }
}

void pack_gathered_f32_scalar(const float* const* rows, std::size_t count, std::size_t dim, float* tile) {
    for (std::size_t r = 0; r < count; ++r) std::copy_n(rows[r], dim, tile + r * dim);
}

// Row-major tiles: row r is dim floats at r * dim.
void listed_dots_scalar(const float* tile, std::size_t, const std::uint32_t* rows, const Panels& panels,
                        const std::uint32_t* clusters, std::size_t listed, float* dots) {
    const std::size_t dim = panels.dim;
    for (std::size_t i = 0; i < listed; ++i) {
        dots[i] = dot_f32(panels.rows + static_cast<std::size_t>(clusters[i]) * dim, tile + rows[i] * dim, dim);
    }
}

// The size scans in 4-lane vectors, the native width of every baseline
// target (SSE2, NEON).
constexpr TileKernels scalar_kernels{
    scalar_tile_rows,       false,                   &pack_f32_scalar,   &label_f32_scalar,
    &top_f32_scalar,        &point_keys_f32_scalar,  &nearest_two_f32_scalar, &keys_f32_scalar,
    &pack_gathered_f32_scalar, &scan_costs_f32<4>,   &least_ratio_f32<4>,     &listed_dots_scalar,
};

}  // namespace

const TileKernels* tile_kernels_f32_scalar() { return &scalar_kernels; }

}  // namespace quorla::engine::tiles
