// Top-k assignment: the checks, the stable order and the NaN fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <thread>

#include "engine/assignment.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/scan/screened_top.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;
using test::trained_model;

// Assignment as the interface runs it before the pool exists.
const ExecutionContext here = test::context(detected_kernel_level());

TEST(Assign, ChecksComeInOrder) {
    Points points = Points::gaussian(3, 2, 1);
    Model untrained = Model::create(2);
    EXPECT_EQ(assign(untrained, points.view(), 0, here).error().kind(), ClusteringError::Kind::NotTrained);
    Model model = trained_model(Points::gaussian(2, 3, 2), true);
    EXPECT_EQ(assign(model, points.view(), 0, here).error().message(), "Invalid parameter: k must be positive");
    EXPECT_EQ(assign(model, points.view(), 1, here).error().message(), "Dimension mismatch: expected 3, got 2");
    Points none = Points::of(0, 2, {});
    EXPECT_EQ(assign(model, none.view(), 1, here).error().kind(), ClusteringError::Kind::DimensionMismatch);
    Points none_right = Points::of(0, 3, {});
    EXPECT_EQ(assign(model, none_right.view(), 1, here).value(), ClusterLists(2));
    model.centroids.reset();
    EXPECT_THROW(assign(model, none_right.view(), 1, here), Fault);
}

// The reference: a full stable sort of cluster numbers by key.
ClusterLists reference(const Model& model, const Points& points, std::size_t k) {
    ClusterLists lists(model.n_clusters);
    for (std::size_t i = 0; i < points.rows; ++i) {
        std::span<const float> x(&points.values[i * points.cols], points.cols);
        std::vector<float> keys = test::keys_of(x, *model.centroids, model.euclidean,
                                                dot_f32(x.data(), x.data(), x.size()), detected_kernel_level());
        std::vector<std::size_t> order(model.n_clusters);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return keys[a] < keys[b]; });
        for (std::size_t t = 0; t < std::min(k, order.size()); ++t) lists[order[t]].push_back(i);
    }
    return lists;
}

class AssignTopK : public ::testing::TestWithParam<std::tuple<bool, std::size_t>> {};

TEST_P(AssignTopK, MatchesAFullStableSort) {
    const auto [euclidean, k] = GetParam();
    Points centroids = Points::gaussian(17, 9, 3);
    // Duplicate rows create exact ties at the cut.
    std::copy_n(&centroids.values[2 * 9], 9, &centroids.values[11 * 9]);
    std::copy_n(&centroids.values[2 * 9], 9, &centroids.values[5 * 9]);
    Model model = trained_model(centroids, euclidean);
    Points points = Points::gaussian(300, 9, 4);
    auto outcome = assign(model, points.view(), k, here);
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.value(), reference(model, points, k));
    std::size_t listed = 0;
    for (const auto& list : outcome.value()) listed += list.size();
    EXPECT_EQ(listed, 300 * std::min<std::size_t>(k, 17));
}

INSTANTIATE_TEST_SUITE_P(Ks, AssignTopK,
                         ::testing::Combine(::testing::Values(false, true), ::testing::Values(1, 2, 3, 16, 17, 100)));

TEST(Assign, InnerProductTiesGoToTheLowerCluster) {
    Model model = trained_model(Points::of(2, 2, {1.0f, 0.0f, 1.0f, 0.0f}), false);
    Points points = Points::of(1, 2, {2.0f, 5.0f});
    EXPECT_EQ(assign(model, points.view(), 1, here).value(), (ClusterLists{{0}, {}}));
}

TEST(Assign, NaNFaultsOnlyWhenThereIsSomethingToCompare) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Points points = Points::of(2, 2, {1.0f, 1.0f, nan, 0.0f});
    Model two = trained_model(Points::gaussian(2, 2, 5), true);
    EXPECT_THROW(assign(two, points.view(), 1, here), Fault);
    EXPECT_THROW(assign(two, points.view(), 2, here), Fault);
    Model one = trained_model(Points::gaussian(1, 2, 6), true);
    EXPECT_EQ(assign(one, points.view(), 3, here).value(), (ClusterLists{{0, 1}}));
}

TEST(Assign, DoesNotChangeTheModel) {
    Model model = trained_model(Points::gaussian(4, 3, 7), false);
    Model before = model;
    Points points = Points::gaussian(20, 3, 8);
    auto first = assign(model, points.view(), 2, here);
    auto second = assign(model, points.view(), 2, here);
    EXPECT_EQ(first.value(), second.value());
    EXPECT_EQ(*model.centroids, *before.centroids);
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// Search hands out the keys its scan ranked by: at every level and pool
// size, the single-point keys of the same level, in the order of assign,
// with the panels kept between the queries of a model.
TEST(Search, KeysAreTheLevelsOwnAndOrderIsAssigns) {
    const test::Points points = test::Points::gaussian(333, 19, 12);
    for (bool euclidean : {false, true}) {
        const Model model = test::trained_model(test::Points::gaussian(37, 19, 13), euclidean);
        PanelCache cache;
        for (KernelLevel level : all_kernel_levels) {
            if (!kernel_level_supported(level)) continue;
            const CentroidPanels panels(*model.centroids, model.n_clusters, euclidean, level);
            for (std::size_t threads : {0, 3}) {
                auto pool = threads == 0 ? nullptr : test::pool_of(threads);
                const ExecutionContext context = test::context(level, pool.get());
                Outcome<SearchResult> found = search(model, points.view(), 5, context, {}, &cache);
                ASSERT_TRUE(found.ok());
                const SearchResult& result = found.value();
                ASSERT_EQ(result.take, 5u);
                std::vector<float> keys(model.n_clusters);
                for (std::size_t i = 0; i < points.rows; ++i) {
                    std::span<const float> x(points.values.data() + i * points.cols, points.cols);
                    centroid_keys(panels, x, euclidean ? dot_f32(x.data(), x.data(), x.size()) : 0.0f, keys);
                    for (std::size_t t = 0; t < 5; ++t) {
                        const float key = keys[static_cast<std::size_t>(result.clusters[i * 5 + t])];
                        ASSERT_EQ(result.distances[i * 5 + t], euclidean ? std::max(key, 0.0f) : -key);
                    }
                }
                ClusterLists listed(model.n_clusters);
                for (std::size_t i = 0; i < points.rows; ++i) {
                    for (std::size_t t = 0; t < 5; ++t) listed[static_cast<std::size_t>(result.clusters[i * 5 + t])].push_back(i);
                }
                EXPECT_EQ(listed, assign(model, points.view(), 5, context, {}, &cache).value());
            }
        }
    }
}

// A few points go one at a time through the single-point keys, the
// clusters split over the pool: their clusters and distances are their
// rows of a search of many, in tiles. Each centroid is there twice, so
// every key ties and only the index orders a pair.
TEST(Search, FewPointsAreRowsOfMany) {
    const test::Points points = test::Points::gaussian(40, 37, 21);
    test::Points twice = test::Points::gaussian(1100, 37, 22);
    twice.values.insert(twice.values.end(), twice.values.begin(), twice.values.end());
    twice.rows *= 2;
    const std::size_t take = 5;
    for (bool euclidean : {false, true}) {
        const Model model = test::trained_model(twice, euclidean);
        for (KernelLevel level : all_kernel_levels) {
            if (!kernel_level_supported(level)) continue;
            for (std::size_t threads : {0, 3}) {
                auto pool = threads == 0 ? nullptr : test::pool_of(threads);
                const ExecutionContext context = test::context(level, pool.get());
                const SearchResult many = search(model, points.view(), take, context).value();
                for (const std::uint64_t first : {0u, 17u}) {
                    for (const std::uint64_t rows : {1u, 4u}) {
                        PointView few = rows_from(points.view(), first);
                        few.rows = rows;
                        const SearchResult found = search(model, few, take, context).value();
                        const std::size_t from = first * take, to = (first + rows) * take;
                        EXPECT_EQ(found.clusters, std::vector<std::int64_t>(many.clusters.begin() + from, many.clusters.begin() + to));
                        EXPECT_EQ(found.distances, std::vector<float>(many.distances.begin() + from, many.distances.begin() + to));
                        EXPECT_EQ(found.clusters[1], found.clusters[0] + 1100);
                        ClusterLists nearest(model.n_clusters);
                        for (std::uint64_t i = 0; i < rows; ++i) nearest[static_cast<std::size_t>(found.clusters[i * take])].push_back(i);
                        EXPECT_EQ(assign(model, few, 1, context).value(), nearest);
                    }
                }
            }
        }
    }
}

// A model's panels are built once per level and again after clear(), and
// threads that ask at once share one build.
TEST(PanelCache, OneBuildPerLevelShared) {
    const Model model = test::trained_model(test::Points::gaussian(37, 19, 13), true);
    PanelCache cache;
    auto panels_at = [&](KernelLevel level) { return cache.panels(*model.centroids, model.n_clusters, true, level); };
    std::vector<std::shared_ptr<const CentroidPanels>> seen(4);
    std::vector<std::thread> threads;
    for (auto& held : seen) threads.emplace_back([&] { held = panels_at(KernelLevel::scalar); });
    for (std::thread& thread : threads) thread.join();
    for (const auto& held : seen) EXPECT_EQ(held, seen[0]);
    EXPECT_EQ(&seen[0]->kernels(), &tiles::kernels_for(KernelLevel::scalar));
    const KernelLevel detected = detected_kernel_level();
    if (detected != KernelLevel::scalar) {
        EXPECT_EQ(&panels_at(detected)->kernels(), &tiles::kernels_for(detected));
        EXPECT_EQ(&panels_at(KernelLevel::scalar)->kernels(), &tiles::kernels_for(KernelLevel::scalar));
    }
    const std::shared_ptr<const CentroidPanels> kept = panels_at(KernelLevel::scalar);
    EXPECT_EQ(panels_at(KernelLevel::scalar), kept);
    cache.clear();
    EXPECT_NE(panels_at(KernelLevel::scalar), kept);
}

}  // namespace
}  // namespace quorla::engine
