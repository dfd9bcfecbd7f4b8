// The bounded label step.
//
// The error bound. Let u = 2^-24 and g(d) = d u / (1 - d u). A dot product of
// d float terms, fused or not and in any order, is within
// g(d) sum |x_l c_l| <= g(d) |x| |c| of the exact one, and so are the squared
// norms |x|^2 and |c|^2 of theirs. The Euclidean key is
// e~ = fl(n_x + fl(n_c - 2 d~)), 2 d~ exact. With s = n_c - 2 d~:
//     |s - (|c|^2 - 2 x.c)|   <= g(d) (|c|^2 + 2 |x||c|)
//     |fl(s) - s|             <= u (1 + g(d)) (|c|^2 + 2 |x||c|)
//     |n_x + fl(s) - |x-c|^2| <= (g(d) + u (1 + g(d))) (|x| + |c|)^2
// and the last rounding adds u |n_x + fl(s)|, at most u (1 + g(d) + 2u)
// (|x| + |c|)^2. So |e~ - |x-c|^2| <= (d + 3) u (1 + 1/100) (|x| + |c|)^2
// for d u < 1/200, and the inner-product key -d~ is within g(d) |x||c| of
// -x.c. key_error takes twice the first factor, (d + 4) 2u, over upper
// bounds R >= |x| and C >= every |c|; gradual underflow adds at most 2^-150
// per rounding, covered by an absolute term. The double arithmetic of the
// bounds themselves (a few units of 2^-53 of (R + C)^2 per step, stored
// rounded outward) stays far inside that factor of two.
//
// With exact distances D_j = |x - c_j| and bounds U >= D_a, L_g <= D_j for
// every other j of group g: e~_j >= L_g^2 - E and e~_a <= U^2 + E, so
// L_g^2 > U^2 + 2E proves e~_j > e~_a, strictly: the full step's choice
// cannot be j, whatever its tie rule. Inner product, with scores
// S_j = -x.c_j: L_g > U + 2E. A centroid that moved by delta moves D_j,
// and S_j / |x|, by at most delta.
#include "engine/label/label_bounds.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/label/label_step.hpp"
#include "engine/scan/scan.hpp"

namespace quorla::engine {
namespace {

constexpr double unit = 0x1p-24;
constexpr double double_unit = 0x1p-53;
constexpr float infinity = __builtin_inff();
constexpr std::size_t max_groups = 64;  // a point's groups to recompute fit one 64-bit mask
// Points gathered before their tiles are formed, group by group: enough
// that each group's last, short tile is a small part of its work, and few
// enough that their rows, read once per group they need, stay in the
// core's cache after the first.
constexpr std::size_t batch_bytes = std::size_t{1} << 23;
std::size_t batch_capacity(std::size_t dim) {
    return std::clamp<std::size_t>(batch_bytes / (std::max<std::size_t>(dim, 1) * sizeof(float)), 256, 16384);
}
constexpr std::size_t piece_points = 4096;
// A bounded step that computes more than this share of the distances costs
// more than a full one (it tests every point, then gathers most of them).
constexpr double dense_share = 0.85;
constexpr std::uint64_t max_dense_backoff = 8;
constexpr std::uint64_t plain_steps = 2;
// Below this many dimensions a group of 16 centroids costs less to score
// than the bookkeeping that could skip it.
constexpr std::size_t least_bounded_dim = 32;
constexpr std::uint64_t least_bounded_points = 4096;

// The neighbours of a finite float, by its bits (nextafter is a library
// call, and this runs for every bound of every point).
float float_above(float f) {
    if (f == 0.0f) return std::numeric_limits<float>::denorm_min();
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    return std::bit_cast<float>(f > 0.0f ? bits + 1 : bits - 1);
}

float round_up(double value) {
    const float f = static_cast<float>(value);
    return static_cast<double>(f) < value ? float_above(f) : f;
}


// Double-precision lengths and distances of float rows are within
// (d + 2) units of 2^-53 of exact; this factor covers that.
double inflate(double value, std::size_t dim) {
    return value * (1.0 + static_cast<double>(dim + 4) * 2.0 * double_unit);
}

// Sums in eight interleaved partial sums, so that the compiler can keep
// them in vector lanes; the error bound holds for any order.
template <class Term>
double sum_of(std::size_t dim, Term term) {
    double partial[8] = {};
    std::size_t l = 0;
    for (; l + 8 <= dim; l += 8) {
        for (std::size_t q = 0; q < 8; ++q) partial[q] += term(l + q);
    }
    for (; l < dim; ++l) partial[0] += term(l);
    return ((partial[0] + partial[1]) + (partial[2] + partial[3])) + ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

double length_of(const float* row, std::size_t dim) {
    return inflate(std::sqrt(sum_of(dim, [&](std::size_t l) { return static_cast<double>(row[l]) * row[l]; })), dim);
}

double distance_between(const float* a, const float* b, std::size_t dim) {
    const double sum = sum_of(dim, [&](std::size_t l) {
        const double diff = static_cast<double>(a[l]) - b[l];
        return diff * diff;
    });
    return inflate(std::sqrt(sum), dim);
}


// The E of the derivation above, for a point of length at most `length`.
double key_error(bool euclidean, std::size_t dim, double length, double centroid_length) {
    const double factor = static_cast<double>(dim + 4) * 2.0 * unit;
    const double tiny = static_cast<double>(dim + 4) * 0x1p-140;
    const double scale = euclidean ? (length + centroid_length) * (length + centroid_length) : length * centroid_length;
    return factor * scale + tiny;
}

// The least group bound that proves every centroid of the group farther
// than the own one, rounded up: L_g^2 > U^2 + 2E (Euclidean) or
// L_g > U + 2E (inner product), as a float L_g is compared against.
float proof_threshold(bool euclidean, double upper, double error) {
    return round_up(euclidean ? std::sqrt(upper * upper + 2.0 * error) : upper + 2.0 * error);
}

// Single-precision sums of d terms are within (d + 2) u of exact relative
// to the sum of magnitudes; these widen them by twice that, plus an
// absolute term for underflow, and finish in double precision.
double distance_above(const float* a, const float* b, std::size_t dim) {
    float partial[8] = {};
    std::size_t l = 0;
    for (; l + 8 <= dim; l += 8) {
        for (std::size_t q = 0; q < 8; ++q) {
            const float diff = a[l + q] - b[l + q];
            partial[q] += diff * diff;
        }
    }
    for (; l < dim; ++l) partial[0] += (a[l] - b[l]) * (a[l] - b[l]);
    const double sum = ((static_cast<double>(partial[0]) + partial[1]) + (partial[2] + static_cast<double>(partial[3]))) +
                       ((static_cast<double>(partial[4]) + partial[5]) + (partial[6] + static_cast<double>(partial[7])));
    const double widened = sum * (1.0 + static_cast<double>(dim + 4) * 2.0 * unit) + static_cast<double>(dim + 4) * 0x1p-140;
    return inflate(std::sqrt(widened), dim);
}

double score_above(const float* x, const float* c, std::size_t dim, double length, double centroid_length) {
    float partial[8] = {};
    std::size_t l = 0;
    for (; l + 8 <= dim; l += 8) {
        for (std::size_t q = 0; q < 8; ++q) partial[q] += x[l + q] * c[l + q];
    }
    for (; l < dim; ++l) partial[0] += x[l] * c[l];
    const double sum = ((static_cast<double>(partial[0]) + partial[1]) + (partial[2] + static_cast<double>(partial[3]))) +
                       ((static_cast<double>(partial[4]) + partial[5]) + (partial[6] + static_cast<double>(partial[7])));
    return -sum + static_cast<double>(dim + 4) * 2.0 * unit * length * centroid_length +
           static_cast<double>(dim + 4) * 0x1p-140;
}

// Bounds on the exact distance (score) from a computed key.
double upper_from_key(bool euclidean, float key, double error) {
    const double high = static_cast<double>(key) + error;
    return euclidean ? std::sqrt(std::max(0.0, high)) : high;
}


// lower_from_key in single precision, for the many bounds of a recomputed
// tile, in a loop the compiler can vectorise. `error` is E rounded up, plus
// 2^-140 for underflow in the steps below. Each single-precision step is
// within u = 2^-24 (relative) of exact, so fl(key - error) is at most
// (1 + u) (key - E) when positive, its square root at most (1 + u)^1.5
// sqrt(key - E), and scaling by 1 - 4u, itself rounded, leaves the result
// below sqrt(key - E). Inner product: fl(key - error) is within u of
// key - E, and taking 4u of its magnitude off, rounded, stays below.
inline float lower_from_key_f32(bool euclidean, float key, float error) {
    constexpr float shrink = 1.0f - 0x1p-22f;
    const float low = key - error;
    if (euclidean) return std::sqrt(std::max(0.0f, low)) * shrink;
    return low == infinity ? low : low - std::fabs(low) * 0x1p-22f;
}

// Splits `members` (cluster indices) into runs of `size` that are close
// together: each split cuts along the line through two far-apart members,
// at the count that keeps both sides whole runs.
void split_groups(const Matrix& centroids, std::span<std::uint32_t> members, std::size_t size,
                  std::vector<double>& projection) {
    if (members.size() <= size) return;
    const std::size_t dim = centroids.cols();
    const std::size_t runs = (members.size() + size - 1) / size;
    const std::size_t left = runs / 2 * size;
    auto farthest_from = [&](const float* from) {
        std::uint32_t best = members[0];
        double best_distance = -1.0;
        for (std::uint32_t m : members) {
            const double distance = distance_between(centroids.row(m).data(), from, dim);
            if (distance > best_distance) {
                best_distance = distance;
                best = m;
            }
        }
        return best;
    };
    const std::uint32_t a = farthest_from(centroids.row(members[0]).data());
    const std::uint32_t b = farthest_from(centroids.row(a).data());
    const float* pa = centroids.row(a).data();
    const float* pb = centroids.row(b).data();
    for (std::uint32_t m : members) {
        const float* c = centroids.row(m).data();
        double along = 0.0;
        for (std::size_t l = 0; l < dim; ++l) along += (static_cast<double>(c[l]) - pa[l]) * (static_cast<double>(pb[l]) - pa[l]);
        projection[m] = along;
    }
    auto closer_to_a = [&](std::uint32_t x, std::uint32_t y) {
        return projection[x] != projection[y] ? projection[x] < projection[y] : x < y;
    };
    std::nth_element(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(left), members.end(), closer_to_a);
    split_groups(centroids, members.first(left), size, projection);
    split_groups(centroids, members.subspan(left), size, projection);
}

// A gathered point's choice so far: key, cluster and the group it is in
// (the group count while there is none).
struct Choice {
    float key;
    std::uint32_t cluster;
    std::uint32_t group;
    float lower;  // the group's bound if the choice moves on: its key, lowered
};

// One worker's gathered points, the groups each needs, and tile buffers.
struct Batch {
    std::vector<std::uint64_t> points;
    std::vector<std::uint64_t> masks;
    std::vector<Choice> choices;
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
    std::vector<float> row;
    LabelStepShare share;
};

}  // namespace

LabelBounds::LabelBounds(const Model& model, const TrainingState& state, const ExecutionContext& context)
    : k_(model.n_clusters), dim_(state.points.cols), euclidean_(model.euclidean) {
    if (context.label_steps == LabelSteps::full || k_ < 2 || state.points.rows == 0) return;
    adaptive_ = context.label_steps == LabelSteps::adaptive;
    // A few points are scored in less time than the bounds' set-up, which
    // copies the centroids twice each step.
    if (adaptive_ && (dim_ < least_bounded_dim || state.points.rows < least_bounded_points ||
                      state.points.rows < checked_product(k_, 8))) {
        return;
    }
    const std::size_t per_point_bytes = std::max<std::size_t>(dim_, 64);
    const std::size_t cap = std::min(max_groups, per_point_bytes / sizeof(float) - 2);
    // About ten centroids a group, in whole panels.
    const std::size_t wanted = std::min(cap, std::max<std::size_t>(1, (k_ + 9) / 10));
    const std::size_t width = tiles::panel_width;
    group_size_ = ((k_ + wanted - 1) / wanted + width - 1) / width * width;
    if (group_size_ >= k_) group_size_ = k_;
    group_count_ = (k_ + group_size_ - 1) / group_size_;
    const std::uint64_t floats = checked_product(state.points.rows, group_count_ + 2);
    if (checked_product(floats, sizeof(float)) > context.memory_bytes / 4) return;
    enabled_ = true;
}

void LabelBounds::choose_groups(const Matrix& centroids) {
    order_.resize(k_);
    std::iota(order_.begin(), order_.end(), std::uint32_t{0});
    std::vector<double> projection(k_);
    split_groups(centroids, order_, group_size_, projection);
    group_of_.assign(k_, 0);
    for (std::size_t g = 0; g < group_count_; ++g) {
        // Ascending within a group, so that a kernel's tie rule over the
        // group's positions is the tie rule over cluster indices.
        auto begin = order_.begin() + static_cast<std::ptrdiff_t>(g * group_size_);
        auto end = order_.begin() + static_cast<std::ptrdiff_t>(std::min(k_, (g + 1) * group_size_));
        std::sort(begin, end);
        for (auto it = begin; it != end; ++it) group_of_[*it] = static_cast<std::uint32_t>(g);
    }
}

void LabelBounds::update_labels(Model& model, const TrainingState& state, const ExecutionContext& context) {
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    // The first two steps run the fused kernel and set no bounds: the
    // initial centroids are sample points, and the first mean update moves
    // them so far that bounds set before it would prove almost nothing
    // after it. The faster of the two is what a full step costs (the first
    // also pays for touching the points).
    const bool plain = !enabled_ || steps_ < plain_steps;
    ++steps_;
    if (plain) {
        engine::update_labels(model, state, context);
        plain_seconds_ = steps_ == 1 ? seconds() : std::min(plain_seconds_, seconds());
        if (context.label_shares != nullptr) {
            const std::uint64_t all = checked_product(state.points.rows, k_);
            context.label_shares->push_back({k_ > 1 ? all : 0, all, seconds()});
        }
        return;
    }
    if (!model.centroids) raise_fault("Label step without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    const PointView& points = state.points;
    if (centroids.rows() != k_ || centroids.cols() != dim_ || points.cols != dim_) {
        raise_fault("Centroids do not match the label bounds");
    }
    if (euclidean_ && !state.point_norms) raise_fault("Point norms missing in Euclidean mode");
    const std::uint64_t n = points.rows;
    const std::size_t G = group_count_;

    if (!valid_) {
        choose_groups(centroids);
        bounds_.assign(checked_product(n, G + 1), 0.0f);
        lengths_.resize(n);
        context.for_each_row_block(n, dim_, [&](std::uint64_t first, std::uint64_t last) {
            std::vector<float> row(dim_);
            for (std::uint64_t i = first; i < last; ++i) {
                points.copy_row(i, row.data());
                lengths_[i] = round_up(length_of(row.data(), dim_));
            }
        });
    }
    // Every distance, as the first step computes them, while the bounds
    // would recompute nearly all anyway: that costs the arithmetic of a full
    // step and sets every bound afresh, where a bounded step would first
    // test each point and then gather most of them.
    const bool first_step = !valid_ || dense_steps_left_ > 0;
    if (valid_ && dense_steps_left_ > 0) --dense_steps_left_;
    valid_ = false;  // until this step has finished

    // How far each centroid moved since the bounds were set, and the most
    // any centroid of a group did.
    std::vector<double> drift(k_, 0.0), group_drift(G, 0.0);
    double longest = 0.0;
    for (std::size_t j = 0; j < k_; ++j) {
        longest = std::max(longest, length_of(centroids.row(j).data(), dim_));
        if (!first_step) {
            drift[j] = distance_between(centroids.row(j).data(), previous_.row(j).data(), dim_);
            group_drift[group_of_[j]] = std::max(group_drift[group_of_[j]], drift[j]);
        }
    }

    std::vector<float> group_moves(G);
    for (std::size_t g = 0; g < G; ++g) group_moves[g] = round_up(group_drift[g]);

    Matrix grouped(k_, dim_);
    for (std::size_t p = 0; p < k_; ++p) {
        std::span<const float> row = centroids.row(order_[p]);
        std::copy(row.begin(), row.end(), grouped.row(p).begin());
    }
    const CentroidPanels panels(grouped, k_, euclidean_, context.level);
    const tiles::TileKernels& kernels = panels.kernels();
    const tiles::Panels& whole = panels.panels();
    std::vector<tiles::Panels> group_panels;
    group_panels.reserve(G);
    for (std::size_t g = 0; g < G; ++g) {
        const std::size_t first = g * group_size_;
        group_panels.push_back(panels.range(first, std::min(k_, first + group_size_) - first));
    }
    const tiles::Rule rule = euclidean_ ? tiles::Rule::lowest_key : tiles::Rule::highest_dot_last;
    const std::uint64_t all_groups = G == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << G) - 1;
    const std::size_t rows = kernels.tile_rows;

    std::vector<std::uint64_t> labels(model.labels);
    if (labels.size() != n) raise_fault("Labels do not match the point count");
    const std::size_t workers = context.workers();
    std::vector<Batch> batches(workers);
    const std::size_t capacity = batch_capacity(dim_);
    for (Batch& batch : batches) {
        batch.points.reserve(capacity);
        batch.masks.reserve(capacity);
        if (!points.row_contiguous()) {
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

    auto point_error = [&](std::uint64_t i) {
        return key_error(euclidean_, dim_, static_cast<double>(lengths_[i]), longest);
    };

    // Packs the gathered points listed in `tile_entries` as one tile and
    // scores them against every group in `groups`.
    auto score = [&](Batch& batch, std::span<const std::uint32_t> tile_entries, std::uint64_t groups) {
        const std::size_t live = tile_entries.size();
        // Rows with unit column stride are packed where they are; others
        // are copied out first.
        const bool in_place = points.row_contiguous();
        for (std::size_t r = 0; r < live; ++r) {
            const std::uint64_t i = batch.points[tile_entries[r]];
            if (in_place) {
                batch.rows[r] = points.row_start(i);
            } else {
                points.copy_row(i, batch.staging.data() + r * dim_);
                batch.rows[r] = batch.staging.data() + r * dim_;
            }
            batch.norms[r] = euclidean_ ? (*state.point_norms)[i] : 0.0f;
            batch.errors[r] = round_up(point_error(i) + 0x1p-140);
        }
        std::fill(batch.norms.begin() + static_cast<std::ptrdiff_t>(live), batch.norms.end(), 0.0f);
        kernels.pack_gathered(batch.rows.data(), live, dim_, batch.tile.data());
        // Every group in one pass over the whole panels, or one group's
        // panels alone; either way group g's results land at g * rows.
        auto run = [&](const tiles::Panels& part, std::size_t group, std::size_t at) {
            if (!kernels.nearest_two(batch.tile.data(), live, batch.norms.data(), part, rule, group,
                                     batch.first_keys.data() + at, batch.second_keys.data() + at,
                                     batch.first.data() + at)) {
                raise_nan_fault();
            }
            batch.share.distances += live * part.clusters;
        };
        if (groups == all_groups) {
            run(whole, group_size_, 0);
        } else {
            for (std::uint64_t bits = groups; bits != 0; bits &= bits - 1) {
                const std::size_t g = static_cast<std::size_t>(std::countr_zero(bits));
                run(group_panels[g], group_panels[g].clusters, g * rows);
            }
        }
        for (std::uint64_t bits = groups; bits != 0; bits &= bits - 1) {
            const std::size_t at = static_cast<std::size_t>(std::countr_zero(bits)) * rows;
            for (std::size_t r = 0; r < live; ++r) {
                batch.first_lower[at + r] = lower_from_key_f32(euclidean_, batch.first_keys[at + r], batch.errors[r]);
                batch.second_lower[at + r] = lower_from_key_f32(euclidean_, batch.second_keys[at + r], batch.errors[r]);
            }
        }
        // Each row takes the groups' choices into its running one, which
        // stays in registers across the groups.
        for (std::size_t r = 0; r < live; ++r) {
            const std::size_t b = tile_entries[r];
            float* own = bounds_.data() + batch.points[b] * (G + 1);
            Choice choice = batch.choices[b];
            for (std::uint64_t bits = groups; bits != 0; bits &= bits - 1) {
                const std::size_t g = static_cast<std::size_t>(std::countr_zero(bits));
                const std::size_t at = g * rows + r;
                const float key = batch.first_keys[at];
                const std::uint32_t cluster = order_[g * group_size_ + batch.first[at]];
                // The full step's rule: the least key, ties to the lowest
                // cluster (Euclidean) or the highest (inner product), as each
                // group's kernel broke its own. The bound of the group that
                // holds the choice leaves the chosen cluster out; a group the
                // choice moves away from gets its full minimum back.
                const bool better =
                    choice.group == G || key < choice.key ||
                    (key == choice.key && (euclidean_ ? cluster < choice.cluster : cluster > choice.cluster));
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
    };

    // Recomputes the gathered points and sets their labels and bounds.
    // Points that need few groups are gathered group by group, so that
    // tiles stay full however the needs are spread.
    auto flush = [&](Batch& batch) {
        const std::size_t count = batch.points.size();
        batch.choices.assign(count, Choice{infinity, 0, static_cast<std::uint32_t>(G), 0.0f});
        // Points that need more than half the groups are scored against all
        // of them, each tile packed once; the rest group by group.
        batch.order.clear();
        for (std::size_t b = 0; b < count; ++b) {
            if (2 * static_cast<std::size_t>(std::popcount(batch.masks[b])) > G) {
                batch.order.push_back(static_cast<std::uint32_t>(b));
                batch.masks[b] = 0;
            }
        }
        for (std::size_t t0 = 0; t0 < batch.order.size(); t0 += rows) {
            score(batch, std::span<const std::uint32_t>(batch.order).subspan(t0, std::min(rows, batch.order.size() - t0)),
                  all_groups);
        }
        for (std::size_t g = 0; g < G; ++g) {
            batch.order.clear();
            for (std::size_t b = 0; b < count; ++b) {
                if (batch.masks[b] >> g & 1u) batch.order.push_back(static_cast<std::uint32_t>(b));
            }
            for (std::size_t t0 = 0; t0 < batch.order.size(); t0 += rows) {
                score(batch, std::span<const std::uint32_t>(batch.order).subspan(t0, std::min(rows, batch.order.size() - t0)),
                      std::uint64_t{1} << g);
            }
        }
        for (std::size_t b = 0; b < count; ++b) {
            const std::uint64_t i = batch.points[b];
            const Choice& choice = batch.choices[b];
            if (choice.group == G) raise_fault("A recomputed point met no group");
            labels[i] = choice.cluster;
            bounds_[i * (G + 1)] = round_up(upper_from_key(euclidean_, choice.key, point_error(i)));
        }
        batch.points.clear();
        batch.masks.clear();
    };

    auto gather = [&](Batch& batch, std::uint64_t i, std::uint64_t mask) {
        batch.points.push_back(i);
        batch.masks.push_back(mask);
        if (batch.points.size() == capacity) flush(batch);
    };

    auto visit = [&](Batch& batch, std::uint64_t i) {
        if (first_step) {
            gather(batch, i, all_groups);
            return;
        }
        const std::uint64_t a = labels[i];
        if (a >= k_) raise_fault("Label beyond the cluster count");
        const double length = static_cast<double>(lengths_[i]);
        const double scale = euclidean_ ? 1.0 : length;
        float* own = bounds_.data() + i * (G + 1);
        double upper = static_cast<double>(own[0]) + scale * drift[a];
        const double error = point_error(i);
        // Each group's bound moves down by its drift, in single precision:
        // fl(b - m) is within u = 2^-24 of b - m, so taking 4u of its
        // magnitude off (rounded, within u again) leaves it below b - m.
        // Magnitudes too small for that are far inside E's absolute term.
        float lowest[4] = {infinity, infinity, infinity, infinity};
        const float length_up = static_cast<float>(scale);
        for (std::size_t g = 0; g < G; ++g) {
            const float move = euclidean_ ? group_moves[g] : length_up * group_moves[g] * (1.0f + 0x1p-22f);
            float lower = own[1 + g] - move;
            lower -= std::fabs(lower) * 0x1p-22f;
            if (euclidean_) lower = std::max(0.0f, lower);
            own[1 + g] = lower;
            lowest[g % 4] = std::min(lowest[g % 4], lower);
        }
        const float least = std::min(std::min(lowest[0], lowest[1]), std::min(lowest[2], lowest[3]));
        if (!(least > proof_threshold(euclidean_, upper, error))) {
            // The own centroid's distance, tightened.
            const float* x = points.row_start(i);
            if (!points.row_contiguous()) {
                points.copy_row(i, batch.row.data());
                x = batch.row.data();
            }
            const float* c = centroids.row(a).data();
            upper = euclidean_ ? distance_above(x, c, dim_) : score_above(x, c, dim_, length, longest);
            const float threshold = proof_threshold(euclidean_, upper, error);
            std::uint64_t mask = 0;
            for (std::size_t g = 0; g < G; ++g) {
                if (!(own[1 + g] > threshold)) mask |= std::uint64_t{1} << g;
            }
            if (mask != 0) {
                own[0] = round_up(upper);
                gather(batch, i, mask | std::uint64_t{1} << group_of_[a]);
                return;
            }
        }
        own[0] = round_up(upper);
    };

    const std::size_t pieces = static_cast<std::size_t>((n + piece_points - 1) / piece_points);
    // A worker's batch collects over all the pieces it takes; what is left
    // in the batches at the end is flushed in a second loop.
    context.for_each_piece(pieces, 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        if (worker >= batches.size()) raise_fault("Label piece on a worker beyond the pool");
        Batch& batch = batches[worker];
        for (std::size_t piece = begin; piece < end; ++piece) {
            const std::uint64_t last = std::min<std::uint64_t>(n, (piece + 1) * piece_points);
            for (std::uint64_t i = piece * piece_points; i < last; ++i) visit(batch, i);
        }
    });
    context.for_each_piece(batches.size(), 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t b = begin; b < end; ++b) flush(batches[b]);
    });

    std::uint64_t computed = 0;
    for (const Batch& batch : batches) computed += batch.share.distances;
    const std::uint64_t possible = checked_product(n, k_);
    // Once the bounded steps have cost more than a full step in all, beyond
    // what full steps would have cost (small dimensions, or data the bounds
    // cannot settle), the bounds end for this training; steps that saved
    // time make up for slower ones. The results are the same either way.
    excess_seconds_ += seconds() - plain_seconds_;
    if (adaptive_ && excess_seconds_ > plain_seconds_) enabled_ = false;
    if (!first_step) {
        // A bounded step that computed most distances is followed by steps
        // that compute all of them, more of them each time it happens again.
        if (static_cast<double>(computed) > dense_share * static_cast<double>(possible)) {
            dense_steps_left_ = dense_backoff_;
            dense_backoff_ = std::min<std::uint64_t>(dense_backoff_ * 2, max_dense_backoff);
        } else {
            dense_backoff_ = 1;
        }
    }
    if (context.label_shares != nullptr) context.label_shares->push_back({computed, possible, seconds()});

    set_labels(model, std::move(labels));
    previous_ = centroids;
    valid_ = true;
}

}  // namespace quorla::engine
