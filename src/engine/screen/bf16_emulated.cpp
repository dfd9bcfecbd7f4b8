// The emulated bf16 screen, unit detection and the dispatch from a unit to
// its kernel. Baseline code: it runs wherever the engine does.
#include <string>

#include "engine/core/fault.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/kernels/key.hpp"
#include "engine/screen/bf16_screen.hpp"

namespace quorla::engine {
namespace tiles {
namespace {

// VDPBF16PS one lane at a time: per pair, the high product and then the low
// one added to the running sum, each rounded on its own. The products of two
// bf16 values are exact in single precision, and -ffp-contract=off keeps
// the product and the sum two operations, so each step is the same rounded
// sum as the instruction's fused one.
float approximate_key(const std::uint32_t* tile, std::size_t r, const float* point_norms, const Panels& panels,
                      bool euclidean, std::size_t j) {
    const std::size_t pairs = (panels.dim + 1) / 2;
    const std::uint32_t* c = panels.pairs + (j / panel_width) * pairs * panel_width + j % panel_width;
    float acc = 0.0f;
    for (std::size_t q = 0; q < pairs; ++q) {
        const std::uint32_t x = tile[q * screen_tile_rows + r];
        const std::uint32_t y = c[q * panel_width];
        acc = acc + bf16_value(x >> 16) * bf16_value(y >> 16);
        acc = acc + bf16_value(x & 0xFFFFu) * bf16_value(y & 0xFFFFu);
    }
    return euclidean ? euclidean_key(acc, panels.norms[j], point_norms[r]) : -acc;
}

void keys_bf16_emulated(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                        float* keys, std::size_t row_stride) {
    for (std::size_t r = 0; r < screen_tile_rows; ++r) {
        for (std::size_t j = 0; j < panels.clusters; ++j) {
            keys[r * row_stride + j] = approximate_key(tile, r, point_norms, panels, euclidean, j);
        }
    }
}

// Row by row, the cut moving once per group of screen_cut_group clusters,
// as in the vector unit's register tile.
void screen_bf16_emulated(const std::uint32_t* tile, const float* point_norms, const Panels& panels, bool euclidean,
                          const ScreenScratch& scratch) {
    for (std::size_t r = 0; r < screen_tile_rows; ++r) {
        const float width = scratch.widths[r];
        if (!(width >= 0.0f)) continue;  // not screened: nothing to keep
        float best = __builtin_inff();
        float cut = best + width;
        float least = best;  // of the block
        for (std::size_t j = 0; j < panels.clusters; ++j) {
            const float key = approximate_key(tile, r, point_norms, panels, euclidean, j);
            if (key < best) best = key;
            if (key <= cut) keep_candidate(scratch, r, key, static_cast<std::uint32_t>(j), cut);
            if ((j + 1) % screen_cut_group == 0) cut = best + width;
            least = key < least ? key : least;
            if (scratch.minima != nullptr && ((j + 1) % key_block == 0 || j + 1 == panels.clusters)) {
                scratch.minima[j / key_block * screen_tile_rows + r] = least;
                least = __builtin_inff();
            }
        }
        scratch.cuts[r] = best + width;
    }
}

constexpr ScreenKernels emulated_kernels{&keys_bf16_emulated, &screen_bf16_emulated};

}  // namespace

const ScreenKernels& screen_kernels_for(ScreenUnit unit) {
    if (!screen_unit_supported(unit)) {
        raise_fault(std::string("Screen unit ") + screen_unit_name(unit) + " is not supported on this machine");
    }
    switch (unit) {
        case ScreenUnit::emulated:
            return emulated_kernels;
        case ScreenUnit::avx512_bf16:
            return *screen_kernels_bf16_avx512();
        case ScreenUnit::amx_model:
            return screen_kernels_amx_model();
        case ScreenUnit::amx:
            return *screen_kernels_amx();
    }
    raise_fault("Unknown screen unit");
}

}  // namespace tiles

const char* screen_unit_name(ScreenUnit unit) {
    switch (unit) {
        case ScreenUnit::emulated:
            return "emulated";
        case ScreenUnit::avx512_bf16:
            return "avx512_bf16";
        case ScreenUnit::amx_model:
            return "amx_model";
        case ScreenUnit::amx:
            return "amx";
    }
    return "unknown";
}

bool screen_unit_supported(ScreenUnit unit) {
    if (unit == ScreenUnit::emulated || unit == ScreenUnit::amx_model) return true;
    if (unit == ScreenUnit::amx) return tiles::screen_kernels_amx() != nullptr && amx_unit_ready();
#if defined(__x86_64__) || defined(__i386__)
    if (tiles::screen_kernels_bf16_avx512() == nullptr) return false;
    // The unit runs on the AVX-512 level's traits, so it needs that level
    // (whose check includes the OS's saving of the 512-bit state) and BF16.
    if (!kernel_level_supported(KernelLevel::avx512)) return false;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bf16");
#else
    return false;
#endif
}

}  // namespace quorla::engine
