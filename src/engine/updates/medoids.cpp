// Medoids.
//
// update_medoids needs, for every member i of a cluster, the total of its
// distances to the other members summed in ascending member order. Every
// pair's distance is the same number from either side, so it is computed
// once: the members are cut into blocks, the distances between one block of
// candidates and every later block are computed on the worker pool into a
// strip, and the strip is then added into the totals on the calling thread,
// rows and columns alike. Processing the strips in block order and each
// strip left to right delivers every total's terms in ascending order, so the
// totals are exactly the sequential ones.
#include "engine/updates/medoids.hpp"

#include <algorithm>
#include <limits>

#include "engine/core/checked.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"

namespace quorla::engine {
namespace {

// Candidates per strip: the strip holds block x members distances, and a
// block of packed rows should stay in the L1/L2 caches while it is reused.
constexpr std::size_t medoid_block = 64;

// Packs the listed rows contiguously so that every distance reads two
// contiguous rows whatever the caller's strides.
void pack_rows(const PointView& points, std::span<const std::uint64_t> rows, float* out) {
    for (std::size_t r = 0; r < rows.size(); ++r) points.copy_row(rows[r], out + r * points.cols);
}

void update_one_cluster(Model& model, const PointView& points, std::uint64_t cluster,
                        std::span<const std::uint64_t> members, const ExecutionContext& context) {
    const std::size_t m = members.size();
    const std::size_t dim = points.cols;
    const bool euclidean = model.euclidean;
    std::vector<float> totals(m, 0.0f);
    std::vector<float> packed(checked_product(m, dim));
    pack_rows(points, members, packed.data());

    std::vector<float> strip;
    for (std::size_t start = 0; start < m; start += medoid_block) {
        const std::size_t rows = std::min(medoid_block, m - start);
        const std::size_t width = m - start;  // columns start .. m-1
        strip.assign(rows * width, 0.0f);
        // Row r (candidate start + r) against columns start + r + 1 .. m - 1.
        context.for_each_piece(rows, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t r = begin; r < end; ++r) {
                const float* x = packed.data() + (start + r) * dim;
                float* out = strip.data() + r * width;
                for (std::size_t col = r + 1; col < width; ++col) {
                    out[col] = medoid_distance(x, packed.data() + (start + col) * dim, dim, euclidean);
                }
            }
        });
        // Every total receives its terms in ascending member order: for a
        // candidate inside the block, the terms below it arrived with earlier
        // strips or come from the column pass of this block, then its own row.
        for (std::size_t r = 0; r < rows; ++r) {
            const float* row = strip.data() + r * width;
            float& own = totals[start + r];
            for (std::size_t q = 0; q < r; ++q) own += strip[q * width + r];
            for (std::size_t col = r + 1; col < width; ++col) own += row[col];
        }
        for (std::size_t col = rows; col < width; ++col) {
            float& later = totals[start + col];
            for (std::size_t r = 0; r < rows; ++r) later += strip[r * width + col];
        }
    }

    std::uint64_t best = members[0];
    float best_total = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < m; ++i) {
        if (totals[i] < best_total) {  // strict: ties keep the lower index, NaN never wins
            best = members[i];
            best_total = totals[i];
        }
    }
    if (cluster >= model.medoid_indices.size()) raise_fault("Cluster index beyond the medoid indices");
    model.medoid_indices[cluster] = best;
    if (model.centroids) {
        if (cluster >= model.centroids->rows()) raise_fault("Cluster index beyond the centroid rows");
        points.copy_row(best, model.centroids->row(cluster).data());
    }
}

}  // namespace

float medoid_distance(const float* x, const float* y, std::size_t dim, bool euclidean) {
    return euclidean ? squared_distance_f32(x, y, dim) : 1.0f - dot_f32(x, y, dim);
}

namespace {

// Member m's medoid distance to `centre`. Rows with unit column stride are
// read in place; others are gathered into `row`.
float member_distance(const PointView& points, std::uint64_t m, const float* centre, bool euclidean,
                      std::vector<float>& row) {
    if (m >= points.rows) raise_fault("Medoid candidate beyond the point matrix");
    const float* x = points.row_start(m);
    if (!points.row_contiguous()) {
        row.resize(points.cols);
        points.copy_row(m, row.data());
        x = row.data();
    }
    return medoid_distance(x, centre, points.cols, euclidean);
}

struct NearestMember {
    std::uint64_t member;
    float distance;  // +inf when no distance was below it
};

// The member nearest to `centre`: equal distances keep the earlier member,
// NaN never replaces, and without a distance below +inf the first stays.
NearestMember nearest_member(const PointView& points, std::span<const std::uint64_t> members, const float* centre,
                             bool euclidean, std::vector<float>& row) {
    NearestMember nearest{members[0], std::numeric_limits<float>::infinity()};
    for (std::uint64_t m : members) {
        const float distance = member_distance(points, m, centre, euclidean, row);
        if (nearest.distance > distance) nearest = {m, distance};
    }
    return nearest;
}

}  // namespace

void update_medoids(Model& model, const PointView& points, const ExecutionContext& context) {
    const ClusterLists members =
        group_by_cluster(std::span<const std::uint64_t>(model.labels), 1, static_cast<std::size_t>(model.n_clusters));
    for (std::uint64_t c = 0; c < model.n_clusters; ++c) {
        if (model.cluster_sizes.at(c) == 0.0) continue;  // the repair replaces it; NaN is not skipped
        if (members[c].empty()) continue;
        for (std::uint64_t i : members[c]) {
            if (i >= points.rows) raise_fault("Medoid candidate beyond the point matrix");
        }
        update_one_cluster(model, points, c, members[c], context);
    }
}

std::vector<std::uint64_t> members_of(const Model& model, std::uint64_t cluster) {
    std::vector<std::uint64_t> members;
    for (std::uint64_t i = 0; i < model.labels.size(); ++i) {
        if (model.labels[i] == cluster) members.push_back(i);
    }
    return members;
}

void update_cluster_medoid(Model& model, const PointView& points, std::uint64_t cluster,
                           std::span<const std::uint64_t> members) {
    if (members.empty()) return;
    if (!model.centroids) raise_fault("Medoid update without a centroid matrix");
    Matrix& centroids = *model.centroids;
    if (cluster >= centroids.rows()) raise_fault("Cluster index beyond the centroid rows");
    if (centroids.cols() != points.cols) raise_fault("Centroid and point dimensions differ");
    std::vector<float> row;
    const std::uint64_t best =
        nearest_member(points, members, centroids.row(cluster).data(), model.euclidean, row).member;
    if (cluster >= model.medoid_indices.size()) raise_fault("Cluster index beyond the medoid indices");
    model.medoid_indices[cluster] = best;
    points.copy_row(best, centroids.row(cluster).data());
}

MedoidTracker::MedoidTracker(const Model& model, std::size_t clusters)
    : members_(group_by_cluster(std::span<const std::uint64_t>(model.labels), 1, clusters)), nearest_(clusters) {}

float MedoidTracker::distance_to_row(const Model& model, const PointView& points, std::uint64_t i,
                                     std::uint64_t cluster) {
    return member_distance(points, i, model.centroids->row(cluster).data(), model.euclidean, row_);
}

// update_cluster_medoid's scan, keeping its result. Without a distance
// below +inf its choice is the first member, whoever that is at the next
// step, so nothing is kept.
void MedoidTracker::find_nearest(const Model& model, const PointView& points, std::uint64_t cluster) {
    Nearest& nearest = nearest_[cluster];
    const NearestMember found =
        nearest_member(points, members_[cluster], model.centroids->row(cluster).data(), model.euclidean, row_);
    nearest.member = found.member;
    nearest.distance = found.distance;
    nearest.known = found.distance < std::numeric_limits<float>::infinity();
}

bool MedoidTracker::update(Model& model, const PointView& points, std::uint64_t cluster) {
    if (cluster >= members_.size()) raise_fault("Cluster index beyond the medoid members");
    if (members_[cluster].empty()) return false;
    if (!model.centroids) raise_fault("Medoid update without a centroid matrix");
    if (cluster >= model.centroids->rows()) raise_fault("Cluster index beyond the centroid rows");
    if (model.centroids->cols() != points.cols) raise_fault("Centroid and point dimensions differ");
    Nearest& nearest = nearest_[cluster];
    if (!nearest.known) find_nearest(model, points, cluster);
    const std::uint64_t best = nearest.member;
    if (cluster >= model.medoid_indices.size()) raise_fault("Cluster index beyond the medoid indices");
    model.medoid_indices[cluster] = best;
    if (nearest.copied && nearest.source == best) return false;  // the row already holds that point
    points.copy_row(best, model.centroids->row(cluster).data());
    nearest.copied = true;
    nearest.source = best;
    nearest.known = false;  // distances to the new row are not known yet
    return true;
}

void MedoidTracker::move(const Model& model, const PointView& points, std::uint64_t i, std::uint64_t from,
                         std::uint64_t to) {
    std::vector<std::uint64_t>& source = members_.at(from);
    source.erase(std::lower_bound(source.begin(), source.end(), i));
    if (nearest_[from].member == i) nearest_[from].known = false;
    std::vector<std::uint64_t>& target = members_.at(to);
    target.insert(std::lower_bound(target.begin(), target.end(), i), i);
    Nearest& nearest = nearest_[to];
    if (!nearest.known) return;
    const float distance = distance_to_row(model, points, i, to);
    if (distance < nearest.distance || (distance == nearest.distance && i < nearest.member)) {
        nearest.member = i;
        nearest.distance = distance;
    }
}

}  // namespace quorla::engine
