// The recomputation half of the bounded label step: points whose bounds
// could not settle their label are gathered per worker, packed into tiles
// and scored against only the centroid groups they need, or a prefix of
// each, with the tile kernels' own arithmetic; then their labels and bounds
// are set from the keys. Which points need what is decided in
// bounded_step.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/matrix.hpp"
#include "engine/label/step_policy.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {

// What a step's scoring reads and writes, all owned by the bounded step.
struct ScoringFrame {
    const PointView* points = nullptr;
    const std::vector<float>* point_norms = nullptr;  // Euclidean only
    const CentroidPanels* panels = nullptr;           // the centroids in grouped order
    std::span<const tiles::Panels> group_panels;      // one per group, carved from `panels`
    std::span<const std::uint32_t> order;             // position in the grouped order -> cluster
    std::span<const std::uint32_t> position;          // cluster -> position
    std::size_t group_size = 0;
    // Groups ordered by drift (bounded_step.hpp), not by cluster: a
    // kernel's tie rule over positions is then not the rule over clusters,
    // and the labels are the last step's, each scored apart where its
    // group's prefix does not reach it. False at a refresh.
    bool drift_order = false;
    bool euclidean = true;
    std::span<float> bounds;         // per point: own, then one per group
    std::span<const float> lengths;  // per point: an upper bound on its length
    double longest = 0.0;            // an upper bound on every centroid's length
    std::span<std::uint64_t> labels;
};

// The full step's rule between a cluster's key and the one held: the
// least key, ties to the lowest cluster (Euclidean) or the highest (inner
// product). For keys that come by grouped position, not by cluster.
inline bool takes_over(bool euclidean, float key, std::uint32_t cluster, float held_key, std::uint32_t held) {
    return key < held_key || (key == held_key && (euclidean ? cluster < held : cluster > held));
}

// A gathered point's choice so far: key, cluster and the group it is in
// (the group count while there is none).
struct Choice {
    float key;
    std::uint32_t cluster;
    std::uint32_t group;
    float lower;  // the group's bound if the choice moves on: its key, lowered
};

// One worker's gathered points, the groups each needs and how much of
// each, tile buffers, and what the worker counted.
struct GatherBatch {
    std::vector<std::uint64_t> points;
    std::vector<std::uint64_t> masks;
    std::vector<std::uint32_t> spans;  // per point, one per group: the prefix to score
    std::vector<Choice> choices;
    // Per point: the least key a group's kernel chose among equal keys in
    // drift order, where its choice need not be the rule's.
    std::vector<float> tied;
    std::vector<std::uint32_t> order;
    std::vector<float> staging;  // tile_rows rows, row-major
    std::vector<const float*> rows;
    CacheAligned<float> tile;
    std::vector<float> norms;
    // Per group and tile row: the nearest two keys, the nearest's place in
    // the group, and the bounds made from the keys.
    std::vector<float> first_keys, second_keys, first_lower, second_lower;
    std::vector<std::uint32_t> first;
    std::vector<float> errors;  // per tile row
    std::vector<float> row;     // one point, for strided views
    std::vector<std::uint32_t> pair_rows, pair_positions;  // per tile row, for own keys
    std::vector<float> dots;
    std::vector<float> keys;  // one point's keys of every cluster, for a tie
    BoundedWork work;
};

class GatheredScorer {
public:
    GatheredScorer(const ScoringFrame& frame, std::size_t workers);

    GatherBatch& batch(std::size_t worker);
    std::size_t workers() const { return batches_.size(); }
    std::uint64_t all_groups() const { return all_groups_; }

    // Adds point i, to be scored against the groups in `mask`, each
    // against the prefix of spans[g] positions, or whole without `spans`;
    // a full batch is scored at once. A group scored whole gets its bound
    // afresh; one scored in part keeps the least of its bound and what the
    // prefix gives.
    void gather(GatherBatch& batch, std::uint64_t i, std::uint64_t mask, const std::uint32_t* spans = nullptr) {
        batch.points.push_back(i);
        batch.masks.push_back(mask);
        if (spans != nullptr) {
            batch.spans.insert(batch.spans.end(), spans, spans + groups_);
        } else {
            batch.spans.insert(batch.spans.end(), group_lengths_.begin(), group_lengths_.end());
        }
        if (batch.points.size() == capacity_) flush(batch);
    }

    // Recomputes the gathered points and sets their labels and bounds.
    void flush(GatherBatch& batch);

    // Every worker's counts together.
    BoundedWork work() const;

private:
    bool whole(const GatherBatch& batch, std::size_t b) const;
    void score(GatherBatch& batch, std::span<const std::uint32_t> entries, std::uint64_t groups, std::size_t span);
    void load_tile(GatherBatch& batch, std::span<const std::uint32_t> entries);
    void run_kernels(GatherBatch& batch, std::size_t live, std::uint64_t groups, std::size_t span);
    void take_choices(GatherBatch& batch, std::span<const std::uint32_t> entries, std::uint64_t groups);
    void score_in_tiles(GatherBatch& batch, std::uint64_t groups);
    void score_own(GatherBatch& batch);
    void start_choices(GatherBatch& batch);
    void relabel_tied(GatherBatch& batch, std::size_t b);
    void commit(GatherBatch& batch);
    double point_error(std::uint64_t i) const;

    ScoringFrame frame_;
    const tiles::TileKernels& kernels_;
    tiles::Rule rule_;
    std::size_t dim_;
    std::size_t groups_;
    std::size_t tile_rows_;
    std::uint64_t all_groups_;
    std::size_t capacity_;
    std::vector<std::uint32_t> group_lengths_;
    std::vector<GatherBatch> batches_;
};

}  // namespace quorla::engine
