// The execution context of each call into the engine, built here and
// nowhere else: the process's worker pool, the kernel level detected on this
// CPU and the calling thread's random generator; and the training call,
// which sizes the pool between the engine's entry checks and the work.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/core/execution_context.hpp"
#include "engine/training.hpp"
#include "interface/handle.hpp"
#include "interface/numpy_api.hpp"

namespace quorla::interface {

// Listens to a call for the interpreter, on the calling thread: a pending
// signal (Ctrl-C) stops it, and so does a progress callable that raises.
// Either way the Python exception is left set for the call to return. Both
// run Python code, which may resize or replace the array the call reads;
// the call then stops with RuntimeError before anything reads it again.
class PythonMonitor final : public engine::CallMonitor {
public:
    // `progress`: a callable taking (phase, step, cost), or null. `data`:
    // the watch on the array the call reads, or null.
    PythonMonitor(PyObject* progress, const ArrayWatch* data) : progress_(Ref::borrow(progress)), data_(data) {}

    bool stop_requested() override;
    bool wants_progress() const override { return static_cast<bool>(progress_); }
    bool report(engine::ProgressPhase phase, std::uint64_t step, float cost) override;

private:
    // False, with RuntimeError set, once the watched array has changed.
    bool data_intact() const;

    Ref progress_;
    const ArrayWatch* data_;
    bool stopped_ = false;
};

// Training may create the pool (lazily, at its first label step) and draws
// from `random`, or from the calling thread's generator when it is null.
engine::ExecutionContext training_context(engine::ThreadRandom* random, PythonMonitor& monitor);

// KMeans.train: the engine's entry checks, then the pool sized to
// `num_threads` when given, then the training, with the label steps
// QUORLA_LABEL_STEP asks for. A refused call never sizes the pool; a thread
// count the pool cannot take is an invalid parameter ("Thread setup
// failed: ...").
engine::Outcome<engine::ClusterLists> train(engine::Model& model, const engine::PointView& points,
                                            std::optional<std::uint64_t> num_threads, engine::ThreadRandom* random,
                                            PythonMonitor& monitor);

// Assignment uses the pool only once it exists: creating it is training's
// business, whose thread setting decides its size. It draws nothing.
engine::ExecutionContext assignment_context(PythonMonitor& monitor);

}  // namespace quorla::interface
