// The balancing phase: the worked example, the size drift of the 0.15
// share, and the three hazards that must end cleanly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cmath>
#include <limits>

#include "engine/balancing/balancing.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "reference.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;

struct State {
    Points points;
    Model model;
    std::optional<std::vector<float>> norms;
};

// A model as the final label step would leave it, but with labels chosen
// by the test: centroids are the means of the labelled points.
State make_state(Points points, std::vector<std::uint64_t> labels, std::uint64_t k, bool euclidean,
                 std::uint64_t max_balance_diff = 1) {
    State state{std::move(points), Model::create(k), std::nullopt};
    Model& m = state.model;
    m.euclidean = euclidean;
    m.max_balance_diff = max_balance_diff;
    m.labels = std::move(labels);
    Matrix centroids(k, state.points.cols);
    for (std::size_t i = 0; i < m.labels.size(); ++i) {
        m.cluster_sizes[m.labels[i]] += 1.0f;
        for (std::size_t j = 0; j < state.points.cols; ++j) {
            centroids.row(m.labels[i])[j] += state.points.values[i * state.points.cols + j];
        }
    }
    for (std::size_t c = 0; c < k; ++c) {
        if (m.cluster_sizes[c] > 0.0f) {
            for (float& v : centroids.row(c)) v /= static_cast<float>(m.cluster_sizes[c]);
        }
    }
    m.centroids = std::move(centroids);
    if (!euclidean) {
        for (std::size_t c = 0; c < k; ++c) {
            auto row = m.centroids->row(c);
            float q = dot_f32(row.data(), row.data(), row.size());
            if (q > 0.0f) {
                for (float& v : row) v /= std::sqrt(q);
            }
        }
    }
    if (euclidean) state.norms = squared_norms(state.points.view());
    return state;
}

// The training call's state for the phase; `s` must outlive it.
TrainingState training_of(const State& s) {
    return TrainingState{s.points.view(), s.norms, static_cast<float>(s.points.rows)};
}

const ExecutionContext here = test::context(detected_kernel_level());

// Runs fn with file descriptor 1 sent into a pipe and returns what arrived.
template <class Fn>
std::string capture_stdout(Fn fn) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::fflush(stdout);  // gtest's own buffered output must not land in the pipe
    int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    fn();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(got));
    close(fds[0]);
    return text;
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(Balancing, WorkedExampleOfSixPoints) {
    State s = make_state(Points::of(6, 1, {0, 1, 2, 3, 10, 11}), {0, 0, 0, 0, 1, 1}, 2, true);
    ASSERT_EQ(s.model.centroids->row(0)[0], 1.5f);
    ASSERT_EQ(s.model.centroids->row(1)[0], 10.5f);

    const TrainingState training = training_of(s);
    BalancingPhase phase(s.model, training, detected_kernel_level());
    const float next = phase.pass(0.0f);
    EXPECT_EQ(s.model.labels, (std::vector<std::uint64_t>{0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(s.model.cluster_sizes, (std::vector<double>{4.0f, 2.0f}));
    EXPECT_EQ(s.model.centroids->row(0)[0], 6.0f / 4.15f);
    EXPECT_EQ(s.model.centroids->row(1)[0], 21.0f / 2.15f);
    // Set by point 3: G = 52.25 over H = 3.15 - 2, both as rounded in
    // single precision (so not quite 52.25 / 1.15).
    const float h = ((4.0f + -1.0f) + 0.15f) - 2.0f;
    EXPECT_EQ(next, 52.25f / h);
    EXPECT_NEAR(next, 45.43478f, 1e-4f);

    phase.pass(next * 2.5f);
    EXPECT_EQ(s.model.labels, (std::vector<std::uint64_t>{1, 0, 0, 0, 1, 1}));
    EXPECT_EQ(s.model.cluster_sizes, (std::vector<double>{3.0f, 3.0f}));
    EXPECT_EQ(s.model.centroids->row(0)[0], 6.0f / 3.15f);
    EXPECT_EQ(s.model.centroids->row(1)[0], 21.0f / 3.15f);
}

TEST(Balancing, WorkedExampleEndToEndPrintsTwoPasses) {
    State s = make_state(Points::of(6, 1, {0, 1, 2, 3, 10, 11}), {0, 0, 0, 0, 1, 1}, 2, true);
    s.model.verbose = true;
    const std::string out = capture_stdout([&] { balance_clusters(s.model, training_of(s), here); });
    const std::string first = "Balancing clusters...\nBalance iteration 1 | Cost: ";
    ASSERT_EQ(out.substr(0, first.size()), first);
    EXPECT_NE(out.find(" | Max diff: 2.00\nBalance iteration 2 | Cost: "), std::string::npos);
    EXPECT_TRUE(out.ends_with(" | Max diff: 0.00\n"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
    EXPECT_EQ(s.model.labels, (std::vector<std::uint64_t>{1, 0, 0, 0, 1, 1}));
}

TEST(Balancing, WithinToleranceRunsNoPass) {
    State s = make_state(Points::of(6, 1, {0, 1, 2, 3, 10, 11}), {0, 0, 0, 0, 1, 1}, 2, true, 2);
    s.model.verbose = true;
    const Matrix before = *s.model.centroids;
    const std::string out = capture_stdout([&] { balance_clusters(s.model, training_of(s), here); });
    EXPECT_EQ(out, "Balancing clusters...\n");
    EXPECT_EQ(*s.model.centroids, before);
    EXPECT_EQ(s.model.cluster_sizes, (std::vector<double>{4.0f, 2.0f}));
}

// One visit with the penalty 0: the first point of cluster 0 is placed and
// the size of its cluster is read back bit for bit.
struct DriftCase {
    int size;
    bool leaves;
    std::uint32_t expected_bits;
};

class SizeDrift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(SizeDrift, SharedPointLeavesItsTrace) {
    const auto [size, leaves, expected] = GetParam();
    // Cluster 0: `size` points at 0, except point 0, which sits next to
    // cluster 1 (at 100) when it is to leave.
    std::vector<float> values(static_cast<std::size_t>(size) + 1, 0.0f);
    values[0] = leaves ? 99.0f : 0.0f;
    values.back() = 100.0f;
    std::vector<std::uint64_t> labels(values.size(), 0);
    labels.back() = 1;
    State s = make_state(Points::of(values.size(), 1, values), labels, 2, true, 1000);
    const TrainingState training = training_of(s);
    BalancingPhase phase(s.model, training, detected_kernel_level());
    phase.visit(0, 0.0f, std::numeric_limits<float>::infinity());
    EXPECT_EQ(s.model.labels[0], leaves ? 1u : 0u);
    EXPECT_EQ(bits(static_cast<float>(s.model.cluster_sizes[0])), expected) << s.model.cluster_sizes[0];
}

INSTANTIATE_TEST_SUITE_P(Sizes, SizeDrift,
                         ::testing::Values(DriftCase{9, true, 0x40FFFFFFu}, DriftCase{8, false, 0x40FFFFFFu},
                                           DriftCase{9, false, 0x41100000u}, DriftCase{10, false, 0x41200000u}));

TEST(Balancing, StayingPointPullsTheEuclideanCentroidBySOverSPlusShare) {
    State s = make_state(Points::of(4, 1, {1, 2, 3, 50}), {0, 0, 0, 1}, 2, true, 1000);
    const TrainingState training = training_of(s);
    BalancingPhase phase(s.model, training, detected_kernel_level());
    phase.visit(2, 0.0f, std::numeric_limits<float>::infinity());
    EXPECT_EQ(s.model.labels[2], 0u);
    EXPECT_EQ(s.model.centroids->row(0)[0], 6.0f / 3.15f);
}

// Hazard 1: a cluster holding one point. Dividing its empty sum by zero
// would end in NaN; the phase must finish with finite centroids.
TEST(BalancingHazards, SinglePointClusterDoesNotFault) {
    for (bool euclidean : {true, false}) {
        Points points = Points::gaussian(40, 3, 1);
        points.values[0] = 1e3f;  // a far outlier alone in cluster 2
        std::vector<std::uint64_t> labels(40);
        for (std::size_t i = 1; i < 40; ++i) labels[i] = i % 2;
        labels[0] = 2;
        State s = make_state(points, labels, 3, euclidean, 1);
        EXPECT_NO_THROW(balance_clusters(s.model, training_of(s), here)) << euclidean;
        for (float v : s.model.centroids->values()) EXPECT_TRUE(std::isfinite(v));
        auto [lo, hi] = std::minmax_element(s.model.cluster_sizes.begin(), s.model.cluster_sizes.end());
        EXPECT_LE(*hi - *lo, 1.5f);
    }
}

// Hazard 2: identical points give no critical penalty, so the next penalty
// is infinite; the phase must still balance.
TEST(BalancingHazards, IdenticalPointsBalanceWithoutFault) {
    // All centroids coincide with all points: every distance is equal, the
    // first pass sends every point to cluster 0, and no point can set a
    // critical penalty.
    for (bool euclidean : {true, false}) {
        Points points = Points::of(30, 2, std::vector<float>(60, 1.0f));
        std::vector<std::uint64_t> labels(30, 0);
        for (std::size_t i = 20; i < 30; ++i) labels[i] = 1 + i % 3;
        State s = make_state(points, labels, 4, euclidean, 1);
        s.model.verbose = true;
        std::string out;
        EXPECT_NO_THROW(out = capture_stdout([&] { balance_clusters(s.model, training_of(s), here); }));
        EXPECT_NE(out.find("Balance iteration 1 | Cost: "), std::string::npos);
        if (!euclidean) {
            // Unit-scaled centroids stay identical, so pass 1 ties send every
            // point to cluster 0 and set no critical penalty; the next pass
            // runs with the infinite one and balances.
            EXPECT_NE(out.find("Balance iteration 1 | Cost: 1.414214 | Max diff: 30.00\n"), std::string::npos) << out;
            EXPECT_NE(out.find("Balance iteration 2 | Cost: 1.414214 | Max diff: 1.00\n"), std::string::npos) << out;
        }
        std::vector<int> counts(4, 0);
        for (auto label : s.model.labels) ++counts[label];
        EXPECT_LE(*std::max_element(counts.begin(), counts.end()) - *std::min_element(counts.begin(), counts.end()),
                  1);
        auto [lo, hi] = std::minmax_element(s.model.cluster_sizes.begin(), s.model.cluster_sizes.end());
        EXPECT_LE(*hi - *lo, 1.5f);
    }
}

// Hazard 3: the phase ends on skewed data, one cluster per point, and with
// a tolerance of 1, and its sizes agree with its labels.
TEST(BalancingHazards, SkewedDataEndsWithinTolerance) {
    for (bool euclidean : {true, false}) {
        for (std::uint64_t tolerance : {1u, 3u}) {
            Points points = Points::gaussian(500, 4, 3);
            for (std::size_t i = 0; i < 450; ++i) points.values[i * 4] += 30.0f;
            std::vector<std::uint64_t> labels(500);
            for (std::size_t i = 0; i < 500; ++i) labels[i] = i < 450 ? 0 : 1 + i % 7;
            State s = make_state(points, labels, 8, euclidean, tolerance);
            balance_clusters(s.model, training_of(s), here);
            std::vector<int> counts(8, 0);
            for (auto label : s.model.labels) ++counts[label];
            auto [lo, hi] = std::minmax_element(counts.begin(), counts.end());
            EXPECT_LE(static_cast<std::uint64_t>(*hi - *lo), tolerance) << euclidean;
            for (std::size_t c = 0; c < 8; ++c) EXPECT_NEAR(s.model.cluster_sizes[c], counts[c], 1e-3);
        }
    }
}

TEST(BalancingHazards, OneClusterPerPoint) {
    Points points = Points::gaussian(6, 2, 4);
    State s = make_state(points, {0, 1, 2, 3, 4, 5}, 6, true, 1);
    balance_clusters(s.model, training_of(s), here);
    EXPECT_EQ(s.model.cluster_sizes, std::vector<double>(6, 1.0f));
    EXPECT_EQ(s.model.labels, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
}

// Points of 2^-11 joining a cluster whose sum is 8192: each is half a unit
// in the last place of that sum, so one running total drops every one of
// them. Past sum_block members a cluster's moves are summed in blocks, and
// its centroid keeps them.
TEST(Balancing, LargeClusterSumKeepsSmallMoves) {
    const std::size_t big = 8192, movers = 5000;
    std::vector<float> values(big + movers + 1, 1.0f);
    std::vector<std::uint64_t> labels(values.size(), 0);
    for (std::size_t i = big; i < values.size(); ++i) {
        values[i] = 0x1p-11f;
        labels[i] = 1;
    }
    values.back() = 1e6f;  // keeps cluster 1's centroid far from the movers
    State s = make_state(Points::of(values.size(), 1, values), labels, 2, true, 1);
    const TrainingState training = training_of(s);
    BalancingPhase phase(s.model, training, detected_kernel_level());
    for (std::size_t i = big; i < big + movers; ++i) phase.visit(i, 0.0f, std::numeric_limits<float>::infinity());
    ASSERT_EQ(s.model.cluster_sizes[0], static_cast<double>(big + movers));
    const double exact = (big + movers * 0x1p-11) / static_cast<double>(big + movers);
    EXPECT_NEAR(s.model.centroids->row(0)[0] / exact, 1.0, 1e-6);
}

TEST(Balancing, NaNCostIsAFault) {
    Points points = Points::of(4, 1, {0, 1, std::numeric_limits<float>::quiet_NaN(), 100});
    State s = make_state(points, {0, 0, 0, 1}, 2, false, 1);
    s.model.centroids->row(0)[0] = 1.0f;  // make_state's mean is NaN; keep row 0 finite
    EXPECT_THROW(balance_clusters(s.model, training_of(s), here), Fault);
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// The phase keeps norms and member lists current instead of recomputing
// them; the results must be the reference versions', bit for bit.
class AgainstTheSlowWay : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(AgainstTheSlowWay, SameLabelsSizesCentroidsAndMedoids) {
    const auto [euclidean, medoids] = GetParam();
    for (KernelLevel level : all_kernel_levels) {
    if (!kernel_level_supported(level)) continue;
    SCOPED_TRACE(kernel_level_name(level));
    Points points = Points::gaussian(400, 5, 21);
    for (std::size_t i = 0; i < 300; ++i) points.values[i * 5 + 1] += 9.0f;
    std::vector<std::uint64_t> labels(400);
    for (std::size_t i = 0; i < 400; ++i) labels[i] = i < 300 ? i % 2 : 2 + i % 4;
    labels[7] = 5;  // a few clusters hold single points at times
    State fast = make_state(points, labels, 6, euclidean, 2);
    fast.model.use_medoids = medoids;
    fast.model.medoid_indices.assign(6, 0);
    if (medoids) update_medoids(fast.model, fast.points.view(), here);
    State slow = fast;
    balance_clusters(fast.model, training_of(fast), test::context(level));
    reference::balance(slow.model, slow.points.view(), slow.norms, level);
    EXPECT_EQ(fast.model.labels, slow.model.labels);
    EXPECT_EQ(fast.model.cluster_sizes, slow.model.cluster_sizes);
    EXPECT_EQ(*fast.model.centroids, *slow.model.centroids);
    EXPECT_EQ(fast.model.medoid_indices, slow.model.medoid_indices);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, AgainstTheSlowWay, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// balance_clusters' loop over an explicit block size and treatment of
// moved rows; returns what the visits did with those rows.
MovedKeyWork balance_in_blocks(Model& model, const TrainingState& training, const ExecutionContext& context,
                               std::size_t block_points, MovedKeys moved_keys) {
    BalancingPhase phase(model, training, context.level, block_points, moved_keys);
    const float limit = static_cast<float>(model.max_balance_diff) + 0.5f;
    float penalty = 0.0f;
    for (;;) {
        auto [lo, hi] = std::minmax_element(model.cluster_sizes.begin(), model.cluster_sizes.end());
        if (!(*hi - *lo > limit)) break;
        penalty = phase.pass(penalty, &context) * 2.5f;
    }
    if (model.use_medoids) phase.final_medoid_pass();
    return phase.moved_key_work();
}

constexpr MovedKeys both_treatments[] = {MovedKeys::exact, MovedKeys::bounded};

// Blocks of every length, from one point to more than the data, on pools of
// 1, 2 and 3 and at every level, against the slow reference. All points
// start in two clusters of eight, so the first pass moves most of them:
// many moves per block, and the rows a move leaves and joins both change
// while later points of the same block still hold the block's keys.
class BlockedBalancing : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(BlockedBalancing, SameResultsAsTheSlowWay) {
    const auto [euclidean, medoids] = GetParam();
    Points points = Points::gaussian(260, 9, 31);
    for (std::size_t i = 0; i < 130; ++i) points.values[i * 9] += 6.0f;
    std::vector<std::uint64_t> labels(260);
    for (std::size_t i = 0; i < 260; ++i) labels[i] = i % 2;
    State start = make_state(points, labels, 8, euclidean, 1);
    start.model.use_medoids = medoids;
    start.model.medoid_indices.assign(8, 0);
    if (medoids) update_medoids(start.model, start.points.view(), here);

    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        State slow = start;
        reference::balance(slow.model, slow.points.view(), slow.norms, level);
        // The first pass alone, to show it moves points within blocks.
        {
            State once = start;
            const TrainingState training = training_of(once);
            BalancingPhase phase(once.model, training, level, 16);
            phase.pass(0.0f);
            std::size_t moved = 0;
            for (std::size_t i = 0; i < 260; ++i) moved += once.model.labels[i] != start.model.labels[i];
            EXPECT_GT(moved, 100u) << kernel_level_name(level);
        }
        for (std::size_t threads : {1u, 2u, 3u}) {
            auto pool = test::pool_of(threads);
            const ExecutionContext context = test::context(level, pool.get());
            for (std::size_t block : {1u, 2u, 7u, 48u, 100u, 1000u, 0u}) {
                for (MovedKeys moved_keys : both_treatments) {
                    SCOPED_TRACE(testing::Message() << kernel_level_name(level) << " threads=" << threads
                                                    << " block=" << block << " bounded=" << (moved_keys == MovedKeys::bounded));
                    State fast = start;
                    balance_in_blocks(fast.model, training_of(fast), context, block, moved_keys);
                    EXPECT_EQ(fast.model.labels, slow.model.labels);
                    EXPECT_EQ(fast.model.cluster_sizes, slow.model.cluster_sizes);
                    EXPECT_EQ(*fast.model.centroids, *slow.model.centroids);
                    EXPECT_EQ(fast.model.medoid_indices, slow.model.medoid_indices);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, BlockedBalancing, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// More clusters than one group of staged rows (128): a block that visits
// every cluster stages all 137 rows, so its later points patch a full group
// and a partial one. The first 137 points are one per cluster, so the first
// block of 200 points changes every row; the rest crowd into 20 clusters, so
// that passes run.
class ManyStagedRows : public ::testing::TestWithParam<bool> {};

TEST_P(ManyStagedRows, SameResultsAsTheSlowWay) {
    const bool euclidean = GetParam();
    constexpr std::size_t n = 600, k = 137;
    Points points = Points::gaussian(n, 11, 5);
    std::vector<std::uint64_t> labels(n);
    for (std::size_t i = 0; i < n; ++i) labels[i] = i < k ? i : i % 20;
    const State start = make_state(points, labels, k, euclidean, 2);

    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        State slow = start;
        reference::balance(slow.model, slow.points.view(), slow.norms, level);
        {
            // Without moves the patches would only ever restore a row's
            // own keys; the first pass must move points between clusters.
            State once = start;
            const TrainingState training = training_of(once);
            BalancingPhase phase(once.model, training, level, 200);
            phase.pass(0.0f);
            std::size_t moved = 0;
            for (std::size_t i = 0; i < n; ++i) moved += once.model.labels[i] != start.model.labels[i];
            EXPECT_GT(moved, 100u) << kernel_level_name(level);
        }
        for (std::size_t threads : {1u, 2u, 3u}) {
            auto pool = test::pool_of(threads);
            const ExecutionContext context = test::context(level, pool.get());
            for (std::size_t block : {1u, 64u, 129u, 200u, 1000u, 0u}) {
                for (MovedKeys moved_keys : both_treatments) {
                    SCOPED_TRACE(testing::Message() << kernel_level_name(level) << " threads=" << threads
                                                    << " block=" << block << " bounded=" << (moved_keys == MovedKeys::bounded));
                    State fast = start;
                    const MovedKeyWork work = balance_in_blocks(fast.model, training_of(fast), context, block, moved_keys);
                    EXPECT_EQ(fast.model.labels, slow.model.labels);
                    EXPECT_EQ(fast.model.cluster_sizes, slow.model.cluster_sizes);
                    EXPECT_EQ(*fast.model.centroids, *slow.model.centroids);
                    if (moved_keys == MovedKeys::bounded && block > 1) {
                        // Both ways out of a bound are taken: some choices
                        // need exact keys, others are made from the bounds.
                        EXPECT_GT(work.settled, 0u);
                        EXPECT_LT(work.settled, work.bounded);
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ManyStagedRows, ::testing::Bool());

// A single visit between passes sees the centroids the pass left, not a
// block's stale keys; and a pass after a visit starts from fresh keys.
TEST(BlockedBalancing, VisitsAndPassesInterleave) {
    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        SCOPED_TRACE(kernel_level_name(level));
        Points points = Points::gaussian(120, 5, 77);
        std::vector<std::uint64_t> labels(120);
        for (std::size_t i = 0; i < 120; ++i) labels[i] = i % 3 == 0 ? 0 : 1;
        State a = make_state(points, labels, 4, true, 1);
        State b = a;
        const TrainingState training_a = training_of(a), training_b = training_of(b);
        BalancingPhase blocked(a.model, training_a, level, 32);
        BalancingPhase single(b.model, training_b, level, 1);
        float next_a = blocked.pass(0.0f), next_b = single.pass(0.0f);
        const float inf = std::numeric_limits<float>::infinity();
        for (std::uint64_t i : {5u, 77u, 119u}) {
            EXPECT_EQ(bits(blocked.visit(i, next_a * 2.5f, inf)), bits(single.visit(i, next_b * 2.5f, inf)));
        }
        next_a = blocked.pass(next_a * 2.5f);
        next_b = single.pass(next_b * 2.5f);
        EXPECT_EQ(bits(next_a), bits(next_b));
        EXPECT_EQ(a.model.labels, b.model.labels);
        EXPECT_EQ(a.model.cluster_sizes, b.model.cluster_sizes);
        EXPECT_EQ(*a.model.centroids, *b.model.centroids);
    }
}

}  // namespace
}  // namespace quorla::engine
