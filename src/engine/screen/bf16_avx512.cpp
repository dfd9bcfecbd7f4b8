// The bf16 screen on AVX512_BF16: the tile kernels' register-tile loop with
// pairs of bf16 dimensions in each 32-bit lane (PairAccumulators) and the
// every-key or the screen ending, over the AVX-512 level's traits plus
// VDPBF16PS. Only the screen's keys are compiled here; the target pragma
// below covers just this unit's code, as in tile_kernels_avx512.cpp.
#include <cstddef>
#include <cstdint>

#include "engine/screen/bf16_screen.hpp"
#include "engine/kernels/tile_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx512bw,avx512bf16,avx2,fma")

#include "engine/kernels/avx512_traits.hpp"
#include "engine/kernels/tile_kernels_impl.hpp"

namespace quorla::engine::tiles {
namespace {

struct Avx512Bf16 : Avx512 {
    static I load_i(const std::uint32_t* p) { return _mm512_loadu_si512(p); }
    // acc + high products + low products, lane by lane, each sum rounded.
    static F dot_pairs(F acc, I x, I c) { return _mm512_dpbf16_ps(acc, (__m512bh)x, (__m512bh)c); }
};

static_assert(tile_rows_of<Avx512Bf16> == screen_tile_rows, "the units share one screen tile");
static_assert(Avx512Bf16::tile_centroids == screen_cut_group, "the units move their cuts alike");

constexpr ScreenKernels avx512_bf16_kernels{&keys_bf16<Avx512Bf16>, &screen_bf16<Avx512Bf16>};

}  // namespace
}  // namespace quorla::engine::tiles

#pragma GCC pop_options

namespace quorla::engine::tiles {

const ScreenKernels* screen_kernels_bf16_avx512() { return &avx512_bf16_kernels; }

}  // namespace quorla::engine::tiles

#else

namespace quorla::engine::tiles {
const ScreenKernels* screen_kernels_bf16_avx512() { return nullptr; }
}  // namespace quorla::engine::tiles

#endif
