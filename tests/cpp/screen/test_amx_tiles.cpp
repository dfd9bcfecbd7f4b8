// The tile unit's model: TDPBF16PS as the manual defines it, the shapes it
// refuses, and the self-check that holds the real unit to the model. The
// screens through the model (and the real unit where it exists) run in the
// screened steps' and scans' cross-checks with every other unit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/fault.hpp"
#include "engine/screen/amx_tiles.hpp"
#include "engine/screen/bf16_screen.hpp"

namespace quorla::engine::amx {
namespace {

std::uint32_t half(float value) { return std::bit_cast<std::uint32_t>(value) >> 16; }
std::uint32_t pair(float low, float high) { return half(low) | half(high) << 16; }

// One element, C = acc + A B, through the model's instructions: A one row
// of `a` pairs, B one column.
float one_element(float acc, const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    const std::size_t k = a.size();
    TileConfig config;
    config.rows[0] = 1, config.row_bytes[0] = 4;
    config.rows[1] = 1, config.row_bytes[1] = static_cast<std::uint16_t>(4 * k);
    config.rows[2] = static_cast<std::uint8_t>(k), config.row_bytes[2] = 4;
    TileModel unit;
    unit.configure(config);
    unit.load<0>(&acc, 4);
    unit.load<1>(a.data(), 4 * k);
    unit.load<2>(b.data(), 4);
    unit.dot<0, 1, 2>();
    float out = NAN;
    unit.store<0>(&out, 4);
    return out;
}

struct DotCase {
    const char* name;
    float acc;
    std::vector<std::uint32_t> a, b;
    float want;
};

class AmxModelDot : public ::testing::TestWithParam<DotCase> {};

TEST_P(AmxModelDot, FollowsTheManualsOrderAndFlushes) {
    const DotCase& c = GetParam();
    const float got = one_element(c.acc, c.a, c.b);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(c.want)) << got << " want " << c.want;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AmxModelDot,
    ::testing::Values(
        // Even and odd products summed apart: 2^24 - 2^24 and 1 + 1. One
        // running sum (2^24 + 1 rounds to 2^24) would give 1.
        DotCase{"separate_sums", 0.0f, {pair(0x1p24f, 1.0f), pair(-0x1p24f, 1.0f)}, {pair(1, 1), pair(1, 1)}, 2.0f},
        // The destination is added last: 2^24 + (1 + 2) is 2^24 + 4 after
        // rounding, where adding 1 and then 2 would give 2^24 + 2.
        DotCase{"destination_last", 0x1p24f, {pair(1.0f, 2.0f)}, {pair(1, 1)}, 0x1p24f + 4.0f},
        // A subnormal input reads as zero, although its product with 2^101
        // would be 2^-32.
        DotCase{"subnormal_input", 0.0f, {0x0001u}, {pair(0x1p101f, 0)}, 0.0f},
        // Products and sums below 2^-126 are flushed, keeping their sign.
        DotCase{"tiny_product", 0.0f, {pair(0x1p-70f, 0)}, {pair(0x1p-70f, 0)}, 0.0f},
        DotCase{"tiny_negative", -0.0f, {pair(-0x1p-70f, -0x1p-70f)}, {pair(0x1p-70f, 0x1p-70f)}, -0.0f},
        DotCase{"tiny_difference", 0.0f, {pair(0x1p-120f, -0x1p-120f)}, {pair(0x1.02p-6f, 1.0f / 64)}, 0.0f}),
    [](const ::testing::TestParamInfo<DotCase>& info) { return std::string(info.param.name); });

TEST(AmxModel, RefusesWhatTheUnitRefuses) {
    TileModel unit;
    EXPECT_THROW(unit.zero<0>(), Fault) << "before any configuration";
    TileConfig config;
    config.rows[0] = 17, config.row_bytes[0] = 64;
    EXPECT_THROW(unit.configure(config), Fault);
    config.rows[0] = 2, config.row_bytes[0] = 8;   // C: 2 x 2
    config.rows[1] = 2, config.row_bytes[1] = 12;  // A: 2 x 3 pairs
    config.rows[2] = 2, config.row_bytes[2] = 8;   // B: 2 pairs x 2, one short
    unit.configure(config);
    EXPECT_THROW((unit.dot<0, 1, 2>()), Fault);
    EXPECT_THROW((unit.dot<0, 0, 2>()), Fault);
    EXPECT_THROW(unit.load<5>(&config, 4), Fault) << "a tile left out of the configuration";
    unit.release();
    EXPECT_THROW(unit.zero<0>(), Fault) << "after release";
}

// Units the check must turn away: one running sum per instruction, high
// product first (VDPBF16PS's order); and the manual's order without the
// flushes.
template <bool one_sum, bool flushes>
void other_group_dots(const std::uint32_t* centroids, std::size_t pairs, const std::uint32_t* tile, float* dots) {
    auto value = [](std::uint32_t h) {
        const float v = std::bit_cast<float>((h & 0xFFFFu) << 16);
        return flushes && std::fabs(v) < 0x1p-126f ? std::copysign(0.0f, v) : v;
    };
    auto flush = [](float v) { return flushes && std::fabs(v) < 0x1p-126f ? std::copysign(0.0f, v) : v; };
    for (std::size_t j = 0; j < tiles::panel_width; ++j) {
        for (std::size_t r = 0; r < screen_tile_rows; ++r) {
            float dot = 0.0f;
            for (std::size_t q0 = 0; q0 < pairs; q0 += pair_block) {
                float even = 0.0f, odd = 0.0f;
                for (std::size_t q = q0; q < q0 + pair_block; ++q) {
                    const std::uint32_t x = tile[q * screen_tile_rows + r], y = centroids[j * pairs + q];
                    if (one_sum) {
                        even = flush(std::fma(value(x >> 16), value(y >> 16), even));
                        even = flush(std::fma(value(x), value(y), even));
                    } else {
                        even = flush(std::fma(value(x), value(y), even));
                        odd = flush(std::fma(value(x >> 16), value(y >> 16), odd));
                    }
                }
                dot = flush(dot + flush(even + odd));
            }
            dots[j * screen_tile_rows + r] = dot;
        }
    }
}

TEST(AmxSelfCheck, AcceptsTheModelAndTurnsAwayOtherArithmetic) {
    EXPECT_TRUE(agrees_with_model(&model_group_dots));
    // The manual's arithmetic written out apart from the model agrees too,
    // so the check compares arithmetic and not code.
    EXPECT_TRUE(agrees_with_model(&other_group_dots<false, true>));
    EXPECT_FALSE(agrees_with_model(&other_group_dots<true, true>));
    EXPECT_FALSE(agrees_with_model(&other_group_dots<false, false>));
}

TEST(AmxSelfCheck, TheRealUnitPassedWhereItExists) {
    if (!screen_unit_supported(ScreenUnit::amx)) {
        GTEST_SKIP() << (amx_unit_failed_check() ? "the AMX unit FAILED its self-check and is off"
                                                 : "no AMX unit on this machine: only the model ran");
    }
    const tiles::ScreenKernels& unit = tiles::screen_kernels_for(ScreenUnit::amx);
    EXPECT_TRUE(unit.centroid_rows);
    EXPECT_FALSE(amx_unit_failed_check());
}

}  // namespace
}  // namespace quorla::engine::amx
