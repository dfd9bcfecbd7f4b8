// The hierarchical start: a coarse training spreading its label steps over
// the pool, then the fine trainings, each whole on one worker. Small
// trainings gain little from splitting their steps, and side by side they
// keep every worker busy from the first group to the last.
#include "engine/hierarchical.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <span>
#include <string>

#include "engine/core/fault.hpp"
#include "engine/core/progress.hpp"
#include "engine/core/random.hpp"
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

// The coarse level draws from the start's generator itself; each fine
// level carries the seed of its own.
Model level_model(const Model& model, std::uint64_t k, std::optional<std::uint64_t> seed) {
    Model level = Model::create(k);
    level.euclidean = model.euclidean;
    level.iterations = level_iterations;
    level.seed = seed;
    return level;
}

// What the levels' trainings take from the caller's options: the steps
// and screens, but no shares to report.
TrainingOptions level_options_of(const TrainingOptions& options) {
    TrainingOptions level = options;
    level.label_shares = nullptr;
    return level;
}

// The second stream of a seed: the start's draws leave the training's own
// generator where it was.
constexpr std::uint64_t start_stream = 1;

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

std::vector<FineTask> fine_tasks(const Model& model, const PointView& points, const ExecutionContext& context,
                                 const TrainingOptions& options) {
    const std::uint64_t k = model.n_clusters;
    const std::uint64_t k1 = coarse_clusters(k);
    if (k1 == 0 || points.rows < k) raise_fault("Hierarchical start for too few clusters or points");
    ThreadRandom random(seeded_entropy(model.seed ? *model.seed : context.generator().next_u64(), start_stream));
    LevelMonitor monitor(context.monitor);
    ExecutionContext quiet = context;
    quiet.monitor = context.monitor != nullptr ? &monitor : nullptr;
    quiet.random = &random;
    const TrainingOptions level_options = level_options_of(options);

    Model coarse = level_model(model, k1, std::nullopt);
    run_training(coarse, points, quiet, level_options);
    if (model.verbose || context.wants_progress()) {
        tell(model, context, ProgressPhase::coarse, "Coarse level: " + std::to_string(k1) + " clusters",
             training_cost(coarse, points, &context));
    }

    std::vector<std::vector<std::uint64_t>> members(k1);
    for (std::uint64_t i = 0; i < points.rows; ++i) members[coarse.labels[i]].push_back(i);
    std::vector<std::uint64_t> sizes(k1);
    for (std::uint64_t c = 0; c < k1; ++c) sizes[c] = members[c].size();
    const std::vector<std::uint64_t> counts = fine_counts(sizes, k);
    std::vector<FineTask> tasks;
    for (std::uint64_t c = 0; c < k1; ++c) {
        // Every coarse cluster takes its seed, so that one given nothing
        // moves no other's.
        const std::uint64_t seed = random.next_u64();
        if (counts[c] > 0) tasks.push_back({std::move(members[c]), level_model(model, counts[c], seed)});
    }
    return tasks;
}

Matrix hierarchical_start(const Model& model, const PointView& points, const ExecutionContext& context,
                          const TrainingOptions& options) {
    std::vector<FineTask> tasks = fine_tasks(model, points, context, options);
    std::vector<std::uint64_t> first(tasks.size() + 1, 0);
    for (std::size_t t = 0; t < tasks.size(); ++t) first[t + 1] = first[t] + tasks[t].model.n_clusters;
    if (first.back() != model.n_clusters) raise_fault("Fine levels place another number of centroids");
    // Largest first, so that no worker is left alone with a large one.
    std::vector<std::size_t> order(tasks.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return tasks[a].rows.size() > tasks[b].rows.size(); });

    const bool telling = model.verbose || context.wants_progress();
    const TrainingOptions level_options = level_options_of(options);
    // A worker's training runs alone: no pool to nest into, and no monitor,
    // whose caller answers on the calling thread only; the stop requests
    // are heard between trainings.
    ExecutionContext alone = context;
    alone.pool = nullptr;
    alone.monitor = nullptr;
    Matrix start(model.n_clusters, points.cols);
    std::vector<double> costs(tasks.size(), 0.0);
    context.for_each_piece(tasks.size(), 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            FineTask& task = tasks[order[i]];
            Matrix rows(task.rows.size(), points.cols);
            for (std::size_t r = 0; r < task.rows.size(); ++r) points.copy_row(task.rows[r], rows.row(r).data());
            ThreadRandom random(seeded_entropy(*task.model.seed));
            ExecutionContext own = alone;
            own.random = &random;
            run_training(task.model, rows.view(), own, level_options);
            for (std::uint64_t j = 0; j < task.model.n_clusters; ++j) {
                const std::span<const float> from = task.model.centroids->row(j);
                std::copy(from.begin(), from.end(), start.row(first[order[i]] + j).begin());
            }
            if (telling) {
                costs[order[i]] = static_cast<double>(training_cost(task.model, rows.view(), &own)) *
                                  static_cast<double>(task.rows.size());
            }
        }
    });
    if (telling) {
        const double cost_sum = std::accumulate(costs.begin(), costs.end(), 0.0);
        tell(model, context, ProgressPhase::fine,
             "Fine level: " + std::to_string(model.n_clusters) + " clusters in " + std::to_string(tasks.size()) +
                 " groups",
             static_cast<float>(cost_sum / static_cast<double>(points.rows)));
    }
    return start;
}

}  // namespace quorla::engine
