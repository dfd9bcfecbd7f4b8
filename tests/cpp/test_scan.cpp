// The scan driver at every kernel level, through the label step, the
// assignment and single-point keys: against the scalar oracle and a
// double-precision reference on awkward shapes and layouts, exact ties, NaN
// faults, pool sizes, and top-k against a full stable sort. Levels the
// machine lacks are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>

#include "engine/assignment.hpp"
#include "engine/fault.hpp"
#include "engine/dot.hpp"
#include "engine/kernel_level.hpp"
#include "engine/label_step.hpp"
#include "engine/scan.hpp"
#include "parallel/pool.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Layout;
using test::Points;
using test::trained_model;
using test::model_with_centroids;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

#define SKIP_IF_UNSUPPORTED(level)                                                                   \
    if (!kernel_level_supported(level)) GTEST_SKIP() << kernel_level_name(level) << " not available"

std::string level_label(const ::testing::TestParamInfo<KernelLevel>& info) { return kernel_level_name(info.param); }

// The label step on a pool of `threads` workers (0: the calling thread).
void relabel(Model& model, const PointView& points, KernelLevel level, std::size_t threads) {
    auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
    update_labels(model, TrainingState::start(points, model.euclidean), test::context(level, pool.get()));
}

// Every column of a wider matrix whose rows are padded: col_stride 3 and an
// odd row stride, so neither stride is a multiple of a vector.
Layout strided(const Points& p) {
    Layout l;
    const std::size_t width = p.cols * 3 + 1;
    l.storage.assign(p.rows * width, -777.0f);
    for (std::size_t i = 0; i < p.rows; ++i)
        for (std::size_t j = 0; j < p.cols; ++j) l.storage[i * width + j * 3] = p.values[i * p.cols + j];
    l.view = {l.storage.data(), p.rows, p.cols, static_cast<std::int64_t>(width), 3};
    return l;
}

// Column-major with rows in reverse order, one unused slot between rows
// and an odd column stride: row stride -2, so rows are the short stride.
Layout reversed_transposed(const Points& p) {
    Layout l;
    const std::size_t column = 2 * p.rows + 1;
    l.storage.assign(p.cols * column, -555.0f);
    for (std::size_t i = 0; i < p.rows; ++i)
        for (std::size_t j = 0; j < p.cols; ++j) l.storage[j * column + 2 * (p.rows - 1 - i)] = p.values[i * p.cols + j];
    l.view = {l.storage.data() + 2 * (p.rows - 1), p.rows, p.cols, -2, static_cast<std::int64_t>(column)};
    return l;
}

std::vector<std::uint64_t> labels_at(KernelLevel level, const Points& centroids, const PointView& points,
                                     bool euclidean, std::size_t threads = 1) {
    Model model = model_with_centroids(centroids, euclidean);
    relabel(model, points, level, threads);
    return model.labels;
}

// The cost of choosing centroid c for point x in exact arithmetic (smaller
// is better in both modes), with a bound on how far the single-precision
// computation of the same quantity can stray: about (d + 3) roundings of
// the magnitudes involved, doubled for safety. Two clusters whose exact
// costs lie within the sum of their bounds are a near-tie that the
// summation order may decide either way.
struct ExactCost {
    double cost;
    double bound;
};

ExactCost exact_cost(const float* x, const float* c, std::size_t d, bool euclidean) {
    double dot = 0, magnitude = 0, xx = 0, cc = 0;
    for (std::size_t l = 0; l < d; ++l) {
        dot += double(x[l]) * double(c[l]);
        magnitude += std::abs(double(x[l]) * double(c[l]));
        xx += double(x[l]) * double(x[l]);
        cc += double(c[l]) * double(c[l]);
    }
    const double unit = std::ldexp(1.0, -24);
    if (euclidean) return {xx + cc - 2.0 * dot, 2.0 * double(d + 3) * unit * (xx + cc + 2.0 * magnitude)};
    return {-dot, 2.0 * double(d + 1) * unit * magnitude};
}

// Every label is within a near-tie of the best exact cost, and wherever the
// two label vectors differ the two choices are a near-tie.
void expect_near_optimal(const std::vector<std::uint64_t>& got, const std::vector<std::uint64_t>& oracle,
                         const Points& points, const Points& centroids, bool euclidean, bool ties_are_rare = true) {
    ASSERT_EQ(got.size(), points.rows);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < points.rows; ++i) {
        const float* x = &points.values[i * points.cols];
        auto cost_of = [&](std::uint64_t j) { return exact_cost(x, &centroids.values[j * centroids.cols], points.cols, euclidean); };
        ASSERT_LT(got[i], centroids.rows);
        const ExactCost chosen = cost_of(got[i]);
        for (std::size_t j = 0; j < centroids.rows; ++j) {
            const ExactCost other = cost_of(j);
            ASSERT_LE(chosen.cost, other.cost + chosen.bound + other.bound)
                << "point " << i << " took " << got[i] << " but " << j << " is clearly better";
        }
        if (got[i] != oracle[i]) {
            ++differing;
            const ExactCost theirs = cost_of(oracle[i]);
            EXPECT_LE(std::abs(chosen.cost - theirs.cost), chosen.bound + theirs.bound)
                << "point " << i << ": " << got[i] << " vs oracle " << oracle[i];
        }
    }
    // Near-ties are rare on well-conditioned data; a kernel that disagrees
    // often there is wrong even if each disagreement looks close.
    if (ties_are_rare) {
        EXPECT_LE(differing, points.rows / 20 + 1);
    }
}

// The label rule applied to one level's own per-point keys: the tile kernel
// and the one-point kernel share their dot products, so this must match the
// label step exactly, row for row, whatever tile row a point landed in.
std::vector<std::uint64_t> labels_from_point_keys(KernelLevel level, const Points& centroids, const PointView& points,
                                                  bool euclidean) {
    Matrix c(centroids.rows, centroids.cols);
    std::copy(centroids.values.begin(), centroids.values.end(), c.data());
    const std::vector<float> point_norms = squared_norms(points);
    const CentroidPanels panels(c, c.rows(), euclidean, level);
    std::vector<std::uint64_t> labels(points.rows);
    std::vector<float> row(points.cols), keys(centroids.rows);
    for (std::size_t i = 0; i < points.rows; ++i) {
        points.copy_row(i, row.data());
        centroid_distances(panels, row, euclidean ? point_norms[i] : 0.0f, keys);
        labels[i] = test::label_from_keys(keys, euclidean);
    }
    return labels;
}

class Levels : public ::testing::TestWithParam<KernelLevel> {};

TEST_P(Levels, AwkwardShapesAgreeWithTheOracleAndTheExactReference) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t dims[] = {1, 2, 3, 7, 15, 16, 17, 31, 33, 64, 100, 129};
    const std::size_t ks[] = {1, 2, 3, 15, 16, 17, 31, 33, 100, 257};
    std::uint32_t seed = 100;
    for (std::size_t d : dims) {
        for (std::size_t k : ks) {
            // 113 points: not a multiple of any tile height or piece size.
            const Points points = Points::gaussian(113, d, ++seed);
            const Points centroids = Points::gaussian(k, d, ++seed);
            for (bool euclidean : {true, false}) {
                SCOPED_TRACE(testing::Message() << "d=" << d << " k=" << k << (euclidean ? " euclidean" : " ip"));
                const auto got = labels_at(level, centroids, points.view(), euclidean);
                const auto oracle = labels_at(KernelLevel::scalar, centroids, points.view(), euclidean);
                expect_near_optimal(got, oracle, points, centroids, euclidean);
                EXPECT_EQ(got, labels_from_point_keys(level, centroids, points.view(), euclidean));
            }
        }
    }
}

TEST_P(Levels, EveryLayoutGivesTheSameLabels) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    for (std::size_t d : {1u, 5u, 33u}) {
        const Points points = Points::gaussian(301, d, 7);
        const Points centroids = Points::gaussian(37, d, 8);
        const Layout transposed = Layout::transposed(points);
        const Layout reversed = Layout::reversed_padded(points, 3);
        const Layout spaced = strided(points);
        const Layout backwards = reversed_transposed(points);
        for (bool euclidean : {true, false}) {
            SCOPED_TRACE(testing::Message() << "d=" << d << (euclidean ? " euclidean" : " ip"));
            const auto reference = labels_at(level, centroids, points.view(), euclidean);
            for (const Layout* layout : {&transposed, &reversed, &spaced, &backwards}) {
                EXPECT_EQ(labels_at(level, centroids, layout->view, euclidean), reference);
            }
        }
    }
}

TEST_P(Levels, LargeOffsetsAndValues) {
    // A common offset makes Euclidean keys cancel heavily (many near-ties);
    // huge values stress the key steps' range. Both must stay within the
    // rounding of the exact reference.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    for (float offset : {1000.0f, -30000.0f}) {
        for (float scale : {1.0f, 1e13f}) {
            Points points = Points::gaussian(150, 20, 21);
            Points centroids = Points::gaussian(40, 20, 22);
            for (float& v : points.values) v = (v + offset) * scale;
            for (float& v : centroids.values) v = (v + offset) * scale;
            for (bool euclidean : {true, false}) {
                SCOPED_TRACE(testing::Message() << "offset=" << offset << " scale=" << scale << (euclidean ? " euclidean" : " ip"));
                const auto got = labels_at(level, centroids, points.view(), euclidean);
                const auto oracle = labels_at(KernelLevel::scalar, centroids, points.view(), euclidean);
                expect_near_optimal(got, oracle, points, centroids, euclidean, false);
            }
        }
    }
}

TEST_P(Levels, LevelsDisagreeOnlyAtNearTies) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const Points points = Points::gaussian(2000, 48, 31);
    const Points centroids = Points::gaussian(300, 48, 32);
    for (bool euclidean : {true, false}) {
        const auto got = labels_at(level, centroids, points.view(), euclidean);
        for (KernelLevel other : all_kernel_levels) {
            if (!kernel_level_supported(other)) continue;
            SCOPED_TRACE(testing::Message() << "against " << kernel_level_name(other));
            expect_near_optimal(got, labels_at(other, centroids, points.view(), euclidean), points, centroids,
                                euclidean);
        }
    }
}

TEST_P(Levels, DuplicateCentroidsTieToTheLowestOrTheHighestIndex) {
    // Rows 3, 20 and 40 are one vector (in different panels and register
    // groups); every other row has the same length, so points along that
    // vector are nearest to, and have the largest dot with, all three.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t d = 9, k = 57;
    Points centroids = Points::gaussian(k, d, 41);
    for (std::size_t j = 0; j < k; ++j) {
        float length = 0;
        for (std::size_t l = 0; l < d; ++l) length += centroids.values[j * d + l] * centroids.values[j * d + l];
        length = std::sqrt(length);
        for (std::size_t l = 0; l < d; ++l) centroids.values[j * d + l] /= length;
    }
    for (std::size_t copy : {20u, 40u}) std::copy_n(&centroids.values[3 * d], d, &centroids.values[copy * d]);
    Points points = Points::gaussian(101, d, 42, 0.001f);
    for (std::size_t i = 0; i < points.rows; ++i) {
        for (std::size_t l = 0; l < d; ++l) points.values[i * d + l] += 2.0f * centroids.values[3 * d + l];
    }
    EXPECT_EQ(labels_at(level, centroids, points.view(), true), std::vector<std::uint64_t>(101, 3));
    EXPECT_EQ(labels_at(level, centroids, points.view(), false), std::vector<std::uint64_t>(101, 40));
}

TEST_P(Levels, InfiniteKeysTieToTheFirstCluster) {
    // Every centroid's squared norm overflows, so every Euclidean key is
    // +inf: equal keys, lowest index. The dots are all 0, a tie that the
    // inner product gives to the highest index.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    Points centroids = Points::of(20, 2, std::vector<float>(40, 0.0f));
    for (std::size_t j = 0; j < 20; ++j) centroids.values[j * 2 + 1] = 3e38f;
    Points points = Points::of(50, 2, std::vector<float>(100, 0.0f));
    for (std::size_t i = 0; i < 50; ++i) points.values[i * 2] = static_cast<float>(i);
    EXPECT_EQ(labels_at(level, centroids, points.view(), true), std::vector<std::uint64_t>(50, 0));
    EXPECT_EQ(labels_at(level, centroids, points.view(), false), std::vector<std::uint64_t>(50, 19));
}

TEST_P(Levels, NaNFaultsWithTwoOrMoreClustersAndLeavesTheModel) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    // NaN in a point in the last, partly filled tile; in a centroid; and
    // made by the kernel itself (0 x inf).
    struct Case {
        const char* what;
        std::size_t point_row, centroid_row;
        float point_value, centroid_value;
    };
    const Case cases[] = {{"point", 198, 99, nan, 0.5f}, {"centroid", 0, 16, 0.5f, nan}, {"zero times inf", 57, 5, inf, 0.0f}};
    for (const Case& c : cases) {
        for (bool euclidean : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (euclidean ? " euclidean" : " ip"));
            Points points = Points::gaussian(199, 6, 51);
            Points centroids = Points::gaussian(17, 6, 52);
            points.values[c.point_row * 6 + 4] = c.point_value;
            centroids.values[(c.centroid_row % 17) * 6 + 4] = c.centroid_value;
            Model model = model_with_centroids(centroids, euclidean);
            model.labels.assign(199, 7);
            model.cluster_sizes.assign(17, 1.0f);
            EXPECT_THROW(relabel(model, points.view(), level, 2), Fault);
            EXPECT_EQ(model.labels, std::vector<std::uint64_t>(199, 7));
            EXPECT_EQ(model.cluster_sizes, std::vector<double>(17, 1.0f));
        }
    }
}

TEST_P(Levels, OneClusterTakesEveryPointWhateverItsValue) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    Points points = Points::gaussian(70, 3, 61);
    points.values[5] = nan;
    points.values[100] = inf;
    for (bool euclidean : {true, false}) {
        Points centroid = Points::of(1, 3, {1.0f, nan, 2.0f});
        EXPECT_EQ(labels_at(level, centroid, points.view(), euclidean), std::vector<std::uint64_t>(70, 0));
    }
}

TEST_P(Levels, LabelsDoNotDependOnThePoolSize) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    // Near-tied data (a large common offset) so that any dependence of a
    // dot on its tile row or piece would show up as a changed label.
    Points points = Points::gaussian(3001, 19, 71);
    Points centroids = Points::gaussian(45, 19, 72);
    for (float& v : points.values) v += 500.0f;
    for (float& v : centroids.values) v += 500.0f;
    for (bool euclidean : {true, false}) {
        const auto single = labels_at(level, centroids, points.view(), euclidean, 1);
        for (std::size_t threads : {2u, 3u}) {
            EXPECT_EQ(labels_at(level, centroids, points.view(), euclidean, threads), single) << threads << " threads";
        }
    }
}

TEST_P(Levels, PanelsFollowRefreshedRows) {
    // The balancing phase changes single rows between points; refreshed
    // panels must give exactly what fresh ones give, norms included.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const Points source = Points::gaussian(35, 13, 81);
    const Points point = Points::gaussian(1, 13, 82);
    for (bool euclidean : {true, false}) {
        Matrix centroids(35, 13);
        std::copy(source.values.begin(), source.values.end(), centroids.data());
        CentroidPanels kept(centroids, 35, euclidean, level);
        for (std::size_t j : {0u, 17u, 34u}) {
            for (float& v : centroids.row(j)) v = v * 3.0f + 1.0f;
            kept.refresh_row(j);
        }
        std::vector<float> a(35);
        centroid_distances(kept, point.values, 2.5f, a);
        EXPECT_EQ(a, test::keys_of(point.values, centroids, euclidean, 2.5f, level));
        // And each key is the exact one up to rounding.
        for (std::size_t j = 0; j < 35; ++j) {
            const ExactCost exact = exact_cost(point.values.data(), centroids.row(j).data(), 13, euclidean);
            const double offset = euclidean ? 2.5 - dot_f32(point.values.data(), point.values.data(), 13) : 0.0;
            EXPECT_NEAR(a[j], exact.cost + offset, exact.bound + 1e-5);
        }
    }
}

// The reference of the assignment: a full stable sort of cluster numbers by
// the level's own keys (centroid_distances uses the label step's dots).
ClusterLists stable_sort_reference(const Model& model, const Points& points, std::size_t k, KernelLevel level) {
    ClusterLists lists(model.n_clusters);
    for (std::size_t i = 0; i < points.rows; ++i) {
        std::span<const float> x(&points.values[i * points.cols], points.cols);
        const std::vector<float> keys =
            test::keys_of(x, *model.centroids, model.euclidean, dot_f32(x.data(), x.data(), x.size()), level);
        std::vector<std::size_t> order(model.n_clusters);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return keys[a] < keys[b]; });
        for (std::size_t t = 0; t < std::min(k, order.size()); ++t) lists[order[t]].push_back(i);
    }
    return lists;
}

TEST_P(Levels, AssignTopKIsTheStableSortsPrefix) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    for (std::size_t n_clusters : {2u, 17u, 70u}) {
        Points centroids = Points::gaussian(n_clusters, 11, 91);
        // Duplicate rows make exact ties, some of them at the cut.
        if (n_clusters > 10) {
            std::copy_n(&centroids.values[1 * 11], 11, &centroids.values[9 * 11]);
            std::copy_n(&centroids.values[1 * 11], 11, &centroids.values[(n_clusters - 1) * 11]);
        }
        const Points points = Points::gaussian(205, 11, 92);
        for (bool euclidean : {true, false}) {
            const Model model = trained_model(centroids, euclidean);
            for (std::size_t k : {1u, 2u, 3u, 10u, 16u, 17u, 69u, 70u, 500u}) {
                SCOPED_TRACE(testing::Message() << "clusters=" << n_clusters << " k=" << k << (euclidean ? " euclidean" : " ip"));
                auto outcome = assign(model, points.view(), k, test::context(level));
                ASSERT_TRUE(outcome.ok());
                EXPECT_EQ(outcome.value(), stable_sort_reference(model, points, k, level));
            }
        }
    }
}

TEST_P(Levels, AssignNaNFaultsOnlyWithSomethingToCompare) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    Points points = Points::gaussian(60, 4, 93);
    points.values[33 * 4 + 1] = nan;
    for (bool euclidean : {true, false}) {
        const Model two = trained_model(Points::gaussian(2, 4, 94), euclidean);
        const ExecutionContext here = test::context(level);
        for (std::uint64_t k : {1u, 2u, 5u}) EXPECT_THROW(assign(two, points.view(), k, here), Fault) << k;
        const Model many = trained_model(Points::gaussian(20, 4, 95), euclidean);
        EXPECT_THROW(assign(many, points.view(), 3, here), Fault);
        const Model one = trained_model(Points::gaussian(1, 4, 96), euclidean);
        std::vector<std::uint64_t> all(60);
        std::iota(all.begin(), all.end(), 0);
        EXPECT_EQ(assign(one, points.view(), 3, here).value(), ClusterLists{all});
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, Levels, ::testing::ValuesIn(all_kernel_levels), level_label);

TEST_P(Levels, AssignmentOnAPoolGivesTheCallingThreadsLists) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const Points centroids = Points::gaussian(40, 12, 111);
    const Points points = Points::gaussian(3000, 12, 112);
    auto pool = test::pool_of(3);
    for (bool euclidean : {true, false}) {
        const Model model = trained_model(centroids, euclidean);
        for (std::uint64_t k : {1u, 4u, 40u}) {
            auto alone = assign(model, points.view(), k, test::context(level));
            auto spread = assign(model, points.view(), k, test::context(level, pool.get()));
            ASSERT_TRUE(alone.ok() && spread.ok());
            EXPECT_EQ(spread.value(), alone.value()) << k;
        }
    }
}

TEST(KernelLevels, MissingLevelsAreFaultsNotFallbacks) {
    EXPECT_TRUE(kernel_level_supported(detected_kernel_level()));
    const Points points = Points::gaussian(97, 23, 101);
    const Points centroids = Points::gaussian(29, 23, 102);
    for (KernelLevel level : all_kernel_levels) {
        if (kernel_level_supported(level)) continue;
        Model model = model_with_centroids(centroids, true);
        EXPECT_THROW(relabel(model, points.view(), level, 0), Fault);
    }
}

}  // namespace
}  // namespace quorla::engine
