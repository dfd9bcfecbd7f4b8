// The training driver: entry checks, initial centroids, the mean update, the
// empty-cluster repair, unit-length centroids, the cost and the result.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <set>
#include <tuple>
#include <vector>

#include "engine/core/fault.hpp"
#include "engine/updates/cost.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/core/cluster_size.hpp"
#include "engine/label/label_step.hpp"
#include "engine/updates/medoids.hpp"
#include "engine/updates/member_sums.hpp"
#include "engine/hierarchical.hpp"
#include "engine/training.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Layout;
using test::Points;

Outcome<ClusterLists> train_seeded(Model& model, const PointView& points, std::uint8_t seed,
                                   parallel::PoolRegistry* pool = nullptr) {
    ThreadRandom random = test::seeded_random(seed);
    return train(model, points, test::context(detected_kernel_level(), pool, &random));
}

// A state for the steps that only need the points and the point count.
TrainingState state_of(const PointView& points, double point_count) {
    return TrainingState{points, std::nullopt, point_count};
}

void expect_partition(const ClusterLists& lists, std::size_t n, std::size_t k) {
    ASSERT_EQ(lists.size(), k);
    std::vector<int> seen(n, 0);
    for (const auto& list : lists) {
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        for (std::uint64_t i : list) {
            ASSERT_LT(i, n);
            ++seen[i];
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(n));
}

TEST(Train, EntryChecksInOrderLeaveTheModelUntouched) {
    Points points = Points::gaussian(3, 2, 1);
    Model model = Model::create(4);
    auto outcome = train(model, points.view(), test::context(detected_kernel_level()));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message(), "Number of points (3) must be at least as large as number of clusters (4)");
    EXPECT_FALSE(model.centroids.has_value());
    EXPECT_TRUE(model.labels.empty());

    Points none = Points::of(0, 2, {});
    auto empty = train(model, none.view(), test::context(detected_kernel_level()));
    EXPECT_EQ(empty.error().message(), "Number of points (0) must be at least as large as number of clusters (4)");

    model.trained = true;  // the trained check comes first, whatever the data
    auto again = train(model, none.view(), test::context(detected_kernel_level()));
    EXPECT_EQ(again.error().kind(), ClusteringError::Kind::AlreadyTrained);
}

class TrainModes : public ::testing::TestWithParam<bool> {};

TEST_P(TrainModes, ResultIsAPartitionAndTheModelIsTrained) {
    Points points = Points::gaussian(700, 5, 2);
    Model model = Model::create(9);
    model.euclidean = GetParam();
    model.iterations = 4;
    auto outcome = train_seeded(model, points.view(), 3);
    ASSERT_TRUE(outcome.ok());
    expect_partition(outcome.value(), 700, 9);
    EXPECT_TRUE(model.trained);
    EXPECT_EQ(model.labels.size(), 700u);
    for (std::size_t c = 0; c < 9; ++c) {
        EXPECT_EQ(model.cluster_sizes[c], static_cast<double>(outcome.value()[c].size()));
    }
    if (!model.euclidean) {
        for (std::size_t c = 0; c < 9; ++c) {
            auto row = model.centroids->row(c);
            EXPECT_NEAR(dot_f32(row.data(), row.data(), row.size()), 1.0f, 1e-5f);
        }
    }
}

TEST_P(TrainModes, SameStreamSameResultWhateverTheLayout) {
    Points points = Points::gaussian(400, 6, 4);
    Layout transposed = Layout::transposed(points);
    Layout reversed = Layout::reversed_padded(points, 2);
    Model reference = Model::create(7);
    reference.euclidean = GetParam();
    reference.iterations = 3;
    Model a = reference, b = reference;
    auto expected = train_seeded(reference, points.view(), 5);
    auto from_transposed = train_seeded(a, transposed.view, 5);
    auto from_reversed = train_seeded(b, reversed.view, 5);
    EXPECT_EQ(from_transposed.value(), expected.value());
    EXPECT_EQ(from_reversed.value(), expected.value());
    EXPECT_EQ(*a.centroids, *reference.centroids);
    EXPECT_EQ(*b.centroids, *reference.centroids);
}

TEST_P(TrainModes, NaNFaultsWithTheResetStateKept) {
    Points points = Points::gaussian(50, 3, 6);
    points.values[10 * 3 + 1] = std::numeric_limits<float>::quiet_NaN();
    Model model = Model::create(3);
    model.euclidean = GetParam();
    EXPECT_THROW(train_seeded(model, points.view(), 7), Fault);
    EXPECT_FALSE(model.trained);
    EXPECT_EQ(model.labels, std::vector<std::uint64_t>(50, 0));
    EXPECT_EQ(model.cluster_sizes, std::vector<double>(3, 0.0f));
    ASSERT_TRUE(model.centroids.has_value());

    Points clean = Points::gaussian(50, 3, 8);
    auto outcome = train_seeded(model, clean.view(), 9);
    ASSERT_TRUE(outcome.ok());
    EXPECT_TRUE(model.trained);
}

INSTANTIATE_TEST_SUITE_P(BothModes, TrainModes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Euclidean" : "InnerProduct"; });

TEST(Train, OneClusterEuclideanIsTheInOrderSumOverN) {
    // Values of very different magnitude make the summation order visible.
    Points points = Points::of(5, 2, {1e8f, 1.0f, 1.0f, 3.0f, -1e8f, 0.25f, 1.0f, 1e-3f, 7.0f, 2.0f});
    Model model = Model::create(1);
    model.euclidean = true;
    model.iterations = 2;
    ASSERT_TRUE(train_seeded(model, points.view(), 1).ok());
    for (std::size_t j = 0; j < 2; ++j) {
        float sum = 0.0f;
        for (std::size_t i = 0; i < 5; ++i) sum += points.values[i * 2 + j];
        EXPECT_EQ(model.centroids->row(0)[j], sum / 5.0f);
    }
    // In float order 1e8 + 1 loses the 1, so the sum is 8, not 10.
    EXPECT_EQ(model.centroids->row(0)[0], 1.6f);
}

TEST(Train, OneClusterInnerProductIsTheUnitMean) {
    Points points = Points::of(2, 2, {3.0f, 0.0f, 3.0f, 8.0f});
    Model model = Model::create(1);
    ASSERT_TRUE(train_seeded(model, points.view(), 1).ok());
    EXPECT_FLOAT_EQ(model.centroids->row(0)[0], 0.6f);
    EXPECT_FLOAT_EQ(model.centroids->row(0)[1], 0.8f);
}

TEST(Train, AsManyClustersAsPointsStartsFromEveryPoint) {
    Points points = Points::gaussian(12, 3, 10);
    Model model = Model::create(12);
    model.euclidean = true;
    model.iterations = 0;  // only reachable from C++: keeps the initial draw visible
    ASSERT_TRUE(train_seeded(model, points.view(), 2).ok());
    std::set<std::size_t> used;
    for (std::size_t c = 0; c < 12; ++c) {
        for (std::size_t i = 0; i < 12; ++i) {
            if (std::equal(model.centroids->row(c).begin(), model.centroids->row(c).end(), &points.values[i * 3])) {
                used.insert(i);
            }
        }
    }
    EXPECT_EQ(used.size(), 12u);
}

TEST(Train, ZeroColumnsPutsEveryPointInOneCluster) {
    Points points = Points::of(6, 0, {});
    for (bool euclidean : {true, false}) {
        Model model = Model::create(3);
        model.euclidean = euclidean;
        model.iterations = 2;
        auto outcome = train_seeded(model, points.view(), 4);
        ASSERT_TRUE(outcome.ok());
        const std::size_t everyone = euclidean ? 0 : 2;
        EXPECT_EQ(outcome.value()[everyone].size(), 6u);
        EXPECT_EQ(training_cost(model, points.view()), 0.0f);
    }
}

TEST(Train, TheContextsGeneratorDecidesAndThePoolDoesNot) {
    // Clustered data with duplicates, so that the repair draws too.
    Points points = Points::gaussian(900, 6, 15);
    for (std::size_t i = 300; i < 400; ++i) std::copy_n(&points.values[0], 6, &points.values[i * 6]);
    for (bool euclidean : {true, false}) {
        auto trained = [&](std::uint8_t seed, parallel::PoolRegistry* pool) {
            Model model = Model::create(12);
            model.euclidean = euclidean;
            model.iterations = 4;
            EXPECT_TRUE(train_seeded(model, points.view(), seed, pool).ok());
            return model;
        };
        const Model reference = trained(21, nullptr);
        for (std::size_t threads : {1u, 3u}) {
            auto pool = test::pool_of(threads);
            const Model again = trained(21, pool.get());
            EXPECT_EQ(again.labels, reference.labels) << threads;
            EXPECT_EQ(*again.centroids, *reference.centroids) << threads;
        }
        EXPECT_NE(*trained(22, nullptr).centroids, *reference.centroids);
    }
}

TEST(Train, NoGeneratorIsAFault) {
    Points points = Points::gaussian(20, 2, 16);
    Model model = Model::create(2);
    EXPECT_THROW(train(model, points.view(), test::context(KernelLevel::scalar)), Fault);
    EXPECT_FALSE(model.trained);
}

TEST(Repair, SplitsTheDonorWithTheTwoFactors) {
    Points points = Points::gaussian(5, 3, 11);
    Model model = Model::create(2);
    model.euclidean = true;
    model.labels = {1, 1, 1, 1, 1};
    model.cluster_sizes = {0.0f, 5.0f};
    Matrix centroids(2, 3);
    const float donor[3] = {0.3f, -7.0f, 1e-3f};
    std::copy(donor, donor + 3, centroids.row(1).begin());
    model.centroids = centroids;
    ThreadRandom random = test::seeded_random(1);
    repair_empty_clusters(model, state_of(points.view(), 5.0f), random);
    // Cluster 0 is never a donor (p < 0), cluster 1 has p = 4/3 > 1.
    auto filled = model.centroids->row(0);
    auto split = model.centroids->row(1);
    EXPECT_EQ(filled[0], donor[0] * 1.0009765625f);
    EXPECT_EQ(filled[1], donor[1] * 0.9990234375f);
    EXPECT_EQ(filled[2], donor[2] * 1.0009765625f);
    EXPECT_EQ(split[0], donor[0] * 0.9990234375f);
    EXPECT_EQ(split[1], donor[1] * 1.0009765625f);
    EXPECT_EQ(split[2], donor[2] * 0.9990234375f);
    EXPECT_EQ(model.cluster_sizes, (std::vector<double>{2.5f, 2.5f}));
    EXPECT_EQ(model.labels, std::vector<std::uint64_t>(5, 1));
}

TEST(Repair, AsManyPointsAsClustersOnlyTakesFromLargerThanOne) {
    // n = k: the divisor is 0, so p is -inf, NaN or +inf; only cluster 2
    // (size 2) can give.
    Points points = Points::gaussian(4, 1, 12);
    Model model = Model::create(4);
    model.euclidean = true;
    model.cluster_sizes = {0.0f, 1.0f, 2.0f, 1.0f};
    model.labels = {1, 2, 2, 3};
    model.centroids = Matrix(4, 1);
    ThreadRandom random = test::seeded_random(2);
    repair_empty_clusters(model, state_of(points.view(), 4.0f), random);
    EXPECT_EQ(model.cluster_sizes, (std::vector<double>{1.0f, 1.0f, 1.0f, 1.0f}));
}

TEST(Repair, LaterEmptyClustersSeeReducedSizes) {
    Points points = Points::gaussian(8, 2, 13);
    Model model = Model::create(3);
    model.euclidean = true;
    model.cluster_sizes = {0.0f, 0.0f, 8.0f};
    model.labels.assign(8, 2);
    model.centroids = Matrix(3, 2);
    ThreadRandom random = test::seeded_random(3);
    repair_empty_clusters(model, state_of(points.view(), 8.0f), random);
    // First 0 takes half of 2 (4 each); then 1 takes half of 0 or of 2.
    const double total = model.cluster_sizes[0] + model.cluster_sizes[1] + model.cluster_sizes[2];
    EXPECT_EQ(total, 8.0);
    EXPECT_NE(model.cluster_sizes[1], 0.0f);
    EXPECT_TRUE(std::count(model.cluster_sizes.begin(), model.cluster_sizes.end(), 2.0f) == 2);
}

TEST(Repair, NoDrawsWithoutEmptyClusters) {
    Points points = Points::gaussian(4, 2, 14);
    Model model = Model::create(2);
    model.cluster_sizes = {1.0f, 3.0f};
    model.centroids = Matrix(2, 2);
    ThreadRandom counting([](std::span<std::uint8_t, 32> out, std::string&) {
        std::fill(out.begin(), out.end(), std::uint8_t{1});
        return true;
    });
    repair_empty_clusters(model, state_of(points.view(), 4.0f), counting);
    EXPECT_EQ(counting.seed_count(), 0u);
}

TEST(Normalize, UnitRowsExceptZeroAndNaNRows) {
    Model model = Model::create(3);
    Matrix m(3, 2);
    m.row(0)[0] = 3.0f;
    m.row(0)[1] = 4.0f;
    m.row(2)[0] = std::numeric_limits<float>::quiet_NaN();
    model.centroids = m;
    normalize_centroids(model);
    EXPECT_EQ(model.centroids->row(0)[0], 0.6f);
    EXPECT_EQ(model.centroids->row(0)[1], 0.8f);
    EXPECT_EQ(model.centroids->row(1)[0], 0.0f);
    EXPECT_TRUE(std::isnan(model.centroids->row(2)[0]));
    model.euclidean = true;
    model.centroids->row(1)[0] = 5.0f;
    normalize_centroids(model);
    EXPECT_EQ(model.centroids->row(1)[0], 5.0f);
}

TEST(Cost, MeanOfSquaredDistancesOrDots) {
    Points points = Points::of(2, 2, {1.0f, 0.0f, 0.0f, 3.0f});
    Model model = Model::create(1);
    model.labels = {0, 0};
    Matrix m(1, 2);
    m.row(0)[0] = 1.0f;
    m.row(0)[1] = 1.0f;
    model.centroids = m;
    EXPECT_EQ(training_cost(model, points.view()), 2.0f);  // (1 + 3) / 2
    model.euclidean = true;
    EXPECT_EQ(training_cost(model, points.view()), 3.0f);  // (1 + 5) / 2
    model.centroids.reset();
    EXPECT_THROW(training_cost(model, points.view()), Fault);
}

// The terms come from the pool, a chunk at a time; their sum must stay the
// one running total in point order, across chunk boundaries, for strided
// views too.
TEST(Cost, PooledTermsSumInPointOrder) {
    constexpr std::size_t n = 40000, d = 5, k = 7;
    const Points points = Points::gaussian(n, d, 77);
    const Points rows = Points::gaussian(k, d, 78);
    const Layout transposed = Layout::transposed(points);
    Model model = Model::create(k);
    for (std::size_t i = 0; i < n; ++i) model.labels.push_back((i * 2654435761u) % k);
    Matrix centroids(k, d);
    std::copy(rows.values.begin(), rows.values.end(), centroids.data());
    model.centroids = centroids;
    for (bool euclidean : {true, false}) {
        model.euclidean = euclidean;
        float sum = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float* x = points.values.data() + i * d;
            const float* c = centroids.row(model.labels[i]).data();
            sum += euclidean ? squared_distance_f32(x, c, d) : dot_f32(x, c, d);
        }
        const float expected = sum / static_cast<float>(n);
        for (std::size_t threads : {0u, 2u, 3u}) {
            auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
            const ExecutionContext context = test::context(detected_kernel_level(), pool.get());
            for (const PointView& view : {points.view(), transposed.view}) {
                EXPECT_EQ(std::bit_cast<std::uint32_t>(training_cost(model, view, &context)),
                          std::bit_cast<std::uint32_t>(expected))
                    << (euclidean ? "euclidean" : "inner") << " threads=" << threads;
            }
        }
    }
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// Says stop at its `stop_at`-th check, or fails the `fail_at`-th report.
class ScriptedMonitor final : public CallMonitor {
public:
    ScriptedMonitor(int stop_at, std::uint64_t fail_at) : stop_at_(stop_at), fail_at_(fail_at) {}
    bool stop_requested() override { return ++checks == stop_at_; }
    bool wants_progress() const override { return true; }
    bool report(ProgressPhase phase, std::uint64_t step, float) override {
        reports.emplace_back(phase, step);
        return step != fail_at_;
    }
    int checks = 0;
    std::vector<std::pair<ProgressPhase, std::uint64_t>> reports;

private:
    int stop_at_;
    std::uint64_t fail_at_;
};

// Stopped by a check inside a scan, by the check between iterations, or by
// a failed report: the call ends with CallStopped, untrained, on the pool
// and on the calling thread alike.
TEST(TrainingStops, StopCheckOrFailedReportEndsTrainingUntrained) {
    const test::Points points = test::Points::gaussian(3000, 6, 9);
    for (std::size_t threads : {0, 2}) {
        auto pool = threads == 0 ? nullptr : test::pool_of(threads);
        for (auto [stop_at, fail_at] : {std::pair{3, 99}, std::pair{1000000, 3}}) {
            ThreadRandom random = test::seeded_random(4);
            ScriptedMonitor monitor(stop_at, fail_at);
            ExecutionContext context = test::context(detected_kernel_level(), pool.get(), &random);
            context.monitor = &monitor;
            Model model = Model::create(5);
            model.iterations = 6;
            EXPECT_THROW(train(model, points.view(), context), CallStopped);
            EXPECT_FALSE(model.trained);
            if (fail_at == 3) {
                EXPECT_EQ(monitor.reports.size(), 3u);
                EXPECT_EQ(monitor.reports.back(), std::pair(ProgressPhase::iteration, std::uint64_t{3}));
            } else {
                EXPECT_EQ(monitor.checks, 3);
                EXPECT_LT(monitor.reports.size(), 3u);
            }
        }
    }
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// Records the cost of every report.
class CostRecorder final : public CallMonitor {
public:
    bool stop_requested() override { return false; }
    bool wants_progress() const override { return true; }
    bool report(ProgressPhase, std::uint64_t, float cost) override {
        costs.push_back(cost);
        return true;
    }
    std::vector<float> costs;
};

// Every iteration done in full, and the final relabelling: what training
// must give whether or not it stops working once the centroids settle.
Model every_iteration(Model model, const PointView& points, ThreadRandom& random, std::vector<float>& costs) {
    const ExecutionContext context = test::context(detected_kernel_level(), nullptr, &random);
    model.labels.assign(points.rows, 0);
    model.cluster_sizes.assign(model.n_clusters, 0.0);
    const TrainingState state = TrainingState::start(points, model.euclidean);
    std::vector<std::uint64_t> order(points.rows);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    random.shuffle(order);
    Matrix centroids(model.n_clusters, points.cols);
    if (model.use_medoids) model.medoid_indices.assign(order.begin(), order.begin() + model.n_clusters);
    for (std::size_t c = 0; c < model.n_clusters; ++c) points.copy_row(order[c], centroids.row(c).data());
    model.centroids = std::move(centroids);
    normalize_centroids(model);
    for (std::uint64_t round = 1; round <= model.iterations; ++round) {
        update_labels(model, state, context);
        if (model.use_medoids) {
            update_medoids(model, points, context);
        } else {
            Matrix sums = member_sums(points, model.labels, model.n_clusters, context);
            for (std::size_t c = 0; c < sums.rows(); ++c) {
                if (!(model.cluster_sizes[c] > 0.0)) continue;
                for (float& v : sums.row(c)) v = divide_by_size(v, model.cluster_sizes[c]);
            }
            model.centroids = std::move(sums);
        }
        repair_empty_clusters(model, state, random);
        normalize_centroids(model);
        costs.push_back(training_cost(model, points));
    }
    update_labels(model, state, context);
    return model;
}

TEST(TrainingFixedPoint, SkippedIterationsChangeNothing) {
    // Three tight, far-apart groups settle within a few iterations; the
    // 25 leave many to skip. Five clusters make the repair happen too.
    test::Points points = test::Points::gaussian(600, 3, 31, 0.05f);
    for (std::size_t i = 0; i < 600; ++i) points.values[i * 3 + i % 3] += 10.0f;
    for (bool euclidean : {false, true}) {
        for (bool medoids : {false, true}) {
            for (std::uint64_t k : {3, 5}) {
                Model model = Model::create(k);
                model.euclidean = euclidean;
                model.use_medoids = medoids;
                ThreadRandom first = test::seeded_random(21), second = test::seeded_random(21);
                std::vector<float> expected_costs;
                const Model expected = every_iteration(model, points.view(), second, expected_costs);
                CostRecorder recorder;
                ExecutionContext context = test::context(detected_kernel_level(), nullptr, &first);
                context.monitor = &recorder;
                ASSERT_TRUE(train(model, points.view(), context).ok());
                EXPECT_EQ(model.labels, expected.labels);
                EXPECT_EQ(model.cluster_sizes, expected.cluster_sizes);
                EXPECT_EQ(*model.centroids, *expected.centroids);
                EXPECT_EQ(model.medoid_indices, expected.medoid_indices);
                EXPECT_EQ(recorder.costs, expected_costs);
                EXPECT_EQ(first.next_u64(), second.next_u64());  // the same draws were taken
            }
        }
    }
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// (sizes, k, counts): shares by size, leftovers to the largest remainders
// with ties to the lower index, a count never above its size.
using FineCase = std::tuple<std::vector<std::uint64_t>, std::uint64_t, std::vector<std::uint64_t>>;
class FineCounts : public ::testing::TestWithParam<FineCase> {};

TEST_P(FineCounts, AreTheLargestRemainderShares) {
    const auto& [sizes, k, want] = GetParam();
    EXPECT_EQ(fine_counts(sizes, k), want);
}

INSTANTIATE_TEST_SUITE_P(Cases, FineCounts,
                         ::testing::Values(FineCase{{10, 10, 10}, 6, {2, 2, 2}},
                                           FineCase{{10, 10, 10}, 7, {3, 2, 2}},    // a tie: the lower index
                                           FineCase{{1, 2, 97}, 10, {0, 0, 10}},    // shares 0.1, 0.2, 9.7
                                           FineCase{{1, 1, 1, 7}, 10, {1, 1, 1, 7}},  // as many as points
                                           FineCase{{0, 5, 0, 5}, 3, {0, 2, 0, 1}},
                                           FineCase{{3, 3, 4}, 10, {3, 3, 4}}));

// Blobs enough for two levels: 64 clusters over 8 groups of 8.
Points level_data() {
    Points points = Points::gaussian(3000, 12, 31);
    for (std::size_t i = 0; i < points.rows; ++i) {
        for (std::size_t l = 0; l < points.cols; ++l) {
            points.values[i * points.cols + l] += 8.0f * static_cast<float>((i % 8 == l % 8) + (i / 8 % 8 == l % 4));
        }
    }
    return points;
}

Model hierarchical_model(bool euclidean) {
    Model model = Model::create(64);
    model.euclidean = euclidean;
    model.iterations = 3;
    model.hierarchical = true;
    return model;
}

class Hierarchical : public ::testing::TestWithParam<bool> {};

// The start and the training depend on the seed alone: not on the pool,
// nor on the data's layout.
TEST_P(Hierarchical, SameSeedSameModelOnAnyPoolAndLayout) {
    const Points points = level_data();
    const Layout transposed = Layout::transposed(points);
    Model reference = hierarchical_model(GetParam());
    const ClusterLists expected = train_seeded(reference, points.view(), 6).value();
    for (std::size_t threads : {1, 3}) {
        auto pool = test::pool_of(threads);
        for (const PointView& view : {points.view(), transposed.view}) {
            Model model = hierarchical_model(GetParam());
            EXPECT_EQ(train_seeded(model, view, 6, pool.get()).value(), expected);
            EXPECT_EQ(*model.centroids, *reference.centroids) << threads << " threads";
        }
    }
    Model flat = hierarchical_model(GetParam());
    flat.hierarchical = false;
    train_seeded(flat, points.view(), 6);
    EXPECT_NE(*flat.centroids, *reference.centroids) << "the start made no difference";
}

// After the start, the training is flat Lloyd: the same bits as a flat
// training given the start as its initial centroids, drawing on from the
// same generator; and the levels each report once, with a cost.
TEST_P(Hierarchical, RefinementIsFlatTrainingFromTheStart) {
    const Points points = level_data();
    ThreadRandom first = test::seeded_random(8), second = test::seeded_random(8);
    Model whole = hierarchical_model(GetParam());
    whole.verbose = false;
    ScriptedMonitor monitor(1000000, 99);
    ExecutionContext context = test::context(detected_kernel_level(), nullptr, &first);
    context.monitor = &monitor;
    train(whole, points.view(), context);
    ASSERT_GE(monitor.reports.size(), 2u);
    EXPECT_EQ(monitor.reports[0], std::pair(ProgressPhase::coarse, std::uint64_t{1}));
    EXPECT_EQ(monitor.reports[1], std::pair(ProgressPhase::fine, std::uint64_t{1}));
    EXPECT_EQ(monitor.reports.size(), 2u + whole.iterations);

    const ExecutionContext plain = test::context(detected_kernel_level(), nullptr, &second);
    Model resumed = hierarchical_model(GetParam());
    resumed.initial_centroids = hierarchical_start(resumed, points.view(), plain, {});
    // The fine level places 64 distinct centroids, none a copy of another.
    std::set<std::vector<float>> distinct;
    for (std::size_t j = 0; j < 64; ++j) {
        const auto row = resumed.initial_centroids->row(j);
        distinct.emplace(row.begin(), row.end());
    }
    EXPECT_EQ(distinct.size(), 64u);
    train(resumed, points.view(), plain);
    EXPECT_EQ(*resumed.centroids, *whole.centroids);
    EXPECT_EQ(resumed.labels, whole.labels);
}

INSTANTIATE_TEST_SUITE_P(BothModes, Hierarchical, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "euclidean" : "inner"; });

TEST(Hierarchical, MedoidModeIsRefusedAndFewClustersDrawPoints) {
    const Points points = level_data();
    Model medoids = hierarchical_model(true);
    medoids.use_medoids = true;
    const auto refused = train_seeded(medoids, points.view(), 1);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message().find("cannot be medoids"), std::string::npos);
    // Below two levels' worth, the flag changes nothing.
    Model few = Model::create(20), drawn = Model::create(20);
    few.hierarchical = true;
    train_seeded(few, points.view(), 2);
    train_seeded(drawn, points.view(), 2);
    EXPECT_EQ(*few.centroids, *drawn.centroids);
}

}  // namespace
}  // namespace quorla::engine
