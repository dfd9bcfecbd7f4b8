// The bounded label step against the full one: whole trainings must agree
// bit for bit, and the nearest_two kernel with the label kernel and the keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "engine/label/bounded_step.hpp"
#include "engine/label/label_steps.hpp"
#include "engine/scan/scan.hpp"
#include "engine/training.hpp"
#include "screen_cases.hpp"
#include "support.hpp"

namespace quorla::engine {
namespace {

using test::Layout;
using test::Points;

struct Trained {
    Model model;
    std::vector<LabelStepShare> shares;
};

Trained train_with(const Model& config, const PointView& points, KernelLevel level, parallel::PoolRegistry* pool,
               bool bounded, const ScreenOptions& screen = {}) {
    Trained run{config, {}};
    ThreadRandom random = test::seeded_random(5);
    const TrainingOptions options{bounded ? LabelStepMode::bounded : LabelStepMode::full, &run.shares, screen};
    if (!train(run.model, points, test::context(level, pool, &random), options).ok()) {
        throw std::runtime_error("training failed");
    }
    return run;
}

void expect_same_training(const Trained& full, const Trained& bounded) {
    EXPECT_EQ(full.model.labels, bounded.model.labels);
    EXPECT_EQ(full.model.cluster_sizes, bounded.model.cluster_sizes);
    EXPECT_EQ(full.model.medoid_indices, bounded.model.medoid_indices);
    ASSERT_TRUE(full.model.centroids && bounded.model.centroids);
    const std::span<const float> a = full.model.centroids->values(), b = bounded.model.centroids->values();
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

// Gaussian blobs that settle over a few iterations, so that later label
// steps have something to prune.
Points blobs(std::size_t n, std::size_t d, std::size_t centres, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<float> normal;
    std::vector<float> means(centres * d);
    for (float& v : means) v = 4.0f * normal(engine);
    Points p = Points::of(n, d, std::vector<float>(n * d));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t l = 0; l < d; ++l) p.values[i * d + l] = means[(i % centres) * d + l] + normal(engine);
    return p;
}

// Small integers: many points tie exactly, at equal distance from two or
// more centroids, and sit on top of each other.
Points lattice(std::size_t n, std::size_t d, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> coordinate(-2, 2);
    Points p = Points::of(n, d, std::vector<float>(n * d));
    for (float& v : p.values) v = static_cast<float>(coordinate(engine));
    return p;
}

// Many copies of few distinct rows: clusters empty out and are refilled by
// the repair, whose split moves centroids far, and equal rows tie.
Points few_distinct(std::size_t n, std::size_t d, std::size_t distinct, std::uint32_t seed) {
    const Points rows = Points::gaussian(distinct, d, seed);
    Points p = Points::of(n, d, std::vector<float>(n * d));
    for (std::size_t i = 0; i < n; ++i)
        std::copy_n(rows.values.begin() + static_cast<std::ptrdiff_t>((i * 7 % distinct) * d), d,
                    p.values.begin() + static_cast<std::ptrdiff_t>(i * d));
    return p;
}

// Far from the origin: keys are large next to the distances between
// clusters, so their rounding decides near-ties, and a bound that
// underestimated it would keep labels the full step changes.
Points offset(std::size_t n, std::size_t d, std::uint32_t seed) {
    Points p = blobs(n, d, 12, seed);
    for (float& v : p.values) v += 3000.0f;
    return p;
}

struct DataCase {
    const char* name;
    Points points;
    std::size_t k;
    bool narrow_windows = true;  // the screen settles some points
};

std::vector<DataCase> data_cases() {
    std::vector<DataCase> cases;
    cases.push_back({"blobs d=7", blobs(3000, 7, 40, 1), 37});
    cases.push_back({"blobs d=64", blobs(2000, 64, 30, 2), 100});
    cases.push_back({"lattice d=3", lattice(2500, 3, 3), 45});
    cases.push_back({"few distinct d=5", few_distinct(1500, 5, 40, 4), 60});
    cases.push_back({"offset d=17", offset(2000, 17, 5), 20, false});
    // Fewer clusters than a panel at a dimension that gets one narrow panel.
    cases.push_back({"narrow panel d=4100", blobs(240, 4100, 6, 8), 5});
    return cases;
}

TEST(LabelBounds, TrainingsAreTheFullStepsBitForBit) {
    auto two = test::pool_of(2);
    auto three = test::pool_of(3);
    parallel::PoolRegistry* pools[] = {nullptr, two.get(), three.get()};
    for (const DataCase& data : data_cases()) {
        for (KernelLevel level : all_kernel_levels) {
            if (!kernel_level_supported(level)) continue;
            for (bool euclidean : {true, false}) {
                for (bool medoids : {false, true}) {
                    Model config = Model::create(data.k);
                    config.euclidean = euclidean;
                    config.use_medoids = medoids;
                    config.iterations = 12;
                    SCOPED_TRACE(std::string(data.name) + " level " + kernel_level_name(level) +
                                 (euclidean ? " euclidean" : " inner") + (medoids ? " medoids" : ""));
                    const Trained full = train_with(config, data.points.view(), level, nullptr, false);
                    for (parallel::PoolRegistry* pool : pools) {
                        const Trained bounded = train_with(config, data.points.view(), level, pool, true);
                        expect_same_training(full, bounded);
                    }
                    // Refreshes through the screen set labels and bounds
                    // from approximate keys; the steps after them must
                    // still be the full steps'.
                    for (ScreenUnit unit : all_screen_units) {
                        if (!screen_unit_supported(unit)) continue;
                        SCOPED_TRACE(screen_unit_name(unit));
                        const Trained screened = train_with(config, data.points.view(), level, three.get(), true,
                                                            {ScreenMode::forced, unit});
                        expect_same_training(full, screened);
                        std::uint64_t settled = 0;
                        for (const LabelStepShare& share : screened.shares) settled += share.screened;
                        if (data.narrow_windows) {
                            EXPECT_GT(settled, 0u);
                        }
                    }
                }
            }
        }
    }
}

TEST(LabelBounds, LaterStepsComputeFewerDistances) {
    const Points points = blobs(4000, 16, 64, 6);
    for (bool euclidean : {true, false}) {
        Model config = Model::create(64);
        config.euclidean = euclidean;
        config.iterations = 10;
        const Trained run = train_with(config, points.view(), detected_kernel_level(), nullptr, true);
        ASSERT_GE(run.shares.size(), 2u);
        EXPECT_EQ(run.shares.front().distances, run.shares.front().possible);
        // Well-separated blobs settle: the last steps must skip most points.
        EXPECT_LT(run.shares.back().distances * 4, run.shares.back().possible) << "euclidean " << euclidean;
    }
}

// The clusters' means, where a cluster keeps its centroid if it is empty.
Points means_of(const Points& points, const std::vector<std::uint64_t>& labels, const Points& centres) {
    const std::size_t d = points.cols;
    std::vector<double> sums(centres.values.size(), 0.0);
    std::vector<std::size_t> counts(centres.rows, 0);
    for (std::size_t i = 0; i < points.rows; ++i) {
        ++counts[labels[i]];
        for (std::size_t l = 0; l < d; ++l) sums[labels[i] * d + l] += points.values[i * d + l];
    }
    Points next = centres;
    for (std::size_t j = 0; j < centres.rows; ++j) {
        if (counts[j] == 0) continue;
        for (std::size_t l = 0; l < d; ++l) next.values[j * d + l] = static_cast<float>(sums[j * d + l] / counts[j]);
    }
    return next;
}

// Centroids that move as Lloyd's do, except that one in seven jumps far at
// each step, as in a group where one centroid moves and the rest stay: the
// bounds of a group fall by its farthest mover, and its other centroids are
// proven by their own drift. After every step the labels are the full
// step's and every bound holds against exact distances.
TEST(LabelBounds, BoundsHoldWhenFewCentroidsMoveFar) {
    struct Case {
        const char* name;
        Points points;
        std::size_t k;
    };
    const Case cases[] = {{"blobs d=8", blobs(1500, 8, 150, 11), 480},
                          {"lattice d=3", lattice(1200, 3, 12), 60},
                          {"few distinct d=5", few_distinct(900, 5, 30, 13), 70}};
    auto three = test::pool_of(3);
    for (const Case& c : cases) {
        const std::size_t n = c.points.rows, d = c.points.cols;
        for (KernelLevel level : all_kernel_levels) {
            if (!kernel_level_supported(level)) continue;
            for (parallel::PoolRegistry* pool : {static_cast<parallel::PoolRegistry*>(nullptr), three.get()}) {
                const ExecutionContext context = test::context(level, pool);
                for (bool euclidean : {true, false}) {
                    SCOPED_TRACE(std::string(c.name) + " level " + kernel_level_name(level) +
                                 (euclidean ? " euclidean" : " inner") + (pool ? " pool" : ""));
                    const TrainingState state = TrainingState::start(c.points.view(), euclidean);
                    // The first k points: on the lattice, some are equal.
                    Points centres = Points::of(
                        c.k, d, std::vector<float>(c.points.values.begin(),
                                                   c.points.values.begin() + static_cast<std::ptrdiff_t>(c.k * d)));
                    Model bounded = test::model_with_centroids(centres, euclidean);
                    bounded.labels.assign(n, 0);
                    BoundedStep step(c.k, d, euclidean);
                    std::mt19937 engine(7);
                    std::normal_distribution<float> normal;
                    for (std::size_t s = 0; s < 6; ++s) {
                        Model full = test::model_with_centroids(centres, euclidean);
                        update_labels(full, state, context);
                        step.update_labels(bounded, state, context);
                        ASSERT_EQ(bounded.labels, full.labels) << "step " << s;
                        ASSERT_EQ(test::broken_bounds(step, bounded.labels, c.points, centres, euclidean), 0u)
                            << "step " << s;
                        centres = means_of(c.points, full.labels, centres);
                        for (std::size_t j = s % 7; j < c.k; j += 7) {
                            for (std::size_t l = 0; l < d; ++l) centres.values[j * d + l] += 2.0f * normal(engine);
                        }
                        // And some in three copies, in different groups,
                        // whose points tie across groups and within them.
                        for (std::size_t j = s; j < c.k; j += 9) {
                            for (std::size_t to : {(j + 17) % c.k, (j + 34) % c.k}) {
                                std::copy_n(centres.values.begin() + static_cast<std::ptrdiff_t>(j * d), d,
                                            centres.values.begin() + static_cast<std::ptrdiff_t>(to * d));
                            }
                        }
                        std::copy(centres.values.begin(), centres.values.end(), bounded.centroids->data());
                    }
                }
            }
        }
    }
}

// From a trained model's centroids, bounds are set at the first step where
// refreshes go through the bf16 screen, and only there; the bits are the
// full steps' either way.
TEST(LabelBounds, StartsFromMeansSetBoundsAtOnceThroughTheBf16Screen) {
    const Points points = blobs(3000, 32, 30, 12);
    Model config = Model::create(40);
    config.iterations = 3;
    config.initial_centroids = *train_with(config, points.view(), detected_kernel_level(), nullptr, false).model.centroids;
    const Trained full = train_with(config, points.view(), detected_kernel_level(), nullptr, false);
    for (ScreenKind kind : {ScreenKind::bf16, ScreenKind::dimensions}) {
        for (ScreenMode mode : {ScreenMode::off, ScreenMode::forced}) {
            SCOPED_TRACE(std::string(mode == ScreenMode::off ? "off" : "forced") +
                         (kind == ScreenKind::bf16 ? " bf16" : " dimensions"));
            const Trained resumed = train_with(config, points.view(), detected_kernel_level(), nullptr, true,
                                               {mode, ScreenUnit::emulated, kind});
            ASSERT_FALSE(resumed.shares.empty());
            if (mode == ScreenMode::forced && kind == ScreenKind::bf16) {
                EXPECT_GT(resumed.shares[0].screened, 0u);  // a refresh through the screen
            } else {
                EXPECT_EQ(resumed.shares[0].packed, 0u);  // a full step
            }
            expect_same_training(full, resumed);
        }
    }
}

// Without room for the bounds in a quarter of the memory, every step is a
// full one, with the same results.
TEST(LabelBounds, TightMemoryFallsBackToFullSteps) {
    const Points points = blobs(3000, 32, 30, 9);
    Model config = Model::create(40);
    config.iterations = 6;
    Trained bounded{config, {}};
    ThreadRandom random = test::seeded_random(5);
    ExecutionContext context = test::context(detected_kernel_level(), nullptr, &random);
    context.memory_bytes = 3000 * 64;  // enough for the results, not for (groups + 2) floats a point
    const TrainingOptions options{LabelStepMode::bounded, &bounded.shares, {}};
    ASSERT_TRUE(train(bounded.model, points.view(), context, options).ok());
    ASSERT_EQ(bounded.shares.size(), 7u);
    for (const LabelStepShare& share : bounded.shares) EXPECT_EQ(share.distances, share.possible);
    expect_same_training(train_with(config, points.view(), detected_kernel_level(), nullptr, false), bounded);
}

TEST(LabelBounds, StridedViewsAgreeWithContiguousOnes) {
    const Points points = blobs(1200, 9, 20, 7);
    const Layout transposed = Layout::transposed(points);
    const Layout reversed = Layout::reversed_padded(points, 3);
    for (bool euclidean : {true, false}) {
        Model config = Model::create(24);
        config.euclidean = euclidean;
        config.iterations = 8;
        const Trained full = train_with(config, points.view(), detected_kernel_level(), nullptr, false);
        expect_same_training(full, train_with(config, transposed.view, detected_kernel_level(), nullptr, true));
        const Trained backwards = train_with(config, reversed.view, detected_kernel_level(), nullptr, true);
        const Trained backwards_full = train_with(config, reversed.view, detected_kernel_level(), nullptr, false);
        expect_same_training(backwards_full, backwards);
        const ScreenOptions screen{ScreenMode::forced, ScreenUnit::emulated};
        expect_same_training(full, train_with(config, transposed.view, detected_kernel_level(), nullptr, true, screen));
    }
}

// The kernel's choice is the label kernel's, its keys are the keys, and the
// runner-up is the least key among the rest, ties included.
TEST(LabelBounds, NearestTwoMatchesTheLabelKernelAndTheKeys) {
    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        for (std::size_t dim : {1, 3, 16, 31}) {
            for (std::size_t k : {1, 2, 15, 16, 33, 48}) {
                for (bool euclidean : {true, false}) {
                    SCOPED_TRACE(std::string(kernel_level_name(level)) + " dim " + std::to_string(dim) + " k " +
                                 std::to_string(k) + (euclidean ? " euclidean" : " inner"));
                    // Rounded to quarters, with every third centroid a
                    // copy of the one before, so that keys tie.
                    Points centres = Points::gaussian(k, dim, static_cast<std::uint32_t>(dim * 100 + k));
                    for (float& v : centres.values) v = std::round(v * 4.0f) / 4.0f;
                    for (std::size_t j = 2; j < k; j += 3)
                        std::copy_n(centres.values.begin() + static_cast<std::ptrdiff_t>((j - 1) * dim), dim,
                                    centres.values.begin() + static_cast<std::ptrdiff_t>(j * dim));
                    Matrix centroids(k, dim);
                    std::copy(centres.values.begin(), centres.values.end(), centroids.data());
                    const CentroidPanels panels(centroids, k, euclidean, level);
                    const tiles::TileKernels& kernels = panels.kernels();
                    const std::size_t rows = kernels.tile_rows;
                    Points points = Points::gaussian(rows, dim, 9);
                    for (float& v : points.values) v = std::round(v * 4.0f) / 4.0f;
                    for (std::size_t count : {rows, rows / 2 + 1}) {
                        std::vector<float> tile(count * dim + rows);
                        kernels.pack({points.values.data(), static_cast<std::int64_t>(dim), 1, dim}, 0, count,
                                     tile.data());
                        std::vector<float> norms(rows, 0.0f);
                        for (std::size_t r = 0; r < count; ++r)
                            norms[r] = euclidean ? dot_f32(&points.values[r * dim], &points.values[r * dim], dim) : 0.0f;
                        const tiles::Rule rule = euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last;
                        std::vector<std::uint32_t> labels(rows);
                        std::vector<float> chosen_values(rows);
                        ASSERT_TRUE(kernels.label(tile.data(), count, norms.data(), panels.panels(), rule,
                                                  labels.data(), chosen_values.data()));
                        // All clusters as one group, and groups of 16 (whole
                        // panels, a multiple of every level's register tile).
                        for (std::size_t group : {k, std::size_t{16}}) {
                            if (group > k) continue;
                            const std::size_t groups = (k + group - 1) / group;
                            std::vector<float> first_keys(groups * rows), second_keys(groups * rows);
                            std::vector<std::uint32_t> first(groups * rows);
                            ASSERT_TRUE(kernels.nearest_two(tile.data(), count, norms.data(), panels.panels(), rule,
                                                            group, first_keys.data(), second_keys.data(),
                                                            first.data()));
                            for (std::size_t r = 0; r < count; ++r) {
                                std::vector<float> keys(k);
                                centroid_keys(panels, std::span<const float>(&points.values[r * dim], dim),
                                                   norms[r], keys);
                                // The label kernel's chosen key, or dot.
                                EXPECT_EQ(euclidean ? chosen_values[r] : -chosen_values[r], keys[labels[r]]);
                                for (std::size_t g = 0; g < groups; ++g) {
                                    const std::size_t start = g * group, end = std::min(k, start + group);
                                    // The rule within the group: least key, ties
                                    // to the lowest index (Euclidean) or the
                                    // highest (inner product).
                                    std::size_t best = start;
                                    for (std::size_t j = start + 1; j < end; ++j) {
                                        if (keys[j] < keys[best] || (!euclidean && keys[j] == keys[best])) best = j;
                                    }
                                    float rest = std::numeric_limits<float>::infinity();
                                    for (std::size_t j = start; j < end; ++j)
                                        if (j != best) rest = std::min(rest, keys[j]);
                                    const std::size_t at = g * rows + r;
                                    EXPECT_EQ(first[at] + start, best) << "row " << r << " group " << g;
                                    EXPECT_EQ(first_keys[at], keys[best]) << "row " << r << " group " << g;
                                    EXPECT_EQ(second_keys[at], rest) << "row " << r << " group " << g;
                                }
                                if (group == k) {
                                    EXPECT_EQ(first[r], labels[r]) << "row " << r;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(LabelBounds, NearestTwoReportsNaN) {
    for (KernelLevel level : all_kernel_levels) {
        if (!kernel_level_supported(level)) continue;
        Matrix centroids(20, 4);
        for (std::size_t i = 0; i < centroids.values().size(); ++i) centroids.data()[i] = static_cast<float>(i % 7);
        const CentroidPanels panels(centroids, 20, true, level);
        const tiles::TileKernels& kernels = panels.kernels();
        const std::size_t rows = kernels.tile_rows;
        std::vector<float> points(rows * 4, 1.0f), tile(rows * 4 + rows), norms(rows, 4.0f), a(rows), b(rows);
        std::vector<std::uint32_t> first(rows);
        for (std::size_t count : {rows, rows / 2 + 1}) {
            std::fill(points.begin(), points.end(), 1.0f);
            kernels.pack({points.data(), 4, 1, 4}, 0, count, tile.data());
            EXPECT_TRUE(kernels.nearest_two(tile.data(), count, norms.data(), panels.panels(),
                                            tiles::Rule::lowest_key, 20, a.data(), b.data(), first.data()));
            // In the last real row: the row a short tile's padding follows.
            points[4 * (count - 1) + 2] = std::numeric_limits<float>::quiet_NaN();
            kernels.pack({points.data(), 4, 1, 4}, 0, count, tile.data());
            EXPECT_FALSE(kernels.nearest_two(tile.data(), count, norms.data(), panels.panels(),
                                             tiles::Rule::lowest_key, 20, a.data(), b.data(), first.data()))
                << kernel_level_name(level) << " count " << count;
        }
    }
}

}  // namespace
}  // namespace quorla::engine
