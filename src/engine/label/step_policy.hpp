// When training's label steps use distance bounds (bounded_step.hpp), and
// when they stop. Every rule reads counts, never a clock: a seeded training
// takes the same steps, full or bounded, on every run of one machine,
// however busy it is. The results are the same whichever steps run; only
// the time differs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorla::engine {

enum class LabelStepMode {
    adaptive,  // bounded from 32 dimensions on, while that is cheaper than full steps
    bounded,   // bounded whenever memory allows, however slow: tests see every path
    full,      // every distance, every step
};

// What one training label step computed, for benchmarks.
struct LabelStepShare {
    std::uint64_t distances = 0;  // point-centroid keys computed (the padding lanes of short tiles not counted)
    std::uint64_t possible = 0;   // points x centroids
    std::uint64_t tested = 0;     // points whose bounds were moved and tested (bounded steps)
    std::uint64_t tightened = 0;  // own-centroid distances computed to tighten a bound (bounded steps)
    std::uint64_t packed = 0;     // point rows packed into gathered tiles (bounded steps)
    std::uint64_t group_results = 0;  // nearest-two results taken, one per point and group scored (bounded steps)
    std::uint64_t screened = 0;       // points a screened refresh settled from their candidates
    double seconds = 0.0;
};

// What one bounded step did, as it counted it.
struct BoundedWork {
    std::uint64_t distances = 0;  // as LabelStepShare::distances
    std::uint64_t tested = 0;
    std::uint64_t tightened = 0;
    std::uint64_t packed = 0;
    std::uint64_t group_results = 0;

    BoundedWork& operator+=(const BoundedWork& other) {
        distances += other.distances;
        tested += other.tested;
        tightened += other.tightened;
        packed += other.packed;
        group_results += other.group_results;
        return *this;
    }
};

enum class StepKind {
    full,     // the fused kernel over every point and centroid; no bounds
    refresh,  // every distance, with every bound set afresh
    bounded,  // only what the bounds cannot settle
};

class StepPolicy {
public:
    struct Shape {
        std::uint64_t points = 0;
        std::size_t clusters = 0;
        std::size_t dim = 0;
        std::size_t groups = 0;  // centroid groups a point keeps a bound for
    };

    // Whether bounds may run at all is decided here, from the sizes alone:
    // never in full mode, nor when (groups + 2) floats a point do not fit
    // in a quarter of `memory_bytes`; in adaptive mode, not below 32
    // dimensions or for fewer points than a bounded step's set-up pays for.
    StepPolicy(LabelStepMode mode, const Shape& shape, std::uint64_t memory_bytes);

    // Whether a bounded step may still come in this training.
    bool uses_bounds() const { return enabled_; }
    StepKind next() const;
    void full_done() { ++steps_; }
    // The centroids are close to means of their points already (a
    // hierarchical start, or given ones): bounds set at the first step
    // still prove most labels after the first update.
    void start_from_means() { plain_ = 0; }
    // After a step next() chose as refresh or bounded, with what it did.
    void bounded_done(StepKind kind, const BoundedWork& work);
    // Whether refreshes go through the bf16 screen. They then cost about
    // what a screened full step does, and each bounded step is weighed
    // against the last refresh's `cost`, in full steps.
    void screen_refreshes(bool on) { screened_ = on; }
    void screened_refresh_done(double cost);

    // A step's cost in the units of the cost model (step_policy.cpp).
    double full_cost() const;
    double bounded_cost(const BoundedWork& work) const;

private:
    // After a bounded step: if it was `costly`, refreshes come first.
    void back_off(bool costly);

    Shape shape_;
    bool adaptive_ = false;
    bool enabled_ = false;
    bool bounds_set_ = false;
    std::uint64_t steps_ = 0;
    std::uint64_t plain_;  // steps before bounds may start
    double excess_ = 0.0;  // bounded steps' cost beyond full steps', so far
    bool screened_ = false;
    double refresh_cost_ = 0.0;  // the last screened refresh's, in full steps
    std::uint64_t refreshes_left_ = 0;  // before the next bounded step
    std::uint64_t backoff_ = 1;
};

}  // namespace quorla::engine
