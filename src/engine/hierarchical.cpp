// The hierarchical start: a coarse training, then one fine training per
// coarse cluster, one after the other on the calling thread, each spreading
// its label steps over the pool.
#include "engine/hierarchical.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "engine/core/fault.hpp"
#include "engine/core/progress.hpp"
#include "engine/updates/cost.hpp"

namespace quorla::engine {
namespace {

// What the levels' trainings hear from the caller: its stop requests, so
// that an interrupt ends them as it ends any iteration; their own
// iterations report nothing, the levels report once each.
class LevelMonitor final : public CallMonitor {
public:
    explicit LevelMonitor(CallMonitor* caller) : caller_(caller) {}
    bool stop_requested() override { return caller_->stop_requested(); }
    bool wants_progress() const override { return false; }
    bool report(ProgressPhase, std::uint64_t, float) override { return true; }

private:
    CallMonitor* caller_;
};

Model level_model(const Model& model, std::uint64_t k) {
    Model level = Model::create(k);
    level.euclidean = model.euclidean;
    level.iterations = level_iterations;
    return level;
}

void tell(const Model& model, const ExecutionContext& context, ProgressPhase phase, const std::string& line,
          float cost) {
    if (model.verbose) write_line(line + " | Cost: " + format_fixed(cost, 6) + "\n");
    context.report(phase, 1, cost);
}

}  // namespace

std::uint64_t coarse_clusters(std::uint64_t k) {
    if (k < 64) return 0;
    return static_cast<std::uint64_t>(std::llround(std::sqrt(static_cast<double>(k))));
}

std::vector<std::uint64_t> fine_counts(const std::vector<std::uint64_t>& sizes, std::uint64_t k) {
    const std::uint64_t n = std::accumulate(sizes.begin(), sizes.end(), std::uint64_t{0});
    if (n == 0) raise_fault("Fine clusters for no points");
    std::vector<std::uint64_t> counts(sizes.size());
    std::vector<std::uint64_t> remainders(sizes.size());
    std::uint64_t given = 0;
    for (std::size_t c = 0; c < sizes.size(); ++c) {
        // k x size passes 2^64 only past 2^32 points; 128-bit products keep
        // every share exact.
        __extension__ using Wide = unsigned __int128;
        const Wide share = static_cast<Wide>(k) * sizes[c];
        counts[c] = static_cast<std::uint64_t>(share / n);
        remainders[c] = static_cast<std::uint64_t>(share % n);
        given += counts[c];
    }
    std::vector<std::size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return remainders[a] > remainders[b]; });
    for (std::size_t i = 0; given < k; ++i) {
        if (i == order.size()) raise_fault("Fine clusters left over with no coarse cluster to take them");
        ++counts[order[i]];
        ++given;
    }
    return counts;
}

Matrix hierarchical_start(const Model& model, const PointView& points, const ExecutionContext& context,
                          const TrainingOptions& options) {
    const std::uint64_t k = model.n_clusters;
    const std::uint64_t k1 = coarse_clusters(k);
    if (k1 == 0 || points.rows < k) raise_fault("Hierarchical start for too few clusters or points");
    const bool telling = model.verbose || context.wants_progress();
    LevelMonitor monitor(context.monitor);
    ExecutionContext quiet = context;
    quiet.monitor = context.monitor != nullptr ? &monitor : nullptr;
    TrainingOptions level_options = options;
    level_options.label_shares = nullptr;

    Model coarse = level_model(model, k1);
    run_training(coarse, points, quiet, level_options);
    if (telling) {
        tell(model, context, ProgressPhase::coarse, "Coarse level: " + std::to_string(k1) + " clusters",
             training_cost(coarse, points, &context));
    }

    std::vector<std::vector<std::uint64_t>> members(k1);
    for (std::uint64_t i = 0; i < points.rows; ++i) members[coarse.labels[i]].push_back(i);
    std::vector<std::uint64_t> sizes(k1);
    for (std::uint64_t c = 0; c < k1; ++c) sizes[c] = members[c].size();
    const std::vector<std::uint64_t> counts = fine_counts(sizes, k);

    Matrix start(k, points.cols);
    std::uint64_t placed = 0;
    double cost_sum = 0.0;
    for (std::uint64_t c = 0; c < k1; ++c) {
        if (counts[c] == 0) continue;
        Matrix rows(members[c].size(), points.cols);
        for (std::size_t r = 0; r < members[c].size(); ++r) points.copy_row(members[c][r], rows.row(r).data());
        Model fine = level_model(model, counts[c]);
        run_training(fine, rows.view(), quiet, level_options);
        for (std::uint64_t j = 0; j < counts[c]; ++j) {
            const std::span<const float> from = fine.centroids->row(j);
            std::copy(from.begin(), from.end(), start.row(placed + j).begin());
        }
        placed += counts[c];
        if (telling) {
            cost_sum += static_cast<double>(training_cost(fine, rows.view(), &context)) * static_cast<double>(sizes[c]);
        }
    }
    if (placed != k) raise_fault("Fine levels placed another number of centroids");
    if (telling) {
        tell(model, context, ProgressPhase::fine,
             "Fine level: " + std::to_string(k) + " clusters in " + std::to_string(k1) + " groups",
             static_cast<float>(cost_sum / static_cast<double>(points.rows)));
    }
    return start;
}

}  // namespace quorla::engine
