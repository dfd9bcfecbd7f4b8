// Prints a digest of everything a seeded training and the assignments after
// it produce, for a grid of modes, shapes, layouts and kernel levels: labels,
// centroid bits, medoids, the verbose cost lines (they go to the same
// stdout), every key against the trained centroids, and assignment lists.
// Two builds that print the same text compute the same bits; run it once per
// pool size, since the pool is sized once per process. The vector levels
// print the same text as each other, on any architecture; scripts/
// cross_aarch64.sh holds NEON under emulation to what AVX2 and AVX-512 print
// natively.
//
//   quorla_fingerprint THREADS > digest.txt
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/assignment.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/core/random.hpp"
#include "engine/scan/scan.hpp"
#include "engine/training.hpp"
#include "parallel/pool.hpp"

using namespace quorla;
using engine::KernelLevel;
using engine::Model;
using engine::PointView;

namespace {

struct Digest {
    std::uint64_t state = 1469598103934665603ull;
    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) state = (state ^ p[i]) * 1099511628211ull;
    }
    template <class T>
    void values(const std::vector<T>& v) {
        const std::uint64_t size = v.size();
        bytes(&size, sizeof size);
        if (!v.empty()) bytes(v.data(), v.size() * sizeof(T));
    }
};

engine::ThreadRandom seeded(std::uint8_t seed) {
    auto counter = std::make_shared<std::uint8_t>(0);
    return engine::ThreadRandom([seed, counter](std::span<std::uint8_t, 32> out, std::string&) {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(seed + i + 31 * *counter);
        ++*counter;
        return true;
    });
}

struct Data {
    std::vector<float> storage;
    PointView view;
};

enum class Layout { rows, transposed, strided };

// Blobs plus exact duplicates (so that the repair runs), row-major, stored
// column-major and read through a transposed view, or every other column of
// a wider matrix stored bottom row first (negative row stride).
Data make_data(std::size_t n, std::size_t d, std::uint32_t seed, Layout layout) {
    std::mt19937 engine(seed);
    std::normal_distribution<float> normal;
    std::vector<float> rows(n * d);
    std::vector<float> centres(8 * d);
    for (float& v : centres) v = 3.0f * normal(engine);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t source = i % 8;
        for (std::size_t j = 0; j < d; ++j) rows[i * d + j] = centres[source * d + j] + normal(engine);
    }
    for (std::size_t i = n / 2; i < n / 2 + n / 10; ++i) std::memcpy(&rows[i * d], &rows[0], d * sizeof(float));
    Data data;
    switch (layout) {
        case Layout::rows:
            data.storage = std::move(rows);
            data.view = {data.storage.data(), n, d, static_cast<std::int64_t>(d), 1};
            break;
        case Layout::transposed:
            data.storage.resize(n * d);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < d; ++j) data.storage[j * n + i] = rows[i * d + j];
            data.view = {data.storage.data(), n, d, 1, static_cast<std::int64_t>(n)};
            break;
        case Layout::strided: {
            const std::size_t width = 2 * d + 3;
            data.storage.assign(n * width, -1.0f);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < d; ++j) data.storage[(n - 1 - i) * width + 2 * j] = rows[i * d + j];
            data.view = {data.storage.data() + (n - 1) * width, n, d, -static_cast<std::int64_t>(width), 2};
            break;
        }
    }
    return data;
}

struct Case {
    std::size_t n, d, k;
    bool euclidean, balanced, medoids;
    Layout layout;
    std::uint64_t max_diff;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s THREADS\n", argv[0]);
        return 2;
    }
    parallel::PoolRegistry pool;
    if (auto failure = pool.configure(std::strtoull(argv[1], nullptr, 10))) {
        std::fprintf(stderr, "pool: %s\n", failure->c_str());
        return 2;
    }
    constexpr Layout rows = Layout::rows, transposed = Layout::transposed, strided = Layout::strided;
    // The later cases have fewer points than a tile at some level (16 or
    // 48), or a short last tile on the pool, in every layout; the three
    // before the last have enough dimensions for fewer clusters than a
    // panel's width to get a narrow panel, and the last has centroids enough
    // for the scans to meet them in blocks (five of 64 at d = 1,024).
    const std::vector<Case> cases = {
        {1500, 17, 13, true, false, false, rows, 16},      {1500, 17, 13, false, false, false, transposed, 16},
        {1200, 64, 40, true, true, false, rows, 4},        {1200, 64, 40, false, true, false, transposed, 4},
        {600, 9, 7, true, false, true, rows, 16},          {600, 9, 7, false, true, true, transposed, 3},
        {300, 5, 6, true, true, true, rows, 2},            {500, 1, 3, false, false, false, rows, 16},
        {333, 31, 50, false, true, false, rows, 1},        {40, 3, 40, true, false, false, rows, 16},
        {2000, 130, 1, true, true, false, transposed, 16}, {5, 300, 2, true, false, false, rows, 16},
        {5, 300, 2, false, false, false, strided, 16},     {12, 37, 3, true, true, false, strided, 1},
        {15, 129, 4, false, false, true, transposed, 16},  {47, 20, 5, true, true, false, transposed, 1},
        {3, 4000, 3, true, false, true, strided, 16},      {2, 70, 2, false, true, false, rows, 1},
        {100, 33, 9, false, false, false, strided, 16},    {700, 21, 30, true, true, false, strided, 2},
        {6, 5000, 3, true, true, false, strided, 1},       {60, 4100, 2, false, false, true, rows, 16},
        {130, 4500, 5, true, false, false, transposed, 16}, {400, 1024, 280, false, false, false, transposed, 16},
    };
    for (KernelLevel level : engine::all_kernel_levels) {
        if (!engine::kernel_level_supported(level)) continue;
        for (std::size_t c = 0; c < cases.size(); ++c) {
            const Case& t = cases[c];
            Data data = make_data(t.n, t.d, static_cast<std::uint32_t>(c + 1), t.layout);
            Model model = Model::create(t.k);
            model.euclidean = t.euclidean;
            model.balanced = t.balanced;
            model.use_medoids = t.medoids;
            model.max_balance_diff = t.max_diff;
            model.iterations = 6;
            model.verbose = true;
            std::printf("case %zu level %s\n", c, engine::kernel_level_name(level));
            std::fflush(stdout);
            engine::ThreadRandom random = seeded(static_cast<std::uint8_t>(7 * c + 1));
            const engine::ExecutionContext context{&pool, level, &random};
            auto outcome = engine::train(model, data.view, context);
            if (!outcome.ok()) {
                std::printf("error %s\n", outcome.error().message().c_str());
                continue;
            }
            Digest trained;
            trained.values(model.labels);
            trained.values(model.medoid_indices);
            if (model.centroids) {
                std::vector<float> bits(model.centroids->values().begin(), model.centroids->values().end());
                trained.values(bits);
            }
            for (const auto& list : outcome.value()) trained.values(list);
            std::printf("trained %016llx\n", static_cast<unsigned long long>(trained.state));
            if (model.centroids) {
                // Every key of every point against the trained centroids, to
                // the bit. The choices above only show a dot where it decides
                // a near-tie, so levels whose sums differ still print the
                // same choices in most cases; these bits separate the scalar
                // oracle's sums from the vector levels' one FMA chain, which
                // must give the same bits on every instruction set.
                const engine::CentroidPanels panels(*model.centroids, model.n_clusters, model.euclidean, level);
                std::vector<float> keys(t.n * t.k);
                engine::KeysSink sink(keys);
                engine::scan_points(context, panels, data.view, nullptr, sink);
                Digest bits;
                bits.values(keys);
                std::printf("keys %016llx\n", static_cast<unsigned long long>(bits.state));
            }
            for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{t.k}}) {
                Digest assigned;
                auto lists = engine::assign(model, data.view, k, context);
                for (const auto& list : lists.value()) assigned.values(list);
                std::printf("assign k=%llu %016llx\n", static_cast<unsigned long long>(k),
                            static_cast<unsigned long long>(assigned.state));
                // The first few points alone: a scan shorter than any tile.
                PointView head = data.view;
                head.rows = std::min<std::uint64_t>(head.rows, 11);
                Digest short_scan;
                auto head_lists = engine::assign(model, head, k, context);
                for (const auto& list : head_lists.value()) short_scan.values(list);
                std::printf("assign head k=%llu %016llx\n", static_cast<unsigned long long>(k),
                            static_cast<unsigned long long>(short_scan.state));
            }
        }
    }
    return 0;
}
