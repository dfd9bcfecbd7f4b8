// The bf16 screen and the screened label step: the AVX-512 BF16 unit's keys
// against the emulated unit's bit for bit, the error bound against measured
// errors, and screened label steps against plain ones over levels, units,
// shapes, metrics and pools, on data full of near-ties and wide windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/label/bounded_step.hpp"
#include "engine/label/label_step.hpp"
#include "engine/screen/bf16_bound.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/scan/scan.hpp"
#include "engine/training.hpp"
#include "screen_cases.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Clusters of near-duplicate centroids (moved by 2^-9 of their spread, about
// a bf16 unit) and points near them, a quarter of them exactly on a centroid
// or halfway between two, some scattered: the screen's windows hold several
// clusters, some hold ties. The last clusters (up to 20, k / 2 of them) are
// a crowd within 2^-12 of one point, more than a window may hold: points
// near it, one in eight and a run of 100 in the middle, are scored in full,
// alone and in whole tiles.
struct NearTies {
    Points points, centroids;

    NearTies(std::size_t n, std::size_t d, std::size_t k, std::uint32_t seed) {
        std::mt19937 engine(seed);
        std::normal_distribution<float> normal;
        centroids = Points::of(k, d, std::vector<float>(k * d));
        const std::size_t bases = std::max<std::size_t>(1, k / 4);
        const std::size_t crowd = std::min<std::size_t>(20, k / 2);
        for (std::size_t j = 0; j < k; ++j) {
            for (std::size_t l = 0; l < d; ++l) {
                const float base = centroids.values[(j % bases) * d + l];
                float& v = centroids.values[j * d + l];
                if (j < bases) {
                    v = normal(engine);
                } else if (j + crowd >= k) {
                    v = 2.0f + 0x1p-12f * normal(engine);
                } else {
                    v = base + 0x1p-9f * normal(engine);
                }
            }
        }
        points = Points::of(n, d, std::vector<float>(n * d));
        for (std::size_t i = 0; i < n; ++i) {
            const float* a = &centroids.values[(i % k) * d];
            const float* b = &centroids.values[((i + 1) % k) * d];
            const float* crowded = &centroids.values[(k - 1) * d];
            const bool in_run = i >= n / 2 && i < n / 2 + 100;
            for (std::size_t l = 0; l < d; ++l) {
                float& v = points.values[i * d + l];
                switch (in_run ? 3 : i % 8) {
                    case 0:
                        v = a[l];
                        break;
                    case 1:
                        v = 0.5f * (a[l] + b[l]);
                        break;
                    case 2:
                        v = 3.0f * normal(engine);
                        break;
                    case 3:
                        v = crowded[l] + 0.01f * normal(engine);
                        break;
                    default:
                        v = a[l] + 0.05f * normal(engine);
                }
            }
        }
    }
};

std::vector<KernelLevel> supported_levels() {
    std::vector<KernelLevel> levels;
    for (KernelLevel level : all_kernel_levels) {
        if (kernel_level_supported(level)) levels.push_back(level);
    }
    return levels;
}

// A screen tile of up to screen_tile_rows rows of `p`, laid out as the
// sink lays it out, and the centroids `c` as `unit` reads them.
std::vector<std::uint32_t> screen_tile(const Points& p, std::size_t first, std::size_t rows) {
    const std::size_t pairs = (p.cols + 1) / 2;
    std::vector<std::uint32_t> tile(panel_pairs(p.cols) * screen_tile_rows, 0u);
    for (std::size_t r = 0; r < rows; ++r) {
        const float* x = &p.values[(first + r) * p.cols];
        for (std::size_t q = 0; q < pairs; ++q) {
            tile[q * screen_tile_rows + r] = tiles::bf16_pair(x[2 * q], 2 * q + 1 < p.cols ? x[2 * q + 1] : 0.0f);
        }
    }
    return tile;
}

std::vector<std::uint32_t> screen_centroids(const Points& c, ScreenUnit unit) {
    const bool by_rows = tiles::screen_kernels_for(unit).centroid_rows;
    const std::size_t pairs = (c.cols + 1) / 2, stride = by_rows ? panel_pairs(c.cols) : pairs;
    const std::size_t groups = (c.rows + tiles::panel_width - 1) / tiles::panel_width;
    std::vector<std::uint32_t> out(groups * stride * tiles::panel_width, 0u);
    for (std::size_t j = 0; j < c.rows; ++j) {
        const float* row = &c.values[j * c.cols];
        for (std::size_t q = 0; q < pairs; ++q) {
            const std::size_t at = by_rows ? j * stride + q
                                           : (j / tiles::panel_width) * stride * tiles::panel_width +
                                                 q * tiles::panel_width + j % tiles::panel_width;
            out[at] = tiles::bf16_pair(row[2 * q], 2 * q + 1 < c.cols ? row[2 * q + 1] : 0.0f);
        }
    }
    return out;
}

TEST(Bf16Rounding, NearestEvenFlushesSubnormalsKeepsNaN) {
    EXPECT_EQ(tiles::bf16_bits(1.0f), 0x3F80u);
    // 1 + 2^-8 is halfway between 1 and 1 + 2^-7: ties to even (1.0).
    EXPECT_EQ(tiles::bf16_bits(1.0f + 0x1p-8f), 0x3F80u);
    EXPECT_EQ(tiles::bf16_bits(1.0f + 0x1p-8f + 0x1p-20f), 0x3F81u);
    EXPECT_EQ(tiles::bf16_bits(1.0f + 0x1p-7f + 0x1p-8f), 0x3F82u);  // odd below: up to even
    EXPECT_EQ(tiles::bf16_bits(-0x1p-130f), 0x8000u);
    EXPECT_EQ(tiles::bf16_bits(std::numeric_limits<float>::max()), 0x7F80u);
    EXPECT_TRUE(std::isnan(tiles::bf16_value(tiles::bf16_bits(nan))));
    EXPECT_EQ(tiles::bf16_pair(1.0f, -2.0f), 0xC0003F80u);
}

// (d, k): odd and even d, a lone pair, k below, at and past a panel, and
// pairs past one block of the tile unit.
using Shape = std::tuple<std::size_t, std::size_t>;
// A hardware unit and the model it must match bit for bit.
using UnitPair = std::tuple<ScreenUnit, ScreenUnit>;
class ScreenUnits : public ::testing::TestWithParam<std::tuple<UnitPair, Shape, bool>> {};

TEST_P(ScreenUnits, HardwareKeysAndCandidatesMatchTheirModel) {
    const auto [units, shape, euclidean] = GetParam();
    const auto [unit, oracle] = units;
    if (!screen_unit_supported(unit)) {
        GTEST_SKIP() << screen_unit_name(unit) << " not available on this machine: only " << screen_unit_name(oracle)
                     << " ran";
    }
    const auto [d, k] = shape;
    const NearTies data(screen_tile_rows, d, k, 11);
    const std::vector<std::uint32_t> tile = screen_tile(data.points, 0, screen_tile_rows);
    const std::vector<std::uint32_t> pairs = screen_centroids(data.centroids, unit);
    std::vector<float> norms(k), point_norms(screen_tile_rows);
    for (std::size_t j = 0; j < k; ++j) norms[j] = dot_f32(&data.centroids.values[j * d], &data.centroids.values[j * d], d);
    for (std::size_t r = 0; r < screen_tile_rows; ++r) point_norms[r] = dot_f32(&data.points.values[r * d], &data.points.values[r * d], d);
    tiles::Panels panels;
    panels.clusters = k;
    panels.dim = d;
    panels.norms = euclidean ? norms.data() : nullptr;
    panels.pairs = pairs.data();

    const tiles::ScreenKernels& emulated = tiles::screen_kernels_for(oracle);
    const tiles::ScreenKernels& hardware = tiles::screen_kernels_for(unit);
    ASSERT_EQ(emulated.centroid_rows, hardware.centroid_rows);
    std::vector<float> want(screen_tile_rows * k), got(screen_tile_rows * k);
    emulated.keys(tile.data(), point_norms.data(), panels, euclidean, want.data(), k);
    hardware.keys(tile.data(), point_norms.data(), panels, euclidean, got.data(), k);
    ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(float)), 0);

    // The screens keep the same clusters at or below the same final cuts.
    struct Kept {
        std::vector<std::uint32_t> clusters, sizes;
        std::vector<float> keys, lane, cuts;
    };
    const std::size_t capacity = 8;
    std::vector<float> widths(screen_tile_rows);
    for (std::size_t r = 0; r < screen_tile_rows; ++r) widths[r] = r % 5 == 4 ? -INFINITY : 0.01f * static_cast<float>(r % 5);
    // With block minima asked for, the same candidates, and each block's
    // least key as the keys above give it.
    const std::size_t blocks = (k + key_block - 1) / key_block;
    auto run = [&](const tiles::ScreenKernels& unit, bool minima) {
        Kept kept{std::vector<std::uint32_t>(screen_tile_rows * capacity), std::vector<std::uint32_t>(screen_tile_rows),
                  std::vector<float>(screen_tile_rows * capacity), std::vector<float>(screen_tile_rows),
                  std::vector<float>(screen_tile_rows)};
        std::vector<float> least(blocks * screen_tile_rows, nan);
        unit.screen(tile.data(), point_norms.data(), panels, euclidean,
                    {capacity, kept.clusters.data(), kept.keys.data(), kept.sizes.data(), widths.data(),
                     kept.lane.data(), kept.cuts.data(), minima ? least.data() : nullptr});
        std::vector<std::vector<std::uint32_t>> lists(screen_tile_rows);
        for (std::size_t r = 0; r < screen_tile_rows; ++r) {
            if (!(widths[r] >= 0.0f)) continue;
            for (std::size_t b = 0; minima && b < blocks; ++b) {
                const float* block = &want[r * k + b * key_block];
                const float expected = *std::min_element(block, block + std::min(key_block, k - b * key_block));
                EXPECT_EQ(least[b * screen_tile_rows + r], expected) << "row " << r << ", block " << b;
            }
            if (kept.sizes[r] > capacity) {
                lists[r] = {UINT32_MAX};
                continue;
            }
            for (std::size_t i = 0; i < kept.sizes[r]; ++i) {
                if (kept.keys[r * capacity + i] <= kept.cuts[r]) lists[r].push_back(kept.clusters[r * capacity + i]);
            }
            EXPECT_FALSE(lists[r].empty());
        }
        return lists;
    };
    const auto lists = run(emulated, false);
    EXPECT_EQ(run(hardware, false), lists);
    EXPECT_EQ(run(emulated, true), lists);
    EXPECT_EQ(run(hardware, true), lists);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScreenUnits,
                         ::testing::Combine(::testing::Values(UnitPair{ScreenUnit::avx512_bf16, ScreenUnit::emulated},
                                                              UnitPair{ScreenUnit::amx, ScreenUnit::amx_model}),
                                            ::testing::Values(Shape{1, 3}, Shape{2, 16}, Shape{7, 17}, Shape{33, 40},
                                                              Shape{70, 40}, Shape{384, 33}),
                                            ::testing::Bool()));

// The automatic choice names only a unit the machine has, and keeps its
// answer for the process.
TEST(ScreenUnits, DetectionNamesASupportedUnitOnce) {
    for (KernelLevel level : supported_levels()) {
        const std::optional<ScreenUnit> unit = detected_screen_unit(level);
        if (unit) {
            EXPECT_TRUE(screen_unit_supported(*unit));
            EXPECT_TRUE(*unit == ScreenUnit::avx512_bf16 || *unit == ScreenUnit::amx) << "only hardware pays";
        }
        if (!screen_unit_supported(ScreenUnit::avx512_bf16) && !screen_unit_supported(ScreenUnit::amx)) {
            EXPECT_FALSE(unit.has_value());
        }
        EXPECT_EQ(detected_screen_unit(level), unit);
    }
    EXPECT_TRUE(screen_unit_supported(ScreenUnit::emulated));
}

// The window holds what it claims: for every point and cluster, the exact
// key and the screen's are within half a window, at every level.
TEST(ScreenBound, MeasuredErrorsStayInsideTheWindow) {
    for (const bool euclidean : {true, false}) {
        for (const std::size_t d : {3u, 64u, 383u}) {
            const NearTies data(screen_tile_rows, d, 21, 3);
            Matrix centroids(21, d);
            std::copy(data.centroids.values.begin(), data.centroids.values.end(), centroids.data());
            const std::vector<std::uint32_t> tile = screen_tile(data.points, 0, screen_tile_rows);
            for (KernelLevel level : supported_levels()) {
                const CentroidPanels exact(centroids, 21, euclidean, level);
                tiles::Panels panels = exact.panels();
                screen_bound::CentroidSide side;
                for (std::size_t j = 0; j < 21; ++j) {
                    std::vector<float> rounded(d);
                    for (std::size_t l = 0; l < d; ++l) rounded[l] = tiles::bf16_value(tiles::bf16_bits(centroids.row(j)[l]));
                    side.rounded_length = std::max(side.rounded_length, bounds::length_of(rounded.data(), d));
                    side.rounding = std::max(side.rounding, bounds::distance_between(centroids.row(j).data(), rounded.data(), d));
                    if (euclidean) side.largest_norm = std::max(side.largest_norm, double(exact.panels().norms[j]));
                }
                std::vector<float> point_norms(screen_tile_rows), approximate(screen_tile_rows * 21);
                for (std::size_t r = 0; r < screen_tile_rows; ++r) {
                    point_norms[r] = dot_f32(&data.points.values[r * d], &data.points.values[r * d], d);
                }
                // The tile unit's model sums in another order: its keys are
                // held to the same window, and are not the emulated unit's.
                std::vector<float> emulated;
                for (const ScreenUnit unit : {ScreenUnit::emulated, ScreenUnit::amx_model}) {
                    const std::vector<std::uint32_t> pairs = screen_centroids(data.centroids, unit);
                    panels.pairs = pairs.data();
                    tiles::screen_kernels_for(unit).keys(tile.data(), point_norms.data(), panels, euclidean,
                                                         approximate.data(), 21);
                    double worst = 0.0;
                    for (std::size_t r = 0; r < screen_tile_rows; ++r) {
                        const std::span<const float> x(&data.points.values[r * d], d);
                        const std::vector<float> keys = test::keys_of(x, centroids, euclidean, point_norms[r], level);
                        const double window = screen_bound::window(euclidean, d, screen_bound::length_above(point_norms[r], d),
                                                                   point_norms[r], side);
                        for (std::size_t j = 0; j < 21; ++j) {
                            const double error = std::fabs(double(keys[j]) - double(approximate[r * 21 + j]));
                            ASSERT_LE(error, window / 2) << "point " << r << " cluster " << j << " d " << d;
                            worst = std::max(worst, error / window);
                        }
                    }
                    // Not vacuous: the bf16 error is a fair share of the bound.
                    EXPECT_GT(worst, 0.005) << "d " << d << " " << screen_unit_name(unit);
                    if (unit == ScreenUnit::emulated) {
                        emulated = approximate;
                    } else if (d > 3) {
                        EXPECT_NE(std::memcmp(emulated.data(), approximate.data(), emulated.size() * sizeof(float)), 0);
                    }
                }
            }
        }
    }
}

using Case = test::ScreenCase;
class ScreenedStep : public ::testing::TestWithParam<Case> {};

TEST_P(ScreenedStep, LabelsAndSizesAreThePlainStepsBitForBit) {
    const auto [level, unit, shape, euclidean, threads] = GetParam();
    SKIP_UNLESS_SCREEN_CASE_RUNS(level, unit);
    const auto [n, d, k] = shape;
    const NearTies data(n, d, k, static_cast<std::uint32_t>(n + d + k));
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    const ExecutionContext context = test::context(level, pool.get());
    const ScreenWork work = test::expect_plain_labels(
        data.points, data.centroids, euclidean, context,
        [&](Model& model, const TrainingState& state) { return screened_update_labels(model, state, context, unit); });
    // Every path ran: points settled from candidates, with more than one
    // candidate on average (the near-duplicates), and, where the crowd
    // outnumbers what a window may hold, points scored in full, more than
    // the run of 100 alone.
    EXPECT_EQ(work.points, n);
    EXPECT_GT(work.settled, n / 4);
    EXPECT_GT(work.candidates, work.settled);
    if (k / 2 > 16) {
        EXPECT_GT(work.full, 100u + n / 16);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScreenedStep,
    ::testing::Combine(::testing::ValuesIn(all_kernel_levels),
                       ::testing::ValuesIn(all_screen_units),
                       ::testing::Values(std::make_tuple(std::size_t{301}, std::size_t{33}, std::size_t{37}),
                                         std::make_tuple(std::size_t{700}, std::size_t{96}, std::size_t{64}),
                                         std::make_tuple(std::size_t{97}, std::size_t{5}, std::size_t{3})),
                       ::testing::Bool(), ::testing::Values(std::size_t{0}, std::size_t{3})),
    test::screen_case_name);

// A refresh of the bounded step through the screen gives the plain step's
// labels, and bounds that hold: each point's own bound at or above its
// exact distance (Euclidean) or score (-x.c, inner product) to its own
// centroid, and each group's at or below those of every other centroid
// of the group.
class ScreenedRefresh : public ::testing::TestWithParam<Case> {};

TEST_P(ScreenedRefresh, LabelsAreThePlainStepsAndBoundsHold) {
    const auto [level, unit, shape, euclidean, threads] = GetParam();
    SKIP_UNLESS_SCREEN_CASE_RUNS(level, unit);
    const auto [n, d, k] = shape;
    if (k < 2) GTEST_SKIP();
    const NearTies data(n, d, k, static_cast<std::uint32_t>(n + d + k));
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    const ExecutionContext context = test::context(level, pool.get());
    const TrainingState state = TrainingState::start(data.points.view(), euclidean);

    Model plain = test::model_with_centroids(data.centroids, euclidean);
    plain.labels.assign(n, 0);
    Model refreshed = plain;
    update_labels(plain, state, context);
    BoundedStep step(k, d, euclidean);
    step.screen_refreshes(unit);
    step.update_labels(refreshed, state, context);
    ASSERT_NE(step.screened_work(), nullptr);
    EXPECT_GT(step.screened_work()->settled, n / 4);
    EXPECT_EQ(refreshed.labels, plain.labels);
    EXPECT_EQ(refreshed.cluster_sizes, plain.cluster_sizes);

    EXPECT_EQ(test::broken_bounds(step, refreshed.labels, data.points, data.centroids, euclidean), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScreenedRefresh,
    ::testing::Combine(::testing::ValuesIn(all_kernel_levels),
                       ::testing::ValuesIn(all_screen_units),
                       ::testing::Values(std::make_tuple(std::size_t{301}, std::size_t{33}, std::size_t{37}),
                                         std::make_tuple(std::size_t{700}, std::size_t{96}, std::size_t{64})),
                       ::testing::Bool(), ::testing::Values(std::size_t{0}, std::size_t{3})),
    test::screen_case_name);

// The bounds a screened refresh sets are tight: with centroids that do not
// move, the bounded step after it scores next to nothing again. A group's
// bound that took in the chosen cluster's own key would fail every point.
TEST(ScreenedRefresh, BoundsSettleTheNextStepWhenNothingMoves) {
    const std::size_t n = 2000, d = 48, k = 96;
    std::mt19937 engine(5);
    std::normal_distribution<float> normal;
    Points centroids = Points::of(k, d, std::vector<float>(k * d));
    for (float& v : centroids.values) v = 4.0f * normal(engine);
    Points points = Points::of(n, d, std::vector<float>(n * d));
    for (std::size_t i = 0; i < n * d; ++i) {
        points.values[i] = centroids.values[(i / d % k) * d + i % d] + 0.1f * normal(engine);
    }
    for (const ScreenUnit unit : {ScreenUnit::emulated, ScreenUnit::amx_model}) {
        for (const bool euclidean : {true, false}) {
            SCOPED_TRACE(std::string(screen_unit_name(unit)) + (euclidean ? " l2" : " ip"));
            const TrainingState state = TrainingState::start(points.view(), euclidean);
            const ExecutionContext context = test::context(detected_kernel_level());
            Model model = test::model_with_centroids(centroids, euclidean);
            model.labels.assign(n, 0);
            BoundedStep step(k, d, euclidean);
            step.screen_refreshes(unit);
            step.update_labels(model, state, context);
            ASSERT_NE(step.screened_work(), nullptr);
            EXPECT_EQ(step.screened_work()->settled, n);
            step.update_labels(model, state, context);
            EXPECT_EQ(step.screened_work(), nullptr);
            EXPECT_LT(step.work().distances, n * k / 100);
        }
    }
}

// A NaN among the points or the centroids faults as the plain step does,
// and leaves labels and sizes as they were.
TEST(ScreenedStepFaults, NaNFaultsLikeThePlainStep) {
    for (const bool euclidean : {true, false}) {
        for (const bool in_centroid : {false, true}) {
            NearTies data(200, 40, 20, 9);
            (in_centroid ? data.centroids.values[5 * 40 + 3] : data.points.values[77 * 40 + 3]) = nan;
            const TrainingState state = TrainingState::start(data.points.view(), euclidean);
            Model model = test::model_with_centroids(data.centroids, euclidean);
            model.labels.assign(200, 7);
            const std::vector<double> sizes = model.cluster_sizes;
            EXPECT_THROW(screened_update_labels(model, state, test::context(KernelLevel::scalar), ScreenUnit::emulated),
                         Fault);
            EXPECT_EQ(model.labels, std::vector<std::uint64_t>(200, 7));
            EXPECT_EQ(model.cluster_sizes, sizes);
        }
    }
}

// Whole trainings with every full step screened match unscreened ones, and
// the automatic policy gives the screen up where windows are wide.
TEST(ScreenedTraining, ForcedScreenTrainsTheSameAndAutomaticGivesUpOnNoise) {
    const KernelLevel level = detected_kernel_level();
    for (const bool euclidean : {true, false}) {
        const NearTies data(3000, 48, 80, 4);
        Model config = Model::create(80);
        config.euclidean = euclidean;
        config.iterations = 4;
        auto run = [&](ScreenMode mode) {
            Model model = config;
            ThreadRandom random = test::seeded_random(8);
            TrainingOptions options{LabelStepMode::full, nullptr, {mode, ScreenUnit::emulated}};
            EXPECT_TRUE(train(model, data.points.view(), test::context(level, nullptr, &random), options).ok());
            return model;
        };
        const Model plain = run(ScreenMode::off);
        const Model screened = run(ScreenMode::forced);
        EXPECT_EQ(screened.labels, plain.labels);
        EXPECT_EQ(screened.cluster_sizes, plain.cluster_sizes);
        ASSERT_TRUE(screened.centroids && plain.centroids);
        EXPECT_EQ(std::memcmp(screened.centroids->data(), plain.centroids->data(), 80 * 48 * sizeof(float)), 0);
    }
    // Centroids within a bf16 unit of one another: every window holds all
    // of them, every point is scored in full, and the automatic policy
    // screens no second step; a forced one keeps screening.
    const Points noise = Points::gaussian(500, 256, 6);
    Points centres = Points::gaussian(256, 256, 7, 0x1p-12f);
    for (float& v : centres.values) v += 1.0f;
    const TrainingState state = TrainingState::start(noise.view(), true);
    for (const ScreenMode mode : {ScreenMode::automatic, ScreenMode::forced}) {
        FullStep step({mode, ScreenUnit::emulated}, 256, 256);
        Model model = test::model_with_centroids(centres, true);
        step.update_labels(model, state, test::context(level));
        const ScreenWork first = step.screen_work();
        EXPECT_EQ(first.full, 500u);
        EXPECT_GT(ScreenPolicy::cost(first, 256), 0.95);
        step.update_labels(model, state, test::context(level));
        EXPECT_EQ(step.screen_work().points, mode == ScreenMode::forced ? 500u : 0u);
    }
}

TEST(ScreenPolicy, AutomaticNeedsAShapeThatPaysAndStopsWhenItDoesNot) {
    EXPECT_FALSE(ScreenPolicy({ScreenMode::automatic, ScreenUnit::emulated}, 128, 384).screens());
    EXPECT_FALSE(ScreenPolicy({ScreenMode::automatic, ScreenUnit::emulated}, 1024, 32).screens());
    EXPECT_FALSE(ScreenPolicy({ScreenMode::automatic, ScreenUnit::emulated}, 256, 128).screens());
    EXPECT_TRUE(ScreenPolicy({ScreenMode::automatic, ScreenUnit::emulated}, 256, 256).screens());
    EXPECT_TRUE(ScreenPolicy({ScreenMode::forced, ScreenUnit::emulated}, 2, 1).screens());
    EXPECT_FALSE(ScreenPolicy({ScreenMode::off, ScreenUnit::emulated}, 1024, 384).screens());
    EXPECT_FALSE(ScreenPolicy({ScreenMode::forced, ScreenUnit::emulated}, 1, 384).screens());
    ScreenPolicy policy({ScreenMode::automatic, ScreenUnit::emulated}, 1024, 384);
    ASSERT_TRUE(policy.screens());
    // Two candidates a point and 1% in full pays; 40% in full does not.
    policy.done({1000, 990, 1980, 10});
    EXPECT_TRUE(policy.screens());
    policy.done({1000, 600, 1200, 400});
    EXPECT_FALSE(policy.screens());
}

}  // namespace
}  // namespace quorla::engine
