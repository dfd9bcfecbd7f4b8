// The execution context of each call into the engine, built here and
// nowhere else: the process's worker pool, the kernel level detected on this
// CPU and the calling thread's random generator; and the training call,
// which sizes the pool between the engine's entry checks and the work.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "engine/core/execution_context.hpp"
#include "engine/hierarchical.hpp"
#include "engine/training.hpp"
#include "interface/handle.hpp"
#include "interface/numpy_api.hpp"

namespace quorla::interface {

// Listens to a call for the interpreter, on the calling thread: a pending
// signal (Ctrl-C) stops it, and so does a progress callable that raises.
// Either way the Python exception is left set for the call to return. Both
// run Python code, which may resize or replace the array the call reads;
// the call then stops with RuntimeError before anything reads it again.
//
// A call may run without the interpreter lock (run(true, ...)). The monitor
// then takes the lock back only for the moments it runs Python itself (a
// poll, a report) and lets it go again before the work goes on, so other
// Python threads run while the engine computes.
class PythonMonitor final : public engine::CallMonitor {
public:
    // `progress`: a callable taking (phase, step, cost), or null. `data`:
    // the watch on the array the call reads, or null. Built and destroyed
    // with the lock held: it holds a reference to the callable.
    PythonMonitor(PyObject* progress, const ArrayWatch* data) : progress_(Ref::borrow(progress)), data_(data) {}

    // work() on this thread, without the interpreter lock when `release`.
    // Called with the lock held, and it is held again when this returns or
    // throws, so whatever the caller does next may touch Python.
    template <class Work>
    std::invoke_result_t<Work&> run(bool release, Work&& work) {
        if (!release) return work();
        std::optional<std::invoke_result_t<Work&>> result;
        {
            const LockRelease released(thread_);
            result.emplace(work());
        }
        // Other threads ran Python all along, and one of them may have
        // resized or replaced the array under the view: an answer read from
        // memory that is no longer the array is not returned.
        if (!data_intact()) throw CallStopped{};
        return std::move(*result);
    }

    bool stop_requested() override;
    bool wants_progress() const override { return static_cast<bool>(progress_); }
    bool report(engine::ProgressPhase phase, std::uint64_t step, float cost) override;

private:
    // While the interpreter shuts down, a thread that takes the lock back is
    // ended on the spot (pthread_exit), and that forced unwind cannot pass
    // the noexcept frames of a running call: the process would abort. Only
    // daemon threads still run then, and such a thread waits here for the
    // process to end instead, as the interpreter's own daemon threads do.
    static void take_lock_back(PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030D0000
        const bool finalizing = Py_IsFinalizing() != 0;
#else
        const bool finalizing = _Py_IsFinalizing() != 0;
#endif
        while (finalizing) pause();
        PyEval_RestoreThread(state);
    }

    // Lets the lock go for one scope; `slot` keeps this thread's state for
    // the monitor to take the lock back with.
    class LockRelease {
    public:
        explicit LockRelease(PyThreadState*& slot) : slot_(slot) { slot_ = PyEval_SaveThread(); }
        ~LockRelease() { take_lock_back(std::exchange(slot_, nullptr)); }
        LockRelease(const LockRelease&) = delete;
        LockRelease& operator=(const LockRelease&) = delete;

    private:
        PyThreadState*& slot_;
    };
    // Holds the lock for one scope inside a released call; does nothing
    // when the call kept the lock.
    class LockTaken {
    public:
        explicit LockTaken(PyThreadState*& slot) : slot_(slot) {
            if (slot_ != nullptr) take_lock_back(slot_);
        }
        ~LockTaken() {
            if (slot_ != nullptr) slot_ = PyEval_SaveThread();
        }
        LockTaken(const LockTaken&) = delete;
        LockTaken& operator=(const LockTaken&) = delete;

    private:
        PyThreadState*& slot_;
    };

    // False, with RuntimeError set, once the watched array has changed.
    bool data_intact() const;

    Ref progress_;
    const ArrayWatch* data_;
    bool stopped_ = false;
    // This thread's state while the call runs without the lock, else null.
    PyThreadState* thread_ = nullptr;
    // Without the lock, stop checks come every few thousand points, and
    // taking the lock can wait a whole switch interval (5 ms) for a busy
    // Python thread; the interpreter is asked at most this often.
    std::chrono::steady_clock::time_point next_poll_{};
};

// Training may create the pool (lazily, at its first label step) and draws
// from `random`, or from the calling thread's generator when it is null.
engine::ExecutionContext training_context(engine::ThreadRandom* random, PythonMonitor& monitor);

// KMeans.train: the engine's entry checks, then the pool sized to
// `num_threads` when given, then the training, with the label steps
// QUORLA_LABEL_STEP and QUORLA_SCREEN ask for. A refused call never sizes
// the pool; a thread count the pool cannot take is an invalid parameter
// ("Thread setup failed: ...").
engine::Outcome<engine::ClusterLists> train(engine::Model& model, const engine::PointView& points,
                                            std::optional<std::uint64_t> num_threads, engine::ThreadRandom* random,
                                            PythonMonitor& monitor);

// KMeans.fine_tasks: the same checks and pool as train, then the coarse
// level of a hierarchical start, with the fine trainings left to the
// caller. A model that is not hierarchical, or has fewer than two levels'
// worth of clusters, is an invalid parameter.
engine::Outcome<std::vector<engine::FineTask>> fine_tasks(const engine::Model& model, const engine::PointView& points,
                                                          std::optional<std::uint64_t> num_threads,
                                                          engine::ThreadRandom* random, PythonMonitor& monitor);

// Assignment uses the pool only once it exists: creating it is training's
// business, whose thread setting decides its size. It draws nothing.
engine::ExecutionContext assignment_context(PythonMonitor& monitor);

// Whether assign and search may screen their scan, from QUORLA_SCREEN as
// training reads it (context.cpp), for the detected kernel level; the
// engine decides per call whether the shape pays (screens_top). Read with
// the interpreter lock held: it reads the process's environment.
engine::ScreenOptions query_screening(const engine::Model& model, const engine::PointView& points);

// Warns once per process (RuntimeWarning) that a hardware unit failed its
// self-check and is off; false if the warning was raised as an error. Call
// with the interpreter lock held.
bool warn_of_units_turned_off();

}  // namespace quorla::interface
