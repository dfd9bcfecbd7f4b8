// The bounded step's refresh through a screen: every point's label,
// as the full step chooses it, and every bound set afresh, for about the
// cost of a screened label step rather than a full one.
//
// Labels come as in the screened step (screened_step.hpp): the clusters
// within the window of a point's best approximate key are scored with the
// level's exact chain, under the full step's tie rules. The own bound comes
// from the chosen cluster's exact key, as the gathered scorer sets it. Group
// g's bound comes from the least approximate key of each of its blocks of
// 16 clusters, which the screen keeps as it goes, so no key of the scan is
// stored. An approximate key a~ is within K + E of the exact distance key
// (|x - c|^2, or -x.c): K, half the window of bf16_bound.hpp, bounds
// |a~ - k~|, k~ the exact chain's key for the same pair, and E of
// bound_arithmetic.hpp bounds |k~ - exact|. So a~ - (K + E) is below the
// exact key, and lower_from_key_f32, given K + E rounded up as its error,
// makes a bound below the distance (or score) of the cluster the key stands
// for; it rises with the key, so a block's least key gives a bound for all
// of it. The chosen cluster's own block may owe its least key to the chosen
// cluster, whose key stays out of its group's bound, so the other clusters
// of that block are scored exactly (error E alone). The cut width w stored
// per row is at least 1.25 times 2K, so w / 2 stands for K.
//
// Points whose window is too wide or not finite are left to the caller,
// which scores them against every group with exact keys.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/screen/dimension_screen.hpp"
#include "engine/label/gathered_scorer.hpp"
#include "engine/label/screened_step.hpp"

namespace quorla::engine {

struct ScreenedRefresh {
    ScreenWork work;                  // full: the points left to the caller
    std::vector<std::uint64_t> wide;  // those points, in no particular order
};

// Sets frame.labels and frame.bounds of every point not listed in `wide`.
// `grouped`: the centroids in the frame's grouped order, which
// frame.panels holds; at least two of them.
ScreenedRefresh screened_refresh(const ScoringFrame& frame, const Matrix& grouped, ScreenUnit unit,
                                 const ExecutionContext& context);
// The same through the dimension screen: its lower bounds stand for the
// approximate keys, at most W (the cut width) above the exact chain's key,
// and each row's cut is an exact key plus that width
// (screen/dimension_screen.hpp).
ScreenedRefresh screened_refresh(const ScoringFrame& frame, const Matrix& grouped, const DimensionBasis& basis,
                                 const ExecutionContext& context);

}  // namespace quorla::engine
