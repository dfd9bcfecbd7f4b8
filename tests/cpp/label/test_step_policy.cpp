// The label-step policy: which steps it picks, from counts alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/label/step_policy.hpp"

namespace quorla::engine {
namespace {

const StepPolicy::Shape shape{45056, 1024, 384, 64};

// The kinds of `steps` steps, each bounded one having computed `share` of
// the distances, in tiles of every group, after testing and tightening
// every point.
// With `refresh_cost` (in full steps), refreshes go through the screen.
std::vector<StepKind> run(StepPolicy policy, int steps, double share, double refresh_cost = -1.0) {
    if (refresh_cost >= 0.0) policy.screen_refreshes(true);
    const std::uint64_t n = shape.points, k = shape.clusters, groups = shape.groups;
    const auto part = [&](std::uint64_t all) { return static_cast<std::uint64_t>(share * static_cast<double>(all)); };
    const BoundedWork bounded{part(n * k), n, n, part(n), part(n * groups)};
    const BoundedWork refresh{n * k, 0, 0, n, n * groups};
    std::vector<StepKind> kinds;
    for (int s = 0; s < steps; ++s) {
        kinds.push_back(policy.next());
        if (kinds.back() == StepKind::full) {
            policy.full_done();
        } else if (kinds.back() == StepKind::refresh && refresh_cost >= 0.0) {
            policy.screened_refresh_done(refresh_cost);
        } else {
            policy.bounded_done(kinds.back(), kinds.back() == StepKind::refresh ? refresh : bounded);
        }
    }
    return kinds;
}

using K = StepKind;

TEST(StepPolicy, StartRulesAreCounted) {
    EXPECT_TRUE(StepPolicy(LabelStepMode::adaptive, shape, UINT64_MAX).uses_bounds());
    EXPECT_FALSE(StepPolicy(LabelStepMode::full, shape, UINT64_MAX).uses_bounds());
    EXPECT_FALSE(StepPolicy(LabelStepMode::adaptive, {45056, 1024, 31, 64}, UINT64_MAX).uses_bounds());
    EXPECT_TRUE(StepPolicy(LabelStepMode::bounded, {45056, 1024, 31, 64}, UINT64_MAX).uses_bounds());
    EXPECT_FALSE(StepPolicy(LabelStepMode::adaptive, {8191, 1024, 384, 64}, UINT64_MAX).uses_bounds());
    EXPECT_FALSE(StepPolicy(LabelStepMode::bounded, shape, 45056u * 66u * 4u * 4u - 1).uses_bounds());
}

TEST(StepPolicy, BoundsStayWhereTheyPayAndStopWhereTheyDoNot) {
    const StepPolicy adaptive(LabelStepMode::adaptive, shape, UINT64_MAX);
    EXPECT_EQ(run(adaptive, 6, 0.05), (std::vector<K>{K::full, K::full, K::refresh, K::bounded, K::bounded, K::bounded}));
    // Steps that compute every distance cost more than full ones: after
    // a refresh following each, the cost beyond full steps' ends the bounds.
    const std::vector<K> dense = run(adaptive, 24, 1.0);
    EXPECT_EQ(dense[3], K::bounded);
    EXPECT_EQ(std::vector<K>(dense.end() - 8, dense.end()), std::vector<K>(8, K::full));
    // From centroids that are means already, bounds are set at once.
    StepPolicy from_means = adaptive;
    from_means.start_from_means();
    EXPECT_EQ(run(from_means, 3, 0.05), (std::vector<K>{K::refresh, K::bounded, K::bounded}));
    // Forced bounds only back off, with more refreshes each time.
    const StepPolicy forced(LabelStepMode::bounded, shape, UINT64_MAX);
    EXPECT_EQ(run(forced, 9, 0.9), (std::vector<K>{K::full, K::full, K::refresh, K::bounded, K::refresh, K::bounded,
                                                   K::refresh, K::refresh, K::bounded}));
}

// Against screened refreshes, bounded steps that cost more than a refresh
// back off, with more refreshes each time, and never end; cheaper ones stay.
TEST(StepPolicy, ScreenedRefreshesBackOffWithoutEnding) {
    const StepPolicy adaptive(LabelStepMode::adaptive, shape, UINT64_MAX);
    EXPECT_EQ(run(adaptive, 6, 0.05, 0.4), (std::vector<K>{K::full, K::full, K::refresh, K::bounded, K::bounded, K::bounded}));
    const std::vector<K> costly = run(adaptive, 40, 0.5, 0.4);
    EXPECT_EQ(std::vector<K>(costly.begin(), costly.begin() + 11),
              (std::vector<K>{K::full, K::full, K::refresh, K::bounded, K::refresh, K::bounded, K::refresh, K::refresh,
                              K::bounded, K::refresh, K::refresh}));
    EXPECT_EQ(std::count(costly.end() - 9, costly.end(), K::bounded), 1);
}

}  // namespace
}  // namespace quorla::engine
