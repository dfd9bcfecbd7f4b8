// The bf16 screen through the tile unit's model, and the check that holds
// the real unit to it. Baseline code: it runs wherever the engine does.
#include <cstring>
#include <vector>

#include "engine/screen/amx_screen_impl.hpp"
#include "engine/screen/amx_tiles.hpp"

namespace quorla::engine {
namespace tiles {
namespace {

constexpr ScreenKernels amx_model_kernels{&keys_amx<amx::TileModel>, &screen_amx<amx::TileModel>, true};

}  // namespace

const ScreenKernels& screen_kernels_amx_model() { return amx_model_kernels; }

}  // namespace tiles

namespace amx {

void model_group_dots(const std::uint32_t* centroids, std::size_t pairs, const std::uint32_t* tile, float* dots) {
    TileModel unit;
    unit.configure(tiles::amx_screen_config());
    tiles::amx_group_dots(unit, centroids, pairs, tile, dots);
    unit.release();
}

namespace {

// bf16 halves from a fixed sequence (no generator the training draws from),
// of any sign and significand, with exponents drawn from [low, low + span).
struct Halves {
    std::uint32_t state;

    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    std::uint32_t normal(int low, unsigned span) {
        const std::uint32_t bits = next();
        const std::uint32_t exponent = static_cast<std::uint32_t>(127 + low) + bits % span;
        return (bits >> 6 & 0x8000u) | exponent << 7 | (bits >> 8 & 0x7Fu);
    }
    std::uint32_t subnormal() {
        const std::uint32_t bits = next();
        return (bits >> 4 & 0x8000u) | (1u + (bits >> 8) % 127u);
    }
    // Values whose products and sums straddle 2^-126: subnormals, signed
    // zeros and magnitudes from 2^-66 to 2^-60.
    std::uint32_t tiny() {
        const std::uint32_t bits = next();
        switch (bits % 4u) {
            case 0:
                return subnormal();
            case 1:
                return bits >> 4 & 0x8000u;
            default:
                return normal(-66, 7);
        }
    }
    std::uint32_t pair(int round, bool point) {
        switch (round) {
            case 1:
                return tiny() | tiny() << 16;
            case 2:
                return point ? subnormal() | subnormal() << 16 : normal(30, 31) | normal(30, 31) << 16;
            default:
                return normal(-35, 56) | normal(-35, 56) << 16;
        }
    }
};

}  // namespace

bool agrees_with_model(GroupDots unit) {
    const std::size_t pairs = 2 * pair_block;
    const std::size_t rows = screen_tile_rows, width = tiles::panel_width;
    std::vector<std::uint32_t> tile(pairs * rows), centroids(width * pairs);
    std::vector<float> want(width * rows), got(width * rows);
    Halves halves{2024u};
    for (int round = 0; round < 4; ++round) {
        // Ordinary values; tiny ones on both sides; subnormal points against
        // centroids of 2^30 to 2^60, whose products are normal unless the
        // subnormals read as zero; ordinary values that cancel.
        for (std::uint32_t& p : tile) p = halves.pair(round, true);
        for (std::uint32_t& p : centroids) p = halves.pair(round, false);
        if (round == 3) {
            // Sums that cancel: every pair twice over, once against c and
            // once against -c, so that each accumulator returns to zero
            // after every second step (or to a flushed zero of either sign).
            for (std::size_t q = 0; q < pairs; q += 2) {
                for (std::size_t j = 0; j < width; ++j) centroids[j * pairs + q + 1] = centroids[j * pairs + q] ^ 0x80008000u;
                for (std::size_t r = 0; r < rows; ++r) tile[(q + 1) * rows + r] = tile[q * rows + r];
            }
        }
        model_group_dots(centroids.data(), pairs, tile.data(), want.data());
        std::memset(got.data(), 0xFF, got.size() * sizeof(float));
        unit(centroids.data(), pairs, tile.data(), got.data());
        if (std::memcmp(want.data(), got.data(), want.size() * sizeof(float)) != 0) return false;
    }
    return true;
}

}  // namespace amx
}  // namespace quorla::engine
