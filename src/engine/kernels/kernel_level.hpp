// Which instruction-set level the distance kernels run at. On x86-64 the
// level is found once from the CPU (cpuid through the compiler's builtins);
// everything else in the module stays baseline x86-64, so one build runs on
// any x86-64 and uses AVX2 or AVX-512 where the machine has them. On AArch64
// NEON (Advanced SIMD with FMA) is part of the baseline, so it is simply the
// best level there, with no run-time check.
//
// The level is part of each call's execution context
// (execution_context.hpp): the interface puts the detected one there, tests
// and benchmarks the one they want to check.
#pragma once

namespace quorla::engine {

// `scalar` is the portable baseline path (no FMA, the dot products of
// dot_f32) and is always available; it is the oracle the vector levels are
// tested against. The x86 levels are ordered by capability; neon came later
// and is appended so that the existing values stay what they were. Each
// machine supports scalar and the levels of its own architecture only.
enum class KernelLevel { scalar = 0, avx2 = 1, avx512 = 2, neon = 3 };

inline constexpr KernelLevel all_kernel_levels[] = {KernelLevel::scalar, KernelLevel::avx2, KernelLevel::avx512,
                                                    KernelLevel::neon};

const char* kernel_level_name(KernelLevel level);

// True if the level was compiled in and the CPU (and the OS's saved register
// state) supports it.
bool kernel_level_supported(KernelLevel level);

// The best supported level, found on first use.
KernelLevel detected_kernel_level();

}  // namespace quorla::engine
