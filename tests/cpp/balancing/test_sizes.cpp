// Counting past 2^24: size steps that are float steps below it and exact
// beyond, blocked member sums, and the label step's counts.
#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "engine/core/cluster_size.hpp"
#include "engine/label/label_step.hpp"
#include "engine/updates/member_sums.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Points;

// Sizes as they occur: whole counts, counts with the 0.15 share and its
// drift, halves from the repair, and tiny leftovers.
float random_size(std::mt19937& engine) {
    std::uniform_int_distribution<std::uint32_t> whole(0, (1u << 24) - 1);
    std::uniform_int_distribution<int> shape(0, 3);
    const float w = static_cast<float>(whole(engine) >> std::uniform_int_distribution<int>(0, 23)(engine));
    switch (shape(engine)) {
        case 0: return w;
        case 1: return (w + -1.0f) + 0.15f;
        case 2: return w * 0.5f;
        default: return std::nextafter(w, 0.0f);
    }
}

TEST(ClusterSizes, BelowTwoToTheTwentyFourStepsAreFloatStepsBitForBit) {
    std::mt19937 engine(11);
    for (int trial = 0; trial < 200000; ++trial) {
        const float a = random_size(engine);
        const float b = trial % 2 == 0 ? random_size(engine) : (trial % 3 == 0 ? 0.15f : -1.0f);
        const float sum = a + b;
        if (std::fabs(sum) < 16777216.0f) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(add_sizes(a, b))),
                      std::bit_cast<std::uint32_t>(sum))
                << a << " + " << b;
            ASSERT_EQ(add_sizes(a, b), static_cast<double>(static_cast<float>(add_sizes(a, b))));
        }
        const float value = std::uniform_real_distribution<float>(-1e6f, 1e6f)(engine);
        if (a != 0.0f) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(divide_by_size(value, a)), std::bit_cast<std::uint32_t>(value / a));
        }
        ASSERT_EQ(std::bit_cast<std::uint32_t>(scale_size(a, 2.5e-3f)), std::bit_cast<std::uint32_t>(a * 2.5e-3f));
    }
}

TEST(ClusterSizes, PastTwoToTheTwentyFourEveryPointStillCounts) {
    double size = size_from_count(16777215);
    for (int i = 0; i < 5; ++i) size = add_sizes(size, 1.0);
    EXPECT_EQ(size, 16777220.0);
    // A visit's steps: -1, +0.15, then -0.15 once placed elsewhere.
    size = add_sizes(add_sizes(add_sizes(size, -1.0), 0.15f), -0.15f);
    EXPECT_NEAR(size, 16777219.0, 1e-6);
    EXPECT_EQ(size_from_count(20000001), 20000001.0);
}

// The label step counts in integers: a broadcast view of 2^24 + 3 rows
// puts them all in one cluster.
TEST(ClusterSizes, LabelStepCountsPastFloatRange) {
    const float one = 1.0f;
    const std::uint64_t rows = (std::uint64_t{1} << 24) + 3;
    const PointView points{&one, rows, 1, 0, 1};
    Model model = Model::create(2);
    model.centroids = Matrix(2, 1);
    model.centroids->row(0)[0] = 1.0f;
    model.centroids->row(1)[0] = 5.0f;
    model.euclidean = true;
    const TrainingState state = TrainingState::start(points, true);
    update_labels(model, state, test::context(detected_kernel_level()));
    EXPECT_EQ(model.cluster_sizes, (std::vector<double>{static_cast<double>(rows), 0.0}));
}

// Each cluster's members in point order, summed in blocks of sum_block
// whose sums are added in order, element by element.
Matrix blocked_reference(const Points& points, const std::vector<std::uint64_t>& labels, std::size_t k) {
    Matrix sums(k, points.cols), block(k, points.cols);
    std::vector<std::size_t> seen(k, 0), members(k, 0);
    for (std::uint64_t label : labels) ++members[label];
    for (std::size_t i = 0; i < points.rows; ++i) {
        const std::uint64_t c = labels[i];
        for (std::size_t j = 0; j < points.cols; ++j) block.row(c)[j] += points.values[i * points.cols + j];
        if (++seen[c] % sum_block == 0 || seen[c] == members[c]) {
            for (std::size_t j = 0; j < points.cols; ++j) {
                sums.row(c)[j] += block.row(c)[j];
                block.row(c)[j] = 0.0f;
            }
        }
    }
    return sums;
}

TEST(MemberSums, BlocksLargeClustersKeepsSmallOnesAndIgnoresThePool) {
    // Cluster 0 gets 2.5 blocks, cluster 1 exactly one, cluster 2 a few
    // points, cluster 3 none. At 70 columns pools split the columns, across
    // a piece boundary; at 260 they split the clusters.
    const std::size_t n = 2 * sum_block + sum_block / 2 + sum_block + 37;
    for (const std::size_t dim : {70, 260}) {
        const Points points = Points::gaussian(n, dim, 4, 100.0f);
        std::mt19937 engine(5);
        std::vector<std::uint64_t> labels(n);
        for (std::size_t i = 0; i < n; ++i) labels[i] = i < 2 * sum_block + sum_block / 2 ? 0 : (i < n - 37 ? 1 : 2);
        std::shuffle(labels.begin(), labels.end(), engine);

        const Matrix expected = blocked_reference(points, labels, 4);
        Matrix plain(4, points.cols);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < points.cols; ++j) plain.row(labels[i])[j] += points.values[i * points.cols + j];
        }
        for (std::size_t threads : {1, 2, 3}) {
            auto pool = test::pool_of(threads);
            const Matrix sums = member_sums(points.view(), labels, 4, test::context(KernelLevel::scalar, pool.get()));
            ASSERT_EQ(sums, expected) << threads << " threads, " << dim << " columns";
            for (std::size_t c : {1, 2, 3}) {
                for (std::size_t j = 0; j < points.cols; ++j) ASSERT_EQ(sums.row(c)[j], plain.row(c)[j]);
            }
        }
    }
}

// Ten million values near 1000 in one float running total come to a mean
// of about 1022; in blocks the sum stays within a few units of roundoff.
TEST(MemberSums, LargeClusterMeanStaysWithItsMembers) {
    const std::size_t n = 10'000'000;
    std::vector<float> values(n);
    std::mt19937 engine(8);
    std::uniform_real_distribution<float> near(999.5f, 1000.5f);
    double exact = 0.0;
    for (float& v : values) {
        v = near(engine);
        exact += v;
    }
    const Points points = Points::of(n, 1, std::move(values));
    const std::vector<std::uint64_t> labels(n, 0);
    const Matrix sums = member_sums(points.view(), labels, 1, test::context(KernelLevel::scalar));
    EXPECT_NEAR(sums.row(0)[0] / exact, 1.0, 1e-5);
}

}  // namespace
}  // namespace quorla::engine
