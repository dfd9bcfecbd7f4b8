// The model record and the messages of ClusteringError.
#include <gtest/gtest.h>

#include "engine/core/fault.hpp"
#include "engine/core/model.hpp"

namespace quorla::engine {
namespace {

TEST(Model, DefaultsOfANewModel) {
    Model model = Model::create(8);
    EXPECT_EQ(model.n_clusters, 8u);
    EXPECT_EQ(model.iterations, 25u);
    EXPECT_EQ(model.max_balance_diff, 16u);
    EXPECT_FALSE(model.euclidean || model.balanced || model.verbose || model.use_medoids || model.trained);
    EXPECT_FALSE(model.centroids.has_value());
    EXPECT_TRUE(model.labels.empty());
    EXPECT_TRUE(model.medoid_indices.empty());
    EXPECT_EQ(model.cluster_sizes, std::vector<double>(8, 0.0f));
}

TEST(Model, ZeroClustersIsAFault) {
    try {
        Model::create(0);
        FAIL() << "no fault";
    } catch (const Fault& fault) {
        EXPECT_STREQ(fault.what(), "Number of clusters must be positive");
    }
}

TEST(Model, ImpossibleClusterCountThrowsAllocationFailure) {
    // The interface turns both of these into MemoryError; what matters is
    // that neither is a Fault and nothing aborts.
    EXPECT_THROW(Model::create(UINT64_MAX), std::length_error);
}

struct MessageCase {
    ClusteringError error;
    const char* message;
    ClusteringError::Kind kind;
};

class ClusteringErrorMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ClusteringErrorMessages, ReadExactly) {
    EXPECT_EQ(GetParam().error.message(), GetParam().message);
    EXPECT_EQ(GetParam().error.kind(), GetParam().kind);
}

using Kind = ClusteringError::Kind;
INSTANTIATE_TEST_SUITE_P(
    AllKinds, ClusteringErrorMessages,
    ::testing::Values(
        MessageCase{ClusteringError::invalid_parameter("k must be positive"), "Invalid parameter: k must be positive",
                    Kind::InvalidParameter},
        MessageCase{ClusteringError::already_trained(), "Clustering has already been trained", Kind::AlreadyTrained},
        MessageCase{ClusteringError::not_trained(), "Clustering has not been trained yet", Kind::NotTrained},
        MessageCase{ClusteringError::too_few_points(3, 4),
                    "Number of points (3) must be at least as large as number of clusters (4)", Kind::TooFewPoints},
        MessageCase{ClusteringError::too_few_points(0, 18446744073709551615ull),
                    "Number of points (0) must be at least as large as number of clusters (18446744073709551615)",
                    Kind::TooFewPoints},
        MessageCase{ClusteringError::dimension_mismatch(128, 64), "Dimension mismatch: expected 128, got 64",
                    Kind::DimensionMismatch}));

TEST(PointView, ReadsAnyStrides) {
    // A 3x2 matrix stored transposed and reversed: element (i, j) lives at
    // storage[(2 - i) + 3 * j].
    const float storage[6] = {30, 20, 10, 31, 21, 11};
    PointView view{storage + 2, 3, 2, -1, 3};
    float row[2];
    for (std::uint64_t i = 0; i < 3; ++i) {
        view.copy_row(i, row);
        EXPECT_EQ(row[0], 10.0f * static_cast<float>(i + 1));
        EXPECT_EQ(row[1], 10.0f * static_cast<float>(i + 1) + 1.0f);
        EXPECT_EQ(view.at(i, 1), row[1]);
    }
    PointView broadcast{storage, 4, 2, 0, 1};
    broadcast.copy_row(3, row);
    EXPECT_EQ(row[0], 30.0f);
    EXPECT_EQ(row[1], 20.0f);
}

}  // namespace
}  // namespace quorla::engine
