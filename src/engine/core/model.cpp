// Model construction and the messages of ClusteringError.
#include "engine/core/model.hpp"

#include "engine/core/fault.hpp"

namespace quorla::engine {

ClusteringError ClusteringError::invalid_parameter(std::string text) {
    return {Kind::InvalidParameter, std::move(text), 0, 0};
}
ClusteringError ClusteringError::already_trained() { return {Kind::AlreadyTrained, {}, 0, 0}; }
ClusteringError ClusteringError::not_trained() { return {Kind::NotTrained, {}, 0, 0}; }
ClusteringError ClusteringError::too_few_points(std::uint64_t points, std::uint64_t clusters) {
    return {Kind::TooFewPoints, {}, points, clusters};
}
ClusteringError ClusteringError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
    return {Kind::DimensionMismatch, {}, expected, got};
}

ClusteringError ClusteringError::invalid_data(std::string text) {
    return {Kind::InvalidData, std::move(text), 0, 0};
}

std::string ClusteringError::message() const {
    switch (kind_) {
    case Kind::InvalidParameter:
        return "Invalid parameter: " + text_;
    case Kind::AlreadyTrained:
        return "Clustering has already been trained";
    case Kind::NotTrained:
        return "Clustering has not been trained yet";
    case Kind::TooFewPoints:
        return "Number of points (" + std::to_string(first_) +
               ") must be at least as large as number of clusters (" + std::to_string(second_) + ")";
    case Kind::DimensionMismatch:
        return "Dimension mismatch: expected " + std::to_string(first_) + ", got " + std::to_string(second_);
    case Kind::InvalidData:
        return text_;
    }
    raise_fault("Unknown clustering error kind");
}

Model Model::create(std::uint64_t n_clusters) {
    if (n_clusters == 0) raise_fault("Number of clusters must be positive");
    Model model;
    model.n_clusters = n_clusters;
    // Throws std::length_error or std::bad_alloc for counts no machine can
    // hold; the interface reports both as MemoryError.
    model.cluster_sizes.assign(n_clusters, 0.0);
    return model;
}

template <class Index>
ClusterLists group_by_cluster(std::span<const Index> choices, std::size_t per_point, std::size_t n_clusters) {
    std::vector<std::size_t> counts(n_clusters, 0);
    for (Index c : choices) {
        if (c >= n_clusters) raise_fault("Label beyond the cluster count");
        ++counts[c];
    }
    ClusterLists lists(n_clusters);
    for (std::size_t c = 0; c < n_clusters; ++c) lists[c].reserve(counts[c]);
    const std::size_t n = per_point == 0 ? 0 : choices.size() / per_point;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t t = 0; t < per_point; ++t) lists[choices[i * per_point + t]].push_back(i);
    }
    return lists;
}

template ClusterLists group_by_cluster(std::span<const std::uint32_t>, std::size_t, std::size_t);
template ClusterLists group_by_cluster(std::span<const std::uint64_t>, std::size_t, std::size_t);

}  // namespace quorla::engine
