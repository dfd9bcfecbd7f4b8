// The scan driver at every kernel level, through the label step, the
// assignment and single-point keys: against the scalar oracle and a
// double-precision reference on awkward shapes and layouts, exact ties, NaN
// faults, pool sizes, and top-k against a full stable sort. Levels the
// machine lacks are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>

#include "engine/assignment.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/label/label_step.hpp"
#include "engine/scan/scan.hpp"
#include "engine/kernels/tile_kernels.hpp"
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

// The most points one kernel call scores at `level`.
std::size_t tile_rows_at(KernelLevel level) {
    const Matrix one(1, 1);
    return CentroidPanels(one, 1, true, level).kernels().tile_rows;
}

// Point counts below one tile of `rows`: single points, a few, whole and
// broken vectors of 16 lanes, one short of the tile.
std::vector<std::size_t> short_counts(std::size_t rows) {
    std::vector<std::size_t> counts;
    for (std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{9}, std::size_t{16}, std::size_t{17},
                              std::size_t{32}, rows - 1}) {
        if (count < rows && std::find(counts.begin(), counts.end(), count) == counts.end()) counts.push_back(count);
    }
    return counts;
}

// Rows [first, first + count) of a view as a view of their own, with the
// same strides: a window of a strided layout is strided too.
PointView window(const PointView& view, std::size_t first, std::size_t count) {
    PointView part = view;
    part.origin = view.row_start(first);
    part.rows = count;
    return part;
}

// Lists of the points [first, first + count) only, numbered from first.
ClusterLists lists_window(const ClusterLists& lists, std::size_t first, std::size_t count) {
    ClusterLists part(lists.size());
    for (std::size_t c = 0; c < lists.size(); ++c) {
        for (std::uint64_t i : lists[c]) {
            if (i >= first && i < first + count) part[c].push_back(i - first);
        }
    }
    return part;
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
        centroid_keys(panels, row, euclidean ? point_norms[i] : 0.0f, keys);
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

// Centroids too many for the caches are scored a block at a time, and each
// point's nearest cluster, or its kept list of the k nearest, carries over
// from block to block. The label step, top-1 assignment and search must
// give what one pass over the clusters gives. Shapes: at d = 1,024 blocks of
// 64 clusters, four whole and a short one ending in a partial panel; at
// d = 2,048 blocks of 32, with take = 40 filling the lists across a block
// boundary. Every third centroid of the first block is copied into each
// later block, and points sit on the copied ones, so exact ties between
// blocks decide: the label step takes the lowest copy (Euclidean) or the
// highest (inner product), assignment and search the lowest first. Pools of
// 1 and 3, so that pieces meet workers differently.
TEST_P(Levels, BlockedScansAreOneScan) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    struct Shape {
        std::size_t d, k, take, block;
    };
    for (const Shape shape : {Shape{1024, 273, 3, 64}, Shape{2048, 150, 40, 32}}) {
        const std::size_t d = shape.d, k = shape.k, n = 300;
        Points centroids = Points::gaussian(k, d, 81);
        Points points = Points::gaussian(n, d, 82);
        for (std::size_t j = 0; j < shape.block; j += 3) {
            for (std::size_t copy = j + shape.block; copy < k; copy += shape.block)
                std::copy_n(&centroids.values[j * d], d, &centroids.values[copy * d]);
            std::copy_n(&centroids.values[j * d], d, &points.values[j * d]);
        }
        const std::vector<float> norms = squared_norms(points.view());
        for (bool euclidean : {true, false}) {
            SCOPED_TRACE(testing::Message() << "d=" << d << " take=" << shape.take << (euclidean ? " euclidean" : " ip"));
            const Model model = trained_model(centroids, euclidean);
            const auto labels = labels_from_point_keys(level, centroids, points.view(), euclidean);
            std::vector<std::int64_t> top;
            std::vector<float> distances;
            std::vector<std::uint64_t> first;
            for (std::size_t i = 0; i < n; ++i) {
                const std::vector<float> keys = test::keys_of(std::span<const float>(&points.values[i * d], d),
                                                              *model.centroids, euclidean, norms[i], level);
                std::vector<std::int64_t> order(k);
                std::iota(order.begin(), order.end(), 0);
                std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return keys[a] < keys[b]; });
                first.push_back(static_cast<std::uint64_t>(order[0]));
                for (std::size_t t = 0; t < shape.take; ++t) {
                    top.push_back(order[t]);
                    distances.push_back(euclidean ? std::max(keys[order[t]], 0.0f) : -keys[order[t]]);
                }
            }
            ASSERT_EQ(labels[0], euclidean ? 0u : (k - 1) / shape.block * shape.block) << "the tie is not exercised";
            ASSERT_EQ(top[1], static_cast<std::int64_t>(shape.block)) << "the tie is not exercised";
            for (std::size_t threads : {1, 3}) {
                EXPECT_EQ(labels_at(level, centroids, points.view(), euclidean, threads), labels);
                const auto pool = test::pool_of(threads);
                const ExecutionContext context = test::context(level, pool.get());
                const ClusterLists top1 = assign(model, points.view(), 1, context).value();
                std::vector<std::uint64_t> first_of(n, k);
                for (std::size_t c = 0; c < k; ++c)
                    for (std::uint64_t i : top1[c]) first_of[i] = c;
                EXPECT_EQ(first_of, first);
                const SearchResult got = search(model, points.view(), shape.take, context).value();
                EXPECT_EQ(got.clusters, top);
                EXPECT_EQ(got.distances, distances);
            }
        }
    }
}

// Balancing takes a block's keys from the tile kernel and patches single
// rows with the one-point kernel, so the two must give the same bits for
// every point and cluster: full and short tiles, narrow and padded panels,
// any layout, on the calling thread and on pools of 2 and 3.
TEST_P(Levels, TileKeysAreThePointKeysBitForBit) {
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    struct Shape {
        std::size_t n, d, k;
    };
    const Shape shapes[] = {{1, 1, 1},  {5, 3, 2},    {47, 17, 16}, {49, 7, 33},
                            {113, 64, 100}, {300, 33, 257}, {20, 4100, 3}};
    std::uint32_t seed = 900;
    for (const Shape& shape : shapes) {
        const Points points = Points::gaussian(shape.n, shape.d, ++seed);
        const Points centroids = Points::gaussian(shape.k, shape.d, ++seed, 2.0f);
        Matrix c(shape.k, shape.d);
        std::copy(centroids.values.begin(), centroids.values.end(), c.data());
        const Layout transposed = Layout::transposed(points);
        const std::vector<float> point_norms = squared_norms(points.view());
        for (bool euclidean : {true, false}) {
            const CentroidPanels panels(c, shape.k, euclidean, level);
            std::vector<float> expected(shape.n * shape.k), row(shape.d);
            for (std::size_t i = 0; i < shape.n; ++i) {
                points.view().copy_row(i, row.data());
                centroid_keys(panels, row, euclidean ? point_norms[i] : 0.0f,
                                   std::span<float>(expected.data() + i * shape.k, shape.k));
            }
            for (std::size_t threads : {0u, 2u, 3u}) {
                auto pool = threads > 0 ? test::pool_of(threads) : nullptr;
                const ExecutionContext context = test::context(level, pool.get());
                for (const PointView& view : {points.view(), transposed.view}) {
                    SCOPED_TRACE(testing::Message() << "n=" << shape.n << " d=" << shape.d << " k=" << shape.k
                                                    << (euclidean ? " euclidean" : " ip") << " threads=" << threads);
                    std::vector<float> got(shape.n * shape.k, nan);
                    KeysSink sink(got);
                    // A piece per tile: short scans on the pool as well.
                    scan_points(context, panels, view, euclidean ? &point_norms : nullptr, sink, 1);
                    ASSERT_EQ(got.size(), expected.size());
                    for (std::size_t e = 0; e < got.size(); ++e) {
                        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[e]), std::bit_cast<std::uint32_t>(expected[e]))
                            << "point " << e / shape.k << " cluster " << e % shape.k;
                    }
                }
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
    // And in scans shorter than a tile, whose padding lanes are not zeros.
    for (std::size_t count : short_counts(tile_rows_at(level))) {
        const PointView part = window(points.view(), 101 - count, count);
        EXPECT_EQ(labels_at(level, centroids, part, true), std::vector<std::uint64_t>(count, 3)) << count;
        EXPECT_EQ(labels_at(level, centroids, part, false), std::vector<std::uint64_t>(count, 40)) << count;
    }
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
    for (std::size_t count : short_counts(tile_rows_at(level))) {
        if (count > 50) continue;
        const PointView part = window(points.view(), 50 - count, count);
        EXPECT_EQ(labels_at(level, centroids, part, true), std::vector<std::uint64_t>(count, 0)) << count;
        EXPECT_EQ(labels_at(level, centroids, part, false), std::vector<std::uint64_t>(count, 19)) << count;
    }
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

TEST_P(Levels, EveryLaneOfATileReportsItsOwnNaN) {
    // The vector kernels test a whole vector of rows for NaN at once and
    // mask off a short tile's padding lanes, so a slip in one lane's bit or
    // in one unrolled centroid of the register tile passes any test whose
    // NaN sits in one place. Here each real row of a full and two short
    // tiles gets a NaN of its own, and each (row, cluster) of two full
    // panels and a one-cluster tail gets an inf x 0 product: that one key is
    // NaN, its neighbours only infinite. Every entry that reports NaN must
    // report each of them, and none the padding lanes, whose tile slack and
    // norms are NaN throughout. The keys entry leaves the check to its
    // caller, so its keys are looked at instead. The one-point entry scores
    // each real row alone, with centroids in the lanes: a partial panel's
    // padding lanes give 0 x inf = NaN for a row holding inf, which a row
    // without a NaN key must not report.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t d = 3, k = 2 * tiles::panel_width + 1, take = 3, group = tiles::panel_width;
    const std::size_t rows = tile_rows_at(level), groups = (k + group - 1) / group;
    const Points base = Points::gaussian(rows, d, 181), source = Points::gaussian(k, d, 182);
    std::vector<float> tile(rows * d + rows), norms(rows), keys(rows * k), kept(rows * 16), lanes(2 * rows);
    std::vector<float> first_keys(groups * rows), second_keys(groups * rows);
    std::vector<std::uint32_t> labels(rows), chosen(rows * take), owners(rows * 16), first(groups * rows);
    const tiles::TopScratch scratch{16, kept.data(), owners.data(), lanes.data(), lanes.data() + rows};
    const Points* packed = &base;  // the rows the tile was packed from
    for (bool euclidean : {true, false}) {
        Matrix centroids(k, d);
        std::copy(source.values.begin(), source.values.end(), centroids.data());
        CentroidPanels panels(centroids, k, euclidean, level);
        const tiles::TileKernels& run = panels.kernels();
        const tiles::Panels& p = panels.panels();
        const tiles::Rule nearest = euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last;
        const std::pair<const char*, std::function<bool(std::size_t)>> entries[] = {
            {"label",
             [&](std::size_t n) { return run.label(tile.data(), n, norms.data(), p, nearest, labels.data(), nullptr); }},
            {"label, ties to the first",
             [&](std::size_t n) {
                 return run.label(tile.data(), n, norms.data(), p, tiles::Rule::highest_dot_first, labels.data(),
                                  lanes.data());
             }},
            {"top",
             [&](std::size_t n) {
                 return run.top(tile.data(), n, norms.data(), p, euclidean, take, scratch, chosen.data(), 0);
             }},
            {"nearest two",
             [&](std::size_t n) {
                 return run.nearest_two(tile.data(), n, norms.data(), p, nearest, group, first_keys.data(),
                                        second_keys.data(), first.data());
             }},
            {"keys",
             [&](std::size_t n) {
                 run.keys(tile.data(), n, norms.data(), p, euclidean, keys.data(), k);
                 return std::none_of(keys.begin(), keys.begin() + n * k, [](float key) { return std::isnan(key); });
             }},
            {"point keys",
             [&](std::size_t n) {
                 bool clean = true;
                 for (std::size_t r = 0; r < n; ++r) {
                     clean &= run.point_keys(&packed->values[r * d], p, euclidean, norms[r], keys.data());
                 }
                 return clean;
             }},
        };
        std::vector<std::string> missed;
        // nan_row == n: no NaN; nan_cluster == k: the point's own NaN, in every key of its row.
        auto expect = [&](const Points& points, std::size_t n, bool clean, std::size_t nan_row,
                          std::size_t nan_cluster) {
            packed = &points;
            std::fill(tile.begin(), tile.end(), nan);
            run.pack({points.values.data(), static_cast<std::int64_t>(d), 1, d}, 0, n, tile.data());
            std::fill(norms.begin(), norms.end(), nan);
            for (std::size_t r = 0; r < n; ++r) {
                norms[r] = euclidean ? dot_f32(&base.values[r * d], &base.values[r * d], d) : 0.0f;
            }
            for (const auto& [name, clean_tile] : entries) {
                if (clean_tile(n) == clean) continue;
                missed.push_back(
                    testing::PrintToString(std::make_tuple(std::string(name), n, nan_row, nan_cluster)));
            }
        };
        for (std::size_t n : {rows, rows - 1, rows / 2 + 1}) {
            expect(base, n, true, n, k);
            for (std::size_t r = 0; r < n; ++r) {
                Points points = base;
                points.values[r * d + 2] = nan;
                expect(points, n, false, r, k);
                points.values[r * d + 2] = base.values[r * d + 2];
                points.values[r * d + 1] = inf;
                expect(points, n, true, n, k);  // infinite keys, none NaN
                for (std::size_t j = 0; j < k; ++j) {
                    const float was = std::exchange(centroids.row(j)[1], 0.0f);
                    panels.refresh_row(j);
                    expect(points, n, false, r, j);
                    centroids.row(j)[1] = was;
                    panels.refresh_row(j);
                }
            }
        }
        EXPECT_TRUE(missed.empty()) << (euclidean ? "euclidean: " : "ip: ") << missed.size()
                                    << " misses (entry, count, NaN row, NaN cluster), first " << missed.front();
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

TEST_P(Levels, ShortScansChooseAsFullTilesDo) {
    // A scan of fewer points than a tile packs them at their own stride, so
    // the kernels' padding lanes hold other dimensions' values rather than
    // zeros. Every point must still get the label, top-1 and top-3 lists it
    // gets inside a full tile. A common offset puts near-ties everywhere, so
    // a dot that changed with the packing would change a choice, and points
    // lying exactly on a duplicated centroid make exact ties.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t rows = tile_rows_at(level);
    const std::size_t n = 3 * rows;  // whole tiles only in the reference
    // One panel, padded; a full one and a padded one; one narrow panel.
    const std::pair<std::size_t, std::size_t> shapes[] = {{5, 37}, {21, 37}, {5, 4099}};
    for (const auto& [k, d] : shapes) {
        Points centroids = Points::gaussian(k, d, 131);
        Points points = Points::gaussian(n, d, 132);
        for (float& v : centroids.values) v += 500.0f;
        for (float& v : points.values) v += 500.0f;
        std::copy_n(&centroids.values[1 * d], d, &centroids.values[(k - 1) * d]);
        const std::size_t on_centroid[] = {0, rows - 1, rows, 2 * rows + 8};
        for (std::size_t i : on_centroid) std::copy_n(&centroids.values[1 * d], d, &points.values[i * d]);
        const Layout transposed = Layout::transposed(points);
        const Layout reversed = Layout::reversed_padded(points, 3);
        const Layout spaced = strided(points);
        const Layout backwards = reversed_transposed(points);
        const PointView views[] = {points.view(), transposed.view, reversed.view, spaced.view, backwards.view};
        for (bool euclidean : {true, false}) {
            const Model model = trained_model(centroids, euclidean);
            const ExecutionContext here = test::context(level);
            const auto labels = labels_at(level, centroids, points.view(), euclidean);
            const ClusterLists top1 = assign(model, points.view(), 1, here).value();
            const ClusterLists top3 = assign(model, points.view(), 3, here).value();
            if (euclidean) {
                for (std::size_t i : on_centroid) ASSERT_EQ(labels[i], 1u) << "the tie is not exercised";
            }
            for (std::size_t count : short_counts(rows)) {
                for (std::size_t first : {std::size_t{0}, rows - 1, 2 * rows + 3, n - count}) {
                    if (first + count > n) continue;
                    for (std::size_t v = 0; v < std::size(views); ++v) {
                        SCOPED_TRACE(testing::Message() << "k=" << k << " d=" << d << (euclidean ? " euclidean" : " ip")
                                                        << " layout " << v << " rows " << first << "+" << count);
                        const PointView part = window(views[v], first, count);
                        const std::vector<std::uint64_t> expected(labels.begin() + first,
                                                                  labels.begin() + first + count);
                        EXPECT_EQ(labels_at(level, centroids, part, euclidean), expected);
                        EXPECT_EQ(assign(model, part, 1, here).value(), lists_window(top1, first, count));
                        EXPECT_EQ(assign(model, part, 3, here).value(), lists_window(top3, first, count));
                    }
                }
            }
        }
    }
}

TEST_P(Levels, ShortScansFaultOnTheirOwnNaNOnly) {
    // NaN in the rows just before or after a short scan's window is not its
    // business; NaN in its first or last row is, in every layout.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t rows = tile_rows_at(level);
    const std::size_t d = 6, n = 3 * rows, first = rows + 1;
    const Points centroids = Points::gaussian(17, d, 141);
    for (std::size_t count : short_counts(rows)) {
        for (std::size_t nan_row : {first - 1, first + count, first, first + count - 1}) {
            Points points = Points::gaussian(n, d, 142);
            points.values[nan_row * d + nan_row % d] = nan;
            const bool inside = nan_row >= first && nan_row < first + count;
            const Layout transposed = Layout::transposed(points);
            const Layout spaced = strided(points);
            const Layout backwards = reversed_transposed(points);
            for (const PointView& view : {points.view(), transposed.view, spaced.view, backwards.view}) {
                const PointView part = window(view, first, count);
                for (bool euclidean : {true, false}) {
                    SCOPED_TRACE(testing::Message() << "rows " << first << "+" << count << ", NaN in row " << nan_row
                                                    << (euclidean ? " euclidean" : " ip"));
                    Model model = model_with_centroids(centroids, euclidean);
                    const Model trained = trained_model(centroids, euclidean);
                    const ExecutionContext here = test::context(level);
                    if (inside) {
                        EXPECT_THROW(relabel(model, part, level, 0), Fault);
                        EXPECT_THROW(assign(trained, part, 1, here), Fault);
                        EXPECT_THROW(assign(trained, part, 3, here), Fault);
                    } else {
                        EXPECT_NO_THROW(relabel(model, part, level, 0));
                        EXPECT_NO_THROW(assign(trained, part, 1, here));
                        EXPECT_NO_THROW(assign(trained, part, 3, here));
                    }
                }
            }
        }
    }
}

TEST_P(Levels, PaddingLanesOfAShortScanNeverFault) {
    // In a tile of one point, padding lane r meets the point's dimension
    // l + r where the real lane meets dimension l. The centroids' first
    // entries are 0 and the point is (1, +-inf), so a padding lane's first
    // product is inf x 0 = NaN, while the point's own products are 1 x 0 and
    // inf x c: its dots are all +inf (inner product, x = (1, +inf)) and its
    // keys all +inf (Euclidean, x = (1, -inf)). Those are ties, not faults,
    // and they go as in a full tile where the point has finite neighbours.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t rows = tile_rows_at(level);
    const Points centroids = Points::of(3, 2, {0.0f, 1.0f, 0.0f, 2.0f, 0.0f, 3.0f});
    for (bool euclidean : {true, false}) {
        SCOPED_TRACE(euclidean ? "euclidean" : "ip");
        Points points = Points::gaussian(rows, 2, 151);
        points.values[0] = 1.0f;
        points.values[1] = euclidean ? -inf : inf;
        const Layout spaced = strided(points);
        const Model model = trained_model(centroids, euclidean);
        const ExecutionContext here = test::context(level);
        const std::uint64_t label = euclidean ? 0 : 2;  // first smallest key, or last largest dot
        ASSERT_EQ(labels_at(level, centroids, points.view(), euclidean)[0], label);
        for (const PointView& view : {points.view(), spaced.view}) {
            const PointView alone = window(view, 0, 1);
            EXPECT_EQ(labels_at(level, centroids, alone, euclidean), std::vector<std::uint64_t>{label});
            // assign refuses infinite values, so the scan is run directly.
            for (std::size_t take : {1, 2}) {
                const CentroidPanels panels(*model.centroids, model.n_clusters, euclidean, level);
                std::vector<std::uint32_t> chosen(take);
                TopSink sink(take, chosen);
                scan_points(here, panels, alone, nullptr, sink);
                const std::vector<std::uint32_t> nearest{0, 1};
                EXPECT_EQ(chosen, std::vector<std::uint32_t>(nearest.begin(), nearest.begin() + take));
            }
        }
    }
}

TEST_P(Levels, PoolsWithMoreWorkersThanTilesGiveTheCallingThreadsResults) {
    // Just past the size a scan keeps on the calling thread there are fewer
    // tiles than 8 workers at the 48-row level; workers that get no tile get
    // no scratch, and those that do must not share it.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const Points centroids = Points::gaussian(23, 29, 161);
    const Points all = Points::gaussian(700, 29, 162);
    for (std::size_t threads : {2u, 3u, 8u}) {
        auto pool = test::pool_of(threads);
        for (std::size_t n : {257u, 300u, 700u}) {
            const PointView points = window(all.view(), 0, n);
            for (bool euclidean : {true, false}) {
                SCOPED_TRACE(testing::Message() << threads << " threads, n=" << n << (euclidean ? " euclidean" : " ip"));
                const Model model = trained_model(centroids, euclidean);
                const ExecutionContext spread = test::context(level, pool.get());
                Model relabelled = model_with_centroids(centroids, euclidean);
                update_labels(relabelled, TrainingState::start(points, euclidean), spread);
                EXPECT_EQ(relabelled.labels, labels_at(level, centroids, points, euclidean, 0));
                for (std::uint64_t k : {1u, 3u}) {
                    EXPECT_EQ(assign(model, points, k, spread).value(), assign(model, points, k, test::context(level)).value());
                }
            }
        }
    }
}

TEST_P(Levels, PanelsFollowRefreshedRows) {
    // The balancing phase changes single rows between points; refreshed
    // panels must give exactly what fresh ones give, norms included: in
    // full-width panels and in the one narrow panel of fewer clusters.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::pair<std::size_t, std::size_t> shapes[] = {{35, 13}, {5, 13}, {5, 4099}};
    for (const auto& [k, d] : shapes) {
        const Points source = Points::gaussian(k, d, 81);
        const Points point = Points::gaussian(1, d, 82);
        for (bool euclidean : {true, false}) {
            SCOPED_TRACE(testing::Message() << "k=" << k << " d=" << d << (euclidean ? " euclidean" : " ip"));
            Matrix centroids(k, d);
            std::copy(source.values.begin(), source.values.end(), centroids.data());
            CentroidPanels kept(centroids, k, euclidean, level);
            for (std::size_t j : {std::size_t{0}, k / 2, k - 1}) {
                for (float& v : centroids.row(j)) v = v * 3.0f + 1.0f;
                kept.refresh_row(j);
            }
            std::vector<float> a(k);
            centroid_keys(kept, point.values, 2.5f, a);
            EXPECT_EQ(a, test::keys_of(point.values, centroids, euclidean, 2.5f, level));
            // And each key is the exact one up to rounding.
            for (std::size_t j = 0; j < k; ++j) {
                const ExactCost exact = exact_cost(point.values.data(), centroids.row(j).data(), d, euclidean);
                const double offset = euclidean ? 2.5 - dot_f32(point.values.data(), point.values.data(), d) : 0.0;
                EXPECT_NEAR(a[j], exact.cost + offset, exact.bound + 1e-5);
            }
        }
    }
}

// The reference of the assignment: a full stable sort of cluster numbers by
// the level's own keys (centroid_keys uses the label step's dots).
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

TEST_P(Levels, NarrowPanelsScoreAsFullWidthOnes) {
    // At large d, fewer clusters than a panel's width share one narrow
    // panel. Followed by more centroids, the same ones fill a full-width
    // panel: each one's keys must stay the same to the bit. And the tile
    // kernels must choose from narrow panels what those keys say.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    const std::size_t d = 4099, rows = tile_rows_at(level);
    Points sixteen = Points::gaussian(16, d, 171);
    Points points = Points::gaussian(2 * rows + 5, d, 172);
    for (float& v : sixteen.values) v += 500.0f;
    for (float& v : points.values) v += 500.0f;
    Matrix all(16, d);
    std::copy(sixteen.values.begin(), sixteen.values.end(), all.data());
    std::vector<float> full(16), narrow;
    for (std::size_t k : {1u, 2u, 5u, 15u}) {
        Matrix first(k, d);
        std::copy_n(sixteen.values.begin(), k * d, first.data());
        const Points few = Points::of(k, d, std::vector<float>(sixteen.values.begin(), sixteen.values.begin() + k * d));
        for (bool euclidean : {true, false}) {
            SCOPED_TRACE(testing::Message() << "k=" << k << (euclidean ? " euclidean" : " ip"));
            const CentroidPanels wide(all, 16, euclidean, level);
            const CentroidPanels tight(first, k, euclidean, level);
            narrow.resize(k);
            for (std::size_t i = 0; i < points.rows; ++i) {
                const std::span<const float> x(&points.values[i * d], d);
                const float norm = dot_f32(x.data(), x.data(), d);
                centroid_keys(wide, x, norm, full);
                centroid_keys(tight, x, norm, narrow);
                ASSERT_EQ(narrow, std::vector<float>(full.begin(), full.begin() + k)) << "point " << i;
            }
            if (k == 1) continue;  // one cluster is never scanned
            EXPECT_EQ(labels_at(level, few, points.view(), euclidean),
                      labels_from_point_keys(level, few, points.view(), euclidean));
            const Model model = trained_model(few, euclidean);
            for (std::uint64_t take : {1u, 3u}) {
                EXPECT_EQ(assign(model, points.view(), take, test::context(level)).value(),
                          stable_sort_reference(model, points, take, level))
                    << take;
            }
        }
    }
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

// Packing, contiguous and gathered, puts every value where the kernels
// read it, and a short tile writes nothing past count x dim: whole and
// short tiles, dimensions around the vector width.
TEST_P(Levels, PackedTilesHoldEveryValueAndNothingPastThem) {
    if (!kernel_level_supported(GetParam())) GTEST_SKIP() << "level not available";
    const tiles::TileKernels& run = tiles::kernels_for(GetParam());
    if (!run.packs_panels) GTEST_SKIP() << "row-major tiles at this level";
    const std::size_t rows = run.tile_rows;
    for (const std::size_t d : {1u, 7u, 8u, 9u, 16u, 17u, 33u}) {
        for (const std::size_t n : {rows, rows - 1, rows / 2 + 1, std::size_t{1}}) {
            const Points points = Points::gaussian(n, d, static_cast<std::uint32_t>(n * 100 + d));
            std::vector<const float*> row_pointers(n);
            for (std::size_t r = 0; r < n; ++r) row_pointers[r] = &points.values[(n - 1 - r) * d];
            for (const bool gathered : {false, true}) {
                const float sentinel = 12345.0f;
                std::vector<float> tile(n * d + rows, sentinel);
                if (gathered) {
                    run.pack_gathered(row_pointers.data(), n, d, tile.data());
                } else {
                    run.pack({points.values.data(), static_cast<std::int64_t>(d), 1, d}, 0, n, tile.data());
                }
                const std::size_t stride = n;
                std::size_t wrong = 0;
                for (std::size_t r = 0; r < n; ++r) {
                    const float* x = gathered ? row_pointers[r] : &points.values[r * d];
                    for (std::size_t l = 0; l < d; ++l) wrong += tile[l * stride + r] != x[l];
                }
                for (std::size_t i = n * d; i < tile.size(); ++i) wrong += tile[i] != sentinel;
                EXPECT_EQ(wrong, 0u) << "d " << d << " n " << n << (gathered ? " gathered" : "");
            }
        }
    }
}

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

TEST_P(Levels, PrimeDimensionsAndShortScansAgreeWithTheOracle) {
    // Dimensions no vector width divides, and point counts just around the
    // 4, 8 and 16 lanes of the vector levels and their tile heights (16 at
    // NEON and AVX2, 48 at AVX-512), so that every level meets whole, broken
    // and single vectors of points. The tile kernels, the one-point kernel
    // and top-k must all stay with the oracle.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    std::uint32_t seed = 500;
    for (std::size_t d : {5u, 11u, 13u, 19u, 61u, 127u, 131u}) {
        for (std::size_t n : {3u, 4u, 5u, 15u, 16u, 17u, 33u, 47u, 49u}) {
            const Points points = Points::gaussian(n, d, ++seed);
            for (std::size_t k : {5u, 13u, 48u}) {
                const Points centroids = Points::gaussian(k, d, ++seed);
                for (bool euclidean : {true, false}) {
                    SCOPED_TRACE(testing::Message() << "d=" << d << " n=" << n << " k=" << k
                                                    << (euclidean ? " euclidean" : " ip"));
                    const auto got = labels_at(level, centroids, points.view(), euclidean);
                    expect_near_optimal(got, labels_at(KernelLevel::scalar, centroids, points.view(), euclidean),
                                        points, centroids, euclidean);
                    EXPECT_EQ(got, labels_from_point_keys(level, centroids, points.view(), euclidean));
                    const Model model = trained_model(centroids, euclidean);
                    EXPECT_EQ(assign(model, points.view(), 3, test::context(level)).value(),
                              stable_sort_reference(model, points, 3, level));
                }
            }
        }
    }
}

TEST_P(Levels, VectorKeysFollowTheFusedChainAndTheUnfusedKeySteps) {
    // Every vector level's dot is acc = fma(x[l], c[l], acc) from l = 0 up,
    // and its Euclidean key |x|^2 + (|c|^2 - 2 d) in three rounded steps:
    // written out here with std::fma, so a level that multiplies and adds
    // separately, swaps the FMA's operands or sums in another order fails.
    const KernelLevel level = GetParam();
    SKIP_IF_UNSUPPORTED(level);
    if (level == KernelLevel::scalar) GTEST_SKIP() << "the scalar oracle sums with dot_f32";
    std::size_t fused_mattered = 0;
    for (std::size_t d : {1u, 3u, 7u, 13u, 31u, 127u}) {
        const Points centroids = Points::gaussian(37, d, 600 + static_cast<std::uint32_t>(d));
        const Points points = Points::gaussian(9, d, 700 + static_cast<std::uint32_t>(d));
        Matrix c(centroids.rows, centroids.cols);
        std::copy(centroids.values.begin(), centroids.values.end(), c.data());
        for (std::size_t i = 0; i < points.rows; ++i) {
            const std::span<const float> x(&points.values[i * d], d);
            const float norm = dot_f32(x.data(), x.data(), d);
            const std::vector<float> inner = test::keys_of(x, c, false, 0.0f, level);
            const std::vector<float> euclidean = test::keys_of(x, c, true, norm, level);
            for (std::size_t j = 0; j < centroids.rows; ++j) {
                const float* row = &centroids.values[j * d];
                float fused = 0.0f, unfused = 0.0f;
                for (std::size_t l = 0; l < d; ++l) {
                    fused = std::fma(x[l], row[l], fused);
                    const float product = x[l] * row[l];
                    unfused = unfused + product;
                }
                if (fused != unfused) ++fused_mattered;
                const float t = 2.0f * fused;
                const float u = dot_f32(row, row, d) - t;
                ASSERT_EQ(inner[j], -fused) << "d=" << d << " point " << i << " centroid " << j;
                ASSERT_EQ(euclidean[j], norm + u) << "d=" << d << " point " << i << " centroid " << j;
            }
        }
    }
    // Otherwise the data could not tell a fused chain from an unfused one.
    EXPECT_GT(fused_mattered, 100u);
}

TEST(KernelLevels, NamesAndNumbersStayAsTheyWere) {
    // neon was appended; the x86 levels keep their values and names.
    EXPECT_EQ(static_cast<int>(KernelLevel::scalar), 0);
    EXPECT_EQ(static_cast<int>(KernelLevel::avx2), 1);
    EXPECT_EQ(static_cast<int>(KernelLevel::avx512), 2);
    EXPECT_EQ(static_cast<int>(KernelLevel::neon), 3);
    std::vector<std::string> names;
    for (KernelLevel level : all_kernel_levels) names.emplace_back(kernel_level_name(level));
    EXPECT_EQ(names, (std::vector<std::string>{"scalar", "avx2", "avx512", "neon"}));
}

TEST(KernelLevels, EachArchitectureRunsItsOwnLevelsOnly) {
    EXPECT_TRUE(kernel_level_supported(KernelLevel::scalar));
    ASSERT_NE(tiles::tile_kernels_f32_scalar(), nullptr);
#if defined(__aarch64__)
    // Advanced SIMD is baseline on AArch64: always there, always the best.
    EXPECT_TRUE(kernel_level_supported(KernelLevel::neon));
    EXPECT_EQ(detected_kernel_level(), KernelLevel::neon);
    EXPECT_FALSE(kernel_level_supported(KernelLevel::avx2));
    EXPECT_FALSE(kernel_level_supported(KernelLevel::avx512));
    ASSERT_NE(tiles::tile_kernels_f32_neon(), nullptr);
    EXPECT_EQ(tile_rows_at(KernelLevel::neon), 16u);
    EXPECT_EQ(tiles::tile_kernels_f32_avx2(), nullptr);
#else
    EXPECT_FALSE(kernel_level_supported(KernelLevel::neon));
    EXPECT_NE(detected_kernel_level(), KernelLevel::neon);
    EXPECT_EQ(tiles::tile_kernels_f32_neon(), nullptr);
#endif
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
