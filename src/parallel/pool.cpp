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

// Bounded spin before sleeping: back-to-back jobs (one per clustering
// iteration) then skip the futex round trip. After a few pause rounds the
// spinner yields, so when threads outnumber cores it hands its core to the
// thread that has real work instead of starving it. On busy cores each
// yield can last a time slice, so the spin is bounded in time as well:
// a waiting caller must reach its polls.
constexpr int kSpinRounds = 256;
constexpr std::chrono::microseconds kSpinTime{500};

// How often a waiting caller with a poll pauses its job to ask it: well
// below the half second in which an interrupt should end a call, and far
// above the cost of a pause (the running pieces end, of a millisecond or
// two each, while the workers that finished wait for them).
constexpr std::chrono::milliseconds kPollInterval{100};
constexpr int kPauseRounds = 16;

template <class Ready>
bool spin_until(Ready ready) {
    std::chrono::steady_clock::time_point give_up{};
    for (int i = 0; i < kSpinRounds; ++i) {
        if (ready()) return true;
        if (i >= kPauseRounds) {
            const auto now = std::chrono::steady_clock::now();
            if (i == kPauseRounds) give_up = now + kSpinTime;
            if (now > give_up) break;
            sched_yield();
        } else {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__)
            asm volatile("yield");
#endif
        }
    }
    return ready();
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
    std::uint64_t seen = 0;
    for (;;) {
        if (!spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; })) {
            std::unique_lock lock(mutex_);
            wake_cv_.wait(lock, [&] {
                return stopping_ || generation_.load(std::memory_order_acquire) != seen;
            });
            if (stopping_) return;
        }
        // Exactly one job per generation: the submitter waits for every
        // worker to check in before publishing the next one.
        seen = generation_.load(std::memory_order_acquire);
        work_on_job(index);
        if (finished_.fetch_add(1, std::memory_order_acq_rel) + 1 == threads_) {
            // Taking the lock orders this notify after the submitter's
            // predicate check, so the wake-up cannot be lost.
            { std::lock_guard lock(mutex_); }
            done_cv_.notify_all();
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

void WorkerPool::work_on_job(std::size_t index) {
    for (;;) {
        // A piece claimed after a pause began still runs: the submitter
        // waits for every worker to check in before it polls.
        if (failed_.load(std::memory_order_relaxed) || paused_.load(std::memory_order_relaxed)) return;
        const std::size_t p = next_piece_.fetch_add(1, std::memory_order_relaxed);
        if (p >= pieces_) return;
        const auto [begin, end] = piece_bounds(p, n_, pieces_);
        try {
            fn_(ctx_, begin, end, index);
        } catch (...) {
            // Only the first failure is kept; the flag makes every worker
            // stop claiming pieces at its next loop turn.
            if (!failed_.exchange(true, std::memory_order_acq_rel)) error_ = std::current_exception();
        }
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
        fn(ctx, 0, n, 0);  // from this thread's own poll; the outer job's scratch is not this loop's
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
    fn_ = fn;
    ctx_ = ctx;
    n_ = n;
    pieces_ = pieces;
    error_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    next_piece_.store(0, std::memory_order_relaxed);
    publish();
    wait_for_workers(poll, poll_ctx);
    if (error_) {
        std::exception_ptr error = std::exchange(error_, nullptr);
        std::rethrow_exception(error);  // the original object: bad_alloc stays bad_alloc
    }
}

void WorkerPool::publish() {
    finished_.store(0, std::memory_order_relaxed);
    paused_.store(false, std::memory_order_relaxed);
    {
        std::lock_guard lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_cv_.notify_all();
}

void WorkerPool::wait_for_workers(PollFn poll, void* poll_ctx) {
    auto all_done = [&] { return finished_.load(std::memory_order_acquire) == threads_; };
    if (spin_until(all_done)) return;
    std::unique_lock lock(mutex_);
    if (poll == nullptr) {
        done_cv_.wait(lock, all_done);
        return;
    }
    for (;;) {
        if (done_cv_.wait_for(lock, kPollInterval, all_done)) return;
        paused_.store(true, std::memory_order_relaxed);
        done_cv_.wait(lock, all_done);
        const bool claimed_all = next_piece_.load(std::memory_order_relaxed) >= pieces_;
        if (claimed_all || failed_.load(std::memory_order_relaxed)) return;
        // No piece runs now. The poll may run the caller's code, and the
        // workers need the lock to check in once they resume.
        lock.unlock();
        if (poll(poll_ctx)) return;
        publish();
        lock.lock();
    }
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
