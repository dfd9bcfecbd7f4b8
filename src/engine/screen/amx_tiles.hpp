// The AMX tile unit as the bf16 screen uses it, in two forms that run one
// instruction sequence (amx_screen_impl.hpp):
//  - TileModel: portable code that executes the instructions as the
//    architecture manual defines them. It runs on every machine, so the
//    tile path is tested everywhere, and it is the oracle the real unit is
//    checked against before any result depends on it;
//  - the real unit (amx_unit.cpp), on x86-64 Linux where the CPU has
//    AMX-TILE and AMX-BF16 and the kernel grants the tile-data permission.
//
// TDPBF16PS, per element (m, n) of the destination C, with A (m x K pairs)
// and B (K pairs x n), and this order of operations:
//   even = odd = +0
//   for k in 0 .. K - 1:
//       even = fma(A[m].bf16[2k],     B[k].bf16[2n],     even)
//       odd  = fma(A[m].bf16[2k + 1], B[k].bf16[2n + 1], odd)
//   C[m][n] = C[m][n] + (even + odd)
// each operation rounded to nearest even, bf16 inputs below 2^-126 read as
// zero and every result below 2^-126 flushed to zero of its sign. The
// products of two bf16 values are exact, so each fma is one rounded sum;
// the error bound of screen/bf16_bound.hpp holds for any order of those
// sums, this one included.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorla::engine::amx {

inline constexpr int tile_registers = 8;
inline constexpr std::size_t max_rows = 16;
inline constexpr std::size_t max_row_bytes = 64;

// The 64-byte operand of LDTILECFG, palette 1: per tile, its rows and the
// bytes of each row. A tile with no rows is not configured.
struct alignas(64) TileConfig {
    std::uint8_t palette = 1;
    std::uint8_t start_row = 0;
    std::uint8_t reserved[14] = {};
    std::uint16_t row_bytes[16] = {};
    std::uint8_t rows[16] = {};
};
static_assert(sizeof(TileConfig) == 64, "LDTILECFG reads 64 bytes");

// Executes the tile instructions on eight tile registers held in memory.
// What the real unit would refuse (a tile used before it is configured, or
// shapes that do not fit) is an internal fault here. Tile numbers are
// template arguments, as the instructions encode them.
class TileModel {
public:
    void configure(const TileConfig& config);  // LDTILECFG: every tile zeroed
    void release() { configured_ = false; }    // TILERELEASE

    template <int t>
    void zero() {
        zero(t);
    }
    template <int t>
    void load(const void* base, std::size_t stride) {
        load(t, base, stride);
    }
    template <int t>
    void store(void* base, std::size_t stride) const {
        store(t, base, stride);
    }
    template <int c, int a, int b>
    void dot() {
        dot(c, a, b);
    }

    void zero(int t);
    void load(int t, const void* base, std::size_t stride);
    void store(int t, void* base, std::size_t stride) const;
    void dot(int c, int a, int b);

private:
    struct Shape {
        std::size_t rows, row_bytes;
    };
    Shape shape(int t) const;

    alignas(64) std::uint8_t tiles_[tile_registers][max_rows * max_row_bytes] = {};
    TileConfig config_{};
    bool configured_ = false;
};

// The dots of a group of 16 centroids (rows of `pairs` pairs) against a
// screen tile (pair-major, `pairs` deep), as a unit computes them with the
// screen's instruction sequence (amx_screen_impl.hpp), configuration and
// release included: dots[j * screen_tile_rows + r].
using GroupDots = void (*)(const std::uint32_t* centroids, std::size_t pairs, const std::uint32_t* tile,
                           float* dots);

// The model's.
void model_group_dots(const std::uint32_t* centroids, std::size_t pairs, const std::uint32_t* tile, float* dots);

// True if `unit` gives the model's dots bit for bit on a few tiles: values
// of every sign and of magnitudes from 2^-35 to 2^20, so that the order of
// the sums shows in the last bits, and the awkward ones: subnormal inputs
// against large values, signed zeros, products and sums near 2^-126, exact
// cancellations. Nothing overflows, so no NaN is compared.
bool agrees_with_model(GroupDots unit);

}  // namespace quorla::engine::amx
