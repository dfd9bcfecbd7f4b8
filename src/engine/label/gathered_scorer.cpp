// Scoring gathered points against groups of centroids.
#include "engine/label/gathered_scorer.hpp"

#include <algorithm>
#include <bit>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/kernels/dot.hpp"
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
    for (const tiles::Panels& group : frame.group_panels) {
        group_lengths_.push_back(static_cast<std::uint32_t>(group.clusters));
    }
    for (GatherBatch& batch : batches_) {
        batch.points.reserve(capacity_);
        batch.masks.reserve(capacity_);
        batch.spans.reserve(checked_product(capacity_, G));
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
        batch.pair_rows.resize(rows);
        batch.pair_positions.resize(rows);
        batch.dots.resize(rows);
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
// lower bounds made from them: every group whole in one pass over all the
// panels (span 0), or the first `span` positions of the one group in
// `groups`. Either way group g's results land at g * tile_rows.
void GatheredScorer::run_kernels(GatherBatch& batch, std::size_t live, std::uint64_t groups, std::size_t span) {
    const std::size_t rows = tile_rows_;
    auto run = [&](const tiles::Panels& part, std::size_t group, std::size_t at) {
        if (!kernels_.nearest_two(batch.tile.data(), live, batch.norms.data(), part, rule_, group,
                                  batch.first_keys.data() + at, batch.second_keys.data() + at,
                                  batch.first.data() + at)) {
            raise_nan_fault();
        }
        batch.work.distances += live * part.clusters;
    };
    if (span == 0) {
        run(frame_.panels->panels(), frame_.group_size, 0);
    } else {
        const std::size_t g = static_cast<std::size_t>(std::countr_zero(groups));
        const tiles::Panels part =
            span == group_lengths_[g] ? frame_.group_panels[g] : frame_.panels->range(g * frame_.group_size, span);
        run(part, span, g * rows);
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
// registers across the groups, and lowers the groups' bounds to what the
// keys give.
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
            if (frame_.drift_order && batch.second_keys[at] == key) batch.tied[b] = std::min(batch.tied[b], key);
            if (cluster == choice.cluster && choice.group == g) {
                // The label, scored apart already, and met again in a
                // prefix longer than its point's own.
                own[1 + g] = std::min(own[1 + g], batch.second_lower[at]);
                continue;
            }
            // The full step's rule: the least key, ties to the lowest
            // cluster (Euclidean) or the highest (inner product), as each
            // group's kernel broke its own. The bound of the group that
            // holds the choice leaves the chosen cluster out; a group the
            // choice moves away from takes it back in.
            const bool better = choice.group == G || takes_over(euclidean, key, cluster, choice.key, choice.cluster);
            if (better) {
                if (choice.group != G) own[1 + choice.group] = std::min(own[1 + choice.group], choice.lower);
                own[1 + g] = std::min(own[1 + g], batch.second_lower[at]);
                choice = {key, cluster, static_cast<std::uint32_t>(g), batch.first_lower[at]};
            } else {
                own[1 + g] = std::min(own[1 + g], batch.first_lower[at]);
            }
        }
        batch.choices[b] = choice;
    }
}

void GatheredScorer::score(GatherBatch& batch, std::span<const std::uint32_t> entries, std::uint64_t groups,
                           std::size_t span) {
    load_tile(batch, entries);
    run_kernels(batch, entries.size(), groups, span);
    take_choices(batch, entries, groups);
}

// The points listed in batch.order, a tile at a time: against every group
// whole, or against one group, listed longest prefix first, each tile
// against its first row's prefix.
void GatheredScorer::score_in_tiles(GatherBatch& batch, std::uint64_t groups) {
    const std::span<const std::uint32_t> listed(batch.order);
    const std::size_t g = static_cast<std::size_t>(std::countr_zero(groups));
    for (std::size_t t0 = 0; t0 < listed.size(); t0 += tile_rows_) {
        const std::size_t span = groups == all_groups_ ? 0 : batch.spans[listed[t0] * groups_ + g];
        score(batch, listed.subspan(t0, std::min(tile_rows_, listed.size() - t0)), groups, span);
    }
}

bool GatheredScorer::whole(const GatherBatch& batch, std::size_t b) const {
    for (std::uint64_t bits = batch.masks[b]; bits != 0; bits &= bits - 1) {
        const std::size_t g = static_cast<std::size_t>(std::countr_zero(bits));
        if (batch.spans[b * groups_ + g] != group_lengths_[g]) return false;
    }
    return true;
}

// No choice yet; a group scored whole starts its bound afresh, one scored
// in part from what its untouched rest proves.
void GatheredScorer::start_choices(GatherBatch& batch) {
    const std::size_t count = batch.points.size();
    const std::size_t G = groups_;
    batch.choices.assign(count, Choice{infinity, 0, static_cast<std::uint32_t>(G), 0.0f});
    batch.tied.assign(count, infinity);
    for (std::size_t b = 0; b < count; ++b) {
        float* own = frame_.bounds.data() + batch.points[b] * (G + 1);
        for (std::uint64_t bits = batch.masks[b]; bits != 0; bits &= bits - 1) {
            const std::size_t g = static_cast<std::size_t>(std::countr_zero(bits));
            if (batch.spans[b * G + g] == group_lengths_[g]) own[1 + g] = infinity;
        }
    }
}

// The label's key, for each point whose own group's prefix stops short of
// it, as the first choice: the tile kernels' bits for that one pair.
void GatheredScorer::score_own(GatherBatch& batch) {
    if (!frame_.drift_order) return;
    const std::size_t G = groups_;
    batch.order.clear();
    for (std::size_t b = 0; b < batch.points.size(); ++b) {
        const std::size_t place = frame_.position[frame_.labels[batch.points[b]]];
        const std::size_t g = place / frame_.group_size;
        if (place % frame_.group_size >= batch.spans[b * G + g]) batch.order.push_back(static_cast<std::uint32_t>(b));
    }
    const tiles::Panels& panels = frame_.panels->panels();
    const std::span<const std::uint32_t> listed(batch.order);
    for (std::size_t t0 = 0; t0 < listed.size(); t0 += tile_rows_) {
        const std::span<const std::uint32_t> entries = listed.subspan(t0, std::min(tile_rows_, listed.size() - t0));
        load_tile(batch, entries);
        for (std::size_t r = 0; r < entries.size(); ++r) {
            batch.pair_rows[r] = static_cast<std::uint32_t>(r);
            batch.pair_positions[r] = frame_.position[frame_.labels[batch.points[entries[r]]]];
        }
        kernels_.listed_dots(batch.tile.data(), entries.size(), batch.pair_rows.data(), panels,
                             batch.pair_positions.data(), entries.size(), batch.dots.data());
        batch.work.distances += entries.size();
        for (std::size_t r = 0; r < entries.size(); ++r) {
            const std::uint32_t place = batch.pair_positions[r];
            const float dot = batch.dots[r];
            const float key = frame_.euclidean ? euclidean_key(dot, panels.norms[place], batch.norms[r]) : -dot;
            if (std::isnan(key)) raise_nan_fault();
            batch.choices[entries[r]] = {key, frame_.order[place], static_cast<std::uint32_t>(place / frame_.group_size),
                                         bounds::lower_from_key_f32(frame_.euclidean, key, batch.errors[r])};
        }
    }
}

// Points that need most groups whole are scored against all of them, each
// tile packed once; the rest group by group, so that tiles stay full
// however the needs are spread.
void GatheredScorer::flush(GatherBatch& batch) {
    const std::size_t count = batch.points.size();
    const std::size_t G = groups_;
    start_choices(batch);
    score_own(batch);
    batch.order.clear();
    for (std::size_t b = 0; b < count; ++b) {
        if (2 * static_cast<std::size_t>(std::popcount(batch.masks[b])) > G && whole(batch, b)) {
            batch.order.push_back(static_cast<std::uint32_t>(b));
            batch.masks[b] = 0;
        }
    }
    score_in_tiles(batch, all_groups_);
    for (std::size_t g = 0; g < G; ++g) {
        batch.order.clear();
        for (std::size_t b = 0; b < count; ++b) {
            if ((batch.masks[b] >> g & 1u) != 0 && batch.spans[b * G + g] != 0) {
                batch.order.push_back(static_cast<std::uint32_t>(b));
            }
        }
        std::stable_sort(batch.order.begin(), batch.order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return batch.spans[a * G + g] > batch.spans[b * G + g];
        });
        score_in_tiles(batch, std::uint64_t{1} << g);
    }
    commit(batch);
}

// A point whose choice is a key its group's kernel found more than once,
// in drift order: every key of the point, and the rule over clusters.
void GatheredScorer::relabel_tied(GatherBatch& batch, std::size_t b) {
    const std::uint64_t i = batch.points[b];
    const PointView& points = *frame_.points;
    const float* x = points.row_start(i);
    if (!points.row_contiguous()) {
        points.copy_row(i, batch.row.data());
        x = batch.row.data();
    }
    const tiles::Panels& panels = frame_.panels->panels();
    batch.keys.resize(panels.clusters);
    const float norm = frame_.euclidean ? (*frame_.point_norms)[i] : 0.0f;
    if (!kernels_.point_keys(x, panels, frame_.euclidean, norm, batch.keys.data())) raise_nan_fault();
    batch.work.distances += panels.clusters;
    Choice& choice = batch.choices[b];
    std::uint32_t best = frame_.order[0];
    float least = batch.keys[0];
    for (std::size_t p = 1; p < panels.clusters; ++p) {
        const float key = batch.keys[p];
        const std::uint32_t cluster = frame_.order[p];
        if (takes_over(frame_.euclidean, key, cluster, least, best)) {
            least = key;
            best = cluster;
        }
    }
    if (least != choice.key) raise_fault("A point's keys differ between kernels");
    const auto group = static_cast<std::uint32_t>(frame_.position[best] / frame_.group_size);
    if (group != choice.group) {
        // The group the choice leaves takes it back into its bound.
        float* own = frame_.bounds.data() + i * (groups_ + 1);
        own[1 + choice.group] = std::min(own[1 + choice.group], choice.lower);
        choice.group = group;
    }
    choice.cluster = best;
}

// The recomputed points' labels, and their own bounds from the chosen keys.
void GatheredScorer::commit(GatherBatch& batch) {
    const std::size_t G = groups_;
    for (std::size_t b = 0; b < batch.points.size(); ++b) {
        const std::uint64_t i = batch.points[b];
        if (batch.choices[b].group == G) raise_fault("A recomputed point met no group");
        if (batch.tied[b] == batch.choices[b].key) relabel_tied(batch, b);
        const Choice& choice = batch.choices[b];
        frame_.labels[i] = choice.cluster;
        frame_.bounds[i * (G + 1)] = bounds::round_up(bounds::upper_from_key(frame_.euclidean, choice.key, point_error(i)));
    }
    batch.points.clear();
    batch.masks.clear();
    batch.spans.clear();
}

}  // namespace quorla::engine
