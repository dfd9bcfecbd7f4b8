// Times the full label step with and without the bf16 screen, on a float32
// .npy file (its first N rows) or seeded standard-normal data, in both
// metrics. The centroids are those of a short seeded training with full
// steps, so the step is timed where training runs it. Plain and screened
// steps alternate, and each one's best time is kept, so a busy machine
// slows both alike; the screened labels are checked against the plain ones.
// Prints, per metric, the ratio, the candidates per point, the share of
// points scored in full and what the automatic policy estimates the step
// to cost (screened_step.cpp).
//
// With TRAININGS > 0 it then times whole seeded trainings of that many
// iterations (adaptive label steps, as training runs by default) with the
// screen off and on, twice each, alternating, and checks that they end alike.
//
//   quorla_bench_screen (FILE.npy | N,D) ROWS K THREADS [REPEATS] [ITERATIONS] [UNIT] [TRAININGS]
//
// UNIT: a screen unit by name (amx, avx512_bf16 or bf16, emulated,
// amx_model; by default the tile unit, else AVX512_BF16, where the machine
// has them), or dimensions for the dimension screen, whose head is
// dimension_screen_head(D) unless QUORLA_BENCH_HEAD sets it.
// One JSON object per metric (and per metric's trainings) on stdout.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_data.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/label/label_step.hpp"
#include "engine/label/screened_step.hpp"
#include "engine/training.hpp"
#include "parallel/pool.hpp"

using namespace quorla;

namespace {

// QUORLA_KERNEL_LEVEL as the module reads it: a level the CPU has, or the detected one.
engine::KernelLevel bench_level() {
    if (const char* wanted = std::getenv("QUORLA_KERNEL_LEVEL")) {
        for (engine::KernelLevel level : engine::all_kernel_levels) {
            if (std::string(wanted) == engine::kernel_level_name(level) && engine::kernel_level_supported(level)) {
                return level;
            }
        }
    }
    return engine::detected_kernel_level();
}

// Whole trainings with the screen off and automatic, the best of two each.
bool time_trainings(const engine::PointView& view, std::size_t k, bool euclidean, std::uint64_t iterations,
                    parallel::PoolRegistry& pool, engine::ScreenUnit unit, engine::ScreenKind kind) {
    double best[2] = {1e300, 1e300};
    std::vector<std::uint64_t> labels[2];
    for (int round = 0; round < 2; ++round) {
        for (int screened = 0; screened < 2; ++screened) {
            engine::Model model = engine::Model::create(k);
            model.euclidean = euclidean;
            model.iterations = iterations;
            engine::ThreadRandom random(engine::seeded_entropy(7));
            const engine::ExecutionContext context{&pool, bench_level(), &random};
            engine::TrainingOptions options;
            // QUORLA_BENCH_FORCED=1: every full step and refresh screened, however slow.
            const bool forced = std::getenv("QUORLA_BENCH_FORCED") != nullptr;
            if (screened == 1) {
                options.screening = {forced ? engine::ScreenMode::forced : engine::ScreenMode::automatic, unit, kind};
            }
            const auto start = std::chrono::steady_clock::now();
            if (!engine::train(model, view, context, options).ok()) return false;
            best[screened] = std::min(
                best[screened], std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            labels[screened] = model.labels;
        }
    }
    const bool same = labels[0] == labels[1];
    std::printf("{\"training\": true, \"k\": %zu, \"metric\": \"%s\", \"iterations\": %lu, \"plain_seconds\": %.3f, "
                "\"screened_seconds\": %.3f, \"speedup\": %.3f, \"same_labels\": %s}\n",
                k, euclidean ? "euclidean" : "inner", iterations, best[0], best[1], best[0] / best[1],
                same ? "true" : "false");
    std::fflush(stdout);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s (FILE.npy | N,D) ROWS K THREADS [REPEATS] [ITERATIONS] [UNIT]\n", argv[0]);
        return 2;
    }
    const std::string source = argv[1];
    std::uint64_t n = 0, d = 0;
    Data data = std::sscanf(source.c_str(), "%lu,%lu", &n, &d) == 2 ? standard_normal(n, d) : load_npy(source);
    const std::uint64_t rows = std::min<std::uint64_t>(std::strtoull(argv[2], nullptr, 10), data.rows);
    const std::size_t k = std::strtoull(argv[3], nullptr, 10);
    const std::size_t threads = std::strtoull(argv[4], nullptr, 10);
    const int repeats = argc > 5 ? std::atoi(argv[5]) : 5;
    const std::uint64_t iterations = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 5;
    engine::ScreenUnit unit = engine::ScreenUnit::emulated;
    for (const engine::ScreenUnit hardware : {engine::ScreenUnit::avx512_bf16, engine::ScreenUnit::amx}) {
        if (engine::screen_unit_supported(hardware)) unit = hardware;
    }
    const bool dimensions = argc > 7 && std::string(argv[7]) == "dimensions";
    if (argc > 7 && !dimensions) {
        const std::string wanted = std::string(argv[7]) == "bf16" ? "avx512_bf16" : argv[7];
        bool found = false;
        for (const engine::ScreenUnit named : engine::all_screen_units) {
            if (wanted == engine::screen_unit_name(named)) unit = named, found = true;
        }
        if (!found || !engine::screen_unit_supported(unit)) {
            std::fprintf(stderr, "screen unit %s is not available here\n", argv[7]);
            return 2;
        }
    }
    const char* head_wanted = std::getenv("QUORLA_BENCH_HEAD");
    const std::size_t head = head_wanted != nullptr ? std::strtoull(head_wanted, nullptr, 10)
                                                    : engine::dimension_screen_head(data.cols);
    const std::uint64_t training_iterations = argc > 8 ? std::strtoull(argv[8], nullptr, 10) : 0;

    parallel::PoolRegistry pool;
    if (pool.configure(threads)) return 1;
    const engine::PointView view{data.values.data(), rows, data.cols, static_cast<std::int64_t>(data.cols), 1};
    const engine::KernelLevel level = bench_level();
    const auto basis_start = std::chrono::steady_clock::now();
    const engine::DimensionBasis basis(engine::principal_axes(engine::ExecutionContext{}, view, head), level);
    const double basis_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - basis_start).count();
    for (const bool euclidean : {true, false}) {
        engine::Model model = engine::Model::create(k);
        model.euclidean = euclidean;
        model.iterations = iterations;
        engine::ThreadRandom random(engine::seeded_entropy(7));
        const engine::ExecutionContext context{&pool, level, &random};
        if (!engine::train(model, view, context, {engine::LabelStepMode::full, nullptr, {}}).ok()) return 1;
        model.trained = false;
        const engine::TrainingState state = engine::TrainingState::start(view, euclidean, context);

        engine::Model plain = model, screened = model;
        double plain_best = 1e300, screened_best = 1e300;
        engine::ScreenWork work;
        auto timed = [](auto&& step) {
            const auto start = std::chrono::steady_clock::now();
            step();
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        engine::update_labels(plain, state, context);  // warm-up: pages, caches, pool
        for (int r = 0; r < repeats; ++r) {
            plain_best = std::min(plain_best, timed([&] { engine::update_labels(plain, state, context); }));
            screened_best = std::min(
                screened_best, timed([&] {
                    work = dimensions ? engine::screened_update_labels(screened, state, context, basis)
                                      : engine::screened_update_labels(screened, state, context, unit);
                }));
        }
        const bool same = plain.labels == screened.labels && plain.cluster_sizes == screened.cluster_sizes;
        const double points = static_cast<double>(work.points);
        std::printf(
            "{\"rows\": %lu, \"dim\": %lu, \"k\": %zu, \"metric\": \"%s\", \"threads\": %zu, \"level\": \"%s\", "
            "\"unit\": \"%s\", \"plain_seconds\": %.4f, \"screened_seconds\": %.4f, \"speedup\": %.3f, "
            "\"candidates_per_point\": %.3f, \"candidates_per_settled_point\": %.3f, \"full_share\": %.4f, "
            "\"estimated_cost\": %.3f, \"head\": %zu, \"basis_seconds\": %.3f, \"same_labels\": %s}\n",
            rows, data.cols, k, euclidean ? "euclidean" : "inner", threads, engine::kernel_level_name(level),
            dimensions ? "dimensions" : engine::screen_unit_name(unit), plain_best, screened_best, plain_best / screened_best,
            static_cast<double>(work.candidates) / points,
            work.settled > 0 ? static_cast<double>(work.candidates) / static_cast<double>(work.settled) : 0.0,
            static_cast<double>(work.full) / points,
            engine::ScreenPolicy::cost(work, k, dimensions ? head : 0, data.cols),
            dimensions ? head : std::size_t{0}, dimensions ? basis_seconds : 0.0, same ? "true" : "false");
        std::fflush(stdout);
        if (!same) return 1;
        if (training_iterations > 0 && !time_trainings(view, k, euclidean, training_iterations, pool, unit,
                                                       dimensions ? engine::ScreenKind::dimensions
                                                                  : engine::ScreenKind::bf16)) return 1;
    }
    return 0;
}
