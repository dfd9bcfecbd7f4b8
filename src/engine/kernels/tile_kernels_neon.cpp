// The tile kernels at the NEON level: AArch64 Advanced SIMD, 128-bit vectors
// of 4 floats, with the fused vfmaq_f32. Advanced SIMD is part of the
// AArch64 baseline, so unlike the x86 levels this file needs no target
// pragma and its level no run-time check; on any other architecture it
// compiles to a table getter that returns nullptr.
#include <cstddef>
#include <cstdint>

#include "engine/screen/bf16_screen.hpp"
#include "engine/kernels/tile_kernels.hpp"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace quorla::engine::tiles {
namespace {

struct Neon {
    using F = float32x4_t;
    using I = uint32x4_t;
    using M = uint32x4_t;  // compares give lane-wide masks, as on AVX2
    static constexpr std::size_t lanes = 4;
    // 4 x 4 = 16 accumulators, 4 point vectors and 4 centroid entries (gcc
    // keeps each entry in a register and uses the by-element form of fmla):
    // 24 of the 32 128-bit registers. 16 independent chains cover the FMA
    // latency (4 cycles) times 2 pipes (Neoverse N1) twice over, and times
    // 4 pipes (Neoverse V1, Apple M1) exactly. tile_centroids divides
    // panel_width (16), so a register group never straddles two panels; a
    // tile is 16 points. A 3 x 8 tile (24 chains, 28 registers in the dot
    // loop) fits too on paper, but the label kernel's running choice adds
    // 13 vectors, and gcc 12 then spilled two accumulators in every
    // dimension step of the Euclidean label kernel; 4 x 4 spills nothing.
    //
    // Instruction mix per dimension step of a register tile: vector loads
    // and broadcasts against FMAs. An estimate from the loop's shape and
    // gcc 12's output, not a measurement (no ARM machine has timed it):
    //   NEON    4 x 4: 4 loads + 4 broadcasts =  8 per 16 FMAs, 2.0 FMAs per
    //                  load, 64 multiply-adds (16 x 4 lanes); gcc emits the
    //                  8 as 5 instructions (2 ldp q, 1 ld1r, 1 ldp s, 1 ldr
    //                  s), 3.2 FMAs per load instruction;
    //   AVX2    2 x 4: 2 loads + 4 broadcasts =  6 per  8 FMAs, 1.3 FMAs per
    //                  load, 64 multiply-adds (8 x 8 lanes);
    //   AVX-512 3 x 8: 3 loads + 8 broadcasts = 11 per 24 FMAs, 2.2 FMAs per
    //                  load, 384 multiply-adds (24 x 16 lanes).
    // Current AArch64 cores have 2 or 3 load pipes, so the FMA pipes, not
    // the loads, should bound the tile.
    static constexpr int point_vectors = 4;
    static constexpr int tile_centroids = 4;
    // One-point kernel: a panel is 16 / 4 = 4 vectors, so 4 panels give 16
    // accumulator chains (4 pipes x latency 4), 1 broadcast point entry and
    // the streamed centroid vectors. gcc 12 keeps a copy of these
    // accumulators in memory, one store per FMA pair, since the key
    // finishing loop indexes them at run time; the chains themselves stay
    // in registers.
    static constexpr std::size_t point_key_panels = 4;

    static F zero() { return vdupq_n_f32(0.0f); }
    static F splat(float v) { return vdupq_n_f32(v); }
    static I splat_i(std::uint32_t v) { return vdupq_n_u32(v); }
    static F load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, F v) { vst1q_f32(p, v); }
    static void store_i(std::uint32_t* p, I v) { vst1q_u32(p, v); }
    // vfmaq_f32(c, a, b) is c + a * b with one rounding: the accumulator
    // comes first in the intrinsic, last in the traits' fma.
    static F fma(F a, F b, F c) { return vfmaq_f32(c, a, b); }
    // fneg flips the sign bit only, like the x86 levels' xor with -0.0.
    static F neg(F a) { return vnegq_f32(a); }
    static M all() { return vdupq_n_u32(0xFFFFFFFFu); }
    // The ordered compares are false when either side is NaN, as _CMP_*_OQ
    // on x86: a NaN key never wins a choice, and keep_ordered reports it.
    static M lt(F a, F b) { return vcltq_f32(a, b); }
    static M gt(F a, F b) { return vcgtq_f32(a, b); }
    static M ge(F a, F b) { return vcgeq_f32(a, b); }
    static M keep_ordered(M acc, F v) { return vandq_u32(acc, vceqq_f32(v, v)); }
    static F select(M m, F if_clear, F if_set) { return vbslq_f32(m, if_set, if_clear); }
    static I select_i(M m, I if_clear, I if_set) { return vbslq_u32(m, if_set, if_clear); }
    // There is no movemask: each lane's top bit is shifted down to bit 0,
    // then up to the lane's own position, and the four are summed.
    static unsigned bits(M m) {
        static constexpr std::int32_t positions[4] = {0, 1, 2, 3};
        const uint32x4_t low = vshrq_n_u32(m, 31);
        return vaddvq_u32(vshlq_u32(low, vld1q_s32(positions)));
    }
    // Rows into dimension-major order 4 x 4 at a time: four rows' vectors
    // loaded, transposed in registers (two trn steps and the halves
    // recombined), and stored one dimension each, as the AVX2 level does
    // with 8 x 8. NEON has no masked loads or stores, so the few blocks
    // past the last whole row or column go through a small buffer: a short
    // tile (stride count) must not be written past count in any dimension.
    static constexpr bool packs_rows = true;
    static constexpr std::size_t tile_rows = static_cast<std::size_t>(point_vectors) * lanes;
    template <bool full, class RowAt>
    static void pack_rows(RowAt row_at, std::size_t count, std::size_t dim, float* tile) {
        const std::size_t stride = full ? tile_rows : count;
        for (std::size_t first = 0; first < count; first += lanes) {
            const std::size_t live = count - first < lanes ? count - first : lanes;
            for (std::size_t c = 0; c < dim; c += lanes) {
                const std::size_t width = dim - c < lanes ? dim - c : lanes;
                F v[lanes];
                for (std::size_t r = 0; r < lanes; ++r) {
                    if (r >= live) {
                        v[r] = zero();
                    } else if (width == lanes) {
                        v[r] = vld1q_f32(row_at(first + r) + c);
                    } else {
                        float part[lanes] = {};
                        for (std::size_t l = 0; l < width; ++l) part[l] = row_at(first + r)[c + l];
                        v[r] = vld1q_f32(part);
                    }
                }
                const float32x4x2_t top = vtrnq_f32(v[0], v[1]);
                const float32x4x2_t bottom = vtrnq_f32(v[2], v[3]);
                const F columns[lanes] = {vcombine_f32(vget_low_f32(top.val[0]), vget_low_f32(bottom.val[0])),
                                          vcombine_f32(vget_low_f32(top.val[1]), vget_low_f32(bottom.val[1])),
                                          vcombine_f32(vget_high_f32(top.val[0]), vget_high_f32(bottom.val[0])),
                                          vcombine_f32(vget_high_f32(top.val[1]), vget_high_f32(bottom.val[1]))};
                for (std::size_t l = 0; l < width; ++l) {
                    float* out = tile + (c + l) * stride + first;
                    if (live == lanes) {
                        vst1q_f32(out, columns[l]);
                    } else {
                        float part[lanes];
                        vst1q_f32(part, columns[l]);
                        for (std::size_t r = 0; r < live; ++r) out[r] = part[r];
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

namespace quorla::engine::tiles {

const TileKernels* tile_kernels_f32_neon() { return &level_table<Neon>; }

}  // namespace quorla::engine::tiles

#else

namespace quorla::engine::tiles {
const TileKernels* tile_kernels_f32_neon() { return nullptr; }
}  // namespace quorla::engine::tiles

#endif
