// The model record (configuration and training results of one KMeans) and
// ClusteringError, the one error value the engine returns. Training and
// assignment live in training.hpp and assignment.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/core/matrix.hpp"

namespace quorla::engine {

class ClusteringError {
public:
    enum class Kind { InvalidParameter, AlreadyTrained, NotTrained, TooFewPoints, DimensionMismatch, InvalidData };

    static ClusteringError invalid_parameter(std::string text);
    static ClusteringError already_trained();
    static ClusteringError not_trained();
    static ClusteringError too_few_points(std::uint64_t points, std::uint64_t clusters);
    static ClusteringError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
    // Values the arithmetic cannot cluster; `text` is the whole message.
    static ClusteringError invalid_data(std::string text);

    Kind kind() const { return kind_; }
    // The exact text users see as the ValueError message.
    std::string message() const;

private:
    ClusteringError(Kind kind, std::string text, std::uint64_t first, std::uint64_t second)
        : kind_(kind), text_(std::move(text)), first_(first), second_(second) {}

    Kind kind_;
    std::string text_;
    std::uint64_t first_ = 0;
    std::uint64_t second_ = 0;
};

// A result or the error that prevented it. Faults are not carried here: they
// are thrown as quorla::Fault and cross the engine as exceptions.
template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(ClusteringError error) : state_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    T& value() { return std::get<T>(state_); }
    const ClusteringError& error() const { return std::get<ClusteringError>(state_); }

private:
    std::variant<T, ClusteringError> state_;
};

// One list of point indices per cluster, each ascending.
using ClusterLists = std::vector<std::vector<std::uint64_t>>;

// Point i listed under clusters choices[i * per_point + t], t < per_point,
// each list ascending and allocated once at its final size. A choice at or
// beyond n_clusters is a fault. Instantiated for 32- and 64-bit indices.
template <class Index>
ClusterLists group_by_cluster(std::span<const Index> choices, std::size_t per_point, std::size_t n_clusters);

struct Model {
    // Configuration.
    std::uint64_t n_clusters = 1;
    std::uint64_t iterations = 25;
    std::uint64_t max_balance_diff = 16;
    bool euclidean = false;
    bool balanced = false;
    bool verbose = false;
    bool use_medoids = false;
    // train and assign let the interpreter lock go while they compute. The
    // engine never reads it; the interface does.
    bool release_gil = false;
    // Seeds every draw of a training call when set; the operating system
    // seeds them otherwise.
    std::optional<std::uint64_t> seed;
    // Training starts from these n_clusters rows instead of drawing points,
    // and uses them as they are (no rescaling in inner-product mode), so a
    // training resumes exactly from centroids it saved.
    std::optional<Matrix> initial_centroids;
    // Without initial centroids, and from 64 clusters on, training starts
    // from a coarse and a fine level of clusters (hierarchical.hpp) instead
    // of a draw of points.
    bool hierarchical = false;

    // Results. Copying a Model copies all of these: builders rely on the
    // implicit copy being deep, which holds because every member is a value.
    bool trained = false;
    std::optional<Matrix> centroids;
    std::vector<std::uint64_t> labels;
    // Points per cluster; see cluster_size.hpp for why these are doubles.
    std::vector<double> cluster_sizes;
    std::vector<std::uint64_t> medoid_indices;

    // n_clusters == 0 is a broken precondition (the constructor rejects it
    // first), so it faults rather than returning an error.
    static Model create(std::uint64_t n_clusters);
};

}  // namespace quorla::engine
