// The training cost.
#include "engine/updates/cost.hpp"

#include <vector>

#include "engine/kernels/dot.hpp"
#include "engine/core/fault.hpp"

namespace quorla::engine {

float training_cost(const Model& model, const PointView& points, const ExecutionContext* context) {
    if (!model.centroids) raise_fault("Cost without a centroid matrix");
    const Matrix& centroids = *model.centroids;
    if (model.labels.size() < points.rows) raise_fault("Point index beyond the labels");
    std::vector<float> row(points.row_contiguous() ? 0 : points.cols);
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < points.rows; ++i) {
        if (context != nullptr && i % 4096 == 0) context->check_stop();
        const std::uint64_t c = model.labels[i];
        if (c >= centroids.rows()) raise_fault("Label beyond the centroid rows");
        const float* x = points.row_start(i);
        if (!points.row_contiguous()) {
            points.copy_row(i, row.data());
            x = row.data();
        }
        const float* centroid = centroids.row(c).data();
        sum += model.euclidean ? squared_distance_f32(x, centroid, points.cols) : dot_f32(x, centroid, points.cols);
    }
    return sum / static_cast<float>(points.rows);
}

}  // namespace quorla::engine
