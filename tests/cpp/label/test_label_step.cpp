// The plain vector arithmetic, single-point keys and the label step.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/label_step.hpp"
#include "engine/scan/scan.hpp"
#include "parallel/pool.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Layout;
using test::Points;
using test::model_with_centroids;

// The label step as training runs it, on the calling thread (or `pool`).
void relabel(Model& model, const PointView& points, bool with_norms, parallel::PoolRegistry* pool = nullptr,
             KernelLevel level = KernelLevel::scalar) {
    TrainingState state = TrainingState::start(points, with_norms);
    update_labels(model, state, test::context(level, pool));
}
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

class DotLengths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DotLengths, MatchesADoublePrecisionReference) {
    const std::size_t n = GetParam();
    Points a = Points::gaussian(1, n, 1);
    Points b = Points::gaussian(1, n, 2);
    double reference = 0.0;
    double magnitude = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        reference += double(a.values[i]) * double(b.values[i]);
        magnitude += std::abs(double(a.values[i]) * double(b.values[i]));
    }
    const float got = dot_f32(a.values.data(), b.values.data(), n);
    EXPECT_NEAR(got, reference, 1e-6 * magnitude + 1e-30);
    if (n == 0) {
        EXPECT_EQ(got, 0.0f);
    }
    // The squared distance is the dot of the rounded difference with itself,
    // bit for bit, from either side.
    std::vector<float> difference(n);
    for (std::size_t i = 0; i < n; ++i) difference[i] = a.values[i] - b.values[i];
    const float squared = squared_distance_f32(a.values.data(), b.values.data(), n);
    EXPECT_EQ(squared, dot_f32(difference.data(), difference.data(), n));
    EXPECT_EQ(squared, squared_distance_f32(b.values.data(), a.values.data(), n));
}

INSTANTIATE_TEST_SUITE_P(AwkwardLengths, DotLengths, ::testing::Values(0, 1, 3, 7, 8, 9, 16, 17, 31, 64, 127, 1000));

TEST(SquaredNorms, AnyLayoutAndZeroColumns) {
    Points p = Points::gaussian(9, 13, 3);
    std::vector<float> direct = squared_norms(p.view());
    ASSERT_EQ(direct.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(direct[i], dot_f32(&p.values[i * 13], &p.values[i * 13], 13));
    }
    Layout t = Layout::transposed(p);
    EXPECT_EQ(squared_norms(t.view), direct);
    Layout r = Layout::reversed_padded(p, 5);
    EXPECT_EQ(squared_norms(r.view), direct);

    Points empty = Points::of(4, 0, {});
    EXPECT_EQ(squared_norms(empty.view()), std::vector<float>(4, 0.0f));
}

TEST(CentroidDistances, KeysInBothModes) {
    Matrix centroids(2, 2);
    centroids.row(0)[0] = 1.0f;
    centroids.row(1)[1] = 3.0f;
    const std::vector<float> point = {2.0f, 1.0f};
    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        // |x|^2 = 5: keys are 5 + (1 - 4) = 2 and 5 + (9 - 6) = 8.
        EXPECT_EQ(test::keys_of(point, centroids, true, 5.0f, level), (std::vector<float>{2.0f, 8.0f}));
        EXPECT_EQ(test::keys_of(point, centroids, false, 0.0f, level), (std::vector<float>{-2.0f, -3.0f}));
        EXPECT_THROW(test::keys_of(std::vector<float>{1.0f}, centroids, false, 0.0f, level), Fault);
    }
}

TEST(CentroidDistances, EuclideanKeyIsNotClamped) {
    // Rounding can push the key of a coinciding point below zero; the value
    // is compared as it is.
    EXPECT_EQ(euclidean_key(1.0f, 0.5f, 0.5f), -1.0f);
}

std::vector<std::uint64_t> brute_force_labels(const Points& points, const Points& centroids, bool euclidean) {
    std::vector<std::uint64_t> labels;
    Matrix c(centroids.rows, centroids.cols);
    std::copy(centroids.values.begin(), centroids.values.end(), c.data());
    for (std::size_t i = 0; i < points.rows; ++i) {
        std::span<const float> x(&points.values[i * points.cols], points.cols);
        float point_norm = dot_f32(x.data(), x.data(), x.size());
        labels.push_back(test::label_from_keys(test::keys_of(x, c, euclidean, point_norm, KernelLevel::scalar), euclidean));
    }
    return labels;
}

class LabelStep : public ::testing::TestWithParam<bool> {};

TEST_P(LabelStep, MatchesBruteForceAndCountsSizes) {
    const bool euclidean = GetParam();
    Points points = Points::gaussian(1000, 19, 5);
    Points centroids = Points::gaussian(23, 19, 6);
    Model model = model_with_centroids(centroids, euclidean);
    relabel(model, points.view(), euclidean);
    EXPECT_EQ(model.labels, brute_force_labels(points, centroids, euclidean));
    double total = 0.0;
    for (double size : model.cluster_sizes) total += size;
    EXPECT_EQ(total, 1000.0);
    EXPECT_EQ(model.cluster_sizes.size(), 23u);
}

TEST_P(LabelStep, SameLabelsForEveryPoolSizeAndLayout) {
    const bool euclidean = GetParam();
    Points points = Points::gaussian(3001, 33, 7);
    Points centroids = Points::gaussian(40, 33, 8);
    Model reference = model_with_centroids(centroids, euclidean);
    relabel(reference, points.view(), euclidean);

    for (std::uint64_t threads : {1u, 2u, 3u, 7u}) {
        auto pool = test::pool_of(threads);
        Model model = model_with_centroids(centroids, euclidean);
        relabel(model, points.view(), euclidean, pool.get());
        EXPECT_EQ(model.labels, reference.labels) << threads << " threads";
        EXPECT_EQ(model.cluster_sizes, reference.cluster_sizes);
    }
    Layout transposed = Layout::transposed(points);
    Layout reversed = Layout::reversed_padded(points, 3);
    for (const Layout* layout : {&transposed, &reversed}) {
        Model model = model_with_centroids(centroids, euclidean);
        relabel(model, layout->view, euclidean);
        EXPECT_EQ(model.labels, reference.labels);
    }
}

TEST_P(LabelStep, NaNFaultsAndLeavesTheModelAsItWas) {
    const bool euclidean = GetParam();
    Points points = Points::gaussian(500, 4, 9);
    points.values[377 * 4 + 2] = nan;
    Points centroids = Points::gaussian(3, 4, 10);
    Model model = model_with_centroids(centroids, euclidean);
    model.labels.assign(500, 2);
    model.cluster_sizes = {0.0f, 0.0f, 500.0f};
    EXPECT_THROW(relabel(model, points.view(), euclidean), Fault);
    EXPECT_EQ(model.labels, std::vector<std::uint64_t>(500, 2));
    EXPECT_EQ(model.cluster_sizes, (std::vector<double>{0.0f, 0.0f, 500.0f}));
}

TEST_P(LabelStep, OneCentroidTakesEveryPointEvenNaN) {
    const bool euclidean = GetParam();
    Points points = Points::of(3, 2, {nan, 1.0f, inf, -inf, 0.0f, 0.0f});
    Model model = model_with_centroids(Points::of(1, 2, {1.0f, 1.0f}), euclidean);
    relabel(model, points.view(), euclidean);
    EXPECT_EQ(model.labels, (std::vector<std::uint64_t>{0, 0, 0}));
    EXPECT_EQ(model.cluster_sizes, (std::vector<double>{3.0f}));
}

INSTANTIATE_TEST_SUITE_P(BothModes, LabelStep, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Euclidean" : "InnerProduct"; });

TEST(LabelStep, BrokenPreconditionsAreFaults) {
    Points points = Points::gaussian(5, 2, 11);
    Model without_centroids = Model::create(2);
    EXPECT_THROW(relabel(without_centroids, points.view(), false), Fault);
    Model euclidean = model_with_centroids(Points::gaussian(2, 2, 12), true);
    EXPECT_THROW(relabel(euclidean, points.view(), false), Fault);  // no point norms
    Model wrong_width = model_with_centroids(Points::gaussian(2, 3, 12), false);
    EXPECT_THROW(relabel(wrong_width, points.view(), false), Fault);
}

TEST(LabelStep, TiesOfEqualCentroids) {
    // Two identical centroids: every point ties. Euclidean keeps the lower
    // index, inner product moves to the higher one.
    Points points = Points::gaussian(50, 3, 13);
    Points centroids = Points::of(2, 3, {1.0f, 2.0f, 3.0f, 1.0f, 2.0f, 3.0f});
    Model euclidean = model_with_centroids(centroids, true);
    relabel(euclidean, points.view(), true);
    EXPECT_EQ(euclidean.cluster_sizes, (std::vector<double>{50.0f, 0.0f}));
    Model inner = model_with_centroids(centroids, false);
    relabel(inner, points.view(), false);
    EXPECT_EQ(inner.cluster_sizes, (std::vector<double>{0.0f, 50.0f}));
}

}  // namespace
}  // namespace quorla::engine
