// Times the balancing phase alone, from the state a seeded Lloyd training
// leaves, on standard normal points or on a float32 .npy matrix, and prints
// a digest of what it produced (labels, sizes, centroid bits, passes) so
// that two builds can be compared on the same run, speed and bits side by
// side; the per-pass lines of verbose balancing are printed as well. Uses only the engine's public entry points, so it builds against
// older trees as well.
//
//   bench_balance THREADS N DIM K [FILE.npy] [--euclidean 0|1] [--medoids 0|1]
//                 [--iterations I] [--diff D]
//
// I Lloyd iterations (default 10) before the phase; D is max_balance_diff
// (default 16).
//
// With FILE, its first N rows are used (N = 0: all of them) and DIM is
// taken from the file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/balancing/balancing.hpp"
#include "engine/training.hpp"
#include "parallel/pool.hpp"

using namespace quorla;

namespace {

struct Digest {
    std::uint64_t state = 1469598103934665603ull;
    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) state = (state ^ p[i]) * 1099511628211ull;
    }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A C-ordered little-endian float32 .npy of two dimensions.
bool load_npy(const char* path, std::size_t& rows, std::size_t& cols, std::vector<float>& values) {
    std::ifstream in(path, std::ios::binary);
    char magic[8];
    if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) return false;
    std::size_t header_size = 0;
    if (magic[6] == 1) {
        unsigned char b[2];
        in.read(reinterpret_cast<char*>(b), 2);
        header_size = b[0] | (b[1] << 8);
    } else {
        unsigned char b[4];
        in.read(reinterpret_cast<char*>(b), 4);
        header_size = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::size_t>(b[3]) << 24);
    }
    std::string header(header_size, '\0');
    in.read(header.data(), static_cast<std::streamsize>(header_size));
    if (header.find("'<f4'") == std::string::npos || header.find("'fortran_order': False") == std::string::npos) {
        return false;
    }
    const std::size_t open = header.find('(', header.find("'shape'"));
    if (open == std::string::npos) return false;
    char* end = nullptr;
    const std::size_t file_rows = std::strtoull(header.c_str() + open + 1, &end, 10);
    const std::size_t file_cols = std::strtoull(end + 1, nullptr, 10);
    if (rows == 0 || rows > file_rows) rows = file_rows;
    cols = file_cols;
    values.resize(rows * cols);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(values.data()),
                                     static_cast<std::streamsize>(values.size() * sizeof(float))));
}

engine::ThreadRandom seeded(std::uint8_t seed) {
    auto counter = std::make_shared<std::uint8_t>(0);
    return engine::ThreadRandom([seed, counter](std::span<std::uint8_t, 32> out, std::string&) {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(seed + i + 31 * *counter);
        ++*counter;
        return true;
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: %s THREADS N DIM K [FILE.npy] [--euclidean 0|1] [--medoids 0|1] [--iterations I] "
                     "[--diff D]\n",
                     argv[0]);
        return 2;
    }
    std::size_t threads = std::strtoull(argv[1], nullptr, 10);
    std::size_t n = std::strtoull(argv[2], nullptr, 10);
    std::size_t dim = std::strtoull(argv[3], nullptr, 10);
    const std::size_t k = std::strtoull(argv[4], nullptr, 10);
    const char* file = nullptr;
    bool euclidean = true, medoids = false;
    std::uint64_t iterations = 10, diff = 16;
    for (int a = 5; a < argc; ++a) {
        if (std::strcmp(argv[a], "--euclidean") == 0 && a + 1 < argc) {
            euclidean = std::atoi(argv[++a]) != 0;
        } else if (std::strcmp(argv[a], "--medoids") == 0 && a + 1 < argc) {
            medoids = std::atoi(argv[++a]) != 0;
        } else if (std::strcmp(argv[a], "--iterations") == 0 && a + 1 < argc) {
            iterations = std::strtoull(argv[++a], nullptr, 10);
        } else if (std::strcmp(argv[a], "--diff") == 0 && a + 1 < argc) {
            diff = std::strtoull(argv[++a], nullptr, 10);
        } else {
            file = argv[a];
        }
    }
    std::vector<float> values;
    if (file != nullptr) {
        if (!load_npy(file, n, dim, values)) {
            std::fprintf(stderr, "cannot read %s as a float32 matrix\n", file);
            return 2;
        }
    } else {
        values.resize(n * dim);
        std::mt19937 engine(42);
        std::normal_distribution<float> normal;
        for (float& v : values) v = normal(engine);
    }
    const engine::PointView view{values.data(), n, dim, static_cast<std::int64_t>(dim), 1};

    parallel::PoolRegistry pool;
    if (auto failure = pool.configure(threads)) {
        std::fprintf(stderr, "pool: %s\n", failure->c_str());
        return 2;
    }
    engine::Model model = engine::Model::create(k);
    model.euclidean = euclidean;
    model.use_medoids = medoids;
    model.iterations = iterations;
    model.max_balance_diff = diff;
    engine::ThreadRandom random = seeded(3);
    const engine::ExecutionContext context{&pool, engine::detected_kernel_level(), &random};

    auto start = std::chrono::steady_clock::now();
    if (!engine::train(model, view, context).ok()) {
        std::fprintf(stderr, "training failed\n");
        return 1;
    }
    const double lloyd = seconds_since(start);

    // The pass lines go to stdout as well: they must agree between builds.
    model.trained = false;
    model.verbose = true;
    const engine::TrainingState state = engine::TrainingState::start(view, euclidean);
    start = std::chrono::steady_clock::now();
    engine::balance_clusters(model, state, context);
    const double balancing = seconds_since(start);

    Digest digest;
    digest.bytes(model.labels.data(), model.labels.size() * sizeof(std::uint64_t));
    digest.bytes(model.cluster_sizes.data(), model.cluster_sizes.size() * sizeof(double));
    digest.bytes(model.centroids->data(), model.centroids->values().size() * sizeof(float));
    digest.bytes(model.medoid_indices.data(), model.medoid_indices.size() * sizeof(std::uint64_t));
    std::printf("n=%zu d=%zu k=%zu threads=%zu level=%s lloyd_s=%.3f balancing_s=%.3f digest=%016llx\n", n, dim, k,
                threads, engine::kernel_level_name(engine::detected_kernel_level()), lloyd, balancing,
                static_cast<unsigned long long>(digest.state));
    return 0;
}
