// Random numbers for the engine: the ChaCha block function, a ChaCha12
// keystream generator, and the per-thread generator that seeds itself from
// the operating system and offers the draws clustering needs (uniform
// floats, unbiased bounded integers, shuffles). Not here: any choice of
// *what* to sample (initialisation strategies live with the algorithms).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace quorla::engine {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

// One ChaCha block in Bernstein's original layout: words 12-13 hold a 64-bit
// block counter and words 14-15 a 64-bit stream id (each low word first).
// `rounds` must be even (20 = ChaCha20, 12 = ChaCha12, 8 = ChaCha8).
void chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, int rounds,
                  ChaChaBlock& out);

// The IETF layout (32-bit counter, 96-bit nonce) is the same 16-word state
// with words 12..15 = counter, nonce[0], nonce[1], nonce[2]; this maps it
// onto the djb layout so the published IETF vectors check the one kernel.
void chacha_block_ietf(const ChaChaKey& key, std::uint32_t counter,
                       const std::array<std::uint32_t, 3>& nonce, int rounds, ChaChaBlock& out);

// Key words are read little-endian from the 32 seed bytes, as in the
// published ChaCha vectors, so a seed is exactly a ChaCha key.
ChaChaKey key_from_bytes(std::span<const std::uint8_t, 32> bytes);

// The ChaCha12 keystream (counter 0, stream 0) as 32-bit words. Twelve
// rounds: still far beyond any known attack, and ~40% cheaper than twenty.
class ChaChaRng {
public:
    explicit ChaChaRng(std::span<const std::uint8_t, 32> seed);

    std::uint32_t next_u32();
    std::uint64_t next_u64();  // two consecutive words, low word first

private:
    // Several blocks per refill amortise the call and let the compiler
    // interleave independent blocks.
    static constexpr std::size_t kBlocksPerRefill = 4;
    static constexpr std::size_t kBufferWords = 16 * kBlocksPerRefill;

    void refill();

    ChaChaKey key_;
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, kBufferWords> buffer_{};
    std::size_t position_ = kBufferWords;  // empty: first draw refills
};

// Fills `out` with 32 unpredictable bytes. On failure returns false and
// may put a human-readable cause into `reason`.
using EntropySource = std::function<bool(std::span<std::uint8_t, 32> out, std::string& reason)>;

// getrandom(2), retried on EINTR and short reads; /dev/urandom when the
// kernel predates getrandom (ENOSYS).
bool os_entropy(std::span<std::uint8_t, 32> out, std::string& reason);
// The /dev/urandom path on its own, so the fallback is testable on kernels
// that do have getrandom.
bool urandom_entropy(std::span<std::uint8_t, 32> out, std::string& reason);

// A deterministic stand-in for the operating system: the n-th call gives
// the first 32 bytes of ChaCha20 block n of `stream` keyed by `seed`. A
// generator built on it draws the same numbers wherever and whenever it
// runs, its reseeds included. Streams of one seed share nothing, so a part
// of a training that must not move the training's own draws takes another.
EntropySource seeded_entropy(std::uint64_t seed, std::uint64_t stream = 0);

// The bit rule behind ThreadRandom::uniform_float: 23 high bits of `u` as
// the mantissa of a float in [1, 2), minus one. Every result is a multiple
// of 2^-23, so all 2^23 values are equally likely and 1.0f is unreachable.
float float_from_bits(std::uint32_t u);

// The generator each thread owns. Seeds lazily on first draw (so threads
// that never draw never touch the OS) and reseeds after every kReseedBytes
// of output, which bounds how much output any one key ever produces.
class ThreadRandom {
public:
    static constexpr std::uint64_t kReseedBytes = 65536;

    explicit ThreadRandom(EntropySource source = os_entropy);

    std::uint32_t next_u32();
    std::uint64_t next_u64();
    float uniform_float();  // in [0, 1), via float_from_bits(next_u32())
    // Unbiased uniform integer in [0, m); m == 0 is a fault.
    std::uint64_t uniform_below(std::uint64_t m);
    // Fisher-Yates from the back: i = n..2 swaps seq[i-1] with
    // seq[uniform_below(i)]; lengths 0 and 1 draw nothing.
    void shuffle(std::span<std::uint64_t> seq);
    // The same shuffle, calling `between()` every 2^20 swaps: a shuffle of
    // tens of millions of indices takes seconds, and may be asked to stop.
    void shuffle(std::span<std::uint64_t> seq, const std::function<void()>& between);

    // How many times entropy was taken (1 after the first draw, +1 per reseed).
    std::uint64_t seed_count() const { return seed_count_; }

private:
    // Reseeds first if needed, then accounts for `bytes` of output. A draw
    // that straddles the limit (a u64 at 65,532 bytes) is completed from the
    // current key; the draw after it reseeds.
    ChaChaRng& generator_for(std::uint64_t bytes);

    EntropySource source_;
    std::optional<ChaChaRng> rng_;
    std::uint64_t bytes_since_seed_ = 0;
    std::uint64_t seed_count_ = 0;
    std::uint64_t seeded_generation_ = 0;  // fork count when last seeded
};

// This thread's generator, created on first use with os_entropy. Only the
// interface reaches for it, to put it into a training call's context; the
// engine draws from whatever generator its context names.
ThreadRandom& thread_random();

}  // namespace quorla::engine
