// The screened label step: each tile of points is first scored against
// every centroid by the bf16 screen (screen/bf16_screen.hpp), which keeps per
// point the clusters within a proven window of its best approximate key
// (bf16_bound.hpp); only those candidates are scored with the level's
// exact chain and the label step's tie rules. Labels and sizes are those of
// the full step (label_step.hpp) bit for bit, and so is everything after
// them. Points whose window holds too many clusters, or is not finite, are
// scored in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/core/execution_context.hpp"
#include "engine/core/model.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/screen/dimension_screen.hpp"
#include "engine/training_state.hpp"

namespace quorla::engine {

enum class ScreenMode {
    off,        // every key in single precision
    automatic,  // screened while the counts say it pays (ScreenPolicy)
    forced,     // screened in every full label step, however slow: tests see every path
};

enum class ScreenKind {
    bf16,        // keys from values rounded to bf16 (screen/bf16_screen.hpp)
    dimensions,  // bounds from the leading coordinates in a principal basis (screen/dimension_screen.hpp)
};

struct ScreenOptions {
    ScreenMode mode = ScreenMode::off;
    ScreenUnit unit = ScreenUnit::emulated;  // the bf16 screen's
    ScreenKind kind = ScreenKind::bf16;
};

// The head the dimension screen measures at dimension `dim` when there are
// too few points to choose one from a sample: a quarter of it, in whole
// panels of 16 (bench/bench_screen.cpp).
std::size_t dimension_screen_head(std::size_t dim);

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

class ScreenPolicy;

// The label step (update_labels in label_step.hpp) through the screen of
// `unit`; the same labels and sizes. Needs two or more clusters. A policy
// that samples (ScreenPolicy::samples) has a sample of the points screened
// first and the rest screened only if it pays.
ScreenWork screened_update_labels(Model& model, const TrainingState& state, const ExecutionContext& context,
                                  ScreenUnit unit, const ScreenPolicy* policy = nullptr);
// The same through the dimension screen in `basis`, packed for the
// context's level.
ScreenWork screened_update_labels(Model& model, const TrainingState& state, const ExecutionContext& context,
                                  const DimensionBasis& basis, const ScreenPolicy* policy = nullptr);

// A training's dimension basis: principal axes of its points, with the
// head whose screened sample (a strided one, against the model's current
// centroids) cost least; `work` is what that sample's step did.
struct DimensionChoice {
    std::unique_ptr<DimensionBasis> basis;
    std::size_t head = 0;
    bool sampled = false;
    ScreenWork work;
};
DimensionChoice choose_dimension_basis(const Model& model, const TrainingState& state,
                                       const ExecutionContext& context);

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
    ScreenKind kind() const { return kind_; }
    // After a screened step.
    void done(const ScreenWork& work);
    // The dimension screen measures `head` of `dim` dimensions.
    void use_head(std::size_t head, std::size_t dim) {
        head_ = head;
        dim_ = dim;
    }
    // Whether a screened step with these counts pays, and what it cost.
    bool pays(const ScreenWork& work) const;
    double step_cost(const ScreenWork& work) const;
    // Whether the next step should screen a sample before the rest: an
    // automatic policy that has not seen a step.
    bool samples() const { return automatic_ && !seen_; }
    bool automatic() const { return automatic_; }
    // A screened step's cost in full steps, estimated from its counts; the
    // dimension screen's from its head of `head` of `dim` dimensions too.
    static double cost(const ScreenWork& work, std::size_t n_clusters, std::size_t head = 0, std::size_t dim = 0);

private:
    bool enabled_ = false;
    bool automatic_ = false;
    ScreenUnit unit_ = ScreenUnit::emulated;
    ScreenKind kind_ = ScreenKind::bf16;
    std::size_t n_clusters_ = 0;
    std::size_t head_ = 0;  // the dimension screen's p of d
    std::size_t dim_ = 0;
    bool seen_ = false;
};

}  // namespace quorla::engine
