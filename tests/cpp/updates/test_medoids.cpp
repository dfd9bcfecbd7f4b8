// Medoids: the least-total rule of the iterations, the nearest-member rule
// of balancing, and the medoid repair.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/balancing/balancing.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/updates/medoids.hpp"
#include "engine/training.hpp"
#include "parallel/pool.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;

const ExecutionContext here = test::context(detected_kernel_level());

Model medoid_model(std::uint64_t k, std::vector<std::uint64_t> labels, std::size_t dim, bool euclidean) {
    Model model = Model::create(k);
    model.use_medoids = true;
    model.euclidean = euclidean;
    model.labels = std::move(labels);
    for (auto label : model.labels) model.cluster_sizes[label] += 1.0f;
    model.medoid_indices.assign(k, 999);
    model.centroids = Matrix(k, dim);
    return model;
}

// Totals summed in ascending member order, each pair computed from the
// candidate's side: the definition, computed naively.
std::vector<std::uint64_t> naive_medoids(const Model& model, const Points& points) {
    std::vector<std::uint64_t> result = model.medoid_indices;
    auto members = group_by_cluster(std::span<const std::uint64_t>(model.labels), 1, model.n_clusters);
    for (std::size_t c = 0; c < model.n_clusters; ++c) {
        if (model.cluster_sizes[c] == 0.0f || members[c].empty()) continue;
        std::uint64_t best = members[c][0];
        float best_total = std::numeric_limits<float>::infinity();
        for (auto i : members[c]) {
            float total = 0.0f;
            for (auto j : members[c]) {
                if (j == i) continue;
                total += medoid_distance(&points.values[i * points.cols], &points.values[j * points.cols],
                                         points.cols, model.euclidean);
            }
            if (total < best_total) {
                best = i;
                best_total = total;
            }
        }
        result[c] = best;
    }
    return result;
}

TEST(UpdateMedoids, ThreePointsPickTheMiddleOne) {
    Points points = Points::of(3, 1, {0.0f, 1.0f, 3.0f});
    Model model = medoid_model(1, {0, 0, 0}, 1, true);
    update_medoids(model, points.view(), here);
    EXPECT_EQ(model.medoid_indices, (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(model.centroids->row(0)[0], 1.0f);
}

TEST(UpdateMedoids, TiesAndSingletonsAndEmptyClusters) {
    Points points = Points::of(4, 1, {5.0f, 2.0f, 7.0f, 9.0f});
    // Cluster 0: points 1 and 3 (equal totals -> 1). Cluster 1: point 2
    // alone. Cluster 2: no members, keeps its medoid.
    Model model = medoid_model(3, {1, 0, 1, 0}, 1, true);
    model.labels = {1, 0, 1, 0};
    update_medoids(model, points.view(), here);
    EXPECT_EQ(model.medoid_indices[0], 1u);
    EXPECT_EQ(model.medoid_indices[1], 0u);  // points 0 and 2: tie, lower index
    EXPECT_EQ(model.medoid_indices[2], 999u);
}

TEST(UpdateMedoids, SymmetricBlocksGiveTheNaiveTotalsExactly) {
    // Clusters larger than a block, awkward dimensions, both modes and
    // several pool sizes: the choice must be the naive one in every case,
    // near-ties included, because the totals are the same numbers.
    for (bool euclidean : {true, false}) {
        for (std::size_t dim : {1u, 7u, 33u}) {
            Points points = Points::gaussian(600, dim, static_cast<std::uint32_t>(dim));
            std::vector<std::uint64_t> labels(600);
            for (std::size_t i = 0; i < 600; ++i) labels[i] = (i * 7919) % 5 == 0 ? 0 : (i % 3) + 1;
            Model reference = medoid_model(5, labels, dim, euclidean);
            reference.cluster_sizes[4] = 0.0f;
            const auto expected = naive_medoids(reference, points);
            for (std::uint64_t threads : {1u, 3u}) {
                auto pool = test::pool_of(threads);
                Model model = reference;
                update_medoids(model, points.view(), test::context(KernelLevel::scalar, pool.get()));
                EXPECT_EQ(model.medoid_indices, expected) << euclidean << " " << dim << " " << threads;
                for (std::size_t c = 0; c < 4; ++c) {
                    auto row = model.centroids->row(c);
                    EXPECT_TRUE(std::equal(row.begin(), row.end(), &points.values[expected[c] * dim]));
                }
            }
        }
    }
}

TEST(UpdateMedoids, NegativeInnerProductTotalsStillPickTheSmallest) {
    Points points = Points::of(3, 2, {3.0f, 0.0f, 2.0f, 0.0f, 1.0f, 0.0f});
    Model model = medoid_model(1, {0, 0, 0}, 2, false);
    // Totals: 0: (1-6)+(1-3) = -7; 1: (1-6)+(1-2) = -6; 2: (1-3)+(1-2) = -3.
    update_medoids(model, points.view(), here);
    EXPECT_EQ(model.medoid_indices[0], 0u);
}

TEST(UpdateClusterMedoid, NearestMemberToTheCurrentRow) {
    Points points = Points::of(5, 1, {0.0f, 4.0f, 6.0f, 5.0f, 5.0f});
    Model model = medoid_model(2, {0, 1, 1, 0, 1}, 1, true);
    model.centroids->row(1)[0] = 5.0f;  // members 1, 2, 4 at distances 1, 1, 0
    update_cluster_medoid(model, points.view(), 1, members_of(model, 1));
    EXPECT_EQ(model.medoid_indices[1], 4u);
    model.centroids->row(1)[0] = 5.0f;
    model.labels = {0, 1, 1, 0, 0};  // members 1 and 2 tie: the lower index
    update_cluster_medoid(model, points.view(), 1, members_of(model, 1));
    EXPECT_EQ(model.medoid_indices[1], 1u);
    EXPECT_EQ(model.centroids->row(1)[0], 4.0f);
    Model empty = medoid_model(3, {0, 0, 0, 0, 0}, 1, true);
    update_cluster_medoid(empty, points.view(), 2, members_of(empty, 2));
    EXPECT_EQ(empty.medoid_indices[2], 999u);
}

TEST(MedoidRepair, GivesAMemberOfTheDonorWithoutPerturbation) {
    Points points = Points::gaussian(6, 2, 5);
    Model model = medoid_model(2, {1, 1, 1, 1, 1, 1}, 2, true);
    model.medoid_indices = {0, 3};
    model.cluster_sizes = {0.0f, 6.0f};
    ThreadRandom random = test::seeded_random(9);
    repair_empty_clusters(model, TrainingState{points.view(), std::nullopt, 6.0f}, random);
    const std::uint64_t chosen = model.medoid_indices[0];
    EXPECT_LT(chosen, 6u);
    EXPECT_EQ(model.medoid_indices[1], 3u);
    EXPECT_TRUE(std::equal(model.centroids->row(0).begin(), model.centroids->row(0).end(),
                           &points.values[chosen * 2]));
    EXPECT_EQ(model.cluster_sizes, (std::vector<double>{3.0f, 3.0f}));
}

TEST(MedoidBalancing, CentroidsStayCopiesOfTheirMedoids) {
    for (bool euclidean : {true, false}) {
        Points points = Points::gaussian(300, 3, 6);
        for (std::size_t i = 0; i < 250; ++i) points.values[i * 3] += 20.0f;
        std::vector<std::uint64_t> labels(300);
        for (std::size_t i = 0; i < 300; ++i) labels[i] = i < 250 ? 0 : 1 + i % 3;
        Model model = medoid_model(4, labels, 3, euclidean);
        model.max_balance_diff = 2;
        update_medoids(model, points.view(), here);
        balance_clusters(model, TrainingState::start(points.view(), euclidean), here);
        std::vector<int> counts(4, 0);
        for (auto label : model.labels) ++counts[label];
        EXPECT_LE(*std::max_element(counts.begin(), counts.end()) - *std::min_element(counts.begin(), counts.end()),
                  2);
        for (std::size_t c = 0; c < 4; ++c) {
            const auto m = model.medoid_indices[c];
            ASSERT_LT(m, 300u);
            EXPECT_EQ(model.labels[m], c) << "the final pass picks a member";
            auto row = model.centroids->row(c);
            EXPECT_TRUE(std::equal(row.begin(), row.end(), &points.values[m * 3]));
        }
    }
}

TEST(MedoidTraining, IterationsKeepRowsEqualToMedoidPoints) {
    Points points = Points::gaussian(200, 4, 7);
    Model model = Model::create(5);
    model.use_medoids = true;
    model.euclidean = true;
    model.iterations = 4;
    ThreadRandom random = test::seeded_random(4);
    ASSERT_TRUE(train(model, points.view(), test::context(detected_kernel_level(), nullptr, &random)).ok());
    ASSERT_EQ(model.medoid_indices.size(), 5u);
    for (std::size_t c = 0; c < 5; ++c) {
        auto row = model.centroids->row(c);
        EXPECT_TRUE(std::equal(row.begin(), row.end(), &points.values[model.medoid_indices[c] * 4]));
    }
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// The tracker against update_cluster_medoid over every member, step by
// step, through the balancing phase's order of calls: a step on the old
// cluster with the point still in it, one on the new cluster without it,
// then the move. Points on a coarse grid with many copies give equal
// distances (the lower index must win); inner product gives rows whose
// nearest member is another point, so the medoid keeps changing.
TEST(MedoidTracker, SameMedoidsAndRowsAsTheFullScan) {
    for (bool euclidean : {true, false}) {
        SCOPED_TRACE(euclidean);
        Points points = Points::gaussian(240, 3, 9);
        for (float& v : points.values) v = std::round(v * 2.0f) / 2.0f;
        std::vector<std::uint64_t> labels(240);
        for (std::size_t i = 0; i < 240; ++i) labels[i] = i % 5;
        Model fast = medoid_model(5, labels, 3, euclidean);
        for (std::uint64_t c = 0; c < 5; ++c) points.view().copy_row(c, fast.centroids->row(c).data());
        Model slow = fast;
        MedoidTracker tracker(fast, 5);
        std::uint32_t state = 12345;
        std::size_t changed = 0;
        for (int step = 0; step < 2000; ++step) {
            state = state * 1664525u + 1013904223u;
            const std::uint64_t i = (state >> 8) % 240, from = fast.labels[i], to = (state >> 20) % 5;
            changed += tracker.update(fast, points.view(), from);
            update_cluster_medoid(slow, points.view(), from, members_of(slow, from));
            tracker.update(fast, points.view(), to);
            update_cluster_medoid(slow, points.view(), to, members_of(slow, to));
            ASSERT_EQ(fast.medoid_indices, slow.medoid_indices) << step;
            ASSERT_EQ(*fast.centroids, *slow.centroids) << step;
            if (from != to) tracker.move(fast, points.view(), i, from, to);
            fast.labels[i] = slow.labels[i] = to;
        }
        EXPECT_GT(changed, 10u);  // rows did change, so the kept distances were dropped and found again
    }
}

}  // namespace
}  // namespace quorla::engine
