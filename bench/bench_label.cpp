// Times the label step (update_labels) at every kernel level the machine
// has, on seeded standard-normal data, and counts the heap allocations and
// peak heap bytes of one label step and one top-10 assignment at two point
// counts, to show that neither grows with the number of points. Prints one
// JSON object per line for bench/suite.py.
//
//   quorla_bench_label N D K THREADS [REPEATS]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "engine/assignment.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/label/label_step.hpp"
#include "parallel/pool.hpp"

namespace {

std::atomic<long long> allocations{0};
std::atomic<long long> live_bytes{0};
std::atomic<long long> peak_bytes{0};

// Every allocation carries its size in front, so frees can be counted too.
constexpr std::size_t header = 16;

void* counted_allocate(std::size_t size) {
    void* block = std::malloc(size + header);
    if (block == nullptr) throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = size;
    allocations.fetch_add(1, std::memory_order_relaxed);
    const long long now = live_bytes.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size);
    long long peak = peak_bytes.load();
    while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(block) + header;
}

void counted_free(void* p) noexcept {
    if (p == nullptr) return;
    void* block = static_cast<char*>(p) - header;
    live_bytes.fetch_sub(static_cast<long long>(*static_cast<std::size_t*>(block)));
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

using namespace quorla;
using engine::KernelLevel;
using engine::Model;
using engine::PointView;

namespace {

struct Counts {
    long long allocations;
    long long peak_bytes;
};

// Allocations and the peak of extra live heap bytes during fn().
template <class Fn>
Counts count(Fn fn) {
    const long long before_count = allocations.load();
    const long long before_live = live_bytes.load();
    peak_bytes.store(before_live);
    fn();
    return {allocations.load() - before_count, peak_bytes.load() - before_live};
}

template <class Fn>
double best_seconds(int repeats, Fn fn) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s N D K THREADS [REPEATS]\n", argv[0]);
        return 2;
    }
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    const std::size_t d = std::strtoull(argv[2], nullptr, 10);
    const std::size_t k = std::strtoull(argv[3], nullptr, 10);
    const std::size_t threads = std::strtoull(argv[4], nullptr, 10);
    const int repeats = argc > 5 ? std::atoi(argv[5]) : 3;

    std::vector<float> values(n * d);
    std::mt19937 engine(42);
    std::normal_distribution<float> normal;
    for (float& v : values) v = normal(engine);
    const PointView points{values.data(), n, d, static_cast<std::int64_t>(d), 1};
    const PointView quarter{values.data(), n / 4, d, static_cast<std::int64_t>(d), 1};

    engine::Matrix centroids(k, d);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = 0; l < d; ++l) centroids.row(j)[l] = values[(j * 7 % n) * d + l];

    parallel::PoolRegistry pool;
    if (auto failure = pool.configure(threads)) {
        std::fprintf(stderr, "pool: %s\n", failure->c_str());
        return 1;
    }
    const double flops = 2.0 * static_cast<double>(n) * static_cast<double>(k) * static_cast<double>(d);
    std::printf("{\"detected\": \"%s\"}\n", engine::kernel_level_name(engine::detected_kernel_level()));

    for (KernelLevel level : engine::all_kernel_levels) {
        if (!engine::kernel_level_supported(level)) continue;
        // The scalar oracle is an order of magnitude slower; a slice of the
        // points gives its rate without dominating the run.
        const PointView& timed = level == KernelLevel::scalar ? quarter : points;
        const double timed_flops = level == KernelLevel::scalar ? flops * static_cast<double>(n / 4) / static_cast<double>(n) : flops;
        for (bool euclidean : {true, false}) {
            Model model = Model::create(k);
            model.euclidean = euclidean;
            model.centroids = centroids;
            model.cluster_sizes.assign(k, 0.0f);
            const engine::TrainingState state = engine::TrainingState::start(timed, euclidean);
            const engine::ExecutionContext context{&pool, level, nullptr};
            engine::update_labels(model, state, context);  // warm-up: pages, caches, pool
            const double seconds = best_seconds(level == KernelLevel::scalar ? 1 : repeats,
                                                [&] { engine::update_labels(model, state, context); });
            std::printf("{\"level\": \"%s\", \"mode\": \"%s\", \"seconds\": %.6f, \"gflops\": %.3f}\n",
                        engine::kernel_level_name(level), euclidean ? "euclidean" : "inner", seconds,
                        timed_flops / seconds / 1e9);
        }
    }

    // Heap use of one label step and one top-10 assignment at the detected
    // level, at n and n/4 points. Outputs (labels, lists) are O(n) by
    // nature; everything else must not depend on n.
    for (bool euclidean : {true, false}) {
        for (const PointView* view : {&points, &quarter}) {
            Model model = Model::create(k);
            model.euclidean = euclidean;
            model.centroids = centroids;
            model.cluster_sizes.assign(k, 0.0f);
            const engine::TrainingState state = engine::TrainingState::start(*view, euclidean);
            const engine::KernelLevel detected = engine::detected_kernel_level();
            const Counts label = count([&] { engine::update_labels(model, state, {&pool, detected, nullptr}); });
            model.trained = true;
            // On the calling thread, as assignment runs before training has
            // brought up the pool.
            const Counts top = count([&] { (void)engine::assign(model, *view, 10, {nullptr, detected, nullptr}); });
            std::printf(
                "{\"heap\": \"%s\", \"n\": %zu, \"label_allocations\": %lld, \"label_peak_bytes\": %lld, "
                "\"assign_allocations\": %lld, \"assign_peak_bytes\": %lld}\n",
                euclidean ? "euclidean" : "inner", static_cast<std::size_t>(view->rows), label.allocations,
                label.peak_bytes, top.allocations, top.peak_bytes);
        }
    }
    return 0;
}
