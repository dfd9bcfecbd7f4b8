// Helpers shared by the engine tests: owned point matrices with views of
// several layouts, a generator with a fixed seed for the driver, and
// execution contexts with a chosen pool, level and generator.
#pragma once

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/core/execution_context.hpp"
#include "engine/core/matrix.hpp"
#include "engine/core/model.hpp"
#include "engine/core/random.hpp"
#include "engine/scan/scan.hpp"
#include "parallel/pool.hpp"

namespace quorla::test {

// Row-major storage plus views on it. `padded` stores each row with `pad`
// unused floats after it, and `transposed` stores column-major.
struct Points {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<float> values;  // row-major

    static Points gaussian(std::size_t rows, std::size_t cols, std::uint32_t seed, float spread = 1.0f) {
        Points p{rows, cols, std::vector<float>(rows * cols)};
        std::mt19937 engine(seed);
        std::normal_distribution<float> normal(0.0f, spread);
        for (float& v : p.values) v = normal(engine);
        return p;
    }
    static Points of(std::size_t rows, std::size_t cols, std::vector<float> values) {
        return Points{rows, cols, std::move(values)};
    }

    engine::PointView view() const {
        return {values.data(), rows, cols, static_cast<std::int64_t>(cols), 1};
    }
};

// The same values in other layouts; each keeps its storage alive.
struct Layout {
    std::vector<float> storage;
    engine::PointView view;

    static Layout transposed(const Points& p) {
        Layout l;
        l.storage.resize(p.values.size());
        for (std::size_t i = 0; i < p.rows; ++i)
            for (std::size_t j = 0; j < p.cols; ++j) l.storage[j * p.rows + i] = p.values[i * p.cols + j];
        l.view = {l.storage.data(), p.rows, p.cols, 1, static_cast<std::int64_t>(p.rows)};
        return l;
    }
    static Layout reversed_padded(const Points& p, std::size_t pad) {
        Layout l;
        const std::size_t width = p.cols + pad;
        l.storage.assign(p.rows * width, -999.0f);
        for (std::size_t i = 0; i < p.rows; ++i)
            for (std::size_t j = 0; j < p.cols; ++j) l.storage[(p.rows - 1 - i) * width + j] = p.values[i * p.cols + j];
        const float* last = l.storage.data() + (p.rows - 1) * width;
        l.view = {last, p.rows, p.cols, -static_cast<std::int64_t>(width), 1};
        return l;
    }
};

// A generator whose seeds are a pure function of a counter, so that a test
// can run the driver twice on the same random stream.
inline engine::ThreadRandom seeded_random(std::uint8_t seed) {
    auto counter = std::make_shared<std::uint8_t>(0);
    return engine::ThreadRandom([seed, counter](std::span<std::uint8_t, 32> out, std::string&) {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(seed + i + 31 * *counter);
        ++*counter;
        return true;
    });
}

// A context at `level` on `pool` (nullptr: the calling thread), drawing from
// `random` if given.
inline engine::ExecutionContext context(engine::KernelLevel level, parallel::PoolRegistry* pool = nullptr,
                                        engine::ThreadRandom* random = nullptr) {
    return {pool, level, random};
}

// A pool of its own for each test that wants one, with `threads` workers.
inline std::unique_ptr<parallel::PoolRegistry> pool_of(std::size_t threads) {
    auto pool = std::make_unique<parallel::PoolRegistry>();
    if (pool->configure(threads).has_value()) throw std::runtime_error("test pool did not start");
    return pool;
}

// Keys of one point against every row of `centroids` at `level`, through
// freshly built panels.
inline std::vector<float> keys_of(std::span<const float> point, const engine::Matrix& centroids, bool euclidean,
                                  float point_norm, engine::KernelLevel level) {
    const engine::CentroidPanels panels(centroids, centroids.rows(), euclidean, level);
    std::vector<float> keys(centroids.rows());
    engine::centroid_keys(panels, point, point_norm, keys);
    return keys;
}

// The label step's choice from keys (smaller is closer): the first smallest
// in Euclidean mode, the last smallest (that is, the last largest dot) in
// inner-product mode. Written out here so that the kernels, which fold the
// choice into their loops, have something independent to meet.
inline std::uint64_t label_from_keys(std::span<const float> keys, bool euclidean) {
    std::size_t best = 0;
    for (std::size_t j = 1; j < keys.size(); ++j) {
        if (euclidean ? keys[j] < keys[best] : keys[j] <= keys[best]) best = j;
    }
    return best;
}

// An untrained model whose centroid rows are the given points.
inline engine::Model model_with_centroids(const Points& centroids, bool euclidean) {
    engine::Model model = engine::Model::create(centroids.rows);
    model.euclidean = euclidean;
    engine::Matrix m(centroids.rows, centroids.cols);
    std::copy(centroids.values.begin(), centroids.values.end(), m.data());
    model.centroids = std::move(m);
    return model;
}

// The same, marked trained, as assignment needs it.
inline engine::Model trained_model(const Points& centroids, bool euclidean) {
    engine::Model model = model_with_centroids(centroids, euclidean);
    model.trained = true;
    return model;
}

}  // namespace quorla::test
