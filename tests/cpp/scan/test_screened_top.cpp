// The screened top-k scan against the plain one: assign and search with the
// screen on give the same lists, clusters and distance bits, over levels,
// units, shapes, metrics, pools and top counts, on near-ties, exact ties,
// windows too wide to screen and rounding that turns the order around;
// hostile values end a call alike; the automatic choice.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <variant>

#include "engine/assignment.hpp"
#include "engine/core/fault.hpp"
#include "engine/scan/screened_top.hpp"
#include "screen_cases.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;

// Groups of near-duplicate centroids (2^-9 apart, about a bf16 unit), every
// fifth an exact copy of its group's first: the t-th key has near and exact
// ties. The last min(20, k / 2) are a crowd within 2^-12 of one point, more
// than a window may hold. Points sit on a centroid, halfway between two,
// near one, scattered, or near the crowd (one in eight, and a run of 100
// that fills whole tiles with points scored in full).
struct TiedData {
    Points points, centroids;

    TiedData(std::size_t n, std::size_t d, std::size_t k, std::uint32_t seed)
        : points(Points::of(n, d, std::vector<float>(n * d))), centroids(Points::of(k, d, std::vector<float>(k * d))) {
        std::mt19937 engine(seed);
        std::normal_distribution<float> normal;
        const std::size_t groups = std::max<std::size_t>(1, k / 4), crowd = std::min<std::size_t>(20, k / 2);
        for (std::size_t j = 0; j < k; ++j) {
            for (std::size_t l = 0; l < d; ++l) {
                const float base = centroids.values[(j % groups) * d + l];
                centroids.values[j * d + l] = j < groups          ? normal(engine)
                                              : j + crowd >= k    ? 2.0f + 0x1p-12f * normal(engine)
                                              : j % 5 == 0        ? base
                                                                  : base + 0x1p-9f * normal(engine);
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const float* a = &centroids.values[(i % k) * d];
            const float* b = &centroids.values[((i + 1) % k) * d];
            const std::size_t kind = i >= n / 2 && i < n / 2 + 100 ? 3 : i % 8;
            for (std::size_t l = 0; l < d; ++l) {
                points.values[i * d + l] = kind == 0   ? a[l]
                                           : kind == 1 ? 0.5f * (a[l] + b[l])
                                           : kind == 2 ? 3.0f * normal(engine)
                                           : kind == 3 ? centroids.values[(k - 1) * d + l] + 0.01f * normal(engine)
                                                       : a[l] + 0.05f * normal(engine);
            }
        }
    }
};

// Screened and plain search and assign of the first `take` clusters agree
// bit for bit; returns what the screened scan did.
ScreenWork expect_same(const Model& model, const Points& points, std::size_t take, const ExecutionContext& context,
                       const ScreenOptions& screening) {
    const SearchResult plain = search(model, points.view(), take, context).value();
    const SearchResult screened = search(model, points.view(), take, context, screening).value();
    EXPECT_EQ(screened.clusters, plain.clusters);
    EXPECT_EQ(std::memcmp(screened.distances.data(), plain.distances.data(), plain.distances.size() * 4), 0);
    EXPECT_EQ(assign(model, points.view(), take, context, screening).value(),
              assign(model, points.view(), take, context).value());
    const CentroidPanels panels(*model.centroids, model.n_clusters, model.euclidean, context.level);
    std::vector<std::uint32_t> out(points.rows * take);
    const ScreenedRows covered = screened_top(context, panels, *model.centroids, points.view(), screening, take, out);
    for (std::size_t e = 0; e < covered.rows * take; ++e) EXPECT_EQ(out[e], plain.clusters[e]) << "entry " << e;
    return covered.work;
}

// expect_same on TiedData of `shape` at takes 1, 2, 10 and k - 1, then
// check(work, take, n, k) on what each screened scan did.
template <class Check>
void each_take(KernelLevel level, const test::ScreenShape& shape, bool euclidean, std::size_t threads,
               const ScreenOptions& screening, Check check) {
    const auto [n, d, k] = shape;
    const TiedData data(n, d, k, static_cast<std::uint32_t>(n + d + k));
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    const Model model = test::trained_model(data.centroids, euclidean);
    for (const std::size_t take : {std::size_t{1}, std::size_t{2}, std::size_t{10}, k - 1}) {
        if (take >= k) continue;
        SCOPED_TRACE("take " + std::to_string(take));
        check(expect_same(model, data.points, take, test::context(level, pool.get()), screening), take, n, k);
    }
}

using Case = test::ScreenCase;
class ScreenedTop : public ::testing::TestWithParam<Case> {};

TEST_P(ScreenedTop, AssignAndSearchAreThePlainOnesBitForBit) {
    const auto [level, unit, shape, euclidean, threads] = GetParam();
    SKIP_UNLESS_SCREEN_CASE_RUNS(level, unit);
    each_take(level, shape, euclidean, threads, {ScreenMode::forced, unit},
              [](const ScreenWork& work, std::size_t take, std::size_t n, std::size_t k) {
                  // Every path ran: points settled from more candidates than
                  // they take; near k, where the limit is every cluster, all
                  // of them; and where the crowd outnumbers the limit, points
                  // scored in full.
                  EXPECT_EQ(work.points, n);
                  if (take + 16 >= k) { EXPECT_EQ(work.settled, n); }
                  if (take < k / 2) { EXPECT_GT(work.settled, n / 4); }
                  if (take < k / 2) { EXPECT_GT(work.candidates, work.settled * take); }
                  if (std::min<std::size_t>(20, k / 2) > std::max(k / 16, take + 16)) {
                      EXPECT_GT(work.full, 100u + n / 16);
                  }
              });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScreenedTop,
    ::testing::Combine(::testing::ValuesIn(all_kernel_levels),
                       ::testing::ValuesIn(all_screen_units),
                       ::testing::Values(std::make_tuple(std::size_t{301}, std::size_t{33}, std::size_t{37}),
                                         std::make_tuple(std::size_t{700}, std::size_t{96}, std::size_t{130}),
                                         std::make_tuple(std::size_t{97}, std::size_t{5}, std::size_t{3})),
                       ::testing::Bool(), ::testing::Values(std::size_t{0}, std::size_t{3})),
    test::screen_case_name);

// The dimension screen's cut past take 1 comes from the exact keys of the
// clusters of least bound: the same lists and bits, every level, shape,
// metric and pool, the near-ties and crowds of TiedData included. With
// d = 5 and d = 16 the head is every dimension, so bounds meet exact keys
// within rounding and only the window keeps the ties; the others leave
// tails to bound.
using DimensionCase = std::tuple<KernelLevel, test::ScreenShape, bool, std::size_t>;
class DimensionScreenedTop : public ::testing::TestWithParam<DimensionCase> {};

std::string dimension_case_name(const ::testing::TestParamInfo<DimensionCase>& info) {
    const auto [level, shape, euclidean, threads] = info.param;
    return std::string(kernel_level_name(level)) + "_d" + std::to_string(std::get<1>(shape)) + "_k" +
           std::to_string(std::get<2>(shape)) +
           (euclidean ? "_l2" : "_ip") + "_t" + std::to_string(threads);
}

TEST_P(DimensionScreenedTop, AssignAndSearchAreThePlainOnesBitForBit) {
    const auto [level, shape, euclidean, threads] = GetParam();
    if (!kernel_level_supported(level)) GTEST_SKIP() << kernel_level_name(level) << " not available";
    each_take(level, shape, euclidean, threads, {ScreenMode::forced, ScreenUnit::emulated, ScreenKind::dimensions},
              [](const ScreenWork& work, std::size_t take, std::size_t n, std::size_t k) {
                  EXPECT_EQ(work.points, n);
                  if (take < k / 2) { EXPECT_GT(work.settled, n / 4); }
              });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DimensionScreenedTop,
    ::testing::Combine(::testing::ValuesIn(all_kernel_levels),
                       ::testing::Values(std::make_tuple(std::size_t{301}, std::size_t{33}, std::size_t{37}),
                                         std::make_tuple(std::size_t{700}, std::size_t{96}, std::size_t{130}),
                                         std::make_tuple(std::size_t{400}, std::size_t{16}, std::size_t{64}),
                                         std::make_tuple(std::size_t{97}, std::size_t{5}, std::size_t{3})),
                       ::testing::Bool(), ::testing::Values(std::size_t{0}, std::size_t{3})),
    dimension_case_name);

// Rounding against the exact order, as hard as it goes: each point's even
// coordinates round down by half a bf16 unit and its odd ones up. Winners
// (the first 4) weigh the even ones with values that round down too; losers
// (the next 4) the odd ones with values bf16 holds exactly, a little lower
// in mean. Exactly, winners beat losers by a hair in inner product (in
// Euclidean keys the norms make it a near-tie); approximately, losers beat
// winners by half a window. A window a quarter as wide loses the winners.
TEST(ScreenedTopRounding, WindowHoldsKeysThatRoundingTurnedAround) {
    constexpr std::size_t d = 64, n = 150, k = 40;
    const float down = 1.0f + 0x1p-8f - 0x1p-18f, up = 1.0f + 0x1p-8f + 0x1p-18f;
    std::mt19937 engine(3);
    std::normal_distribution<float> normal;
    Points centroids = Points::of(k, d, std::vector<float>(k * d, 0.0f)), points = Points::of(n, d, std::vector<float>(n * d));
    for (std::size_t j = 0; j < k; ++j) {
        for (std::size_t l = 0; l < d; ++l) {
            const float loser = l % 2 == 0 ? 0.0f : (l % 4 == 1 ? 1.0f + 0x1p-7f : 1.0f);
            centroids.values[j * d + l] = j < 4   ? (l % 2 == 0 ? down - static_cast<float>(j) * 0x1p-20f : 0.0f)
                                          : j < 8 ? loser
                                                  : -0.5f + 0.1f * normal(engine);  // far
        }
        if (j >= 4 && j < 8) centroids.values[j * d + 1 + 4 * (j - 4)] = 1.0f - 0x1p-8f;
    }
    for (std::size_t i = 0; i < n * d; ++i) points.values[i] = (i % 2 == 0 ? down : up) + static_cast<float>(i / d % 7) * 0x1p-22f;
    for (KernelLevel level : all_kernel_levels) {
        for (ScreenUnit unit : all_screen_units) {
            if (!kernel_level_supported(level) || !screen_unit_supported(unit)) continue;
            for (const bool euclidean : {true, false}) {
                const Model model = test::trained_model(centroids, euclidean);
                for (const std::size_t take : {1, 2, 3}) {
                    SCOPED_TRACE(std::string(kernel_level_name(level)) + " " + screen_unit_name(unit) + " take " + std::to_string(take));
                    const ScreenWork work = expect_same(model, points, take, test::context(level), {ScreenMode::forced, unit});
                    EXPECT_EQ(work.settled, n) << "every point settled from its candidates";
                    const SearchResult found = search(model, points.view(), take, test::context(level)).value();
                    for (std::size_t e = 0; e < n * take && !euclidean; ++e) ASSERT_LT(found.clusters[e], 4) << "winners first";
                }
            }
        }
    }
}

// How a call ended: its distances, its error message, or a fault.
using Ending = std::variant<std::vector<float>, std::string, int>;
Ending ending_of(const Model& model, const Points& points, std::size_t take, const ScreenOptions& screening) {
    try {
        Outcome<SearchResult> found = search(model, points.view(), take, test::context(detected_kernel_level()), screening);
        return found.ok() ? Ending(found.value().distances) : Ending(found.error().message());
    } catch (const Fault&) {
        return 0;
    }
}

TEST(ScreenedTopFaults, HostileValuesEndTheCallAsThePlainScanDoes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const bool euclidean : {true, false}) {
        for (const float bad : {nan, 3e30f, std::numeric_limits<float>::infinity()}) {
            for (const bool in_centroid : {false, true}) {
                TiedData data(200, 40, 30, 9);
                (in_centroid ? data.centroids.values[5 * 40 + 3] : data.points.values[77 * 40 + 3]) = bad;
                const Model model = test::trained_model(data.centroids, euclidean);
                for (const std::size_t take : {1, 4}) {
                    const Ending plain = ending_of(model, data.points, take, {});
                    EXPECT_EQ(ending_of(model, data.points, take, {ScreenMode::forced, ScreenUnit::emulated}), plain);
                    if (std::isnan(bad)) { EXPECT_EQ(plain.index(), 2u) << "a NaN must fault"; }
                }
            }
        }
    }
}

// Automatic mode screens a sample first and the rest only where it pays:
// points near well-separated centroids go on; centroids within a bf16 unit
// of one another (every window holds them all) stop after the sample, and
// the plain scan takes the rest. The results are the plain ones either way.
TEST(ScreenedTopChoice, AutomaticSampleDecidesAndTheRestIsScannedPlainly) {
    constexpr std::size_t n = 6000, d = 256, k = 256;  // the least shape the automatic choice screens
    const ScreenUnit unit = screen_unit_supported(ScreenUnit::avx512_bf16) ? ScreenUnit::avx512_bf16 : ScreenUnit::emulated;
    Points crowded = Points::gaussian(k, d, 22, 0x1p-12f);
    for (float& v : crowded.values) v += 1.0f;
    for (const bool pays : {true, false}) {
        const Points centroids = pays ? Points::gaussian(k, d, 21) : crowded;
        Points points = Points::gaussian(n, d, 23, 0.05f);
        for (std::size_t i = 0; i < n * d; ++i) points.values[i] += centroids.values[(i / d * 7 % k) * d + i % d];
        for (const bool euclidean : {true, false}) {
            const Model model = test::trained_model(centroids, euclidean);
            ASSERT_TRUE(screens_top({ScreenMode::automatic, unit}, k, d, 1, n));
            const ScreenWork work = expect_same(model, points, 1, test::context(detected_kernel_level()), {ScreenMode::automatic, unit});
            EXPECT_EQ(work.points, pays ? n : 2048u) << (euclidean ? "l2" : "ip");
        }
    }
}

// Standard normal points with their first 8 coordinates 20 times as wide:
// axes that stand out.
void stretch_leading(Points& points, std::size_t d) {
    for (std::size_t i = 0; i < points.values.size(); ++i) points.values[i] *= i % d < 8 ? 20.0f : 1.0f;
}

// The automatic dimension screen leaves points where no axis stands out to
// the plain scan before any sample; where a few axes hold most of the
// spread, the sample decides.
TEST(ScreenedTopChoice, AutomaticDimensionsOnlyWhereAxesStandOut) {
    constexpr std::size_t n = 4096, d = 64, k = 512;
    const ScreenOptions dimensions{ScreenMode::automatic, ScreenUnit::emulated, ScreenKind::dimensions};
    for (const bool structured : {false, true}) {
        Points points = Points::gaussian(n, d, 41);
        if (structured) stretch_leading(points, d);
        const Points centroids = Points::of(k, d, {points.values.begin(), points.values.begin() + k * d});
        for (const bool euclidean : {true, false}) {
            const Model model = test::trained_model(centroids, euclidean);
            const ScreenWork work = expect_same(model, points, 1, test::context(detected_kernel_level()), dimensions);
            EXPECT_EQ(work.points > 0, structured) << (euclidean ? "l2" : "ip");
        }
    }
}

// From 16,384 clusters the automatic bf16 choice looks for the nearest
// cluster through the dimension screen first, and keeps bf16 where no axis
// stands out.
TEST(ScreenedTopChoice, ManyClustersTryTheDimensionScreenFirst) {
    constexpr std::size_t n = 8192, d = 64, k = 16384;
    const ScreenUnit unit = screen_unit_supported(ScreenUnit::avx512_bf16) ? ScreenUnit::avx512_bf16 : ScreenUnit::emulated;
    const ExecutionContext context = test::context(detected_kernel_level());
    for (const bool structured : {false, true}) {
        Points points = Points::gaussian(n, d, 43);
        if (structured) stretch_leading(points, d);
        const Points centroids = Points::gaussian(k, d, 44);
        const Model model = test::trained_model(centroids, true);
        const CentroidPanels panels(*model.centroids, k, true, context.level);
        std::vector<std::uint32_t> out(n);
        const ScreenedRows covered =
            screened_top(context, panels, *model.centroids, points.view(), {ScreenMode::automatic, unit}, 1, out);
        EXPECT_EQ(covered.kind, structured ? ScreenKind::dimensions : ScreenKind::bf16);
        EXPECT_GT(covered.rows, 0u);
        const SearchResult plain = search(model, points.view(), 1, context).value();
        for (std::size_t i = 0; i < covered.rows; ++i) ASSERT_EQ(out[i], plain.clusters[i]) << "point " << i;
    }
}

TEST(ScreenedTopChoice, AutomaticWhereTheShapeAndTheShareOfTakenClustersPay) {
    const ScreenOptions automatic{ScreenMode::automatic, ScreenUnit::emulated}, forced{ScreenMode::forced, ScreenUnit::emulated};
    EXPECT_TRUE(screens_top(automatic, 1024, 384, 1, 10000));
    EXPECT_TRUE(screens_top(automatic, 1024, 384, 4, 10000));
    EXPECT_FALSE(screens_top(automatic, 1024, 384, 5, 10000));
    EXPECT_TRUE(screens_top(automatic, 4096, 384, 16, 10000));
    EXPECT_FALSE(screens_top(automatic, 1024, 384, 1, 255));
    EXPECT_FALSE(screens_top(automatic, 128, 384, 1, 10000));
    EXPECT_FALSE(screens_top(automatic, 1 << 17, 384, 1, 10000));
    EXPECT_FALSE(screens_top({}, 1024, 384, 1, 10000));
    EXPECT_TRUE(screens_top(forced, 3, 5, 2, 1));
    EXPECT_FALSE(screens_top(forced, 3, 5, 3, 1));
    // The dimension screen: the nearest cluster only, and calls large
    // enough to pay for the axes.
    const ScreenOptions dimensions{ScreenMode::automatic, ScreenUnit::emulated, ScreenKind::dimensions};
    EXPECT_TRUE(screens_top(dimensions, 4096, 384, 1, 60000));
    EXPECT_FALSE(screens_top(dimensions, 4096, 384, 2, 60000));
    EXPECT_FALSE(screens_top(dimensions, 4096, 384, 1, 10000));
    EXPECT_TRUE(screens_top({ScreenMode::forced, ScreenUnit::emulated, ScreenKind::dimensions}, 3, 5, 2, 1));
}

}  // namespace
}  // namespace quorla::engine
