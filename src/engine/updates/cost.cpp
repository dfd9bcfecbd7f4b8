// The training cost.
#include "engine/updates/cost.hpp"

#include <algorithm>
#include <vector>

#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"

namespace quorla::engine {

namespace {

// Points whose terms are computed together before they join the sum: the
// terms of a chunk stay in L2, and a pool of any size shares each chunk.
constexpr std::size_t cost_chunk = std::size_t{1} << 14;
constexpr std::size_t cost_grain = 1024;

}  // namespace

// Each point's term depends on that point alone, so the pool computes a
// chunk of them at a time; the sum then adds them in point order to one
// running single-precision total, the same bits on any pool.
float training_cost(const Model& model, const PointView& points, const ExecutionContext* context) {
    if (!model.centroids) raise_fault("Cost without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (model.labels.size() < points.rows) raise_fault("Point index beyond the labels");
    const ExecutionContext calling_thread{};
    const ExecutionContext& run_on = context != nullptr ? *context : calling_thread;
    std::vector<float> terms(static_cast<std::size_t>(std::min<std::uint64_t>(points.rows, cost_chunk)));
    float sum = 0.0f;
    for (std::uint64_t first = 0; first < points.rows; first += cost_chunk) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(cost_chunk, points.rows - first));
        if (context != nullptr) context->check_stop();
        run_on.for_each_piece(count, cost_grain, [&](std::size_t begin, std::size_t end, std::size_t) {
            std::vector<float> row(points.row_contiguous() ? 0 : points.cols);
            for (std::size_t t = begin; t < end; ++t) {
                const std::uint64_t i = first + t;
                const std::uint64_t c = model.labels[i];
                if (c >= centroids.rows()) raise_fault("Label beyond the centroid rows");
                const float* x = points.row_start(i);
                if (!points.row_contiguous()) {
                    points.copy_row(i, row.data());
                    x = row.data();
                }
                const float* centroid = centroids.row(c).data();
                terms[t] = model.euclidean ? squared_distance_f32(x, centroid, points.cols)
                                           : dot_f32(x, centroid, points.cols);
            }
        });
        for (std::size_t t = 0; t < count; ++t) sum += terms[t];
    }
    return sum / static_cast<float>(points.rows);
}

}  // namespace quorla::engine
