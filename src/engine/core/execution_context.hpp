// What one engine call takes from outside the engine: the worker pool, the
// kernel level, the random generator, the machine's memory and the caller's
// monitor. The interface builds a context per call from the process's pool,
// the detected level, the calling thread's generator, the memory the system
// reports and the call's signal checks and progress callable; tests build
// their own. Engine code reads none of these from anywhere else.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "engine/core/fault.hpp"
#include "engine/kernels/kernel_level.hpp"
#include "engine/core/random.hpp"
#include "parallel/pool.hpp"

namespace quorla::engine {

enum class ProgressPhase { iteration, balancing, coarse, fine };

// What a call hears from its caller while it runs, always on the calling
// thread: whether to stop, and a report after every Lloyd iteration and
// balancing pass.
class CallMonitor {
public:
    virtual ~CallMonitor() = default;
    // True once the call must end. Cheap enough to ask between pieces of work.
    virtual bool stop_requested() = 0;
    virtual bool wants_progress() const = 0;
    // False ends the call as stop_requested does.
    virtual bool report(ProgressPhase phase, std::uint64_t step, float cost) = 0;
};

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
    // Null: nobody listens, and the call runs to its end.
    CallMonitor* monitor = nullptr;
    // How many workers a piece of work may be spread over (creates an
    // absent pool).
    std::size_t workers() const { return pool != nullptr ? pool->thread_count() : 1; }
    // Tells sleeping workers that pool work follows shortly (PoolRegistry::wake_early).
    void wake_workers_early() const {
        if (pool != nullptr) pool->wake_early();
    }

    // body(begin, end, worker) over pieces covering [0, n), on the pool when
    // there is one, else on the calling thread. Without a monitor the
    // calling thread takes it as one piece; with one, pieces of `grain` with
    // a stop check between them, as the pool's caller checks between the
    // pieces it runs alongside its workers. A stop ends the loop with
    // CallStopped once no piece is running.
    template <class Body>
    void for_each_piece(std::size_t n, std::size_t grain, Body&& body) const {
        if (pool != nullptr) {
            if (monitor == nullptr) {
                pool->for_each_piece(n, grain, std::forward<Body>(body));
                return;
            }
            bool stopped = false;
            pool->for_each_piece(n, grain, std::forward<Body>(body), [&] { return stopped = monitor->stop_requested(); });
            if (stopped) throw CallStopped{};
        } else if (monitor == nullptr) {
            if (n > 0) body(std::size_t{0}, n, std::size_t{0});
        } else {
            const std::size_t step = grain == 0 ? 1 : grain;
            for (std::size_t begin = 0; begin < n; begin += std::min(step, n - begin)) {
                check_stop();
                body(begin, begin + std::min(step, n - begin), std::size_t{0});
            }
        }
    }

    // body(first, last) over blocks of whole rows of about 2^16 values each,
    // through for_each_piece: the passes that read every value before the
    // real work (the value check, the norms) end as promptly as it does.
    // A single block runs on the calling thread without waking the pool.
    template <class Body>
    void for_each_row_block(std::uint64_t rows, std::uint64_t cols, Body&& body) const {
        constexpr std::uint64_t block_values = std::uint64_t{1} << 16;
        const std::uint64_t per_block = std::max<std::uint64_t>(1, block_values / std::max<std::uint64_t>(cols, 1));
        const std::uint64_t blocks = rows / per_block + (rows % per_block != 0 ? 1 : 0);
        if (blocks <= 1) {
            if (rows > 0) body(std::uint64_t{0}, rows);
            return;
        }
        for_each_piece(static_cast<std::size_t>(blocks), 1, [&](std::size_t begin, std::size_t end, std::size_t) {
            body(begin * per_block, std::min<std::uint64_t>(rows, end * per_block));
        });
    }

    // This context without its pool if the pool does not exist yet: a pass
    // that may still refuse the call must not create it, since a thread
    // count given to the call would then come too late.
    ExecutionContext without_absent_pool() const {
        ExecutionContext copy = *this;
        if (pool != nullptr && pool->state() != parallel::PoolState::created) copy.pool = nullptr;
        return copy;
    }

    // CallStopped if the monitor asks the call to end.
    void check_stop() const {
        if (monitor != nullptr && monitor->stop_requested()) throw CallStopped{};
    }

    bool wants_progress() const { return monitor != nullptr && monitor->wants_progress(); }

    void report(ProgressPhase phase, std::uint64_t step, float cost) const {
        if (monitor != nullptr && !monitor->report(phase, step, cost)) throw CallStopped{};
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
