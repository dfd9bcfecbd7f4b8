// What one engine call takes from outside the engine: the worker pool, the
// kernel level, the random generator and the machine's memory. The interface
// builds a context per call from the process's pool, the detected level, the
// calling thread's generator and the memory the system reports; tests build
// their own. Engine code reads none of these from anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "engine/fault.hpp"
#include "engine/kernel_level.hpp"
#include "engine/random.hpp"
#include "parallel/pool.hpp"

namespace quorla::engine {

struct ExecutionContext {
    // Null: every piece of work runs on the calling thread. A pool that is
    // still absent is created by the first piece of work that needs it.
    parallel::PoolRegistry* pool = nullptr;
    KernelLevel level = KernelLevel::scalar;
    // Training draws from it; assignment never does. Used on the calling
    // thread only.
    ThreadRandom* random = nullptr;
    // Bytes of memory and swap the machine has. Results that need more are
    // refused before any work: with memory overcommitted, allocating them
    // would succeed and the process would be killed while filling them.
    std::uint64_t memory_bytes = UINT64_MAX;

    // How many workers a piece of work may be spread over (creates an
    // absent pool).
    std::size_t workers() const { return pool != nullptr ? pool->thread_count() : 1; }

    // body(begin, end, worker) over pieces covering [0, n), on the pool when
    // there is one, else as a single piece on the calling thread.
    template <class Body>
    void for_each_piece(std::size_t n, std::size_t grain, Body&& body) const {
        if (pool != nullptr) {
            pool->for_each_piece(n, grain, std::forward<Body>(body));
        } else if (n > 0) {
            body(std::size_t{0}, n, std::size_t{0});
        }
    }

    // std::bad_alloc, before any work, for a call that needs more bytes
    // than the machine has.
    void require_memory(std::uint64_t bytes) const {
        if (bytes > memory_bytes) throw std::bad_alloc();
    }

    ThreadRandom& generator() const {
        if (random == nullptr) raise_fault("Training needs a random generator");
        return *random;
    }
};

}  // namespace quorla::engine
