// The screened top-k scan against the plain one: assign and search with the
// screen forced give the same lists, clusters and distance bits as without
// it, over levels, units, shapes, metrics, pool sizes and top counts, on
// data full of near-ties, exact ties and windows too wide to screen; and
// NaN or huge values end a call the same way.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <variant>

#include "engine/assignment.hpp"
#include "engine/core/fault.hpp"
#include "engine/scan/screened_top.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;

// Groups of near-duplicate centroids (2^-9 of their spread apart, about a
// bf16 unit), every fifth an exact copy of its group's first, so that the
// t-th key of a point has near and exact ties; the last up to 20 (k / 2)
// are a crowd within 2^-12 of one point, more than a window may hold.
// Points sit on centroids, halfway between two, near one, scattered, or
// near the crowd (one in eight, and a run of 100 in the middle, which
// fills whole tiles with points scored in full).
struct TiedData {
    Points points, centroids;

    TiedData(std::size_t n, std::size_t d, std::size_t k, std::uint32_t seed) {
        std::mt19937 engine(seed);
        std::normal_distribution<float> normal;
        centroids = Points::of(k, d, std::vector<float>(k * d));
        const std::size_t groups = std::max<std::size_t>(1, k / 4);
        const std::size_t crowd = std::min<std::size_t>(20, k / 2);
        for (std::size_t j = 0; j < k; ++j) {
            const float* base = &centroids.values[(j % groups) * d];
            for (std::size_t l = 0; l < d; ++l) {
                float& v = centroids.values[j * d + l];
                if (j < groups) {
                    v = normal(engine);
                } else if (j + crowd >= k) {
                    v = 2.0f + 0x1p-12f * normal(engine);
                } else {
                    v = base[l] + (j % 5 == 0 ? 0.0f : 0x1p-9f * normal(engine));
                }
            }
        }
        points = Points::of(n, d, std::vector<float>(n * d));
        for (std::size_t i = 0; i < n; ++i) {
            const float* a = &centroids.values[(i % k) * d];
            const float* b = &centroids.values[((i + 1) % k) * d];
            const bool in_run = i >= n / 2 && i < n / 2 + 100;
            for (std::size_t l = 0; l < d; ++l) {
                const float near = (in_run || i % 8 == 3) ? centroids.values[(k - 1) * d + l] : a[l];
                const int kind = in_run ? 3 : static_cast<int>(i % 8);
                points.values[i * d + l] = kind == 0   ? a[l]
                                           : kind == 1 ? 0.5f * (a[l] + b[l])
                                           : kind == 2 ? 3.0f * normal(engine)
                                           : kind == 3 ? near + 0.01f * normal(engine)
                                                       : a[l] + 0.05f * normal(engine);
            }
        }
    }
};

// (level, unit, (n, d, k), euclidean, threads)
using Case = std::tuple<KernelLevel, ScreenUnit, std::tuple<std::size_t, std::size_t, std::size_t>, bool, std::size_t>;
class ScreenedTop : public ::testing::TestWithParam<Case> {};

TEST_P(ScreenedTop, AssignAndSearchAreThePlainOnesBitForBit) {
    const auto [level, unit, shape, euclidean, threads] = GetParam();
    if (!kernel_level_supported(level)) GTEST_SKIP() << kernel_level_name(level) << " not available";
    if (!screen_unit_supported(unit)) GTEST_SKIP() << screen_unit_name(unit) << " not available on this machine";
    const auto [n, d, k] = shape;
    const TiedData data(n, d, k, static_cast<std::uint32_t>(n + d + k));
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    const ExecutionContext context = test::context(level, pool.get());
    const Model model = test::trained_model(data.centroids, euclidean);
    const ScreenOptions forced{ScreenMode::forced, unit};
    const CentroidPanels panels(*model.centroids, k, euclidean, level);

    for (const std::size_t take : {std::size_t{1}, std::size_t{2}, std::size_t{10}, k - 1}) {
        if (take >= k) continue;
        SCOPED_TRACE("take " + std::to_string(take));
        const SearchResult plain = search(model, data.points.view(), take, context).value();
        const SearchResult screened = search(model, data.points.view(), take, context, forced).value();
        EXPECT_EQ(screened.clusters, plain.clusters);
        ASSERT_EQ(screened.distances.size(), plain.distances.size());
        EXPECT_EQ(std::memcmp(screened.distances.data(), plain.distances.data(), plain.distances.size() * 4), 0);
        EXPECT_EQ(assign(model, data.points.view(), take, context, forced).value(),
                  assign(model, data.points.view(), take, context).value());

        // Every path ran: points settled from more candidates than they take
        // (the near-duplicates), and, where the crowd outnumbers what a
        // window may hold, points scored in full, more than the run alone.
        std::vector<std::uint32_t> out(n * take);
        const ScreenWork work = screened_top(context, panels, *model.centroids, data.points.view(), forced, take, out).work;
        EXPECT_EQ(work.points, n);
        // Near k, the limit is every cluster: every point settles.
        if (take + 16 >= k) {
            EXPECT_EQ(work.settled, n);
        }
        if (take < k / 2) {
            EXPECT_GT(work.settled, n / 4);
            EXPECT_GT(work.candidates, work.settled * take);
        }
        if (std::min<std::size_t>(20, k / 2) > std::max(k / 16, take + 16)) {
            EXPECT_GT(work.full, 100u + n / 16);
        }
    }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    const auto [level, unit, shape, euclidean, threads] = info.param;
    const auto [n, d, k] = shape;
    return std::string(kernel_level_name(level)) + "_" + screen_unit_name(unit) + "_n" + std::to_string(n) + "_d" +
           std::to_string(d) + "_k" + std::to_string(k) + (euclidean ? "_l2" : "_ip") + "_t" + std::to_string(threads);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScreenedTop,
    ::testing::Combine(::testing::ValuesIn(all_kernel_levels),
                       ::testing::Values(ScreenUnit::emulated, ScreenUnit::avx512_bf16),
                       ::testing::Values(std::make_tuple(std::size_t{301}, std::size_t{33}, std::size_t{37}),
                                         std::make_tuple(std::size_t{700}, std::size_t{96}, std::size_t{130}),
                                         std::make_tuple(std::size_t{97}, std::size_t{5}, std::size_t{3})),
                       ::testing::Bool(), ::testing::Values(std::size_t{0}, std::size_t{3})),
    case_name);

// Data where bf16 rounding works against the exact order as hard as it
// can: every point's even coordinates round down by half a bf16 unit and
// its odd ones up. "Winners" weigh the even coordinates with values that
// also round down; "losers" the odd ones with values bf16 holds exactly,
// a little below the winners in mean. Exactly, each winner beats every
// loser by a hair (in inner product; Euclidean keys tie them within
// rounding, the norms making up the difference); approximately, every
// loser beats every winner by about half the window. A window narrowed to
// a quarter loses the winners.
TEST(ScreenedTopRounding, WindowHoldsKeysThatRoundingTurnedAround) {
    constexpr std::size_t d = 64, n = 150, winners = 4, losers = 4, k = 40;
    const float down = 1.0f + 0x1p-8f - 0x1p-18f, up = 1.0f + 0x1p-8f + 0x1p-18f;
    std::mt19937 engine(3);
    std::normal_distribution<float> normal;
    Points centroids = Points::of(k, d, std::vector<float>(k * d, 0.0f));
    for (std::size_t j = 0; j < k; ++j) {
        float* c = &centroids.values[j * d];
        for (std::size_t l = 0; l < d; ++l) {
            if (j < winners) {
                c[l] = l % 2 == 0 ? down - static_cast<float>(j) * 0x1p-20f : 0.0f;
            } else if (j < winners + losers) {
                c[l] = l % 2 == 0 ? 0.0f : (l % 4 == 1 ? 1.0f + 0x1p-7f : 1.0f);
            } else {
                c[l] = -0.5f + 0.1f * normal(engine);
            }
        }
        if (j >= winners && j < winners + losers) c[1 + 4 * (j - winners)] = 1.0f - 0x1p-8f;
    }
    Points points = Points::of(n, d, std::vector<float>(n * d));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t l = 0; l < d; ++l) {
            points.values[i * d + l] = (l % 2 == 0 ? down : up) + static_cast<float>(i % 7) * 0x1p-22f;
        }
    }
    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        for (ScreenUnit unit : all_screen_units) {
            if (!screen_unit_supported(unit)) continue;
            for (const bool euclidean : {true, false}) {
                const Model model = test::trained_model(centroids, euclidean);
                const ExecutionContext context = test::context(level);
                const CentroidPanels panels(*model.centroids, k, euclidean, level);
                for (const std::size_t take : {1, 2, 3}) {
                    SCOPED_TRACE(std::string(kernel_level_name(level)) + " " + screen_unit_name(unit) +
                                 (euclidean ? " l2" : " ip") + " take " + std::to_string(take));
                    const SearchResult plain = search(model, points.view(), take, context).value();
                    std::vector<std::uint32_t> out(n * take);
                    const ScreenWork work =
                        screened_top(context, panels, *model.centroids, points.view(), {ScreenMode::forced, unit}, take, out)
                            .work;
                    ASSERT_EQ(work.settled, n) << "every point must be settled from its candidates";
                    for (std::size_t e = 0; e < n * take; ++e) {
                        ASSERT_EQ(out[e], plain.clusters[e]) << "entry " << e;
                        if (!euclidean) {
                            ASSERT_LT(out[e], winners) << "the exact order puts the winners first";
                        }
                    }
                }
            }
        }
    }
}

// How a call ended: its search result, its error message, or a fault.
using Ending = std::variant<std::vector<float>, std::string, int>;
Ending ending_of(const Model& model, const Points& points, std::size_t take, const ScreenOptions& screening) {
    try {
        Outcome<SearchResult> found = search(model, points.view(), take, test::context(detected_kernel_level()), screening);
        if (!found.ok()) return found.error().message();
        return found.value().distances;
    } catch (const Fault&) {
        return 0;
    }
}

// A NaN among the points or the centroids, or a value whose square
// overflows, ends a screened call as it ends a plain one.
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
                    if (bad != bad) {
                        EXPECT_EQ(plain.index(), 2u) << "a NaN must fault";
                    }
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
    const Points separated = Points::gaussian(k, d, 21);
    Points crowded = Points::gaussian(k, d, 22, 0x1p-12f);
    for (float& v : crowded.values) v += 1.0f;
    for (const auto& [centroids, pays] : {std::make_pair(&separated, true), std::make_pair(static_cast<const Points*>(&crowded), false)}) {
        Points points = Points::gaussian(n, d, 23, 0.05f);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t l = 0; l < d; ++l) points.values[i * d + l] += centroids->values[(i * 7 % k) * d + l];
        }
        for (const bool euclidean : {true, false}) {
            const Model model = test::trained_model(*centroids, euclidean);
            const ExecutionContext context = test::context(detected_kernel_level());
            const ScreenUnit unit =
                screen_unit_supported(ScreenUnit::avx512_bf16) ? ScreenUnit::avx512_bf16 : ScreenUnit::emulated;
            const ScreenOptions automatic{ScreenMode::automatic, unit};
            ASSERT_TRUE(screens_top(automatic, k, d, 1, n));
            const CentroidPanels panels(*model.centroids, k, euclidean, context.level);
            std::vector<std::uint32_t> out(n);
            const ScreenedRows covered = screened_top(context, panels, *model.centroids, points.view(), automatic, 1, out);
            EXPECT_EQ(covered.rows, pays ? n : 4096u) << (euclidean ? "l2" : "ip");
            const SearchResult plain = search(model, points.view(), 1, context).value();
            const SearchResult screened = search(model, points.view(), 1, context, automatic).value();
            EXPECT_EQ(screened.clusters, plain.clusters);
            EXPECT_EQ(std::memcmp(screened.distances.data(), plain.distances.data(), n * 4), 0);
            EXPECT_EQ(assign(model, points.view(), 1, context, automatic).value(),
                      assign(model, points.view(), 1, context).value());
        }
    }
}

TEST(ScreenedTopChoice, AutomaticWhereTheShapeAndTheShareOfTakenClustersPay) {
    const ScreenOptions automatic{ScreenMode::automatic, ScreenUnit::emulated};
    EXPECT_TRUE(screens_top(automatic, 1024, 384, 1, 10000));
    EXPECT_TRUE(screens_top(automatic, 1024, 384, 4, 10000));
    EXPECT_FALSE(screens_top(automatic, 1024, 384, 5, 10000));
    EXPECT_TRUE(screens_top(automatic, 4096, 384, 16, 10000));
    EXPECT_FALSE(screens_top(automatic, 1024, 384, 1, 255));
    EXPECT_FALSE(screens_top(automatic, 128, 384, 1, 10000));
    EXPECT_FALSE(screens_top(automatic, 1 << 17, 384, 1, 10000));
    EXPECT_FALSE(screens_top({}, 1024, 384, 1, 10000));
    EXPECT_TRUE(screens_top({ScreenMode::forced, ScreenUnit::emulated}, 3, 5, 2, 1));
    EXPECT_FALSE(screens_top({ScreenMode::forced, ScreenUnit::emulated}, 3, 5, 3, 1));
}

}  // namespace
}  // namespace quorla::engine
