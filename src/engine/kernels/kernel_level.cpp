// Run-time choice of the kernels' instruction-set level, and the one
// dispatch from a level to its kernel table.
#include "engine/kernels/kernel_level.hpp"

#include <string>

#include "engine/core/fault.hpp"
#include "engine/kernels/tile_kernels.hpp"

namespace quorla::engine {
namespace {

bool cpu_has(KernelLevel level) {
#if defined(__x86_64__) || defined(__i386__)
    // libgcc's feature bits also check that the OS saves the wide registers
    // (XCR0), so a level reported here is safe to execute.
    __builtin_cpu_init();
    switch (level) {
        case KernelLevel::scalar:
            return true;
        case KernelLevel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case KernelLevel::avx512:
            // The kernels use 512-bit F instructions and VL/DQ/BW forms for
            // masks and 256-bit halves; FMA is implied by AVX-512F.
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
        case KernelLevel::neon:
            return false;
    }
    return false;
#elif defined(__aarch64__)
    // Advanced SIMD, fused multiply-add included, is mandatory in AArch64:
    // every CPU that runs this build has it.
    return level == KernelLevel::scalar || level == KernelLevel::neon;
#else
    return level == KernelLevel::scalar;
#endif
}

KernelLevel detect() {
    if (cpu_has(KernelLevel::neon)) return KernelLevel::neon;
    if (cpu_has(KernelLevel::avx512)) return KernelLevel::avx512;
    if (cpu_has(KernelLevel::avx2)) return KernelLevel::avx2;
    return KernelLevel::scalar;
}

}  // namespace

const char* kernel_level_name(KernelLevel level) {
    switch (level) {
        case KernelLevel::scalar:
            return "scalar";
        case KernelLevel::avx2:
            return "avx2";
        case KernelLevel::avx512:
            return "avx512";
        case KernelLevel::neon:
            return "neon";
    }
    return "unknown";
}

bool kernel_level_supported(KernelLevel level) { return cpu_has(level); }

KernelLevel detected_kernel_level() {
    static const KernelLevel detected = detect();
    return detected;
}

namespace tiles {

const TileKernels& kernels_for(KernelLevel level) {
    if (!kernel_level_supported(level)) {
        raise_fault(std::string("Kernel level ") + kernel_level_name(level) + " is not supported on this machine");
    }
    // Indexed by the levels' values, which are fixed (kernel_level.hpp).
    static constexpr const TileKernels* (*tables[])() = {&tile_kernels_f32_scalar, &tile_kernels_f32_avx2,
                                                          &tile_kernels_f32_avx512, &tile_kernels_f32_neon};
    const TileKernels* kernels = tables[static_cast<int>(level)]();
    if (kernels == nullptr) raise_fault(std::string("Kernel level ") + kernel_level_name(level) + " was not built");
    return *kernels;
}

}  // namespace tiles
}  // namespace quorla::engine
