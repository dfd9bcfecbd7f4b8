// Times whole trainings with the bounded label step and with the full one,
// on a float32 .npy file or seeded standard-normal data, and prints each
// label step's share of the point-centroid distances it computed. Both runs
// draw from the same seed, so they must end with the same labels and
// centroids; the digest line shows that they do. "forced" keeps bounded
// steps on where the policy would drop them; each step's counts (points
// tested, own distances tightened, rows packed, group results, keys) are
// what step_policy.cpp's cost model was fitted to.
//
//   quorla_bench_bounds (FILE.npy | N,D) K (euclidean | inner) ITERATIONS THREADS [all | full | bounded | forced]
//                       [screened | no-bf16] [hierarchical]
//
// "screened" lets the full steps through the bf16 screen where the
// automatic choice would take it (the detected unit; none without one).
// "no-bf16" makes the automatic choice as a CPU without a bf16 unit does:
// the dimension screen where it pays. QUORLA_KERNEL_LEVEL picks the level
// as the module's does (kernel_level_name), so that with "no-bf16" an
// AVX-512 machine runs what an AVX2-only one does.
// "hierarchical" starts from the coarse and fine levels.
//
// One JSON object per training on stdout.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_data.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/screen/bf16_screen.hpp"
#include "engine/core/random.hpp"
#include "engine/training.hpp"
#include "parallel/pool.hpp"

using namespace quorla;

namespace {

std::uint64_t digest(const engine::Model& model) {
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&](const void* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) h = (h ^ static_cast<const unsigned char*>(bytes)[i]) * 1099511628211ull;
    };
    mix(model.labels.data(), model.labels.size() * sizeof(std::uint64_t));
    mix(model.centroids->data(), model.centroids->values().size() * sizeof(float));
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc > 9) {
        std::fprintf(stderr,
                     "usage: %s (FILE.npy | N,D) K (euclidean | inner) ITERATIONS THREADS [all | full | bounded | forced] "
                     "[screened | no-bf16] [hierarchical]\n",
                     argv[0]);
        return 2;
    }
    const std::string source = argv[1];
    std::uint64_t n = 0, d = 0;
    const Data data = std::sscanf(source.c_str(), "%lu,%lu", &n, &d) == 2 ? standard_normal(n, d) : load_npy(source);
    const std::uint64_t k = std::strtoull(argv[2], nullptr, 10);
    const bool euclidean = std::strcmp(argv[3], "euclidean") == 0;
    const std::uint64_t iterations = std::strtoull(argv[4], nullptr, 10);
    const std::size_t threads = std::strtoull(argv[5], nullptr, 10);

    parallel::PoolRegistry pool;
    if (pool.configure(threads)) return 1;
    const engine::PointView view{data.values.data(), data.rows, data.cols, static_cast<std::int64_t>(data.cols), 1};
    std::string only = argc >= 7 ? argv[6] : "";
    if (only == "all") only.clear();
    engine::ScreenOptions screen;
    bool hierarchical = false;
    for (int a = 7; a < argc; ++a) hierarchical = hierarchical || std::strcmp(argv[a], "hierarchical") == 0;
    engine::KernelLevel level = engine::detected_kernel_level();
    if (const char* wanted = std::getenv("QUORLA_KERNEL_LEVEL")) {
        for (engine::KernelLevel l : engine::all_kernel_levels) {
            if (std::strcmp(wanted, engine::kernel_level_name(l)) == 0 && engine::kernel_level_supported(l)) level = l;
        }
    }
    if (argc >= 8 && std::strcmp(argv[7], "screened") == 0) {
        const std::optional<engine::ScreenUnit> unit = engine::detected_screen_unit(level);
        if (unit) screen = {engine::ScreenMode::automatic, *unit};
    }
    if (argc >= 8 && std::strcmp(argv[7], "no-bf16") == 0) {
        screen = {engine::ScreenMode::automatic, engine::ScreenUnit::emulated, engine::ScreenKind::dimensions};
    }
    // "forced": bounded steps whether or not the policy finds they pay.
    const bool forced = only == "forced";
    if (forced) only = "bounded";
    for (const bool bounded : {false, true}) {
        if (!only.empty() && only != (bounded ? "bounded" : "full")) continue;
        engine::Model model = engine::Model::create(k);
        model.euclidean = euclidean;
        model.iterations = iterations;
        model.hierarchical = hierarchical;
        engine::ThreadRandom random(engine::seeded_entropy(7));
        std::vector<engine::LabelStepShare> shares;
        const engine::ExecutionContext context{&pool, level, &random};
        const engine::LabelStepMode mode =
            !bounded ? engine::LabelStepMode::full : forced ? engine::LabelStepMode::bounded : engine::LabelStepMode::adaptive;
        const engine::TrainingOptions options{mode, &shares, screen};
        const auto start = std::chrono::steady_clock::now();
        if (!engine::train(model, view, context, options).ok()) return 1;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("{\"label_step\": \"%s\", \"rows\": %lu, \"dim\": %lu, \"k\": %lu, \"metric\": \"%s\", "
                    "\"iterations\": %lu, \"threads\": %zu, \"seconds\": %.3f, \"digest\": \"%016lx\", \"shares\": [",
                    bounded ? "bounded" : "full", data.rows, data.cols, k, euclidean ? "euclidean" : "inner",
                    iterations, threads, seconds, digest(model));
        for (std::size_t s = 0; s < shares.size(); ++s) {
            std::printf("%s%.4f", s == 0 ? "" : ", ",
                        static_cast<double>(shares[s].distances) / static_cast<double>(shares[s].possible));
        }
        // One array per counter of the steps, in step order.
        auto counts = [&](const char* name, std::uint64_t engine::LabelStepShare::*count) {
            std::printf("], \"%s\": [", name);
            for (std::size_t s = 0; s < shares.size(); ++s) {
                std::printf("%s%llu", s == 0 ? "" : ", ", static_cast<unsigned long long>(shares[s].*count));
            }
        };
        counts("tested", &engine::LabelStepShare::tested);
        counts("tightened", &engine::LabelStepShare::tightened);
        counts("packed", &engine::LabelStepShare::packed);
        counts("group_results", &engine::LabelStepShare::group_results);
        counts("distances", &engine::LabelStepShare::distances);
        std::printf("], \"step_seconds\": [");
        for (std::size_t s = 0; s < shares.size(); ++s) std::printf("%s%.4f", s == 0 ? "" : ", ", shares[s].seconds);
        std::printf("]}\n");
        std::fflush(stdout);
    }
    return 0;
}
