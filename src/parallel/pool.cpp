// Worker pool internals: env/processor thread-count rules, thread start-up
// and failed-start cleanup, job dispatch, and the leaked global registry.
// The loop templates and the public declarations are in pool.hpp.
#include "parallel/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace quorla::parallel {
namespace {

constexpr const char* kAlreadyInitialized = "The global thread pool has already been initialized.";
constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

// Workers keep their scratch on the heap, so the default 8 MiB stacks would
// only reserve address space; a small fixed size lets large counts start.
constexpr std::size_t kStackBytes = std::size_t{1} << 20;

// Spinning before sleeping lets back-to-back jobs (several per clustering
// iteration, tens of microseconds apart) skip the futex round trip on an
// idle machine. The bound is wall time, read every few dozen pauses: a
// spinner that loses its core to another process finds the time used up
// when it gets the core back, and sleeps at once instead of spinning on a
// core that process needs. No sched_yield: on a busy core it gives the core
// away for a whole time slice, far longer than any wait worth spinning for.
// Short, because the caller runs pieces itself: a worker that sleeps through
// the start of a job costs only the pieces it misses, and on a shared
// machine 200 us of spinning measured slower than 20 us.
constexpr std::chrono::microseconds kSpinTime{20};
constexpr int kPausesPerClockRead = 32;

// How often a caller with a poll pauses its job to ask it: well below the
// half second in which an interrupt should end a call, and far above the
// cost of a pause (the running pieces end, of a millisecond or two each).
constexpr std::chrono::milliseconds kPollInterval{100};
constexpr std::chrono::milliseconds kCallerRecheck{1};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

template <class Ready>
bool spin_until(Ready ready) {
    const auto give_up = std::chrono::steady_clock::now() + kSpinTime;
    for (;;) {
        for (int i = 0; i < kPausesPerClockRead; ++i) {
            if (ready()) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= give_up) return ready();
    }
}

}  // namespace

std::optional<std::uint64_t> parse_env_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t cap_thread_count(std::uint64_t requested) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(requested, kMaxThreads));
}

std::size_t automatic_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                   std::size_t processors) {
    const std::size_t fallback = cap_thread_count(std::max<std::size_t>(processors, 1));
    if (auto n = parse_env_count(rayon_num_threads)) return *n > 0 ? cap_thread_count(*n) : fallback;
    if (auto n = parse_env_count(rayon_rs_num_cpus); n && *n > 0) return cap_thread_count(*n);
    return fallback;
}

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        if (int count = CPU_COUNT(&set); count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

std::size_t environment_thread_count() {
    return automatic_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                  std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
}

// ---------------------------------------------------------------- WorkerPool

// Everything a worker writes at start-up is allocated here, before any
// thread exists, so a start-up that runs out of memory fails in the
// constructor (bad_alloc, reported by the caller) and never on a worker.
WorkerPool::WorkerPool(std::size_t threads)
    : threads_(threads), seats_(threads), members_(threads), owner_(getpid()) {
    handles_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) seats_[i] = {this, i};
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_cv_.notify_all();
    reserve_cv_.notify_all();
    for (pthread_t handle : handles_) pthread_join(handle, nullptr);
}

int WorkerPool::start(const Spawner& spawn) {
    pthread_attr_t attr;
    if (int rc = pthread_attr_init(&attr); rc != 0) return rc;
    // The size is a hint; if the platform rejects it the default still works.
    pthread_attr_setstacksize(&attr, kStackBytes);
    int rc = 0;
    while (handles_.size() < threads_) {
        pthread_t handle;
        if ((rc = spawn(&handle, &attr, &WorkerPool::entry, &seats_[handles_.size()])) != 0) break;
        handles_.push_back(handle);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) return rc;  // the destructor stops the workers that did start
    std::unique_lock lock(mutex_);
    done_cv_.wait(lock, [&] { return started_ == threads_; });
    // Every member slot is written now; sorted, a nested call finds its
    // worker by binary search. Publishing the pool orders this before any run().
    std::sort(members_.begin(), members_.end(),
              [](const Member& a, const Member& b) { return a.id < b.id; });
    return 0;
}

void* WorkerPool::entry(void* seat) {
    const Seat& mine = *static_cast<const Seat*>(seat);
    mine.pool->worker_main(mine.index);
    return nullptr;
}

void WorkerPool::worker_main(std::size_t index) {
    // get_id() wraps pthread_self(), which reads the thread's own descriptor:
    // no thread_local block is allocated for it.
    members_[index] = {std::this_thread::get_id(), index};
    {
        std::lock_guard lock(mutex_);
        ++started_;
    }
    done_cv_.notify_all();
    if (index == 0) {
        // Worker 0's pieces run on the submitting thread; this one sleeps
        // on a condition of its own so that no wake-up meant for a worker
        // is spent on it.
        std::unique_lock lock(mutex_);
        reserve_cv_.wait(lock, [&] { return stopping_; });
        return;
    }
    auto open_pieces = [&] { return remaining_.load(std::memory_order_relaxed) != 0; };
    for (;;) {
        bool worked = false;
        std::size_t piece = 0;
        while (claim(piece)) {
            run_piece(piece, index);
            worked = true;
        }
        // Just out of a job, the next one is likely to follow at once. A
        // worker that found nothing to claim (woken late, or its spin saw
        // pieces the others took first) sleeps straight away.
        if (worked && spin_until(open_pieces)) continue;
        std::unique_lock lock(mutex_);
        sleepers_.fetch_add(1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with open()'s
        const std::uint64_t early_calls = early_calls_;
        wake_cv_.wait(lock, [&] {
            return stopping_ || remaining_.load(std::memory_order_relaxed) != 0 || early_calls_ != early_calls;
        });
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        if (stopping_) return;
        // Woken ahead of a job: it waits for it as after one of its own.
        if (remaining_.load(std::memory_order_relaxed) == 0) {
            lock.unlock();
            spin_until(open_pieces);
        }
    }
}

namespace {

// Piece p of `pieces` near-equal pieces of [0, n): the first n % pieces get
// one more element. Computed this way nothing overflows even for n near
// SIZE_MAX.
std::pair<std::size_t, std::size_t> piece_bounds(std::size_t p, std::size_t n, std::size_t pieces) {
    const std::size_t base = n / pieces, extra = n % pieces;
    const std::size_t begin = p * base + std::min(p, extra);
    return {begin, begin + base + (p < extra ? 1 : 0)};
}

}  // namespace

bool WorkerPool::claim(std::size_t& piece) {
    std::size_t left = remaining_.load(std::memory_order_relaxed);
    while (left != 0) {
        // Acquire pairs with open(): whoever takes a piece sees the job's
        // description, even when it read `left` during an earlier job.
        if (remaining_.compare_exchange_weak(left, left - 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
            piece = pieces_ - left;
            return true;
        }
    }
    return false;
}

void WorkerPool::run_piece(std::size_t piece, std::size_t worker) {
    const auto [begin, end] = piece_bounds(piece, n_, pieces_);
    std::size_t done = 1;
    try {
        fn_(ctx_, begin, end, worker);
    } catch (...) {
        // Only the first failure is kept. The pieces nobody claimed yet are
        // given up and counted as finished, so the caller stops waiting
        // once the ones already running end.
        if (!failed_.exchange(true, std::memory_order_acq_rel)) error_ = std::current_exception();
        done += remaining_.exchange(0, std::memory_order_acq_rel);
    }
    // Release: the caller that sees the count sees what the piece wrote.
    finished_.fetch_add(done, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with pause()'s
    if (caller_asleep_.load(std::memory_order_relaxed)) {
        // Taking the lock orders this notify after the caller's last look
        // at the count, so the wake-up cannot be lost.
        { std::lock_guard lock(mutex_); }
        done_cv_.notify_all();
    }
}

void WorkerPool::run(std::size_t n, std::size_t grain, PieceFn fn, void* ctx, PollFn poll, void* poll_ctx) {
    if (n == 0) return;
    // A body that itself calls the loop runs inline on its worker: waiting
    // for the pool from inside one of its own jobs would never end.
    if (const std::optional<std::size_t> worker = own_worker()) {
        fn(ctx, 0, n, *worker);
        return;
    }
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t by_grain = n / grain + (n % grain != 0 ? 1 : 0);
    const std::size_t pieces = std::min(n, std::max(threads_, by_grain));
    // In a forked child the workers are gone, and the pool's locks may be
    // held by threads that are gone too: neither is touched.
    if (getpid() != owner_) {
        run_inline(n, pieces, fn, ctx, poll, poll_ctx);
        return;
    }
    if (submitter_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        // From this thread's own piece or poll. A piece of the outer job
        // runs as worker 0, and so does this loop, inside that piece.
        fn(ctx, 0, n, 0);
        return;
    }
    // Waking a worker costs a few microseconds when it is idle, and a time
    // slice when its core is busy; a loop of one piece, or of no more items
    // than its caller would put in one piece, is done sooner here.
    if (pieces == 1 || n <= grain || threads_ == 1) {
        run_inline(n, pieces, fn, ctx, poll, poll_ctx);
        return;
    }
    // The thread holding the workers may be running its poll, and the poll
    // may wait for something this thread holds (the interpreter lock, when
    // a signal handler lets this thread run). So this thread does not wait.
    std::unique_lock submit(submit_mutex_, std::try_to_lock);
    if (!submit.owns_lock()) {
        run_inline(n, pieces, fn, ctx, poll, poll_ctx);
        return;
    }
    struct Submitting {
        std::atomic<std::thread::id>& slot;
        explicit Submitting(std::atomic<std::thread::id>& s) : slot(s) {
            slot.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Submitting() { slot.store(std::thread::id{}, std::memory_order_relaxed); }
    } submitting(submitter_);
    // No piece can be claimed now (the last job ended with none left), so
    // no other thread reads these until open() publishes them.
    fn_ = fn;
    ctx_ = ctx;
    n_ = n;
    pieces_ = pieces;
    error_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    finished_.store(0, std::memory_order_relaxed);
    open(pieces);

    auto next_poll = std::chrono::steady_clock::now() + kPollInterval;
    std::size_t piece = 0;
    bool ended = false;
    while (!ended && claim(piece)) {
        run_piece(piece, 0);
        if (poll == nullptr || std::chrono::steady_clock::now() < next_poll) continue;
        const std::size_t unclaimed = pause();
        // No piece runs now, on any thread, and none can start.
        ended = unclaimed == 0 || failed_.load(std::memory_order_relaxed) || poll(poll_ctx);
        if (!ended) open(unclaimed);
        next_poll = std::chrono::steady_clock::now() + kPollInterval;
    }
    // Every piece is claimed or given up: wait for the ones still running.
    if (!ended) pause();
    if (error_) {
        std::exception_ptr error = std::exchange(error_, nullptr);
        std::rethrow_exception(error);  // the original object: bad_alloc stays bad_alloc
    }
}

void WorkerPool::wake_early() {
    if (threads_ < 2 || sleepers_.load(std::memory_order_relaxed) == 0) return;
    if (getpid() != owner_) return;  // as in run(): nothing of the parent's is touched
    {
        std::lock_guard lock(mutex_);
        ++early_calls_;
    }
    wake_cv_.notify_all();
}

void WorkerPool::open(std::size_t unclaimed) {
    // Release: a worker whose claim reads this sees the job's description.
    remaining_.store(unclaimed, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with worker_main()'s
    // The caller takes one piece itself; only sleepers need a futex call.
    const std::size_t wanted = std::min(unclaimed - 1, threads_ - 1);
    const std::size_t asleep = sleepers_.load(std::memory_order_relaxed);
    if (wanted == 0 || asleep == 0) return;
    // Taking the lock orders the notify after a sleeper's last look at
    // remaining_, so the wake-up cannot be lost.
    { std::lock_guard lock(mutex_); }
    if (wanted >= asleep) {
        wake_cv_.notify_all();
    } else {
        for (std::size_t i = 0; i < wanted; ++i) wake_cv_.notify_one();
    }
}

std::size_t WorkerPool::pause() {
    const std::size_t unclaimed = remaining_.exchange(0, std::memory_order_acq_rel);
    const std::size_t claimed = pieces_ - unclaimed;
    // Acquire: what the finished pieces wrote (and error_) is visible here.
    auto all_finished = [&] { return finished_.load(std::memory_order_acquire) >= claimed; };
    if (!spin_until(all_finished)) {
        std::unique_lock lock(mutex_);
        caller_asleep_.store(true, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with run_piece()'s
        // The handshake cannot lose the last piece's wake-up; the timed
        // wait is there in case a platform orders memory less strictly than
        // it promises, where a lost wake-up then costs a millisecond and
        // not the whole process.
        while (!done_cv_.wait_for(lock, kCallerRecheck, all_finished)) {
        }
        caller_asleep_.store(false, std::memory_order_relaxed);
    }
    return unclaimed;
}

void WorkerPool::run_inline(std::size_t n, std::size_t pieces, PieceFn fn, void* ctx, PollFn poll,
                            void* poll_ctx) {
    auto next_poll = std::chrono::steady_clock::now() + kPollInterval;
    for (std::size_t p = 0; p < pieces; ++p) {
        if (poll != nullptr && std::chrono::steady_clock::now() >= next_poll) {
            if (poll(poll_ctx)) return;
            next_poll = std::chrono::steady_clock::now() + kPollInterval;
        }
        const auto [begin, end] = piece_bounds(p, n, pieces);
        fn(ctx, begin, end, 0);
    }
}

std::optional<std::size_t> WorkerPool::own_worker() const {
    const std::thread::id self = std::this_thread::get_id();
    const auto found = std::lower_bound(members_.begin(), members_.end(), self,
                                        [](const Member& m, std::thread::id id) { return m.id < id; });
    if (found == members_.end() || found->id != self) return std::nullopt;
    return found->index;
}

// -------------------------------------------------------------- PoolRegistry

PoolRegistry::PoolRegistry(Spawner spawn, AutomaticCount automatic)
    : spawn_(std::move(spawn)), automatic_(std::move(automatic)) {}

PoolRegistry::~PoolRegistry() = default;

PoolState PoolRegistry::state() {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<std::string> PoolRegistry::configure(std::uint64_t num_threads) {
    std::lock_guard lock(mutex_);
    if (state_ != PoolState::absent) return kAlreadyInitialized;
    return create_locked(num_threads);
}

std::optional<std::string> PoolRegistry::create_locked(std::uint64_t requested) {
    // Mark the attempt first: even if something below throws, no second
    // attempt may follow.
    state_ = PoolState::failed;
    const std::size_t count = requested == 0 ? cap_thread_count(std::max<std::size_t>(automatic_(), 1))
                                             : cap_thread_count(requested);
    auto workers = std::make_unique<WorkerPool>(count);
    if (int rc = workers->start(spawn_); rc != 0) return std::generic_category().message(rc);
    owned_ = std::move(workers);
    ready_.store(owned_.get(), std::memory_order_release);
    state_ = PoolState::created;
    return std::nullopt;
}

void PoolRegistry::wake_early() {
    if (WorkerPool* ready = ready_.load(std::memory_order_acquire)) ready->wake_early();
}

WorkerPool& PoolRegistry::pool() {
    if (WorkerPool* ready = ready_.load(std::memory_order_acquire)) return *ready;
    std::lock_guard lock(mutex_);
    if (state_ == PoolState::absent) create_locked(0);
    if (state_ != PoolState::created) throw PoolFault(kNotInitialized);
    return *owned_;
}

// ------------------------------------------------------------------- global

namespace {

// Leaked on purpose: workers are never joined, and a static destructor
// tearing the pool down at exit could race with them.
std::atomic<PoolRegistry*> global_instance{nullptr};

// The child of fork() keeps only the forking thread: the parent's workers
// are gone and their locks may stay held forever, so a loop would wait for
// ever. The child is a new process and gets a registry of its own, which
// creates its pool on first use; the parent's one is left untouched.
void forget_pool_in_child() { global_instance.store(new PoolRegistry(), std::memory_order_relaxed); }

}  // namespace

PoolRegistry& global_registry() {
    // A guarded static rather than std::call_once: call_once passes its
    // callable through libstdc++'s thread_local state on every call, and that
    // block too is allocated on first touch in a thread that could not get
    // the memory.
    static const bool installed = [] {
        global_instance.store(new PoolRegistry(), std::memory_order_release);
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        return true;
    }();
    (void)installed;
    return *global_instance.load(std::memory_order_acquire);
}

}  // namespace quorla::parallel
