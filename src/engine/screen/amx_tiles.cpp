// The tile unit's software model.
#include "engine/screen/amx_tiles.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/core/fault.hpp"

namespace quorla::engine::amx {
namespace {

constexpr float smallest_normal = 0x1p-126f;

float flushed(float value) { return std::fabs(value) < smallest_normal ? std::copysign(0.0f, value) : value; }

float bf16_input(std::uint32_t half) {
    const float value = std::bit_cast<float>((half & 0xFFFFu) << 16);
    return flushed(value);
}

// One element of TDPBF16PS over `pairs` pairs: a points at A's row, b at
// B's column n in row 0, b_stride entries apart from one row to the next.
// `acc` is C's element before; returns it after.
float dot_bf16_pairs(float acc, const std::uint32_t* a, const std::uint32_t* b, std::size_t b_stride,
                     std::size_t pairs) {
    float even = 0.0f, odd = 0.0f;
    for (std::size_t k = 0; k < pairs; ++k) {
        const std::uint32_t x = a[k], y = b[k * b_stride];
        even = flushed(std::fma(bf16_input(x), bf16_input(y), even));
        odd = flushed(std::fma(bf16_input(x >> 16), bf16_input(y >> 16), odd));
    }
    return flushed(flushed(acc) + flushed(even + odd));
}

}  // namespace

void TileModel::configure(const TileConfig& config) {
    if (config.palette != 1 || config.start_row != 0) raise_fault("Tile configuration: only palette 1 from row 0");
    for (int t = 0; t < tile_registers; ++t) {
        if (config.rows[t] > max_rows || config.row_bytes[t] > max_row_bytes || config.row_bytes[t] % 4 != 0 ||
            (config.rows[t] == 0) != (config.row_bytes[t] == 0)) {
            raise_fault("Tile configuration: tile " + std::to_string(t) + " has an impossible shape");
        }
    }
    config_ = config;
    std::memset(tiles_, 0, sizeof(tiles_));
    configured_ = true;
}

TileModel::Shape TileModel::shape(int t) const {
    if (!configured_ || t < 0 || t >= tile_registers || config_.rows[t] == 0) {
        raise_fault("Tile " + std::to_string(t) + " used without a configuration");
    }
    return {config_.rows[t], config_.row_bytes[t]};
}

void TileModel::zero(int t) {
    shape(t);
    std::memset(tiles_[t], 0, sizeof(tiles_[t]));
}

// Bytes past a row's configured width, and rows past the configured ones,
// are zero after every write, as the unit leaves them.
void TileModel::load(int t, const void* base, std::size_t stride) {
    const Shape s = shape(t);
    std::memset(tiles_[t], 0, sizeof(tiles_[t]));
    const auto* from = static_cast<const std::uint8_t*>(base);
    for (std::size_t r = 0; r < s.rows; ++r) std::memcpy(tiles_[t] + r * max_row_bytes, from + r * stride, s.row_bytes);
}

void TileModel::store(int t, void* base, std::size_t stride) const {
    const Shape s = shape(t);
    auto* to = static_cast<std::uint8_t*>(base);
    for (std::size_t r = 0; r < s.rows; ++r) std::memcpy(to + r * stride, tiles_[t] + r * max_row_bytes, s.row_bytes);
}

void TileModel::dot(int c, int a, int b) {
    const Shape sc = shape(c), sa = shape(a), sb = shape(b);
    const std::size_t pairs = sa.row_bytes / 4, columns = sc.row_bytes / 4;
    if (c == a || c == b || a == b || sa.rows != sc.rows || sb.rows != pairs || sb.row_bytes != sc.row_bytes) {
        raise_fault("TDPBF16PS: tile shapes do not fit");
    }
    std::uint32_t left[max_rows][max_row_bytes / 4], right[max_rows][max_row_bytes / 4];
    std::memcpy(left, tiles_[a], sizeof(left));
    std::memcpy(right, tiles_[b], sizeof(right));
    for (std::size_t m = 0; m < sc.rows; ++m) {
        float row[max_row_bytes / 4] = {};
        std::memcpy(row, tiles_[c] + m * max_row_bytes, columns * 4);
        for (std::size_t n = 0; n < columns; ++n) row[n] = dot_bf16_pairs(row[n], left[m], &right[0][n], max_row_bytes / 4, pairs);
        std::memcpy(tiles_[c] + m * max_row_bytes, row, sizeof(row));
    }
}

}  // namespace quorla::engine::amx
