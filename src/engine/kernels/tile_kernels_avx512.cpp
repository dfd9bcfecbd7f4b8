// The tile kernels at the AVX-512 level (F, VL, DQ, BW). This file and the
// bf16 screening unit's are the only ones compiled for AVX-512, through the
// target pragma below; the headers that define inline or template code are
// included before it, so no function shared with baseline code is ever
// emitted with AVX-512 instructions. The vector traits are in
// avx512_traits.hpp, which both files include inside their pragmas.
#include <cstddef>
#include <cstdint>

#include "engine/screen/bf16_screen.hpp"
#include "engine/kernels/tile_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx512bw,avx2,fma")

#include "engine/kernels/avx512_traits.hpp"
#include "engine/kernels/tile_kernels_impl.hpp"

#pragma GCC pop_options

namespace quorla::engine::tiles {

// Compiled for the baseline: the dispatcher calls this on any CPU, before it
// knows whether the level's kernels may run.
const TileKernels* tile_kernels_f32_avx512() { return &level_table<Avx512>; }

}  // namespace quorla::engine::tiles

#else

namespace quorla::engine::tiles {
const TileKernels* tile_kernels_f32_avx512() { return nullptr; }
}  // namespace quorla::engine::tiles

#endif
