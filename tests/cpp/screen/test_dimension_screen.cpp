// The dimension screen: its basis, and label steps through it against plain
// ones over levels, metrics, heads, shapes, scales and pools, on data where
// it rules out nearly everything and on data full of near-ties where it
// rules out little.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/label/bounded_step.hpp"
#include "engine/label/label_step.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/screen/dimension_screen.hpp"
#include "engine/screen/principal_axes.hpp"
#include "engine/training.hpp"
#include "screen_cases.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;

// Points near a low-rank structure, as embeddings are: a shared mean, then
// `rank` strong directions, then weak noise in every dimension. Centroids
// are perturbed copies of some points, a few of them duplicated exactly
// (ties), and some points sit halfway between two centroids.
struct LowRank {
    Points points, centroids;

    LowRank(std::size_t n, std::size_t d, std::size_t k, std::size_t rank, float scale, std::uint32_t seed,
            float noise = 0.02f) {
        std::mt19937 engine(seed);
        std::normal_distribution<float> normal;
        std::vector<float> mean(d), basis(rank * d);
        for (float& v : mean) v = 0.5f * normal(engine);
        for (float& v : basis) v = normal(engine);
        points = Points::of(n, d, std::vector<float>(n * d));
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<float> coords(rank);
            for (float& c : coords) c = normal(engine);
            for (std::size_t l = 0; l < d; ++l) {
                float v = mean[l] + noise * normal(engine);
                for (std::size_t r = 0; r < rank; ++r) v += coords[r] * basis[r * d + l] / static_cast<float>(rank);
                points.values[i * d + l] = v * scale;
            }
        }
        centroids = Points::of(k, d, std::vector<float>(k * d));
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t from = j % 7 == 6 ? j - 1 : j;  // every seventh a duplicate of the one before
            for (std::size_t l = 0; l < d; ++l) {
                centroids.values[j * d + l] =
                    from == j ? points.values[(j * 13 % n) * d + l] + (noise > 0.0f ? 0.01f * scale * normal(engine) : 0.0f)
                              : centroids.values[from * d + l];
            }
        }
        for (std::size_t i = 0; i < n; i += 5) {
            const float* a = &centroids.values[(i % k) * d];
            const float* b = &centroids.values[((i + 3) % k) * d];
            for (std::size_t l = 0; l < d; ++l) points.values[i * d + l] = 0.5f * (a[l] + b[l]);
        }
    }
};

TEST(PrincipalAxes, OrthonormalAndHoldingALowRankSample) {
    const LowRank data(2000, 96, 10, 8, 1.0f, 5);
    const PrincipalAxes found = principal_axes(ExecutionContext{}, data.points.view(), 16);
    ASSERT_EQ(found.axes.rows(), 16u);
    EXPECT_LT(found.defect, 1e-5);
    EXPECT_EQ(orthogonality_defect(found.axes), found.defect);
    // Mean and eight directions fit in 16: what is left is the noise.
    double total = 0.0, outside = 0.0;
    for (std::size_t i = 0; i < 2000; ++i) {
        const float* x = &data.points.values[i * 96];
        double length = 0.0, head = 0.0;
        for (std::size_t l = 0; l < 96; ++l) length += double(x[l]) * x[l];
        for (std::size_t a = 0; a < 16; ++a) {
            double dot = 0.0;
            for (std::size_t l = 0; l < 96; ++l) dot += double(found.axes.row(a)[l]) * x[l];
            head += dot * dot;
        }
        total += length;
        outside += length - head;
    }
    EXPECT_LT(outside / total, 0.02);
    // Fewer distinct rows than the head, and a head as wide as the data:
    // the basis is still orthonormal.
    const Points few = Points::gaussian(3, 20, 2);
    const PrincipalAxes wide = principal_axes(ExecutionContext{}, few.view(), 30);
    EXPECT_EQ(wide.axes.rows(), 20u);
    EXPECT_LT(wide.defect, 1e-5);
}

// The same bits on any pool; on noise the share held is the one expected
// of noise (a little less: the offset takes an axis, and on a flat
// spectrum the iteration settles slowly), and only structure stands out.
TEST(PrincipalAxes, AnyPoolAndWhatStandsOut) {
    for (const std::size_t d : {std::size_t{64}, std::size_t{128}, std::size_t{384}}) {
        SCOPED_TRACE("d " + std::to_string(d));
        const std::size_t head = dimension_screen_head(d);
        Points noise = Points::gaussian(3000, d, 31);
        for (std::size_t i = 0; i < noise.values.size(); i += 2) noise.values[i] += 3.0f;
        const PrincipalAxes alone = principal_axes(ExecutionContext{}, noise.view(), head);
        auto pool = test::pool_of(3);
        const PrincipalAxes pooled = principal_axes(test::context(KernelLevel::scalar, pool.get()), noise.view(), head);
        ASSERT_EQ(std::memcmp(alone.axes.data(), pooled.axes.data(), head * d * sizeof(float)), 0);
        EXPECT_EQ(alone.held_share, pooled.held_share);
        EXPECT_NEAR(alone.held_share, alone.isotropic_share, 0.03);
        EXPECT_FALSE(axes_stand_out(alone));
        const LowRank data(3000, d, 16, 8, 1.0f, 32, 0.1f);
        EXPECT_TRUE(axes_stand_out(principal_axes(ExecutionContext{}, data.points.view(), head)));
    }
}

// (level, (n, d, k), head, euclidean, threads, data): data 0 low rank, 1
// the same scaled by 2^50, 2 by 2^-60, 3 standard normal, 4 exactly of low
// rank, so that the tails are rounding and the halfway points' ties are
// decided inside the window alone.
using Shape = std::tuple<std::size_t, std::size_t, std::size_t>;
using Case = std::tuple<KernelLevel, Shape, std::size_t, bool, std::size_t, int>;
class DimensionScreen : public ::testing::TestWithParam<Case> {};

TEST_P(DimensionScreen, LabelsAndSizesAreThePlainStepsBitForBit) {
    const auto [level, shape, head, euclidean, threads, kind] = GetParam();
    if (!kernel_level_supported(level)) GTEST_SKIP() << kernel_level_name(level) << " not available";
    const auto [n, d, k] = shape;
    const float scale = kind == 1 ? 0x1p50f : kind == 2 ? 0x1p-60f : 1.0f;
    LowRank data(n, d, k, 6, scale, static_cast<std::uint32_t>(n + d + k + kind), kind == 4 ? 0.0f : 0.02f);
    if (kind == 3) data.points = Points::gaussian(n, d, 4);
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    const ExecutionContext context = test::context(level, pool.get());
    const DimensionBasis basis(principal_axes(ExecutionContext{}, data.points.view(), head), level);
    const ScreenWork work = test::expect_plain_labels(
        data.points, data.centroids, euclidean, context,
        [&](Model& model, const TrainingState& state) { return screened_update_labels(model, state, context, basis); });
    EXPECT_EQ(work.points, n);
    EXPECT_GE(work.settled + work.full, n);  // a mostly wide tile counts whole
    if (kind != 3) {
        // Not vacuous: most points settle from a handful of candidates,
        // ties (the duplicated centroids) among them.
        EXPECT_GT(work.settled, n * 9 / 10);
        EXPECT_LT(work.candidates, work.settled * std::max<std::size_t>(4, k / 8));
        EXPECT_GT(work.candidates, work.settled);
    }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    const auto [level, shape, head, euclidean, threads, kind] = info.param;
    const auto [n, d, k] = shape;
    return std::string(kernel_level_name(level)) + "_n" + std::to_string(n) + "_d" + std::to_string(d) + "_k" +
           std::to_string(k) + "_p" + std::to_string(head) + (euclidean ? "_l2" : "_ip") + "_t" +
           std::to_string(threads) + "_data" + std::to_string(kind);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DimensionScreen,
    ::testing::Combine(::testing::ValuesIn(all_kernel_levels),
                       ::testing::Values(Shape{301, 33, 37}, Shape{700, 96, 64}, Shape{150, 7, 300}),
                       ::testing::Values(std::size_t{16}, std::size_t{32}), ::testing::Bool(),
                       ::testing::Values(std::size_t{0}, std::size_t{3}), ::testing::Values(0, 1, 2, 3, 4)),
    case_name);

// A NaN among the points or the centroids faults as the plain step does,
// and leaves labels and sizes as they were.
TEST(DimensionScreenFaults, NaNFaultsLikeThePlainStep) {
    for (const bool euclidean : {true, false}) {
        for (const bool in_centroid : {false, true}) {
            LowRank data(200, 40, 20, 4, 1.0f, 9);
            const DimensionBasis basis(principal_axes(ExecutionContext{}, data.points.view(), 16), KernelLevel::scalar);
            (in_centroid ? data.centroids.values[5 * 40 + 3] : data.points.values[77 * 40 + 3]) = NAN;
            const TrainingState state = TrainingState::start(data.points.view(), euclidean);
            Model model = test::model_with_centroids(data.centroids, euclidean);
            model.labels.assign(200, 7);
            const std::vector<double> sizes = model.cluster_sizes;
            EXPECT_THROW(screened_update_labels(model, state, test::context(KernelLevel::scalar), basis), Fault);
            EXPECT_EQ(model.labels, std::vector<std::uint64_t>(200, 7));
            EXPECT_EQ(model.cluster_sizes, sizes);
        }
    }
}

// Whole trainings with every full step through the dimension screen match
// unscreened ones, centroids bit for bit.
TEST(DimensionScreenTraining, ForcedScreenTrainsTheSame) {
    const KernelLevel level = detected_kernel_level();
    const LowRank data(3000, 64, 80, 10, 1.0f, 4);
    for (const bool euclidean : {true, false}) {
        Model config = Model::create(80);
        config.euclidean = euclidean;
        config.iterations = 4;
        auto run = [&](ScreenMode mode) {
            Model model = config;
            ThreadRandom random = test::seeded_random(8);
            TrainingOptions options{LabelStepMode::full, nullptr, {mode, ScreenUnit::emulated, ScreenKind::dimensions}};
            EXPECT_TRUE(train(model, data.points.view(), test::context(level, nullptr, &random), options).ok());
            return model;
        };
        const Model plain = run(ScreenMode::off);
        const Model screened = run(ScreenMode::forced);
        EXPECT_EQ(screened.labels, plain.labels);
        ASSERT_TRUE(screened.centroids && plain.centroids);
        EXPECT_EQ(std::memcmp(screened.centroids->data(), plain.centroids->data(), 80 * 64 * sizeof(float)), 0);
    }
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// The second step (the first, from means) chooses the head from a strided
// sample and screens the points only where the sample paid: both ways the
// plain step's labels.
TEST(DimensionScreenPolicy, FirstStepSamplesThenCommits) {
    const KernelLevel level = detected_kernel_level();
    for (const bool pays : {true, false}) {
        LowRank data(9000, 256, 2048, 6, 1.0f, 21);
        if (!pays) data.points = Points::gaussian(9000, 256, 22);
        const TrainingState state = TrainingState::start(data.points.view(), true);
        Model plain = test::model_with_centroids(data.centroids, true);
        Model screened = plain;
        update_labels(plain, state, test::context(level));
        FullStep step({ScreenMode::automatic, ScreenUnit::emulated, ScreenKind::dimensions}, 2048, 256);
        ASSERT_TRUE(step.screens());
        // The first step is plain; the second chooses the head.
        step.update_labels(screened, state, test::context(level));
        EXPECT_EQ(step.screen_work().points, 0u);
        step.update_labels(screened, state, test::context(level));
        EXPECT_EQ(screened.labels, plain.labels);
        EXPECT_EQ(screened.cluster_sizes, plain.cluster_sizes);
        EXPECT_EQ(step.screen_work().points, pays ? 9000u : 0u);
        EXPECT_EQ(step.screens(), pays);
        // From centroids that are already means, the first step samples.
        FullStep from_means({ScreenMode::automatic, ScreenUnit::emulated, ScreenKind::dimensions}, 2048, 256);
        from_means.start_from_means();
        Model first = test::model_with_centroids(data.centroids, true);
        from_means.update_labels(first, state, test::context(level));
        EXPECT_EQ(first.labels, plain.labels);
        EXPECT_EQ(from_means.screen_work().points, pays ? 9000u : 0u);
    }
    // Below 2,048 clusters the automatic choice leaves the dimension screen out.
    EXPECT_FALSE(ScreenPolicy({ScreenMode::automatic, ScreenUnit::emulated, ScreenKind::dimensions}, 1024, 256).screens());
    EXPECT_TRUE(ScreenPolicy({ScreenMode::forced, ScreenUnit::emulated, ScreenKind::dimensions}, 1024, 256).screens());
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// A refresh of the bounded step through the dimension screen gives the
// plain step's labels, and bounds that hold against exact distances: each
// point's own bound at or above its distance (Euclidean) or score (-x.c)
// to its own centroid, each group's at or below every other centroid's.
using RefreshCase = std::tuple<KernelLevel, bool, std::size_t, int>;
class DimensionRefresh : public ::testing::TestWithParam<RefreshCase> {};

TEST_P(DimensionRefresh, LabelsAreThePlainStepsAndBoundsHold) {
    const auto [level, euclidean, threads, kind] = GetParam();
    if (!kernel_level_supported(level)) GTEST_SKIP() << kernel_level_name(level) << " not available";
    const std::size_t n = 700, d = 96, k = 64;
    LowRank data(n, d, k, 6, 1.0f, static_cast<std::uint32_t>(31 + kind), kind == 4 ? 0.0f : 0.02f);
    if (kind == 3) data.points = Points::gaussian(n, d, 4);
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    const ExecutionContext context = test::context(level, pool.get());
    const TrainingState state = TrainingState::start(data.points.view(), euclidean);
    const DimensionBasis basis(principal_axes(ExecutionContext{}, data.points.view(), 16), level);

    Model plain = test::model_with_centroids(data.centroids, euclidean);
    plain.labels.assign(n, 0);
    Model refreshed = plain;
    update_labels(plain, state, context);
    BoundedStep step(k, d, euclidean);
    step.dimension_refreshes(&basis);
    step.update_labels(refreshed, state, context);
    ASSERT_NE(step.screened_work(), nullptr);
    if (kind != 3) {
        EXPECT_GT(step.screened_work()->settled, n / 2);
    }
    EXPECT_EQ(refreshed.labels, plain.labels);
    EXPECT_EQ(refreshed.cluster_sizes, plain.cluster_sizes);

    EXPECT_EQ(test::broken_bounds(step, refreshed.labels, data.points, data.centroids, euclidean), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DimensionRefresh,
                         ::testing::Combine(::testing::ValuesIn(all_kernel_levels), ::testing::Bool(),
                                            ::testing::Values(std::size_t{0}, std::size_t{3}),
                                            ::testing::Values(0, 3, 4)));

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// The bounds hold what they claim, pair by pair: every exact chain's key at
// least its bound minus the row's width, at every level, at both ends of
// the float range and on data whose tails are rounding alone; and on data
// of low rank most clusters lie above the cut.
class DimensionBoundHolds : public ::testing::TestWithParam<std::tuple<KernelLevel, bool, int>> {};

TEST_P(DimensionBoundHolds, ExactKeysAreAtLeastTheBoundsLessTheWidth) {
    const auto [level, euclidean, kind] = GetParam();
    if (!kernel_level_supported(level)) GTEST_SKIP() << kernel_level_name(level) << " not available";
    const std::size_t d = 40, k = 70;
    const float scale = kind == 1 ? 0x1p50f : kind == 2 ? 0x1p-60f : 1.0f;
    const LowRank data(200, d, k, 5, scale, 17, kind == 4 ? 0.0f : 0.02f);
    Matrix centroids(k, d);
    std::copy(data.centroids.values.begin(), data.centroids.values.end(), centroids.data());
    const CentroidPanels panels(centroids, k, euclidean, level);
    const DimensionBasis basis(principal_axes(ExecutionContext{}, data.points.view(), 16), level);
    const DimensionCentroids screen(centroids, panels, basis);
    DimensionCandidates candidates(screen);
    const tiles::TileKernels& kernels = panels.kernels();
    const std::size_t rows = kernels.tile_rows;
    candidates.prepare(1, rows);
    std::vector<float> tile(rows * d + rows), norms(rows);
    kernels.pack({data.points.values.data(), static_cast<std::int64_t>(d), 1, d}, 0, rows, tile.data());
    for (std::size_t r = 0; r < rows; ++r) {
        norms[r] = euclidean ? dot_f32(&data.points.values[r * d], &data.points.values[r * d], d) : 0.0f;
    }
    const DimensionBounds b = candidates.bound(panels, {tile.data(), rows, 0, norms.data()}, 0);
    std::size_t broken = 0, above_cut = 0, screened = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        if (!(b.widths[r] >= 0.0f) || !std::isfinite(b.cuts[r])) continue;
        ++screened;
        const std::vector<float> exact =
            test::keys_of({&data.points.values[r * d], d}, centroids, euclidean, norms[r], level);
        for (std::size_t j = 0; j < k; ++j) {
            const float bound = b.keys[r * b.stride + j];
            if (!(double(exact[j]) >= double(bound) - double(b.widths[r]))) ++broken;
            if (bound > b.cuts[r]) ++above_cut;
        }
    }
    EXPECT_EQ(screened, rows);
    EXPECT_EQ(broken, 0u);
    EXPECT_GT(above_cut, rows * k / 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, DimensionBoundHolds,
                         ::testing::Combine(::testing::ValuesIn(all_kernel_levels), ::testing::Bool(),
                                            ::testing::Values(0, 1, 2, 4)));

}  // namespace
}  // namespace quorla::engine
