// Which instruction-set level the distance kernels run at. The level is found
// once from the CPU (cpuid through the compiler's builtins); everything else
// in the module stays baseline x86-64, so one build runs on any x86-64 and
// uses AVX2 or AVX-512 where the machine has them.
//
// Tests and benchmarks pin a level through the explicit overloads of the
// kernels or a ScopedKernelLevel, never through the environment.
#pragma once

namespace quorla::engine {

// Ordered by capability. `scalar` is the portable baseline path (no FMA, the
// dot products of dot_f32) and is always available; it is the oracle the
// vector levels are tested against.
enum class KernelLevel { scalar = 0, avx2 = 1, avx512 = 2 };

inline constexpr KernelLevel all_kernel_levels[] = {KernelLevel::scalar, KernelLevel::avx2, KernelLevel::avx512};

const char* kernel_level_name(KernelLevel level);

// True if the level was compiled in and the CPU (and the OS's saved register
// state) supports it.
bool kernel_level_supported(KernelLevel level);

// The best supported level, found on first use.
KernelLevel detected_kernel_level();

// The level the kernels use when none is given: a ScopedKernelLevel's while
// one is alive, else the detected one.
KernelLevel kernel_level();

// Makes `level` the default for its lifetime (process-wide, not per thread:
// the label step runs on pool workers). Raises Fault for a level the machine
// lacks. Not meant to be nested across threads.
class ScopedKernelLevel {
public:
    explicit ScopedKernelLevel(KernelLevel level);
    ~ScopedKernelLevel();
    ScopedKernelLevel(const ScopedKernelLevel&) = delete;
    ScopedKernelLevel& operator=(const ScopedKernelLevel&) = delete;

private:
    int previous_;
};

}  // namespace quorla::engine
