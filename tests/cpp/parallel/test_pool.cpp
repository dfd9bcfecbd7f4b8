// Tests for the worker pool: thread-count rules, the creation state machine
// (on private PoolRegistry instances with an injectable spawner), and the
// behaviour of for_each_piece / parallel_map. The global registry is touched
// only in ways that hold whatever order the tests run in.
#include "parallel/pool.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qp = quorla::parallel;

namespace {

constexpr const char* kAlready = "The global thread pool has already been initialized.";
constexpr const char* kNotInit = "The global thread pool has not been initialized.";

// Spawner that counts attempts, can refuse the k-th one, and wraps each
// thread so the test can see whether workers are running or have exited.
struct SpawnLog {
    int fail_at = -1;  // zero-based attempt to refuse; -1 = never
    int code = EAGAIN;
    std::atomic<int> attempts{0}, running{0}, alive{0};
    std::atomic<std::size_t> stack_size{0};
};

struct Trampoline {
    void* (*entry)(void*);
    void* arg;
    SpawnLog* log;
};

qp::Spawner tracking_spawner(const std::shared_ptr<SpawnLog>& log) {
    return [log](pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
        if (log->attempts.fetch_add(1) == log->fail_at) return log->code;
        std::size_t stack = 0;
        pthread_attr_getstacksize(attr, &stack);
        log->stack_size = stack;
        log->alive.fetch_add(1);
        auto* hop = new Trampoline{entry, arg, log.get()};
        void* (*wrapped)(void*) = [](void* p) -> void* {
            std::unique_ptr<Trampoline> t(static_cast<Trampoline*>(p));
            t->log->running.fetch_add(1);
            void* result = t->entry(t->arg);
            t->log->alive.fetch_sub(1);
            return result;
        };
        int rc = pthread_create(thread, attr, wrapped, hop);
        if (rc != 0) {
            log->alive.fetch_sub(1);
            delete hop;
        }
        return rc;
    };
}

qp::PoolRegistry::AutomaticCount fixed(std::size_t n) {
    return [n] { return n; };
}

template <class F>
std::string pool_fault_text(F&& f) {
    try {
        f();
    } catch (const qp::PoolFault& e) {
        return e.what();
    }
    return "<no PoolFault>";
}

void spin_for(std::chrono::microseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// A pool that hangs cannot be joined, and a future's destructor would wait
// for it for ever: the test binary ends instead, and the pool is leaked.
template <class T>
T result_or_exit(std::future<T>& pending, const char* what) {
    if (pending.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
        ADD_FAILURE() << what;
        std::quick_exit(1);
    }
    return pending.get();
}

}  // namespace

// ------------------------------------------------------------ count rules

TEST(ThreadCountRules, ParseEnvCount) {
    EXPECT_EQ(qp::parse_env_count("0"), 0u);
    EXPECT_EQ(qp::parse_env_count("+3"), 3u);
    EXPECT_EQ(qp::parse_env_count("007"), 7u);
    EXPECT_EQ(qp::parse_env_count("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"abc", "-2", "", " 3", "3 ", "+", "++3", "3a", "-0",
                            "18446744073709551616", "99999999999999999999"}) {
        EXPECT_FALSE(qp::parse_env_count(bad).has_value()) << '"' << bad << '"';
    }
    EXPECT_FALSE(qp::parse_env_count(nullptr).has_value());
}

TEST(ThreadCountRules, AutomaticCount) {
    // RAYON_NUM_THREADS wins when valid; "0" means processors and RS is ignored.
    EXPECT_EQ(qp::automatic_thread_count("0", "5", 12), 12u);
    EXPECT_EQ(qp::automatic_thread_count("+3", "5", 12), 3u);
    EXPECT_EQ(qp::automatic_thread_count("4", nullptr, 12), 4u);
    // Invalid or absent RAYON_NUM_THREADS falls through to RAYON_RS_NUM_CPUS.
    for (const char* bad : {"abc", "-2", "", " 3", "3 ", "18446744073709551616", "+", "++3"}) {
        EXPECT_EQ(qp::automatic_thread_count(bad, "5", 12), 5u) << '"' << bad << '"';
        EXPECT_EQ(qp::automatic_thread_count(bad, nullptr, 12), 12u) << '"' << bad << '"';
    }
    EXPECT_EQ(qp::automatic_thread_count(nullptr, "5", 12), 5u);
    // RAYON_RS_NUM_CPUS "0", invalid or unset means processors.
    for (const char* rs : {"0", "x", "", "-1", "+"}) {
        EXPECT_EQ(qp::automatic_thread_count(nullptr, rs, 12), 12u) << '"' << rs << '"';
    }
    EXPECT_EQ(qp::automatic_thread_count(nullptr, nullptr, 12), 12u);
    // Unknown processor count means 1; everything is capped.
    EXPECT_EQ(qp::automatic_thread_count(nullptr, nullptr, 0), 1u);
    EXPECT_EQ(qp::automatic_thread_count("100000", nullptr, 12), 65535u);
    EXPECT_EQ(qp::automatic_thread_count(nullptr, "100000", 12), 65535u);
    EXPECT_EQ(qp::automatic_thread_count(nullptr, nullptr, 70000), 65535u);
}

TEST(ThreadCountRules, CapAndProcessors) {
    EXPECT_EQ(qp::cap_thread_count(1), 1u);
    EXPECT_EQ(qp::cap_thread_count(65535), 65535u);
    EXPECT_EQ(qp::cap_thread_count(65536), 65535u);
    EXPECT_EQ(qp::cap_thread_count(100000), 65535u);
    EXPECT_EQ(qp::cap_thread_count(UINT64_MAX), 65535u);
    EXPECT_GE(qp::available_processors(), 1u);
}

TEST(ThreadCountRules, EnvironmentReadAtCreationNotConstruction) {
    const char* saved_a = std::getenv("RAYON_NUM_THREADS");
    const char* saved_b = std::getenv("RAYON_RS_NUM_CPUS");
    std::string a = saved_a ? saved_a : "", b = saved_b ? saved_b : "";
    setenv("RAYON_NUM_THREADS", "bogus", 1);
    setenv("RAYON_RS_NUM_CPUS", "2", 1);
    EXPECT_EQ(qp::environment_thread_count(), 2u);
    {
        qp::PoolRegistry registry;  // default spawner and env-driven count
        setenv("RAYON_NUM_THREADS", "3", 1);
        EXPECT_EQ(registry.thread_count(), 3u);
        setenv("RAYON_NUM_THREADS", "5", 1);
        EXPECT_EQ(registry.thread_count(), 3u);
    }
    saved_a ? setenv("RAYON_NUM_THREADS", a.c_str(), 1) : unsetenv("RAYON_NUM_THREADS");
    saved_b ? setenv("RAYON_RS_NUM_CPUS", b.c_str(), 1) : unsetenv("RAYON_RS_NUM_CPUS");
}

// ------------------------------------------------------------ state table

TEST(PoolStates, ConfigureSucceedsOnceWithAllWorkersRunning) {
    auto log = std::make_shared<SpawnLog>();
    qp::PoolRegistry registry(tracking_spawner(log), fixed(7));
    EXPECT_EQ(registry.state(), qp::PoolState::absent);
    EXPECT_EQ(registry.configure(3), std::nullopt);
    EXPECT_EQ(log->running.load(), 3);  // configure waited for every worker
    EXPECT_EQ(log->stack_size.load(), std::size_t{1} << 20);
    EXPECT_EQ(registry.state(), qp::PoolState::created);
    EXPECT_EQ(registry.thread_count(), 3u);
    EXPECT_EQ(registry.configure(3), std::optional<std::string>(kAlready));  // same count too
    EXPECT_EQ(registry.configure(0), std::optional<std::string>(kAlready));
    EXPECT_EQ(registry.thread_count(), 3u);
    EXPECT_EQ(log->attempts.load(), 3);  // no second creation attempt
}

TEST(PoolStates, ZeroMeansAutomatic) {
    auto log = std::make_shared<SpawnLog>();
    qp::PoolRegistry registry(tracking_spawner(log), fixed(5));
    EXPECT_EQ(registry.configure(0), std::nullopt);
    EXPECT_EQ(registry.thread_count(), 5u);
}

TEST(PoolStates, LazyCreationBlocksConfigure) {
    auto log = std::make_shared<SpawnLog>();
    qp::PoolRegistry registry(tracking_spawner(log), fixed(2));
    EXPECT_EQ(registry.thread_count(), 2u);
    EXPECT_EQ(registry.state(), qp::PoolState::created);
    EXPECT_EQ(registry.configure(4), std::optional<std::string>(kAlready));

    qp::PoolRegistry untouched(tracking_spawner(std::make_shared<SpawnLog>()), fixed(2));
    untouched.wake_early();  // no pool to wake: it must not make one
    EXPECT_EQ(untouched.state(), qp::PoolState::absent);

    qp::PoolRegistry by_map(tracking_spawner(std::make_shared<SpawnLog>()), fixed(3));
    EXPECT_EQ(by_map.parallel_map<int>(0, [](std::size_t) { return 1; }).size(), 0u);
    EXPECT_EQ(by_map.state(), qp::PoolState::created);  // n == 0 still creates
    EXPECT_EQ(by_map.configure(3), std::optional<std::string>(kAlready));
}

TEST(PoolStates, RefusedThreadLeavesFailedStateAndNoWorkers) {
    for (int fail_at : {0, 2}) {
        auto log = std::make_shared<SpawnLog>();
        log->fail_at = fail_at;
        qp::PoolRegistry registry(tracking_spawner(log), fixed(4));
        EXPECT_EQ(registry.configure(4), std::optional<std::string>("Resource temporarily unavailable"));
        EXPECT_EQ(registry.state(), qp::PoolState::failed);
        EXPECT_EQ(log->alive.load(), 0) << "workers started before the refusal must be joined";
        EXPECT_EQ(registry.configure(4), std::optional<std::string>(kAlready));
        EXPECT_EQ(pool_fault_text([&] { registry.thread_count(); }), kNotInit);
        EXPECT_EQ(pool_fault_text([&] { registry.parallel_map<int>(3, [](std::size_t i) { return int(i); }); }),
                  kNotInit);
        EXPECT_EQ(pool_fault_text([&] { registry.for_each_piece(0, 1, [](auto, auto, auto) {}); }), kNotInit);
        EXPECT_EQ(log->attempts.load(), fail_at + 1);
    }
}

TEST(PoolStates, OtherErrorCodesUseTheirOwnText) {
    auto log = std::make_shared<SpawnLog>();
    log->fail_at = 1;
    log->code = EPERM;
    qp::PoolRegistry registry(tracking_spawner(log), fixed(2));
    EXPECT_EQ(registry.configure(2), std::optional<std::string>("Operation not permitted"));
}

TEST(PoolStates, FailedLazyCreationThrowsAndBlocksConfigure) {
    auto log = std::make_shared<SpawnLog>();
    log->fail_at = 1;
    qp::PoolRegistry registry(tracking_spawner(log), fixed(3));
    EXPECT_EQ(pool_fault_text([&] { registry.parallel_map<int>(5, [](std::size_t) { return 0; }); }), kNotInit);
    EXPECT_EQ(registry.state(), qp::PoolState::failed);
    EXPECT_EQ(log->alive.load(), 0);
    EXPECT_EQ(registry.configure(1), std::optional<std::string>(kAlready));
    EXPECT_EQ(pool_fault_text([&] { registry.thread_count(); }), kNotInit);
    EXPECT_EQ(log->attempts.load(), 2);
}

// ------------------------------------------------------------ loops

class PoolLoops : public ::testing::TestWithParam<std::size_t> {
protected:
    qp::PoolRegistry registry{&pthread_create, fixed(GetParam())};
};

TEST_P(PoolLoops, MapKeepsIndexOrder) {
    const std::size_t t = registry.thread_count();
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, t - 1, t, t + 1, std::size_t{1000000}}) {
        auto out = registry.parallel_map<std::uint64_t>(n, [](std::size_t i) { return i * i + 1; });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i * i + 1) << "n=" << n << " i=" << i;
    }
    auto strings = registry.parallel_map<std::string>(100, [](std::size_t i) { return std::to_string(i); });
    for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(strings[i], std::to_string(i));
}

TEST_P(PoolLoops, PiecesCoverEachIndexOnceWithExclusiveWorkers) {
    const std::size_t t = registry.thread_count();
    for (std::size_t n : {std::size_t{1}, t, std::size_t{97}, std::size_t{10007}}) {
        for (std::size_t grain : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{64}, n, n + 5}) {
            std::vector<std::atomic<int>> visits(n);
            std::vector<std::atomic<bool>> busy(t);
            std::atomic<std::size_t> pieces{0}, longest{0};
            std::atomic<bool> bad_worker{false}, shared_worker{false}, empty_piece{false};
            registry.for_each_piece(n, grain, [&](std::size_t b, std::size_t e, std::size_t w) {
                if (w >= t) {
                    bad_worker = true;
                    return;
                }
                if (busy[w].exchange(true)) shared_worker = true;
                if (b >= e || e > n) empty_piece = true;
                for (std::size_t i = b; i < e && i < n; ++i) visits[i].fetch_add(1);
                std::size_t len = e - b, seen = longest.load();
                while (len > seen && !longest.compare_exchange_weak(seen, len)) {}
                pieces.fetch_add(1);
                busy[w] = false;
            });
            ASSERT_FALSE(bad_worker);
            ASSERT_FALSE(shared_worker);
            ASSERT_FALSE(empty_piece);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "n=" << n << " i=" << i;
            const std::size_t g = std::max<std::size_t>(grain, 1);
            const std::size_t expected = std::min(n, std::max(t, (n + g - 1) / g));
            EXPECT_EQ(pieces.load(), expected) << "n=" << n << " grain=" << grain;
            EXPECT_LE(longest.load(), (n + expected - 1) / expected);
        }
    }
}

TEST_P(PoolLoops, ExceptionsReachCallerAndPoolStaysUsable) {
    auto boom = [](std::size_t i) -> int {
        if (i == 777) throw std::invalid_argument("index 777 is cursed");
        return int(i);
    };
    try {
        registry.parallel_map<int>(5000, boom);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "index 777 is cursed");
    }
    EXPECT_THROW(registry.parallel_map<int>(100, [](std::size_t i) -> int {
        if (i == 42) throw std::bad_alloc();
        return 0;
    }),
                 std::bad_alloc);
    // Thrown from every piece at once: exactly one exception arrives.
    EXPECT_THROW(registry.for_each_piece(1000, 1, [](auto, auto, auto) { throw 7; }), int);
    // No piece is still running when the exception arrives.
    std::atomic<int> in_flight{0};
    EXPECT_THROW(registry.for_each_piece(2000, 1,
                                         [&](std::size_t b, std::size_t, std::size_t) {
                                             in_flight.fetch_add(1);
                                             if (b == 0) {
                                                 in_flight.fetch_sub(1);
                                                 throw std::runtime_error("first");
                                             }
                                             volatile int spin = 0;
                                             for (int k = 0; k < 1000; ++k) spin = spin + k;
                                             in_flight.fetch_sub(1);
                                         }),
                 std::runtime_error);
    EXPECT_EQ(in_flight.load(), 0);
    auto out = registry.parallel_map<int>(1000, [](std::size_t i) { return int(i) * 2; });
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0L), 999L * 1000L);
}

TEST_P(PoolLoops, ManySmallJobsInARow) {
    const std::size_t t = registry.thread_count();
    std::uint64_t total = 0;
    for (int job = 0; job < 10000; ++job) {
        std::atomic<std::uint64_t> sum{0};
        registry.for_each_piece(t + 1, 1, [&](std::size_t b, std::size_t e, std::size_t) {
            for (std::size_t i = b; i < e; ++i) sum.fetch_add(i + 1);
        });
        total += sum.load();
    }
    EXPECT_EQ(total, 10000u * ((t + 1) * (t + 2) / 2));
}

TEST_P(PoolLoops, NestedLoopRunsInlineOnTheSameWorker) {
    // Inline means on the outer piece's thread and worker index, covering
    // everything; a nested call that went to the pool instead would wait
    // for itself and never return.
    std::atomic<int> count{0};
    std::atomic<bool> mismatch{false};
    registry.for_each_piece(8, 1, [&](std::size_t, std::size_t, std::size_t outer) {
        const std::thread::id here = std::this_thread::get_id();
        std::size_t covered = 0;
        registry.for_each_piece(5, 1, [&](std::size_t b, std::size_t e, std::size_t inner) {
            if (inner != outer || b != covered || std::this_thread::get_id() != here) mismatch = true;
            covered = e;
            count.fetch_add(int(e - b));
        });
        if (covered != 5) mismatch = true;
    });
    EXPECT_FALSE(mismatch);
    EXPECT_EQ(count.load(), 40);
}

TEST_P(PoolLoops, WorkerOfAnotherPoolSubmitsNormally) {
    // Being a worker of one pool must not make a loop on another pool run
    // inline as a nested call: the other pool splits it into its own
    // pieces, run by its workers and by the submitting thread as worker 0.
    const std::size_t outer_size = registry.thread_count();
    for (std::size_t other_size : {std::size_t{1}, std::size_t{3}}) {
        qp::PoolRegistry other(&pthread_create, fixed(other_size));
        std::mutex seen_mutex, submit_mutex;
        std::set<std::thread::id> outer_threads, inner_threads;
        std::atomic<int> count{0}, inner_pieces{0};
        std::atomic<bool> bad_worker{false};
        registry.for_each_piece(2 * outer_size, 1, [&](std::size_t, std::size_t, std::size_t) {
            const std::thread::id submitter = std::this_thread::get_id();
            {
                std::lock_guard lock(seen_mutex);
                outer_threads.insert(submitter);
            }
            // One submission at a time: a caller that finds the other
            // pool's workers taken runs its loop itself.
            std::lock_guard one_at_a_time(submit_mutex);
            other.for_each_piece(10, 1, [&](std::size_t b, std::size_t e, std::size_t w) {
                const std::thread::id here = std::this_thread::get_id();
                if (w >= other_size || (here == submitter) != (w == 0)) bad_worker = true;
                std::lock_guard lock(seen_mutex);
                if (here != submitter) inner_threads.insert(here);
                count.fetch_add(int(e - b));
                inner_pieces.fetch_add(1);
            });
        });
        EXPECT_FALSE(bad_worker);
        EXPECT_EQ(count.load(), int(20 * outer_size));
        EXPECT_EQ(inner_pieces.load(), int(20 * outer_size));
        EXPECT_LE(inner_threads.size(), other_size - 1);
        for (const std::thread::id& id : inner_threads) EXPECT_EQ(outer_threads.count(id), 0u);
        // The other pool's own nested calls still run inline on its workers.
        std::atomic<bool> mismatch{false};
        other.for_each_piece(4, 1, [&](std::size_t, std::size_t, std::size_t outer) {
            other.for_each_piece(3, 1, [&](std::size_t b, std::size_t e, std::size_t inner) {
                if (inner != outer || (outer != 0 && (b != 0 || e != 3))) mismatch = true;
            });
        });
        EXPECT_FALSE(mismatch);
    }
}

TEST_P(PoolLoops, CallerRunsPiecesAsWorkerZero) {
    // The calling thread takes pieces itself, always as worker 0, and no
    // other thread ever uses that index.
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> by_caller{0};
    std::atomic<bool> misplaced{false};
    registry.for_each_piece(64, 1, [&](std::size_t, std::size_t, std::size_t w) {
        const bool on_caller = std::this_thread::get_id() == caller;
        if (on_caller != (w == 0)) misplaced = true;
        if (on_caller) by_caller.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    EXPECT_FALSE(misplaced);
    EXPECT_GT(by_caller.load(), 0);
}

TEST_P(PoolLoops, ConcurrentSubmittersAllFinish) {
    // Threads submitting at once, one of them with a poll that pauses its
    // jobs, each get every job done: one holds the workers while the others
    // run theirs alone.
    auto* shared = new qp::PoolRegistry(&pthread_create, fixed(GetParam()));
    constexpr int kSubmitters = 3, kJobs = 2000;
    auto submit = [shared](int who) {
        std::uint64_t wrong = 0;
        for (int job = 0; job < kJobs; ++job) {
            const std::size_t n = 1 + std::size_t(job % 97);
            std::atomic<std::uint64_t> sum{0};
            auto body = [&](std::size_t b, std::size_t e, std::size_t) {
                for (std::size_t i = b; i < e; ++i) sum.fetch_add(i + 1);
            };
            if (who == 0) {
                shared->for_each_piece(n, 1, body, [] { return false; });
            } else {
                shared->for_each_piece(n, 1, body);
            }
            wrong += sum.load() != n * (n + 1) / 2;
        }
        return wrong;
    };
    std::vector<std::future<std::uint64_t>> done;
    for (int who = 0; who < kSubmitters; ++who) done.push_back(std::async(std::launch::async, submit, who));
    for (auto& d : done) EXPECT_EQ(result_or_exit(d, "concurrent submitters did not finish"), 0u);
    delete shared;
}

TEST_P(PoolLoops, SleepingCallerSeesEveryPieceFinished) {
    // Pieces on workers outlast the caller's spin, so the caller goes to
    // sleep in nearly every job and is woken by the last piece to finish;
    // half the jobs have a poll, and after those the workers fall asleep
    // too. A miscount of claimed or finished pieces either hangs the caller
    // or lets it return with pieces still running.
    auto* shared = new qp::PoolRegistry(&pthread_create, fixed(GetParam()));
    auto jobs = std::async(std::launch::async, [shared] {
        const std::thread::id caller = std::this_thread::get_id();
        const std::size_t n = 2 * shared->thread_count();
        std::uint64_t wrong = 0;
        for (int job = 0; job < 3000; ++job) {
            std::atomic<std::size_t> items{0};
            auto body = [&](std::size_t b, std::size_t e, std::size_t) {
                if (std::this_thread::get_id() != caller) spin_for(std::chrono::microseconds(40));
                items.fetch_add(e - b);
            };
            if (job % 2 == 0) {
                shared->for_each_piece(n, 1, body);
            } else {
                shared->for_each_piece(n, 1, body, [] { return false; });
                spin_for(std::chrono::microseconds(100));
            }
            wrong += items.load() != n;
        }
        return wrong;
    });
    EXPECT_EQ(result_or_exit(jobs, "a job never ended"), 0u);
    delete shared;
}

TEST_P(PoolLoops, EarlyWakeUpsNeverHangOrSplitAJob) {
    // Workers woken ahead of a job that comes at once, after their spin has
    // run out (they must sleep again and wake for the job), or never.
    auto* shared = new qp::PoolRegistry(&pthread_create, fixed(GetParam()));
    auto jobs = std::async(std::launch::async, [shared] {
        const std::size_t n = 3 * shared->thread_count();
        std::uint64_t wrong = 0;
        for (int job = 0; job < 2000; ++job) {
            shared->wake_early();
            spin_for(std::chrono::microseconds(job % 4 == 0 ? 0 : job % 4 == 1 ? 10 : 200));
            if (job % 5 == 0) shared->wake_early();
            if (job % 7 == 0) continue;
            std::atomic<std::size_t> items{0};
            shared->for_each_piece(n, 1, [&](std::size_t b, std::size_t e, std::size_t) { items.fetch_add(e - b); });
            wrong += items.load() != n;
        }
        return wrong;
    });
    EXPECT_EQ(result_or_exit(jobs, "a job never ended"), 0u);
    delete shared;
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, PoolLoops, ::testing::Values(1, 2, 4, 9));

TEST(PoolLoopsSingleWorker, FailureSkipsRemainingPieces) {
    // One worker claims pieces in order, so nothing after the failing piece runs.
    qp::PoolRegistry registry(&pthread_create, fixed(1));
    std::atomic<int> ran{0};
    EXPECT_THROW(registry.for_each_piece(100, 1,
                                         [&](std::size_t b, std::size_t, std::size_t) {
                                             ran.fetch_add(1);
                                             if (b == 10) throw std::runtime_error("stop");
                                         }),
                 std::runtime_error);
    EXPECT_EQ(ran.load(), 11);
}

// A waiting caller's stop check: once it says stop, no further piece
// starts, the loop returns normally, and the pool serves the next loop.
TEST(PoolLoopsStop, StopCheckEndsTheLoopEarlyAndThePoolStaysUsable) {
    for (std::size_t threads : {1, 3}) {
        qp::PoolRegistry registry(&pthread_create, fixed(threads));
        std::atomic<int> ran{0};
        int asked = 0;
        const auto calling_thread = std::this_thread::get_id();
        bool asked_elsewhere = false;
        registry.for_each_piece(
            2000, 1,
            [&](std::size_t, std::size_t, std::size_t) {
                ran.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            [&] {
                asked_elsewhere = asked_elsewhere || std::this_thread::get_id() != calling_thread;
                return ++asked == 2;
            });
        EXPECT_FALSE(asked_elsewhere);
        EXPECT_EQ(asked, 2) << threads;
        EXPECT_GT(ran.load(), 0);
        EXPECT_LT(ran.load(), 1000) << threads;
        std::atomic<int> again{0};
        registry.for_each_piece(50, 1, [&](std::size_t b, std::size_t e, std::size_t) { again += int(e - b); },
                                [] { return false; });
        EXPECT_EQ(again.load(), 50);
    }
}

// The poll may run code that starts a loop on the same pool from the
// waiting thread (a signal handler): it runs inline instead of waiting for
// the pool it is waiting on.
TEST(PoolLoopsStop, LoopStartedFromThePollRunsInline) {
    qp::PoolRegistry registry(&pthread_create, fixed(2));
    std::atomic<int> outer{0};
    std::atomic<bool> polled{false};
    int inner = 0;
    // Pieces stay slow until the poll has run, so that a loaded machine
    // cannot finish the loop before the first poll (up to 2 s of pieces).
    registry.for_each_piece(
        400, 1,
        [&](std::size_t, std::size_t, std::size_t) {
            outer.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(polled.load() ? 1 : 10));
        },
        [&] {
            registry.for_each_piece(10, 1, [&](std::size_t b, std::size_t e, std::size_t) { inner += int(e - b); });
            polled.store(true);
            return false;
        });
    EXPECT_EQ(outer.load(), 400);
    EXPECT_GT(inner, 0);
    EXPECT_EQ(inner % 10, 0);
}

// The poll may free what the pieces read (a signal handler can), so it runs
// while no piece does, on any thread: the caller, which runs pieces too,
// finishes its own first. The pieces paused for it then resume, each run once.
TEST(PoolLoopsStop, PollRunsWhileNoPieceRunsAndPausedPiecesResume) {
    for (std::size_t threads : {1, 2, 3}) {
        qp::PoolRegistry registry(&pthread_create, fixed(threads));
        std::vector<std::atomic<int>> runs(1000);
        std::atomic<int> running{0}, by_caller{0};
        const std::thread::id caller = std::this_thread::get_id();
        int polls = 0;
        bool overlapped = false;
        registry.for_each_piece(
            runs.size(), 1,
            [&](std::size_t b, std::size_t e, std::size_t) {
                if (std::this_thread::get_id() == caller) by_caller.fetch_add(1);
                running.fetch_add(1);
                for (std::size_t i = b; i < e; ++i) runs[i].fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                running.fetch_sub(1);
            },
            [&] {
                ++polls;
                overlapped = overlapped || running.load() != 0;
                return false;
            });
        EXPECT_GE(polls, 1) << threads;
        EXPECT_GT(by_caller.load(), 0) << threads;
        EXPECT_FALSE(overlapped) << threads;
        for (const auto& count : runs) ASSERT_EQ(count.load(), 1) << threads;
    }
}

// ------------------------------------------------------------ global

TEST(GlobalPool, LazyThenConfigureFails) {
    qp::PoolRegistry& global = qp::global_registry();
    EXPECT_EQ(&global, &qp::global_registry());
    const std::size_t t = global.thread_count();
    EXPECT_GE(t, 1u);
    EXPECT_LE(t, qp::kMaxThreads);
    EXPECT_EQ(global.configure(t), std::optional<std::string>(kAlready));
    EXPECT_EQ(global.thread_count(), t);
    auto out = global.parallel_map<std::size_t>(10, [](std::size_t i) { return 10 - i; });
    EXPECT_EQ(out, (std::vector<std::size_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    std::atomic<std::size_t> sum{0};
    global.for_each_piece(100, 7, [&](std::size_t b, std::size_t e, std::size_t w) {
        if (w < t) sum.fetch_add(e - b);
    });
    EXPECT_EQ(sum.load(), 100u);
}
