// Which hardware screen pays on this machine, if any. AVX512_BF16 does
// twice the float rate's work per instruction on some CPUs (AMD Zen 4) and
// the same or less on others (Intel's, where the float FMA has two ports
// and VDPBF16PS one); the tile unit, where it exists, does ten times more
// or better. So presence alone does not decide. The answer comes from one
// measurement per unit, taken on first use and kept for the process: a
// screen tile against a few hundred centroids, and the level's label kernel
// on the same shape, the best of several runs each. This is the only clock
// the engine reads to choose a path, and it picks between paths with the
// same results.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/screen/bf16_screen.hpp"

namespace quorla::engine {
namespace {

constexpr std::size_t probe_dim = 256;
constexpr std::size_t probe_clusters = 256;
constexpr int probe_runs = 7;
// The screen must take less than this share of the label kernel's time:
// the rest of a screened step (rounding, windows, candidates) costs about
// a tenth of a full step.
constexpr double paying_share = 0.75;

template <class Run>
double best_seconds(Run run) {
    double best = 1e300;
    for (int r = 0; r < probe_runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// The unit's screen time per point over the label kernel's.
double screen_share(ScreenUnit unit, KernelLevel level) {
    const tiles::TileKernels& kernels = tiles::kernels_for(level);
    const tiles::ScreenKernels& screen = tiles::screen_kernels_for(unit);
    const std::size_t rows = kernels.tile_rows, dim = probe_dim, k = probe_clusters;
    // Values of one sign and varied magnitudes: keys differ, and few are kept.
    std::uint32_t state = 12345u;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return 0.5f + static_cast<float>(state >> 8) * 0x1p-24f;
    };
    std::vector<float> values(k * dim + tiles::panel_width), centroid_rows(k * dim), tile(rows * dim + rows);
    for (float& v : values) v = next();
    for (float& v : centroid_rows) v = next();
    for (float& v : tile) v = next();
    std::vector<float> norms(std::max(k, screen_tile_rows), 1.0f), point_norms(std::max(rows, screen_tile_rows), 1.0f);
    // dim fills whole blocks of pairs: the centroids take as much room in either layout.
    static_assert(probe_dim % (2 * pair_block) == 0 && probe_clusters % tiles::panel_width == 0);
    std::vector<std::uint32_t> pairs(k * dim / 2), screen_tile(dim / 2 * screen_tile_rows);
    for (std::uint32_t& p : pairs) p = tiles::bf16_pair(next(), next());
    for (std::uint32_t& p : screen_tile) p = tiles::bf16_pair(next(), next());
    const tiles::Panels panels{values.data(), centroid_rows.data(), norms.data(), k, dim, tiles::panel_width, pairs.data()};

    std::vector<std::uint32_t> labels(rows);
    const std::size_t capacity = 16;
    std::vector<std::uint32_t> kept(screen_tile_rows * capacity), sizes(screen_tile_rows);
    std::vector<float> kept_keys(screen_tile_rows * capacity), widths(screen_tile_rows, 1e-3f), lane(screen_tile_rows),
        cuts(screen_tile_rows);
    const tiles::ScreenScratch scratch{capacity,     kept.data(), kept_keys.data(), sizes.data(),
                                       widths.data(), lane.data(), cuts.data()};
    // Per point: the label kernel's tile holds `rows` of them, the screen's 48.
    const double label = best_seconds([&] {
        kernels.label(tile.data(), rows, point_norms.data(), panels, tiles::Rule::lowest_key, labels.data(), nullptr);
    }) / static_cast<double>(rows);
    const double screened = best_seconds([&] {
        std::fill(sizes.begin(), sizes.end(), 0u);
        screen.screen(screen_tile.data(), point_norms.data(), panels, true, scratch);
    }) / static_cast<double>(screen_tile_rows);
    return screened / label;
}

std::optional<ScreenUnit> fastest_paying_unit(KernelLevel level) {
    std::optional<ScreenUnit> fastest;
    double least = paying_share;
    for (const ScreenUnit unit : {ScreenUnit::amx, ScreenUnit::avx512_bf16}) {
        if (!screen_unit_supported(unit)) continue;
        const double share = screen_share(unit, level);
        if (share < least) {
            least = share;
            fastest = unit;
        }
    }
    return fastest;
}

}  // namespace

std::optional<ScreenUnit> detected_screen_unit(KernelLevel level) {
    if (!screen_unit_supported(ScreenUnit::avx512_bf16) && !screen_unit_supported(ScreenUnit::amx)) {
        return std::nullopt;
    }
    static std::mutex lock;
    static std::map<KernelLevel, std::optional<ScreenUnit>> chosen;
    const std::lock_guard<std::mutex> held(lock);
    auto found = chosen.find(level);
    if (found == chosen.end()) found = chosen.emplace(level, fastest_paying_unit(level)).first;
    return found->second;
}

}  // namespace quorla::engine
