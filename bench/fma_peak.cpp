// The machine's single-precision FMA throughput: each thread runs a loop of
// independent fused multiply-adds on register-resident accumulators, so
// nothing but the FMA pipes limits it. Built with -march=native by the
// benchmark suite; prints GFLOP/s (2 flops per lane per FMA) for the given
// thread count.
//
//   fma_peak THREADS [SECONDS]
#include <immintrin.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// Twelve accumulators: more than latency x throughput (4 cycles x 2 pipes on
// current cores), so every chain is ready when its turn comes, and still few
// enough to leave registers for the multiplicands without spills.
#if defined(__AVX512F__)
using Vec = __m512;
constexpr int lanes = 16;
inline Vec fma(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
inline Vec splat(float v) { return _mm512_set1_ps(v); }
inline float first(Vec v) { return _mm512_cvtss_f32(v); }
#elif defined(__FMA__)
using Vec = __m256;
constexpr int lanes = 8;
inline Vec fma(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
inline Vec splat(float v) { return _mm256_set1_ps(v); }
inline float first(Vec v) { return _mm256_cvtss_f32(v); }
#else
#error "fma_peak needs FMA (build with -march=native on an x86-64 with FMA)"
#endif

constexpr int chains = 12;

// Returns the number of FMAs done; `sink` keeps the result observable.
long long spin(long long rounds, float seed, float& sink) {
    Vec acc[chains];
    for (int c = 0; c < chains; ++c) acc[c] = splat(seed * static_cast<float>(c + 1));
    // Multiplier just under 1 and a small addend: values stay finite and
    // normal however long the loop runs, so no slow paths are taken.
    const Vec a = splat(0.999999f), b = splat(1e-7f);
    for (long long r = 0; r < rounds; ++r) {
#pragma GCC unroll 12
        for (int c = 0; c < chains; ++c) acc[c] = fma(acc[c], a, b);
    }
    float total = 0;
    for (int c = 0; c < chains; ++c) total += first(acc[c]);
    sink = total;
    return rounds * chains;
}

}  // namespace

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : 1;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0.5;
    // Calibrate on one thread so every thread runs a fixed, equal amount.
    float sink = 0;
    long long rounds = 1 << 20;
    for (;;) {
        const auto t0 = std::chrono::steady_clock::now();
        spin(rounds, 1.0f, sink);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (took > 0.05) {
            rounds = static_cast<long long>(static_cast<double>(rounds) * seconds / took);
            break;
        }
        rounds *= 2;
    }
    std::vector<float> sinks(threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    const auto t0 = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            spin(rounds, 1.0f + static_cast<float>(t), sinks[t]);
        });
    }
    for (auto& th : pool) th.join();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double flops = 2.0 * lanes * static_cast<double>(chains) * static_cast<double>(rounds) * threads;
    std::printf("%.3f\n", flops / took / 1e9);
    return sinks[0] == 12345.0f ? 1 : 0;
}
