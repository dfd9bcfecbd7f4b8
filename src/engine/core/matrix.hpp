// The two matrix shapes the engine works on: the caller's point matrix, only
// ever viewed through signed element strides, and the owned row-major matrix
// that holds centroids and sums. Nothing here computes distances (dot.hpp,
// scan.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/checked.hpp"

namespace quorla::engine {

// A read-only window on someone else's floats. Strides are in elements and may
// be negative (reversed views), zero (broadcast views) or larger than a row.
// Never kept past the call that received it.
struct PointView {
    const float* origin = nullptr;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 1;

    const float* row_start(std::uint64_t i) const {
        return origin + static_cast<std::ptrdiff_t>(i) * row_stride;
    }
    float at(std::uint64_t i, std::uint64_t j) const {
        return row_start(i)[static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    bool row_contiguous() const { return col_stride == 1 || cols <= 1; }

    // Copies row i into `out` (cols floats); rows with unit column stride are
    // copied as one block, other layouts element by element.
    void copy_row(std::uint64_t i, float* out) const;
};

// Owned, row-major. Rows are exposed as spans so that a shape mismatch shows
// up as a length, not as a stray pointer.
class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(checked_product(rows, cols), 0.0f) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::span<float> row(std::size_t i) { return {data_.data() + i * cols_, cols_}; }
    std::span<const float> row(std::size_t i) const { return {data_.data() + i * cols_, cols_}; }
    float* data() { return data_.data(); }
    const float* data() const { return data_.data(); }
    std::span<const float> values() const { return data_; }

    // A matrix viewed as points, for the steps that treat centroids like data.
    PointView view() const {
        return PointView{data_.data(), rows_, cols_, static_cast<std::int64_t>(cols_), 1};
    }

    friend bool operator==(const Matrix&, const Matrix&) = default;

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<float> data_;
};

}  // namespace quorla::engine
