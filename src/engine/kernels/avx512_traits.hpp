// The AVX-512 vector traits of the tile kernels (F, VL, DQ, BW), shared by
// the AVX-512 level and the bf16 screening unit built on it. Include it only
// inside a `#pragma GCC target` region that enables those extensions, after
// the headers with inline code, as tile_kernels_avx512.cpp does: everything
// here has internal linkage, so each including file gets its own copy
// compiled for its own target.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine::tiles {
namespace {

struct Avx512 {
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;
    static constexpr std::size_t lanes = 16;
    // 3 x 8 = 24 accumulators of the 32 zmm registers, plus 3 for the point
    // vectors; the centroid entry is a broadcast operand of the FMA itself,
    // so the inner loop needs 27 registers and nothing spills. 24 independent
    // chains are far more than the FMA latency (4 cycles) times the dispatch
    // width needs, and each dimension step does 24 FMAs for 3 vector loads
    // and 8 broadcasts, well within the load ports.
    //
    // The tile, 48 points x d floats, is the cache block: at d = 128 it is
    // 24 KB and stays in a 32 KB L1 while the centroid panels stream from L2
    // (1 MB per core here; k = 1024 x d = 128 panels are 512 KB). At larger
    // d it falls to L2, which still delivers 3 vector loads per 24 FMAs.
    static constexpr int point_vectors = 3;
    static constexpr int tile_centroids = 8;
    // One-point kernel: 8 panel accumulators in flight, again above
    // latency x width, with one load per FMA.
    static constexpr std::size_t point_key_panels = 8;

    static F zero() { return _mm512_setzero_ps(); }
    static F splat(float v) { return _mm512_set1_ps(v); }
    static I splat_i(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
    static F load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
    static void store_i(std::uint32_t* p, I v) { _mm512_storeu_si512(p, v); }
    static F fma(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static F neg(F a) {
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a), _mm512_set1_epi32(INT32_MIN)));
    }
    static M all() { return static_cast<M>(0xFFFF); }
    static M lt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static M gt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    static M ge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
    // One masked compare: lanes stay set only while every value seen is ordered.
    static M keep_ordered(M acc, F v) { return _mm512_mask_cmp_ps_mask(acc, v, v, _CMP_ORD_Q); }
    static F select(M m, F if_clear, F if_set) { return _mm512_mask_blend_ps(m, if_clear, if_set); }
    static I select_i(M m, I if_clear, I if_set) { return _mm512_mask_blend_epi32(m, if_clear, if_set); }
    static unsigned bits(M m) { return m; }

    // Packing rows with unit column stride: 16 rows x 16 columns are loaded
    // (masked at the right edge, zero past the last row) and transposed in
    // registers, 64 shuffles per 256 floats instead of one scalar load and
    // store each; at small d the scalar packing took a tenth of the label
    // step.
    static constexpr bool packs_rows = true;

    // The shuffles through their all-lanes masked forms: the plain forms
    // pass an undefined merge source internally, which gcc 12 reports as
    // possibly uninitialised.
    static F low_ps(F a, F b) { return _mm512_mask_unpacklo_ps(a, 0xFFFF, a, b); }
    static F high_ps(F a, F b) { return _mm512_mask_unpackhi_ps(a, 0xFFFF, a, b); }
    static F low_pd(F a, F b) {
        const __m512d x = _mm512_castps_pd(a);
        return _mm512_castpd_ps(_mm512_mask_unpacklo_pd(x, 0xFF, x, _mm512_castps_pd(b)));
    }
    static F high_pd(F a, F b) {
        const __m512d x = _mm512_castps_pd(a);
        return _mm512_castpd_ps(_mm512_mask_unpackhi_pd(x, 0xFF, x, _mm512_castps_pd(b)));
    }
    static F even_quads(F a, F b) { return _mm512_mask_shuffle_f32x4(a, 0xFFFF, a, b, 0x88); }
    static F odd_quads(F a, F b) { return _mm512_mask_shuffle_f32x4(a, 0xFFFF, a, b, 0xdd); }

    // v[r] = row r in, v[l] = column l out: pairs of rows interleaved by
    // floats, then by float pairs, then 128-bit quarters gathered twice.
    static void transpose16(F (&v)[16]) {
        F t[16];
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = low_ps(v[2 * i], v[2 * i + 1]);
            t[2 * i + 1] = high_ps(v[2 * i], v[2 * i + 1]);
        }
        for (int i = 0; i < 4; ++i) {
            v[4 * i] = low_pd(t[4 * i], t[4 * i + 2]);
            v[4 * i + 1] = high_pd(t[4 * i], t[4 * i + 2]);
            v[4 * i + 2] = low_pd(t[4 * i + 1], t[4 * i + 3]);
            v[4 * i + 3] = high_pd(t[4 * i + 1], t[4 * i + 3]);
        }
        for (int i = 0; i < 2; ++i) {
            for (int j = 0; j < 4; ++j) {
                t[8 * i + j] = even_quads(v[8 * i + j], v[8 * i + 4 + j]);
                t[8 * i + 4 + j] = odd_quads(v[8 * i + j], v[8 * i + 4 + j]);
            }
        }
        for (int j = 0; j < 8; ++j) {
            v[j] = even_quads(t[j], t[8 + j]);
            v[8 + j] = odd_quads(t[j], t[8 + j]);
        }
    }

    // Rows [0, count), row r starting at row_at(r) with unit column stride,
    // into a tile: a whole one (`full`, stride tile_rows) or a short one,
    // stride count, whose last block stores only its live lanes, since a
    // whole vector would run into the next dimension, which earlier blocks
    // have already filled.
    static constexpr std::size_t tile_rows = static_cast<std::size_t>(point_vectors) * lanes;
    template <bool full, class RowAt>
    static void pack_rows(RowAt row_at, std::size_t count, std::size_t dim, float* tile) {
        const std::size_t stride = full ? tile_rows : count;
        for (std::size_t first = 0; first < count; first += lanes) {
            const std::size_t live = count - first < lanes ? count - first : lanes;
            const M rows = static_cast<M>(live == lanes ? 0xFFFFu : (1u << live) - 1u);
            for (std::size_t c = 0; c < dim; c += lanes) {
                const std::size_t width = dim - c < lanes ? dim - c : lanes;
                const M columns = static_cast<M>(width == lanes ? 0xFFFFu : (1u << width) - 1u);
                F v[16];
                for (std::size_t r = 0; r < lanes; ++r) {
                    v[r] = r < live ? _mm512_maskz_loadu_ps(columns, row_at(first + r) + c) : _mm512_setzero_ps();
                }
                transpose16(v);
                for (std::size_t l = 0; l < width; ++l) {
                    float* out = tile + (c + l) * stride + first;
                    if constexpr (full) {
                        _mm512_storeu_ps(out, v[l]);
                    } else {
                        _mm512_mask_storeu_ps(out, rows, v[l]);
                    }
                }
            }
        }
    }

    // A kept list of up to 16 pairs lives in one vector of keys and one of
    // clusters: the insertion point is the count of kept keys <= key (the
    // list is sorted, and equal keys stay ahead of the newer, higher
    // cluster), and the tail moves up one lane by a permutation. No
    // data-dependent branches, unlike the scalar walk, whose mispredictions
    // dominated top-k on short lists.
    static void insert_kept(float* keys, std::uint32_t* clusters, std::size_t size, std::size_t take, float key,
                            std::uint32_t cluster) {
        if (take > lanes) {
            tiles::insert_kept(keys, clusters, size, take, key, cluster);
            return;
        }
        const M live = static_cast<M>(size >= lanes ? 0xFFFFu : (1u << size) - 1u);
        const F kept = _mm512_loadu_ps(keys);
        const I owners = _mm512_loadu_si512(clusters);
        const F candidate = _mm512_set1_ps(key);
        const unsigned ahead = static_cast<unsigned>(__builtin_popcount(_mm512_mask_cmp_ps_mask(live, kept, candidate, _CMP_LE_OQ)));
        if (ahead >= take) return;
        const I up = _mm512_set_epi32(14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0);
        const M at = static_cast<M>(1u << ahead);
        const M behind = static_cast<M>((0xFFFFu << (ahead + 1)) & 0xFFFFu);
        F moved = _mm512_mask_permutexvar_ps(kept, behind, up, kept);
        I moved_owners = _mm512_mask_permutexvar_epi32(owners, behind, up, owners);
        moved = _mm512_mask_mov_ps(moved, at, candidate);
        moved_owners = _mm512_mask_mov_epi32(moved_owners, at, _mm512_set1_epi32(static_cast<int>(cluster)));
        _mm512_storeu_ps(keys, moved);
        _mm512_storeu_si512(clusters, moved_owners);
    }
};


}  // namespace
}  // namespace quorla::engine::tiles
