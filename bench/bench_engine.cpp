// Times the engine's balancing phase and medoid update against the
// straightforward reference versions (tests/cpp/reference.hpp), on
// seeded data, and checks that both give identical results.
//
//   bench_engine [n d k] for the balanced case; the medoid case is fixed at
//   n = 20,000, d = 32, k = 20 unless given as the next three numbers.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "engine/balancing/balancing.hpp"
#include "engine/kernels/dot.hpp"
#include "engine/updates/medoids.hpp"
#include "engine/training.hpp"
#include "parallel/pool.hpp"
#include "reference.hpp"

using namespace quorla;
using engine::Model;
using engine::PointView;

namespace {

struct Data {
    std::vector<float> values;
    PointView view;
};

// Clusters of very different sizes, so that balancing has work to do.
Data skewed(std::size_t n, std::size_t d, std::uint32_t seed) {
    Data data{std::vector<float>(n * d), {}};
    std::mt19937 engine(seed);
    std::normal_distribution<float> normal;
    std::vector<float> centres(16 * d);
    for (float& v : centres) v = 4.0f * normal(engine);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t source = std::min<std::size_t>(15, static_cast<std::size_t>(std::abs(normal(engine)) * 4));
        for (std::size_t j = 0; j < d; ++j) data.values[i * d + j] = centres[source * d + j] + normal(engine);
    }
    data.view = {data.values.data(), n, d, static_cast<std::int64_t>(d), 1};
    return data;
}

template <class Fn>
double seconds(Fn fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

parallel::PoolRegistry& pool() {
    static parallel::PoolRegistry registry;
    return registry;
}

engine::ExecutionContext context(engine::ThreadRandom* random = nullptr) {
    return {&pool(), engine::detected_kernel_level(), random};
}

// A model as the training driver leaves it before balancing.
Model lloyd_state(const Data& data, std::size_t k, bool euclidean, bool medoids) {
    Model model = Model::create(k);
    model.euclidean = euclidean;
    model.use_medoids = medoids;
    model.iterations = 5;
    engine::ThreadRandom random;
    if (!engine::train(model, data.view, context(&random)).ok()) std::abort();
    model.trained = false;
    return model;
}

void row(const char* what, double fast, double slow, bool same) {
    std::printf("| %-44s | %9.3f | %9.3f | %6.1fx | %-9s |\n", what, fast, slow, slow / fast,
                same ? "identical" : "DIFFERENT");
}

// Times the balancing phase from the Lloyd state of `data` against the
// reference and prints its row; the two must agree on labels, centroids
// and medoids.
void balancing_row(const char* what, const Data& data, std::size_t k, bool medoids) {
    const Model start = lloyd_state(data, k, true, medoids);
    const engine::TrainingState state = engine::TrainingState::start(data.view, true);
    Model fast = start, slow = start;
    const double t_fast = seconds([&] { engine::balance_clusters(fast, state, context()); });
    const double t_slow =
        seconds([&] { reference::balance(slow, data.view, state.point_norms, engine::detected_kernel_level()); });
    char label[64];
    std::snprintf(label, sizeof label, "%s, n=%zu d=%zu k=%zu", what, static_cast<std::size_t>(data.view.rows),
                  static_cast<std::size_t>(data.view.cols), k);
    row(label, t_fast, t_slow,
        fast.labels == slow.labels && *fast.centroids == *slow.centroids && fast.medoid_indices == slow.medoid_indices);
}

}  // namespace

int main(int argc, char** argv) {
    auto arg = [&](int i, std::size_t fallback) {
        return argc > i ? static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
    };
    const std::size_t n = arg(1, 100000), d = arg(2, 64), k = arg(3, 256);
    const std::size_t mn = arg(4, 20000), md = arg(5, 32), mk = arg(6, 20);
    std::printf("worker threads: %zu\n\n", pool().thread_count());
    std::printf("| %-44s | %9s | %9s | %7s | %-9s |\n", "step", "fast s", "slow s", "speedup", "results");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(9, '-').c_str(), std::string(11, '-').c_str());

    balancing_row("balancing, Euclidean", skewed(n, d, 1), k, false);
    {
        const Data data = skewed(mn, md, 2);
        const Model start = lloyd_state(data, mk, true, true);
        Model fast = start, slow = start;
        const double t_fast = seconds([&] { engine::update_medoids(fast, data.view, context()); });
        const double t_slow = seconds([&] { reference::update_medoids(slow, data.view); });
        char label[64];
        std::snprintf(label, sizeof label, "update_medoids, n=%zu d=%zu k=%zu", mn, md, mk);
        row(label, t_fast, t_slow, fast.medoid_indices == slow.medoid_indices);
    }
    balancing_row("medoid balancing", skewed(std::min<std::size_t>(mn, 5000), md, 3), mk, true);
    return 0;
}
