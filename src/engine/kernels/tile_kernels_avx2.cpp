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
    // Rows [0, count), row r starting at row_at(r) with unit column stride,
    // into a tile 8 x 8 floats at a time through a register transpose: a
    // whole tile (`full`, stride tile_rows) or a short one, stride count,
    // whose last block stores only its live lanes, since a whole vector
    // would run into the next dimension, which earlier blocks have already
    // filled. The element-by-element loop this replaces took 40% of a
    // bounded training at this level (gathered tiles are packed each step).
    static constexpr bool packs_rows = true;
    static constexpr std::size_t tile_rows = static_cast<std::size_t>(point_vectors) * lanes;
    static I first_lanes(std::size_t live) {
        const I lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(live)), lane);
    }
    static void transpose8(F (&v)[8]) {
        F t[8], s[8];
        for (int i = 0; i < 4; ++i) {
            t[2 * i] = _mm256_unpacklo_ps(v[2 * i], v[2 * i + 1]);
            t[2 * i + 1] = _mm256_unpackhi_ps(v[2 * i], v[2 * i + 1]);
        }
        for (int i = 0; i < 2; ++i) {
            s[4 * i] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], _MM_SHUFFLE(1, 0, 1, 0));
            s[4 * i + 1] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], _MM_SHUFFLE(3, 2, 3, 2));
            s[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], _MM_SHUFFLE(1, 0, 1, 0));
            s[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], _MM_SHUFFLE(3, 2, 3, 2));
        }
        for (int j = 0; j < 4; ++j) {
            v[j] = _mm256_permute2f128_ps(s[j], s[4 + j], 0x20);
            v[4 + j] = _mm256_permute2f128_ps(s[j], s[4 + j], 0x31);
        }
    }
    template <bool full, class RowAt>
    static void pack_rows(RowAt row_at, std::size_t count, std::size_t dim, float* tile) {
        const std::size_t stride = full ? tile_rows : count;
        for (std::size_t first = 0; first < count; first += lanes) {
            const std::size_t live = count - first < lanes ? count - first : lanes;
            const I rows = first_lanes(live);
            for (std::size_t c = 0; c < dim; c += lanes) {
                const std::size_t width = dim - c < lanes ? dim - c : lanes;
                const I columns = first_lanes(width);
                F v[8];
                for (std::size_t r = 0; r < lanes; ++r) {
                    v[r] = r < live ? _mm256_maskload_ps(row_at(first + r) + c, columns) : _mm256_setzero_ps();
                }
                transpose8(v);
                for (std::size_t l = 0; l < width; ++l) {
                    float* out = tile + (c + l) * stride + first;
                    if constexpr (full) {
                        _mm256_storeu_ps(out, v[l]);
                    } else {
                        _mm256_maskstore_ps(out, rows, v[l]);
                    }
                }
            }
        }
    }

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
