// The ChaCha kernel, the ChaCha12 stream, OS entropy and the per-thread
// generator declared in random.hpp. Nothing here decides what to sample.
#include "engine/core/random.hpp"

#include <pthread.h>

#include <atomic>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define QUORLA_HAS_GETRANDOM 1
#endif

#include "engine/core/fault.hpp"

namespace quorla::engine {

namespace {

void quarter_round(ChaChaBlock& x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

// 64x64 -> 128-bit product from 32-bit halves: portable to compilers
// without __int128, and not on a hot path (only bounded draws use it).
void multiply_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
    const std::uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
    high = hi_hi + (hi_lo >> 32) + (middle >> 32);
    low = (middle << 32) | (lo_lo & 0xFFFFFFFFu);
}

std::string errno_text(int err) { return std::generic_category().message(err); }

}  // namespace

void chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, int rounds,
                  ChaChaBlock& out) {
    if (rounds <= 0 || rounds % 2 != 0) raise_fault("ChaCha needs a positive even round count");
    // "expand 32-byte k" read as four little-endian words.
    const ChaChaBlock input = {
        0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
        static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
    out = input;
    for (int i = 0; i < rounds; i += 2) {
        quarter_round(out, 0, 4, 8, 12);  // columns
        quarter_round(out, 1, 5, 9, 13);
        quarter_round(out, 2, 6, 10, 14);
        quarter_round(out, 3, 7, 11, 15);
        quarter_round(out, 0, 5, 10, 15);  // diagonals
        quarter_round(out, 1, 6, 11, 12);
        quarter_round(out, 2, 7, 8, 13);
        quarter_round(out, 3, 4, 9, 14);
    }
    // The feed-forward makes the permutation non-invertible without the key.
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += input[i];
}

void chacha_block_ietf(const ChaChaKey& key, std::uint32_t counter,
                       const std::array<std::uint32_t, 3>& nonce, int rounds, ChaChaBlock& out) {
    chacha_block(key, counter | (std::uint64_t{nonce[0]} << 32),
                 nonce[1] | (std::uint64_t{nonce[2]} << 32), rounds, out);
}

ChaChaKey key_from_bytes(std::span<const std::uint8_t, 32> bytes) {
    ChaChaKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = std::uint32_t{bytes[4 * i]} | (std::uint32_t{bytes[4 * i + 1]} << 8) |
                 (std::uint32_t{bytes[4 * i + 2]} << 16) | (std::uint32_t{bytes[4 * i + 3]} << 24);
    }
    return key;
}

ChaChaRng::ChaChaRng(std::span<const std::uint8_t, 32> seed) : key_(key_from_bytes(seed)) {}

void ChaChaRng::refill() {
    ChaChaBlock block;
    for (std::size_t b = 0; b < kBlocksPerRefill; ++b) {
        chacha_block(key_, counter_++, 0, 12, block);
        std::copy(block.begin(), block.end(), buffer_.begin() + 16 * b);
    }
    position_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
    if (position_ == kBufferWords) refill();
    return buffer_[position_++];
}

std::uint64_t ChaChaRng::next_u64() {
    const std::uint64_t low = next_u32();
    return low | (std::uint64_t{next_u32()} << 32);
}

bool urandom_entropy(std::span<std::uint8_t, 32> out, std::string& reason) {
    int fd;
    do fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        reason = "cannot open /dev/urandom: " + errno_text(errno);
        return false;
    }
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = ::read(fd, out.data() + filled, out.size() - filled);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            reason = n < 0 ? "reading /dev/urandom: " + errno_text(errno)
                           : std::string("unexpected end of /dev/urandom");
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

bool os_entropy(std::span<std::uint8_t, 32> out, std::string& reason) {
#ifdef QUORLA_HAS_GETRANDOM
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == ENOSYS) {
            return urandom_entropy(out, reason);
        } else {
            // n == 0 cannot happen for a non-empty request, but looping on it would hang.
            reason = n < 0 ? "getrandom: " + errno_text(errno) : std::string("getrandom returned nothing");
            return false;
        }
    }
    return true;
#else
    return urandom_entropy(out, reason);
#endif
}

float float_from_bits(std::uint32_t u) {
    return std::bit_cast<float>(0x3F800000u | (u >> 9)) - 1.0f;
}

ThreadRandom::ThreadRandom(EntropySource source) : source_(std::move(source)) {}

namespace {

// A forked child inherits its parent's generator state and would replay the
// parent's stream (and every sibling's): the first draw after a fork reseeds.
std::atomic<std::uint64_t> fork_generation{0};

void note_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t current_fork_generation() {
    static const bool registered = [] { return pthread_atfork(nullptr, nullptr, note_fork_in_child) == 0; }();
    (void)registered;
    return fork_generation.load(std::memory_order_relaxed);
}

}  // namespace

ChaChaRng& ThreadRandom::generator_for(std::uint64_t bytes) {
    const std::uint64_t generation = current_fork_generation();
    if (!rng_ || bytes_since_seed_ >= kReseedBytes || generation != seeded_generation_) {
        seeded_generation_ = generation;
        std::array<std::uint8_t, 32> seed{};
        std::string reason;
        if (!source_ || !source_(seed, reason)) {
            raise_fault("Failed to seed the random generator: " +
                        (reason.empty() ? std::string("entropy source failed") : reason));
        }
        rng_.emplace(seed);
        bytes_since_seed_ = 0;
        ++seed_count_;
    }
    bytes_since_seed_ += bytes;
    return *rng_;
}

std::uint32_t ThreadRandom::next_u32() { return generator_for(4).next_u32(); }

std::uint64_t ThreadRandom::next_u64() { return generator_for(8).next_u64(); }

float ThreadRandom::uniform_float() { return float_from_bits(next_u32()); }

// Lemire's multiply-and-reject: the high half of x*m is the candidate; the
// low half falls below t = 2^w mod m for exactly the t surplus values of x
// that would overweight some outcomes, so rejecting them leaves
// floor(2^w / m) preimages per result. t needs a division, computed only
// when the low half is below m (rare unless m is huge). Bounds up to 2^32
// use a 32-bit draw: equally unbiased, and half the output per draw, which
// matters for shuffles of large index arrays.
std::uint64_t ThreadRandom::uniform_below(std::uint64_t m) {
    if (m == 0) raise_fault("uniform_below needs a positive bound");
    if (m <= (std::uint64_t{1} << 32)) {
        std::uint64_t product = std::uint64_t{next_u32()} * m;
        if ((product & 0xFFFFFFFFu) < m) {
            const std::uint64_t threshold = ((std::uint64_t{1} << 32) - m) % m;
            while ((product & 0xFFFFFFFFu) < threshold) product = std::uint64_t{next_u32()} * m;
        }
        return product >> 32;
    }
    std::uint64_t high, low;
    multiply_wide(next_u64(), m, high, low);
    if (low < m) {
        const std::uint64_t threshold = (0 - m) % m;  // 2^64 mod m
        while (low < threshold) multiply_wide(next_u64(), m, high, low);
    }
    return high;
}

void ThreadRandom::shuffle(std::span<std::uint64_t> seq) { shuffle(seq, [] {}); }

void ThreadRandom::shuffle(std::span<std::uint64_t> seq, const std::function<void()>& between) {
    constexpr std::size_t swaps_between = std::size_t{1} << 20;
    for (std::size_t i = seq.size(); i >= 2; --i) {
        std::swap(seq[i - 1], seq[uniform_below(i)]);
        if (i % swaps_between == 0) between();
    }
}

EntropySource seeded_entropy(std::uint64_t seed, std::uint64_t stream) {
    // The seed fills two key words; the rest spell out what the key is for,
    // so these streams share nothing with a key that is all seed.
    const ChaChaKey key{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        0x726f7571u, 0x7320616cu, 0x20646565u, 0x656e6567u, 0x6f746172u, 0x00000072u};
    return [key, stream, calls = std::uint64_t{0}](std::span<std::uint8_t, 32> out, std::string&) mutable {
        ChaChaBlock block;
        chacha_block(key, calls++, stream, 20, block);
        for (std::size_t w = 0; w < 8; ++w) {
            for (std::size_t b = 0; b < 4; ++b) out[4 * w + b] = static_cast<std::uint8_t>(block[w] >> (8 * b));
        }
        return true;
    };
}

ThreadRandom& thread_random() {
    thread_local ThreadRandom generator;
    return generator;
}

}  // namespace quorla::engine
