// The process-wide worker pool: thread-count resolution, the pool's
// lifecycle (absent -> created | failed, at most one creation attempt), and
// the parallel loops for_each_piece / parallel_map built on it.
// Nothing here knows about clustering or Python; translating PoolFault and
// the configure() error text into Python exceptions lives in the interface.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorla::parallel {

// Larger requests are reduced to this rather than refused: a count meant as
// "as many as possible" still gets a pool, and no request can make the
// process try to start millions of threads.
inline constexpr std::size_t kMaxThreads = 65535;

// Raised when work needs the pool but no pool can exist (creation failed).
class PoolFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class PoolState { absent, created, failed };

// Same shape as pthread_create so tests can make a chosen spawn fail with a
// chosen error code; returns 0 or an errno-style code.
using Spawner = std::function<int(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>;

// Pure helpers, kept separate so the rules can be tested without threads.
std::optional<std::uint64_t> parse_env_count(const char* text);
std::size_t cap_thread_count(std::uint64_t requested);  // requested > 0
std::size_t automatic_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                   std::size_t processors);
std::size_t available_processors();
std::size_t environment_thread_count();  // reads the environment now

// Fixed set of threads running one job at a time. Each job is split into
// pieces that are claimed one by one from a shared count of unclaimed
// pieces (dynamic balancing). The submitting thread claims pieces too, as
// worker 0, so a job never waits for a worker that has no core: whatever a
// descheduled worker does not claim, the caller runs itself. Worker 0's own
// thread is therefore kept in reserve: the pool starts as many threads as
// its size (the count a caller asked for), and its size is the number of
// threads that run a job, caller included.
//
// A job ends when all its claimed pieces have finished. A worker touches the
// job's description only after claiming one of its pieces, so a worker that
// wakes late, or not at all, never holds the caller up and never sees the
// next job's description half written.
//
// Workers touch no thread_local storage. In a dlopen'ed module glibc
// allocates a thread's block of it on first touch and ends the process when
// that allocation fails, which happens exactly when address space is short
// because thread start-up has just used it up. A worker gets its identity
// through its start argument instead, and a nested call finds out which
// worker it is on from the thread ids recorded at start-up.
class WorkerPool {
public:
    using PieceFn = void (*)(void* ctx, std::size_t begin, std::size_t end, std::size_t worker);
    // Asked by the caller, on its own thread, every poll interval while a
    // job runs; true makes everyone stop claiming pieces.
    using PollFn = bool (*)(void* ctx);

    explicit WorkerPool(std::size_t threads);
    ~WorkerPool();  // stops and joins the workers that started
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int start(const Spawner& spawn);  // 0, or the code of the refused spawn
    std::size_t size() const { return threads_; }
    // Only after start() returned 0. The calling thread runs pieces as
    // worker 0 alongside workers 1 .. size() - 1. With `poll`, the caller
    // asks it every poll interval, each time with no piece running on any
    // thread (a piece of its own is finished first): the poll may run the
    // caller's code, which may free or move what the pieces read. Once it
    // says stop, no further piece starts.
    //
    // The loop runs on the calling thread alone, in the same pieces, when
    // waking workers would not pay (a single piece, no more items than one
    // grain, no worker besides the caller) or when the workers cannot take
    // it: when another thread holds them (waiting for them could block a
    // thread that the holder's poll waits for), and in the child of a fork,
    // where they do not exist.
    void run(std::size_t n, std::size_t grain, PieceFn fn, void* ctx, PollFn poll = nullptr,
             void* poll_ctx = nullptr);

    // Wakes the sleeping workers ahead of a job the caller is about to
    // submit, so that their wake-up overlaps the caller's own work; each
    // waits for a job as long as after one of its own, then sleeps again.
    void wake_early();

private:
    // What a worker's start routine receives; the vector holding these is
    // sized before any thread starts and never moves while one runs.
    struct Seat {
        WorkerPool* pool;
        std::size_t index;
    };
    struct Member {
        std::thread::id id;
        std::size_t index;
    };

    static void* entry(void* seat);
    void worker_main(std::size_t index);
    // Claims the next unclaimed piece of the open job, if there is one.
    bool claim(std::size_t& piece);
    // Runs a claimed piece as `worker` and counts it finished; a failure
    // also gives up the pieces nobody has claimed yet.
    void run_piece(std::size_t piece, std::size_t worker);
    // Opens `unclaimed` pieces of the current job and wakes sleeping workers for them.
    void open(std::size_t unclaimed);
    // Closes the job to further claims and waits for the claimed pieces to
    // finish; returns how many were left unclaimed, for open() to reopen.
    std::size_t pause();
    void run_inline(std::size_t n, std::size_t pieces, PieceFn fn, void* ctx, PollFn poll, void* poll_ctx);
    // The calling thread's worker index if it is one of ours, else nullopt.
    std::optional<std::size_t> own_worker() const;

    const std::size_t threads_;
    std::vector<pthread_t> handles_;
    std::vector<Seat> seats_;
    // Slot i is written by worker i before it checks in; start() sorts the
    // slots by id once every worker has, and they are read-only from then on.
    std::vector<Member> members_;
    std::mutex submit_mutex_;  // one job at a time even if callers are not serialised
    std::mutex mutex_;         // guards sleeping/waking and start/stop
    std::condition_variable wake_cv_, done_cv_;
    std::condition_variable reserve_cv_;  // worker 0's thread waits here for the pool to stop
    std::size_t started_ = 0;
    bool stopping_ = false;
    std::uint64_t early_calls_ = 0;  // wake_early() calls, under mutex_

    // Job description: written by the submitter while no piece can be
    // claimed, read by a thread only after it claimed a piece of the job.
    PieceFn fn_ = nullptr;
    void* ctx_ = nullptr;
    std::size_t n_ = 0, pieces_ = 0;
    std::exception_ptr error_;  // first failure; read once the claimed pieces finished

    // Hot counters on their own cache lines so claiming pieces does not
    // bounce the line that counts finished ones.
    // Pieces of the open job nobody has claimed; 0 when none can be claimed
    // (no job, all claimed, paused, or given up after a failure). A claim
    // takes piece pieces_ - remaining_.
    alignas(64) std::atomic<std::size_t> remaining_{0};
    // Pieces of the current job that finished, or were given up.
    alignas(64) std::atomic<std::size_t> finished_{0};
    std::atomic<bool> failed_{false};
    // Workers asleep on wake_cv_, and whether the caller sleeps on done_cv_:
    // set before the sleeper's last look at the counters, read after the
    // counters change, so either side sees the other. Each side stores, then
    // fences, then loads: a store followed by a load of another variable is
    // the reordering store buffers allow, and only a full fence between them
    // rules it out everywhere. Sequentially consistent loads and stores alone
    // were not enough under AArch64 emulation on x86, where a wake-up went
    // missing and a job hung with every thread asleep.
    alignas(64) std::atomic<std::size_t> sleepers_{0};
    std::atomic<bool> caller_asleep_{false};
    // The process whose threads the workers are; a forked child is another.
    const pid_t owner_;
    // The thread submitting the current job, if any. Its poll can run the
    // caller's code (a Python signal handler), which can start another loop
    // on this pool from that very thread; that loop runs inline.
    std::atomic<std::thread::id> submitter_{};
};

// Owns at most one pool and the state machine around its creation. The
// global functions below use one leaked instance; tests make their own.
class PoolRegistry {
public:
    using AutomaticCount = std::function<std::size_t()>;

    explicit PoolRegistry(Spawner spawn = &pthread_create,
                          AutomaticCount automatic = &environment_thread_count);
    ~PoolRegistry();

    PoolState state();
    // nullopt on success (all workers running), otherwise the error text.
    std::optional<std::string> configure(std::uint64_t num_threads);
    std::size_t thread_count() { return pool().size(); }
    // WorkerPool::wake_early, if the pool exists.
    void wake_early();

    // body(begin, end, worker) over contiguous pieces covering [0, n) once
    // each. Pieces: max(threads, ceil(n / max(grain, 1))), at most n, of
    // near-equal length, claimed dynamically. A worker index (below
    // thread_count()) runs one piece at a time, so per-worker scratch indexed
    // by it needs no locking; the calling thread runs pieces as worker 0.
    // The first exception thrown by body stops further pieces from starting
    // and is rethrown here once no piece is running.
    template <class Body>
    void for_each_piece(std::size_t n, std::size_t grain, Body&& body) {
        WorkerPool& workers = pool();  // creates lazily even for n == 0
        if (n == 0) return;
        workers.run(n, grain, piece_fn<Body>(), erase(body));
    }

    // The same, with `stop()` asked on the calling thread between pieces
    // while none runs (see WorkerPool::run); once it returns true no further
    // piece starts.
    template <class Body, class Stop>
    void for_each_piece(std::size_t n, std::size_t grain, Body&& body, Stop&& stop) {
        WorkerPool& workers = pool();
        if (n == 0) return;
        using S = std::remove_reference_t<Stop>;
        WorkerPool::PollFn poll = [](void* ctx) -> bool { return (*static_cast<S*>(ctx))(); };
        workers.run(n, grain, piece_fn<Body>(), erase(body), poll, erase(stop));
    }

    // Slot i = f(i), in index order. grain defaults to 1 because mapped items
    // are expected to be coarse (whole runs), so per-item balancing wins.
    template <class T, class F>
    std::vector<T> parallel_map(std::size_t n, F&& f, std::size_t grain = 1) {
        static_assert(!std::is_same_v<T, bool>,
                      "vector<bool> packs bits, so neighbouring slots would race");
        std::vector<T> out(n);
        for_each_piece(n, grain, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t i = begin; i < end; ++i) out[i] = f(i);
        });
        return out;
    }

private:
    template <class Body>
    static WorkerPool::PieceFn piece_fn() {
        using B = std::remove_reference_t<Body>;
        return [](void* ctx, std::size_t b, std::size_t e, std::size_t w) { (*static_cast<B*>(ctx))(b, e, w); };
    }
    template <class T>
    static void* erase(T& target) {
        return const_cast<void*>(static_cast<const void*>(std::addressof(target)));
    }

    WorkerPool& pool();
    std::optional<std::string> create_locked(std::uint64_t requested);

    Spawner spawn_;
    AutomaticCount automatic_;
    std::mutex mutex_;
    PoolState state_ = PoolState::absent;
    std::unique_ptr<WorkerPool> owned_;
    std::atomic<WorkerPool*> ready_{nullptr};  // lock-free fast path once created
};

// The process's registry. Only the interface reaches for it, to put it into
// the execution context of a call.
PoolRegistry& global_registry();

}  // namespace quorla::parallel
