// The bf16 screen on the real tile unit (AMX-TILE and AMX-BF16): the
// sequence of amx_screen_impl.hpp issued as instructions, and the unit's
// detection. The unit is used only where the CPU has it, the OS saves its
// state, the kernel grants this process the tile data, and its dots have
// matched the model's (amx::agrees_with_model) in this process.
#include <cstddef>
#include <cstdint>

#include "engine/kernels/kernel_level.hpp"
#include "engine/screen/bf16_screen.hpp"

#if defined(__x86_64__) && defined(__linux__)

#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>

// The endings around the tile instructions run on AVX-512, which every CPU
// with the tile unit has; the tile instructions themselves are inline
// assembly, whose tile numbers must be constants.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx512bw,avx2,fma")

#include "engine/screen/amx_screen_impl.hpp"

namespace quorla::engine::tiles {
namespace {

struct HardwareTiles {
    void configure(const amx::TileConfig& config) { asm volatile("ldtilecfg %0" : : "m"(config)); }
    void release() { asm volatile("tilerelease" : : : "memory"); }

    template <int t>
    void zero() {
        asm volatile("tilezero %%tmm%c0" : : "i"(t));
    }
    template <int t>
    void load(const void* base, std::size_t stride) {
        asm volatile("tileloadd (%0,%1,1), %%tmm%c2" : : "r"(base), "r"(stride), "i"(t) : "memory");
    }
    template <int t>
    void store(void* base, std::size_t stride) const {
        asm volatile("tilestored %%tmm%c2, (%0,%1,1)" : : "r"(base), "r"(stride), "i"(t) : "memory");
    }
    // C += A B; the operands in AT&T order: B, A, C.
    template <int c, int a, int b>
    void dot() {
        asm volatile("tdpbf16ps %%tmm%c0, %%tmm%c1, %%tmm%c2" : : "i"(b), "i"(a), "i"(c));
    }
};

void hardware_group_dots(const std::uint32_t* centroids, std::size_t pairs, const std::uint32_t* tile, float* dots) {
    HardwareTiles unit;
    unit.configure(amx_screen_config());
    amx_group_dots(unit, centroids, pairs, tile, dots);
    unit.release();
}

constexpr ScreenKernels amx_kernels{&keys_amx<HardwareTiles>, &screen_amx<HardwareTiles>, true};

}  // namespace
}  // namespace quorla::engine::tiles

#pragma GCC pop_options

namespace quorla::engine {
namespace {

bool cpu_has_tiles() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    constexpr unsigned tile = 1u << 24, bf16 = 1u << 22;
    if ((d & tile) == 0 || (d & bf16) == 0) return false;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & (1u << 27)) == 0) return false;  // OSXSAVE
    unsigned low = 0, high = 0;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    constexpr unsigned tile_state = 3u << 17;  // XTILECFG and XTILEDATA
    return (low & tile_state) == tile_state;
}

// Linux hands out the tile data per process, on request (5.16 and later);
// a refusal, or an older kernel, leaves the unit absent.
bool tile_data_granted() {
    constexpr long request_permission = 0x1023;  // ARCH_REQ_XCOMP_PERM
    constexpr long tile_data = 18;                // XFEATURE_XTILEDATA
    return syscall(SYS_arch_prctl, request_permission, tile_data) == 0;
}

struct UnitState {
    bool ready = false;
    bool failed_check = false;
};

const UnitState& unit_state() {
    static const UnitState state = [] {
        UnitState s;
        if (!kernel_level_supported(KernelLevel::avx512) || !cpu_has_tiles() || !tile_data_granted()) return s;
        s.failed_check = !amx::agrees_with_model(&tiles::hardware_group_dots);
        s.ready = !s.failed_check;
        return s;
    }();
    return state;
}

}  // namespace

namespace tiles {
const ScreenKernels* screen_kernels_amx() { return &amx_kernels; }
}  // namespace tiles

bool amx_unit_ready() { return unit_state().ready; }
bool amx_unit_failed_check() { return unit_state().failed_check; }

}  // namespace quorla::engine

#else

namespace quorla::engine {
namespace tiles {
const ScreenKernels* screen_kernels_amx() { return nullptr; }
}  // namespace tiles
bool amx_unit_ready() { return false; }
bool amx_unit_failed_check() { return false; }
}  // namespace quorla::engine

#endif
