// Scoring gathered points against groups of centroids.
#include "engine/label/gathered_scorer.hpp"

#include <algorithm>
#include <bit>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/bound_arithmetic.hpp"

namespace quorla::engine {
namespace {

using bounds::infinity;

// Points gathered before their tiles are formed, group by group: enough
// that each group's last, short tile is a small part of its work, and few
// enough that their rows, read once per group they need, stay in the
// core's cache after the first.
constexpr std::size_t batch_bytes = std::size_t{1} << 23;
std::size_t batch_capacity(std::size_t dim) {
    return std::clamp<std::size_t>(batch_bytes / (std::max<std::size_t>(dim, 1) * sizeof(float)), 256, 16384);
}

}  // namespace

GatheredScorer::GatheredScorer(const ScoringFrame& frame, std::size_t workers)
    : frame_(frame),
      kernels_(frame.panels->kernels()),
      rule_(frame.euclidean ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last),
      dim_(frame.panels->dim()),
      groups_(frame.group_panels.size()),
      tile_rows_(kernels_.tile_rows),
      all_groups_(groups_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << groups_) - 1),
      capacity_(batch_capacity(dim_)),
      batches_(workers) {
    const std::size_t rows = tile_rows_;
    const std::uint64_t n = frame.points->rows;
    const std::size_t G = groups_;
    for (GatherBatch& batch : batches_) {
        batch.points.reserve(capacity_);
        batch.masks.reserve(capacity_);
        if (!frame.points->row_contiguous()) {
            batch.staging.resize(checked_product(static_cast<std::size_t>(std::min<std::uint64_t>(rows, n)), dim_));
        }
        batch.rows.resize(rows);
        // As tall as the tallest tile there can be, as the scan sizes its own.
        const std::size_t tallest = static_cast<std::size_t>(std::min<std::uint64_t>(rows, n));
        batch.tile = CacheAligned<float>(checked_sum(checked_product(tallest, dim_), rows));
        batch.norms.assign(rows, 0.0f);
        batch.first_keys.resize(checked_product(rows, G));
        batch.second_keys.resize(checked_product(rows, G));
        batch.first.resize(checked_product(rows, G));
        batch.first_lower.resize(checked_product(rows, G));
        batch.second_lower.resize(checked_product(rows, G));
        batch.errors.resize(rows);
        batch.row.resize(dim_);
    }
}

GatherBatch& GatheredScorer::batch(std::size_t worker) {
    if (worker >= batches_.size()) raise_fault("Label piece on a worker beyond the pool");
    return batches_[worker];
}

BoundedWork GatheredScorer::work() const {
    BoundedWork total;
    for (const GatherBatch& batch : batches_) total += batch.work;
    return total;
}

double GatheredScorer::point_error(std::uint64_t i) const {
    return bounds::key_error(frame_.euclidean, dim_, static_cast<double>(frame_.lengths[i]), frame_.longest);
}

// Packs the gathered points listed in `entries` as one tile, with their
// norms and key errors.
void GatheredScorer::load_tile(GatherBatch& batch, std::span<const std::uint32_t> entries) {
    const PointView& points = *frame_.points;
    const std::size_t live = entries.size();
    // Rows with unit column stride are packed where they are; others
    // are copied out first.
    const bool in_place = points.row_contiguous();
    for (std::size_t r = 0; r < live; ++r) {
        const std::uint64_t i = batch.points[entries[r]];
        if (in_place) {
            batch.rows[r] = points.row_start(i);
        } else {
            points.copy_row(i, batch.staging.data() + r * dim_);
            batch.rows[r] = batch.staging.data() + r * dim_;
        }
        batch.norms[r] = frame_.euclidean ? (*frame_.point_norms)[i] : 0.0f;
        batch.errors[r] = bounds::round_up(point_error(i) + bounds::underflow_term);
    }
    std::fill(batch.norms.begin() + static_cast<std::ptrdiff_t>(live), batch.norms.end(), 0.0f);
    kernels_.pack_gathered(batch.rows.data(), live, dim_, batch.tile.data());
    batch.work.packed += live;
}

// The nearest two keys of each tile row in each group of `groups`, and the
// lower bounds made from them. Every group in one pass over the whole
// panels, or one group's panels alone; either way group g's results land
// at g * tile_rows.
void GatheredScorer::run_kernels(GatherBatch& batch, std::size_t live, std::uint64_t groups) {
    const std::size_t rows = tile_rows_;
    auto run = [&](const tiles::Panels& part, std::size_t group, std::size_t at) {
        if (!kernels_.nearest_two(batch.tile.data(), live, batch.norms.data(), part, rule_, group,
                                  batch.first_keys.data() + at, batch.second_keys.data() + at,
                                  batch.first.data() + at)) {
            raise_nan_fault();
        }
        batch.work.distances += live * part.clusters;
    };
    if (groups == all_groups_) {
        run(frame_.panels->panels(), frame_.group_size, 0);
    } else {
        for (std::uint64_t bits = groups; bits != 0; bits &= bits - 1) {
            const std::size_t g = static_cast<std::size_t>(std::countr_zero(bits));
            run(frame_.group_panels[g], frame_.group_panels[g].clusters, g * rows);
        }
    }
    const bool euclidean = frame_.euclidean;
    batch.work.group_results += live * static_cast<std::size_t>(std::popcount(groups));
    for (std::uint64_t bits = groups; bits != 0; bits &= bits - 1) {
        const std::size_t at = static_cast<std::size_t>(std::countr_zero(bits)) * rows;
        for (std::size_t r = 0; r < live; ++r) {
            batch.first_lower[at + r] = bounds::lower_from_key_f32(euclidean, batch.first_keys[at + r], batch.errors[r]);
            batch.second_lower[at + r] =
                bounds::lower_from_key_f32(euclidean, batch.second_keys[at + r], batch.errors[r]);
        }
    }
}

// Each row takes the groups' choices into its running one, which stays in
// registers across the groups, and sets the groups' bounds.
void GatheredScorer::take_choices(GatherBatch& batch, std::span<const std::uint32_t> entries, std::uint64_t groups) {
    const std::size_t G = groups_;
    const std::size_t rows = tile_rows_;
    const bool euclidean = frame_.euclidean;
    for (std::size_t r = 0; r < entries.size(); ++r) {
        const std::size_t b = entries[r];
        float* own = frame_.bounds.data() + batch.points[b] * (G + 1);
        Choice choice = batch.choices[b];
        for (std::uint64_t bits = groups; bits != 0; bits &= bits - 1) {
            const std::size_t g = static_cast<std::size_t>(std::countr_zero(bits));
            const std::size_t at = g * rows + r;
            const float key = batch.first_keys[at];
            const std::uint32_t cluster = frame_.order[g * frame_.group_size + batch.first[at]];
            // The full step's rule: the least key, ties to the lowest
            // cluster (Euclidean) or the highest (inner product), as each
            // group's kernel broke its own. The bound of the group that
            // holds the choice leaves the chosen cluster out; a group the
            // choice moves away from gets its full minimum back.
            const bool better = choice.group == G || key < choice.key ||
                                (key == choice.key && (euclidean ? cluster < choice.cluster : cluster > choice.cluster));
            if (better) {
                if (choice.group != G) own[1 + choice.group] = choice.lower;
                own[1 + g] = batch.second_lower[at];
                choice = {key, cluster, static_cast<std::uint32_t>(g), batch.first_lower[at]};
            } else {
                own[1 + g] = batch.first_lower[at];
            }
        }
        batch.choices[b] = choice;
    }
}

void GatheredScorer::score(GatherBatch& batch, std::span<const std::uint32_t> entries, std::uint64_t groups) {
    load_tile(batch, entries);
    run_kernels(batch, entries.size(), groups);
    take_choices(batch, entries, groups);
}

// The points listed in batch.order, a tile at a time.
void GatheredScorer::score_in_tiles(GatherBatch& batch, std::uint64_t groups) {
    const std::span<const std::uint32_t> listed(batch.order);
    for (std::size_t t0 = 0; t0 < listed.size(); t0 += tile_rows_) {
        score(batch, listed.subspan(t0, std::min(tile_rows_, listed.size() - t0)), groups);
    }
}

// Points that need few groups are gathered group by group, so that tiles
// stay full however the needs are spread.
void GatheredScorer::flush(GatherBatch& batch) {
    const std::size_t count = batch.points.size();
    const std::size_t G = groups_;
    batch.choices.assign(count, Choice{infinity, 0, static_cast<std::uint32_t>(G), 0.0f});
    // Points that need more than half the groups are scored against all of
    // them, each tile packed once; the rest group by group.
    batch.order.clear();
    for (std::size_t b = 0; b < count; ++b) {
        if (2 * static_cast<std::size_t>(std::popcount(batch.masks[b])) > G) {
            batch.order.push_back(static_cast<std::uint32_t>(b));
            batch.masks[b] = 0;
        }
    }
    score_in_tiles(batch, all_groups_);
    for (std::size_t g = 0; g < G; ++g) {
        batch.order.clear();
        for (std::size_t b = 0; b < count; ++b) {
            if (batch.masks[b] >> g & 1u) batch.order.push_back(static_cast<std::uint32_t>(b));
        }
        score_in_tiles(batch, std::uint64_t{1} << g);
    }
    commit(batch);
}

// The recomputed points' labels, and their own bounds from the chosen keys.
void GatheredScorer::commit(GatherBatch& batch) {
    const std::size_t G = groups_;
    for (std::size_t b = 0; b < batch.points.size(); ++b) {
        const std::uint64_t i = batch.points[b];
        const Choice& choice = batch.choices[b];
        if (choice.group == G) raise_fault("A recomputed point met no group");
        frame_.labels[i] = choice.cluster;
        frame_.bounds[i * (G + 1)] = bounds::round_up(bounds::upper_from_key(frame_.euclidean, choice.key, point_error(i)));
    }
    batch.points.clear();
    batch.masks.clear();
}

}  // namespace quorla::engine
