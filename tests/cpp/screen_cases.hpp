// The cases the screened scans' cross-checks run over, and their names.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <tuple>

#include "engine/kernels/kernel_level.hpp"
#include "engine/screen/bf16_screen.hpp"

namespace quorla::test {

// (level, unit, (n, d, k), euclidean, threads)
using ScreenShape = std::tuple<std::size_t, std::size_t, std::size_t>;
using ScreenCase = std::tuple<engine::KernelLevel, engine::ScreenUnit, ScreenShape, bool, std::size_t>;

inline std::string screen_case_name(const ::testing::TestParamInfo<ScreenCase>& info) {
    const auto [level, unit, shape, euclidean, threads] = info.param;
    const auto [n, d, k] = shape;
    return std::string(engine::kernel_level_name(level)) + "_" + engine::screen_unit_name(unit) + "_n" +
           std::to_string(n) + "_d" + std::to_string(d) + "_k" + std::to_string(k) + (euclidean ? "_l2" : "_ip") +
           "_t" + std::to_string(threads);
}

}  // namespace quorla::test

// A case runs only where the machine has both its level and its unit.
#define SKIP_UNLESS_SCREEN_CASE_RUNS(level, unit)                                                      \
    if (!engine::kernel_level_supported(level))                                                        \
        GTEST_SKIP() << engine::kernel_level_name(level) << " not available";                          \
    if (!engine::screen_unit_supported(unit))                                                          \
        GTEST_SKIP() << engine::screen_unit_name(unit) << " not available on this machine"
