// The cases the screened scans' cross-checks run over, and their names.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>
#include <string>
#include <tuple>

#include "engine/kernels/kernel_level.hpp"
#include "engine/label/bounded_step.hpp"
#include "engine/label/label_step.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "support.hpp"

namespace quorla::test {

// (level, unit, (n, d, k), euclidean, threads)
using ScreenShape = std::tuple<std::size_t, std::size_t, std::size_t>;
using ScreenCase = std::tuple<engine::KernelLevel, engine::ScreenUnit, ScreenShape, bool, std::size_t>;

inline std::string screen_case_name(const ::testing::TestParamInfo<ScreenCase>& info) {
    const auto [level, unit, shape, euclidean, threads] = info.param;
    const auto [n, d, k] = shape;
    return std::string(engine::kernel_level_name(level)) + "_" + engine::screen_unit_name(unit) + "_n" +
           std::to_string(n) + "_d" + std::to_string(d) + "_k" + std::to_string(k) + (euclidean ? "_l2" : "_ip") +
           "_t" + std::to_string(threads);
}

// A screened label step (`step(model, state)`) from `centroids` against the
// plain one: labels and sizes must be the same; returns what it did.
template <class Step>
engine::ScreenWork expect_plain_labels(const Points& points, const Points& centroids, bool euclidean,
                                       const engine::ExecutionContext& context, Step step) {
    const engine::TrainingState state = engine::TrainingState::start(points.view(), euclidean);
    engine::Model plain = model_with_centroids(centroids, euclidean);
    engine::Model screened = plain;
    engine::update_labels(plain, state, context);
    const engine::ScreenWork work = step(screened, state);
    EXPECT_EQ(screened.labels, plain.labels);
    EXPECT_EQ(screened.cluster_sizes, plain.cluster_sizes);
    return work;
}

// Bounds of a bounded step that do not hold against exact distances, in
// double precision: a point's own bound below its distance (Euclidean) or
// score (-x.c, inner product) to its own centroid, or a group's above that
// of another centroid of the group.
inline std::size_t broken_bounds(const engine::BoundedStep& step, const std::vector<std::uint64_t>& labels,
                                 const Points& points, const Points& centroids, bool euclidean) {
    const std::size_t d = points.cols, k = centroids.rows, groups = step.groups();
    auto exact = [&](std::size_t i, std::size_t j) {
        double sum = 0.0;
        for (std::size_t l = 0; l < d; ++l) {
            const double x = points.values[i * d + l], c = centroids.values[j * d + l];
            sum += euclidean ? (x - c) * (x - c) : x * c;
        }
        return euclidean ? std::sqrt(sum) : -sum;
    };
    std::size_t broken = 0;
    for (std::size_t i = 0; i < points.rows; ++i) {
        const float* bounds = step.bounds().data() + i * (groups + 1);
        const std::uint64_t own = labels[i];
        if (!(bounds[0] >= exact(i, own))) ++broken;
        for (std::size_t j = 0; j < k; ++j) {
            if (j != own && !(bounds[1 + step.group_of(j)] <= exact(i, j))) ++broken;
        }
    }
    return broken;
}

}  // namespace quorla::test

// A case runs only where the machine has both its level and its unit.
#define SKIP_UNLESS_SCREEN_CASE_RUNS(level, unit)                                                      \
    if (!engine::kernel_level_supported(level))                                                        \
        GTEST_SKIP() << engine::kernel_level_name(level) << " not available";                          \
    if (!engine::screen_unit_supported(unit))                                                          \
        GTEST_SKIP() << engine::screen_unit_name(unit) << " not available on this machine"
