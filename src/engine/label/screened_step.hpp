// The screened label step: each tile of points is first scored against
// every centroid by the bf16 screen (kernels/screen.hpp), which keeps per
// point the clusters within a proven window of its best approximate key
// (screen_bound.hpp); only those candidates are scored with the level's
// exact chain and the label step's tie rules. Labels and sizes are those of
// the full step (label_step.hpp) bit for bit, and so is everything after
// them. Points whose window holds too many clusters, or is not finite, are
// scored in full.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/core/execution_context.hpp"
#include "engine/core/model.hpp"
#include "engine/kernels/screen.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

enum class ScreenMode {
    off,        // every key in single precision
    automatic,  // screened while the counts say it pays (ScreenPolicy)
    forced,     // screened in every full label step, however slow: tests see every path
};

struct ScreenOptions {
    ScreenMode mode = ScreenMode::off;
    ScreenUnit unit = ScreenUnit::emulated;
};

// What one screened step did, for the policy and benchmarks.
struct ScreenWork {
    std::uint64_t points = 0;      // points the step labelled
    std::uint64_t settled = 0;     // points labelled from their candidates
    std::uint64_t candidates = 0;  // exact keys those points took
    std::uint64_t full = 0;        // points scored against every cluster: window too wide

    ScreenWork& operator+=(const ScreenWork& other) {
        points += other.points;
        settled += other.settled;
        candidates += other.candidates;
        full += other.full;
        return *this;
    }
};

// The label step (update_labels in label_step.hpp) through the screen of
// `unit`; the same labels and sizes. Needs two or more clusters.
ScreenWork screened_update_labels(Model& model, const TrainingState& state, const ExecutionContext& context,
                                  ScreenUnit unit);

// Whether the full label steps of one training are screened. Like the
// bounded step's policy it reads counts, never a clock: a seeded training
// takes the same steps on every run of a machine.
class ScreenPolicy {
public:
    ScreenPolicy() = default;
    ScreenPolicy(const ScreenOptions& options, std::size_t n_clusters, std::size_t dim);

    // Whether the automatic choice may screen a training of this shape.
    static bool shape_pays(std::size_t n_clusters, std::size_t dim);

    bool screens() const { return enabled_; }
    ScreenUnit unit() const { return unit_; }
    // After a screened step.
    void done(const ScreenWork& work);
    // A screened step's cost in full steps, estimated from its counts.
    static double cost(const ScreenWork& work, std::size_t n_clusters);

private:
    bool enabled_ = false;
    bool automatic_ = false;
    ScreenUnit unit_ = ScreenUnit::emulated;
    std::size_t n_clusters_ = 0;
};

}  // namespace quorla::engine
