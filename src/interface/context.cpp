// The execution contexts of training and assignment.
#include "interface/context.hpp"

#include <sys/sysinfo.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "engine/core/fault.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/core/random.hpp"
#include "parallel/pool.hpp"

namespace quorla::interface {
namespace {

// A tenth of the pool's own poll interval: Ctrl-C still ends a released
// call about as promptly as one that keeps the lock.
constexpr std::chrono::milliseconds kReleasedPollInterval{10};

// Memory and swap together: what the kernel's overcommit heuristic itself
// measures an allocation against. Unknown means unbounded.
std::uint64_t machine_memory_bytes() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return UINT64_MAX;
    const unsigned __int128 total =
        (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * (info.mem_unit == 0 ? 1 : info.mem_unit);
    return total > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(total);
}

bool equals(const char* value, const char* wanted) { return value != nullptr && std::strcmp(value, wanted) == 0; }

// QUORLA_KERNEL_LEVEL=scalar, avx2, avx512 or neon runs the kernels at that
// level where the CPU has it, so that one machine can measure and check the
// levels below its own; anything else, or a level the CPU lacks, leaves the
// detected one. Results are those the level gives on any CPU.
engine::KernelLevel kernel_level() {
    const char* wanted = std::getenv("QUORLA_KERNEL_LEVEL");
    if (wanted != nullptr) {
        for (engine::KernelLevel level : engine::all_kernel_levels) {
            if (equals(wanted, engine::kernel_level_name(level)) && engine::kernel_level_supported(level)) return level;
        }
    }
    return engine::detected_kernel_level();
}

// QUORLA_SCREEN=off turns the screens off, and =emulated, =bf16, =amx or
// =amx-model screens every full label step, every refresh of the bounded
// step and every top-k scan of assign and search with that unit (=bf16 and
// =amx leave it off on a machine without AVX512_BF16 or a working tile
// unit; =amx-model runs the tile unit's software model, slowly, anywhere);
// =dimensions screens every full label step, every refresh and every
// top-k scan through the dimension screen; =no-bf16 leaves the choice
// automatic but as on a CPU without a bf16 unit (an AVX2-only one, say).
// Unset, the bf16 screen runs with the detected unit where it pays, and
// the dimension screen where no unit does. Benchmarks
// and tests run each way; the results are the same in every case. The
// unit is measured (detected_screen_unit) only for a shape the automatic
// choice may screen: a small model allocates nothing for it.
engine::ScreenOptions screen_options(engine::KernelLevel level, std::size_t n_clusters, std::size_t dim) {
    const char* screen = std::getenv("QUORLA_SCREEN");
    if (equals(screen, "emulated")) return {engine::ScreenMode::forced, engine::ScreenUnit::emulated};
    if (equals(screen, "dimensions")) {
        return {engine::ScreenMode::forced, engine::ScreenUnit::emulated, engine::ScreenKind::dimensions};
    }
    if (equals(screen, "amx-model")) return {engine::ScreenMode::forced, engine::ScreenUnit::amx_model};
    for (const auto [name, unit] : {std::pair{"bf16", engine::ScreenUnit::avx512_bf16},
                                    std::pair{"amx", engine::ScreenUnit::amx}}) {
        if (!equals(screen, name)) continue;
        if (engine::screen_unit_supported(unit)) return {engine::ScreenMode::forced, unit};
        return {};
    }
    if (!equals(screen, "off") && engine::ScreenPolicy::shape_pays(n_clusters, dim)) {
        std::optional<engine::ScreenUnit> unit;
        if (!equals(screen, "no-bf16")) unit = engine::detected_screen_unit(level);
        if (unit) return {engine::ScreenMode::automatic, *unit};
        return {engine::ScreenMode::automatic, engine::ScreenUnit::emulated, engine::ScreenKind::dimensions};
    }
    return {};
}

// QUORLA_LABEL_STEP=full turns the bounded label step off and =bounded
// keeps it on even where it is slower; QUORLA_SCREEN as above.
engine::TrainingOptions training_options(engine::KernelLevel level, const engine::Model& model,
                                         const engine::PointView& points) {
    engine::TrainingOptions options;
    const char* steps = std::getenv("QUORLA_LABEL_STEP");
    if (equals(steps, "full")) options.label_steps = engine::LabelStepMode::full;
    if (equals(steps, "bounded")) options.label_steps = engine::LabelStepMode::bounded;
    options.screening = screen_options(level, model.n_clusters, points.cols);
    return options;
}

}  // namespace

bool PythonMonitor::data_intact() const {
    if (data_ == nullptr || data_->unchanged()) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "The data array was resized or its memory replaced during the call; "
                    "keep it unchanged until the call returns");
    return false;
}

bool PythonMonitor::stop_requested() {
    if (stopped_) return true;
    if (thread_ != nullptr) {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll_) return false;
        next_poll_ = now + kReleasedPollInterval;
    }
    // Signal handlers run only on the main thread; elsewhere this checks
    // the array alone.
    const LockTaken held(thread_);
    if (PyErr_CheckSignals() < 0 || !data_intact()) stopped_ = true;
    return stopped_;
}

bool PythonMonitor::report(engine::ProgressPhase phase, std::uint64_t step, float cost) {
    if (stopped_) return false;
    if (!progress_) return true;
    const char* name = phase == engine::ProgressPhase::iteration   ? "iteration"
                       : phase == engine::ProgressPhase::balancing ? "balancing"
                       : phase == engine::ProgressPhase::coarse    ? "coarse"
                                                                   : "fine";
    const LockTaken held(thread_);
    Ref result = Ref::adopt(PyObject_CallFunction(progress_.get(), "sKd", name,
                                                  static_cast<unsigned long long>(step), static_cast<double>(cost)));
    if (!result || !data_intact()) stopped_ = true;
    return !stopped_;
}

engine::ExecutionContext training_context(engine::ThreadRandom* random, PythonMonitor& monitor) {
    engine::ExecutionContext context{&parallel::global_registry(), kernel_level(),
                                     random != nullptr ? random : &engine::thread_random(), machine_memory_bytes(),
                                     &monitor};
    return context;
}

namespace {

// The entry checks, then the pool sized to `num_threads` when given: what
// train and fine_tasks do before any work.
std::optional<engine::ClusteringError> accept(const engine::Model& model, const engine::PointView& points,
                                              std::optional<std::uint64_t> num_threads,
                                              const engine::ExecutionContext& context) {
    if (std::optional<engine::ClusteringError> refused = engine::refuse_training(model, points, context)) {
        return refused;
    }
    // Only an accepted call sizes the pool; a refused one leaves it as it was.
    if (num_threads) {
        if (context.pool == nullptr) raise_fault("A thread count was given without a pool to configure");
        if (std::optional<std::string> failure = context.pool->configure(*num_threads)) {
            return engine::ClusteringError::invalid_parameter("Thread setup failed: " + *failure);
        }
    }
    return std::nullopt;
}

}  // namespace

engine::Outcome<engine::ClusterLists> train(engine::Model& model, const engine::PointView& points,
                                            std::optional<std::uint64_t> num_threads, engine::ThreadRandom* random,
                                            PythonMonitor& monitor) {
    const engine::ExecutionContext context = training_context(random, monitor);
    if (std::optional<engine::ClusteringError> refused = accept(model, points, num_threads, context)) return *refused;
    return engine::run_training(model, points, context, training_options(context.level, model, points));
}

engine::Outcome<std::vector<engine::FineTask>> fine_tasks(const engine::Model& model, const engine::PointView& points,
                                                          std::optional<std::uint64_t> num_threads,
                                                          engine::ThreadRandom* random, PythonMonitor& monitor) {
    // The tasks stand for the start of a hierarchical training alone: a
    // flat model's training would not begin from them.
    if (!model.hierarchical) {
        return engine::ClusteringError::invalid_parameter("Fine tasks are those of a hierarchical model");
    }
    if (engine::coarse_clusters(model.n_clusters) == 0) {
        return engine::ClusteringError::invalid_parameter("A hierarchical start needs at least 64 clusters");
    }
    // Medoid mode is refused by the training's own entry checks.
    const engine::ExecutionContext context = training_context(random, monitor);
    if (std::optional<engine::ClusteringError> refused = accept(model, points, num_threads, context)) return *refused;
    std::vector<engine::FineTask> tasks =
        engine::fine_tasks(model, points, context, training_options(context.level, model, points));
    for (engine::FineTask& task : tasks) task.model.release_gil = model.release_gil;
    return tasks;
}

engine::ExecutionContext assignment_context(PythonMonitor& monitor) {
    parallel::PoolRegistry& registry = parallel::global_registry();
    const bool ready = registry.state() == parallel::PoolState::created;
    return {ready ? &registry : nullptr, kernel_level(), nullptr, machine_memory_bytes(), &monitor};
}

bool warn_of_units_turned_off() {
    static bool warned = false;  // read and set with the interpreter lock held
    if (warned || !engine::amx_unit_failed_check()) return true;
    warned = true;
    return PyErr_WarnEx(PyExc_RuntimeWarning,
                        "quorla: the AMX unit's results differed from its model on a self-check; it is off for this "
                        "process and the other units carry on",
                        1) == 0;
}

engine::ScreenOptions query_screening(const engine::Model& model, const engine::PointView& points) {
    return screen_options(kernel_level(), model.n_clusters, points.cols);
}

}  // namespace quorla::interface
