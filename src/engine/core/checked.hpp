// Buffer sizes derived from the caller's shapes. Shapes come from NumPy
// views, which can describe far more elements than memory holds (a
// broadcast view of 2^60 rows costs nothing), so a product of two of them
// can wrap; a wrapped size allocates a small buffer that is then written
// far past its end. Such products fail the way an allocation would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace quorla::engine {

inline std::size_t checked_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product) || product > SIZE_MAX) throw std::bad_alloc();
    return static_cast<std::size_t>(product);
}

inline std::size_t checked_sum(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum) || sum > SIZE_MAX) throw std::bad_alloc();
    return static_cast<std::size_t>(sum);
}

}  // namespace quorla::engine
