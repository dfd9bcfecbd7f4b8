// The training driver: entry checks, initial centroids, Lloyd iterations,
// empty-cluster repair and the final relabelling. The label step is in
// label_step.hpp, the cost in cost.hpp; balancing and medoids have files of
// their own.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/core/random.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/label/step_policy.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

// How a training runs, where the results do not depend on it: which label
// steps it may take (step_policy.hpp), whether full steps are screened in
// bf16 (screened_step.hpp), and, for benchmarks, a record of each label
// step. The interface sets the steps from QUORLA_LABEL_STEP and the screen
// from QUORLA_SCREEN and the detected unit.
struct TrainingOptions {
    LabelStepMode label_steps = LabelStepMode::adaptive;
    // When set, each label step appends what it computed.
    std::vector<LabelStepShare>* label_shares = nullptr;
    ScreenOptions screening;
};

// The error a training call is refused with, before it changes anything or
// brings up the pool: a trained model, fewer points than clusters, values
// it cannot cluster. Throws std::bad_alloc for data whose per-point results
// would not fit in memory, and CallStopped when the monitor stops the
// value check.
std::optional<ClusteringError> refuse_training(const Model& model, const PointView& points,
                                               const ExecutionContext& context);

// Trains `model` on `points`, which refuse_training has accepted. A pool
// that is still absent is created at the first label step, with the size
// the pool was configured to by then.
Outcome<ClusterLists> run_training(Model& model, const PointView& points, const ExecutionContext& context,
                                   const TrainingOptions& options = {});

// refuse_training, then run_training: for callers that configure no pool.
Outcome<ClusterLists> train(Model& model, const PointView& points, const ExecutionContext& context,
                            const TrainingOptions& options = {});

// Scales every non-zero centroid row to unit length in inner-product mode;
// does nothing in Euclidean mode or without centroids.
void normalize_centroids(Model& model);

// Gives every empty cluster half the size of a randomly walked donor, and a
// perturbed copy of its centroid (or a random member as medoid).
void repair_empty_clusters(Model& model, const TrainingState& state, ThreadRandom& random);

}  // namespace quorla::engine
