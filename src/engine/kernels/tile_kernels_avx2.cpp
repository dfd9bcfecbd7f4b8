// The tile kernels at the AVX2 + FMA level. Compiled for AVX2 through the
// target pragma below; as in the AVX-512 file, shared headers come first so
// that only this file's own (internal) functions carry AVX2 code.
#include <cstddef>
#include <cstdint>

#include "engine/screen/bf16_screen.hpp"
#include "engine/kernels/tile_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace quorla::engine::tiles {
namespace {

struct Avx2 {
    using F = __m256;
    using I = __m256i;
    using M = __m256;  // compare results are lane-wide masks without AVX-512
    static constexpr std::size_t lanes = 8;
    // 3 x 4 = 12 accumulators, 3 point vectors and 1 broadcast: all 16 ymm
    // registers. Each dimension then costs 7 loads for 12 FMAs, where a
    // 2 x 4 tile cost 6 for 8: on a Zen 4 at d = 128, k = 1,024, one thread
    // beside a busy core, the label step went from 74-97 to 101-106 GFLOP/s
    // (peak about 112). 12 chains cover FMA latency (4) x 2 pipes.
    static constexpr int point_vectors = 3;
    static constexpr int tile_centroids = 4;
    // One-point kernel: 4 panels x 2 vectors = 8 chains, 9 registers.
    static constexpr std::size_t point_key_panels = 4;

    static F zero() { return _mm256_setzero_ps(); }
    static F splat(float v) { return _mm256_set1_ps(v); }
    static I splat_i(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static void store_i(std::uint32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static F fma(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F neg(F a) { return _mm256_xor_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN))); }
    static M all() { return _mm256_castsi256_ps(_mm256_set1_epi32(-1)); }
    static M lt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static M gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static M ge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static M keep_ordered(M acc, F v) { return _mm256_and_ps(acc, _mm256_cmp_ps(v, v, _CMP_ORD_Q)); }
    static F select(M m, F if_clear, F if_set) { return _mm256_blendv_ps(if_clear, if_set, m); }
    static I select_i(M m, I if_clear, I if_set) {
        return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(if_clear), _mm256_castsi256_ps(if_set), m));
    }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_ps(m)); }
    // Rows are packed by the generic scalar loop at this level.
    static constexpr bool packs_rows = false;
    template <bool full, class RowAt>
    static void pack_rows(RowAt, std::size_t, std::size_t, float*) {}

    static void insert_kept(float* keys, std::uint32_t* clusters, std::size_t size, std::size_t take, float key,
                            std::uint32_t cluster) {
        tiles::insert_kept(keys, clusters, size, take, key, cluster);
    }
};

}  // namespace
}  // namespace quorla::engine::tiles

#include "engine/kernels/tile_kernels_impl.hpp"

#pragma GCC pop_options

namespace quorla::engine::tiles {

// Compiled for the baseline: the dispatcher calls this on any CPU, before it
// knows whether the level's kernels may run.
const TileKernels* tile_kernels_f32_avx2() { return &level_table<Avx2>; }

}  // namespace quorla::engine::tiles

#else

namespace quorla::engine::tiles {
const TileKernels* tile_kernels_f32_avx2() { return nullptr; }
}  // namespace quorla::engine::tiles

#endif
