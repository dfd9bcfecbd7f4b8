// Tests for engine/random: ChaCha known-answer vectors, the ChaCha12 stream,
// reseeding and entropy failures of ThreadRandom, and the exactness and
// uniformity of its derived draws. Generators are fed deterministic fake
// entropy so every statistical check is reproducible and cannot flake.
#include "engine/core/random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/fault.hpp"

namespace quorla::engine {
namespace {

using Bytes64 = std::array<std::uint8_t, 64>;

Bytes64 serialize(const ChaChaBlock& block) {
    Bytes64 bytes{};
    for (std::size_t i = 0; i < 64; ++i) bytes[i] = static_cast<std::uint8_t>(block[i / 4] >> (8 * (i % 4)));
    return bytes;
}

ChaChaKey key_0_to_31() {
    std::array<std::uint8_t, 32> bytes{};
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return key_from_bytes(bytes);
}

// Copied from RFC 8439 section 2.3.2 (serialized block).
constexpr Bytes64 kRfcBlockFunction = {
    0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3, 0x20, 0x71, 0xc4,
    0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22, 0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e,
    0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa, 0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2,
    0xb5, 0x12, 0x9c, 0xd1, 0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
// RFC 8439 appendix A.1, test vectors #1 (counter 0) and #2 (counter 1): all-zero key and nonce.
constexpr Bytes64 kRfcZeroKeyBlock0 = {
    0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
    0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
    0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
    0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
constexpr Bytes64 kRfcZeroKeyBlock1 = {
    0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73, 0x2d, 0x08, 0x0d,
    0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6, 0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed,
    0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e, 0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5,
    0x31, 0xed, 0x1f, 0x28, 0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f};
// ChaCha with 12 rounds, all-zero 256-bit key and IV, first block: the TC1
// vector of draft-strombergson-chacha-test-vectors (also the first output
// of rand's ChaCha12-based StdRng seeded with 32 zero bytes).
constexpr Bytes64 kChaCha12ZeroKeyBlock0 = {
    0x9b, 0xf4, 0x9a, 0x6a, 0x07, 0x55, 0xf9, 0x53, 0x81, 0x1f, 0xce, 0x12, 0x5f, 0x26, 0x83, 0xd5,
    0x04, 0x29, 0xc3, 0xbb, 0x49, 0xe0, 0x74, 0x14, 0x7e, 0x00, 0x89, 0xa5, 0x2e, 0xae, 0x15, 0x5f,
    0x05, 0x64, 0xf8, 0x79, 0xd2, 0x7a, 0xe3, 0xc0, 0x2c, 0xe8, 0x28, 0x34, 0xac, 0xfa, 0x8c, 0x79,
    0x3a, 0x62, 0x9f, 0x2c, 0xa0, 0xde, 0x69, 0x19, 0x61, 0x0b, 0xe8, 0x2f, 0x41, 0x13, 0x26, 0xbe};

struct KnownAnswer {
    const char* name;
    bool key_0_to_31;
    std::uint64_t counter;
    std::uint64_t stream;
    int rounds;
    const Bytes64* expected;
};

class ChaChaKnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(ChaChaKnownAnswer, MatchesPublishedBlock) {
    const KnownAnswer& v = GetParam();
    ChaChaBlock out{};
    chacha_block(v.key_0_to_31 ? key_0_to_31() : ChaChaKey{}, v.counter, v.stream, v.rounds, out);
    EXPECT_EQ(serialize(out), *v.expected);
}

// The IETF state (counter 1, nonce words 0x09000000, 0x4a000000, 0) in the
// djb layout: word 13 (counter high) carries nonce[0], words 14-15 the rest.
INSTANTIATE_TEST_SUITE_P(
    Vectors, ChaChaKnownAnswer,
    ::testing::Values(
        KnownAnswer{"Rfc8439BlockFunction", true, 1 | (0x09000000ull << 32), 0x4a000000ull, 20, &kRfcBlockFunction},
        KnownAnswer{"Rfc8439ZeroKeyCounter0", false, 0, 0, 20, &kRfcZeroKeyBlock0},
        KnownAnswer{"Rfc8439ZeroKeyCounter1", false, 1, 0, 20, &kRfcZeroKeyBlock1},
        KnownAnswer{"ChaCha12ZeroKey", false, 0, 0, 12, &kChaCha12ZeroKeyBlock0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ChaChaBlock, IetfLayoutMatchesRfcVector) {
    ChaChaBlock out{};
    chacha_block_ietf(key_0_to_31(), 1, {0x09000000u, 0x4a000000u, 0u}, 20, out);
    EXPECT_EQ(serialize(out), kRfcBlockFunction);
}

TEST(ChaChaBlock, RoundCountChangesOutputAndMustBeEvenPositive) {
    ChaChaBlock r20{}, r12{}, r8{};
    chacha_block(ChaChaKey{}, 0, 0, 20, r20);
    chacha_block(ChaChaKey{}, 0, 0, 12, r12);
    chacha_block(ChaChaKey{}, 0, 0, 8, r8);
    EXPECT_NE(r20, r12);
    EXPECT_NE(r12, r8);
    ChaChaBlock out{};
    EXPECT_THROW(chacha_block(ChaChaKey{}, 0, 0, 11, out), Fault);
    EXPECT_THROW(chacha_block(ChaChaKey{}, 0, 0, 0, out), Fault);
}

TEST(ChaChaBlock, CounterIsSixtyFourBits) {
    // A 32-bit counter would wrap 2^32 back onto block 0.
    ChaChaBlock zero{}, wrapped{};
    chacha_block(ChaChaKey{}, 0, 0, 12, zero);
    chacha_block(ChaChaKey{}, std::uint64_t{1} << 32, 0, 12, wrapped);
    EXPECT_NE(zero, wrapped);
}

TEST(ChaChaRng, StreamIsConsecutiveChaCha12Blocks) {
    std::array<std::uint8_t, 32> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(7 * i + 3);
    ChaChaRng rng(seed);
    // Nine blocks crosses two refills of the four-block buffer.
    for (std::uint64_t counter = 0; counter < 9; ++counter) {
        ChaChaBlock block{};
        chacha_block(key_from_bytes(seed), counter, 0, 12, block);
        for (std::size_t w = 0; w < 16; w += 2) {
            if (counter % 2 == 0) {
                ASSERT_EQ(rng.next_u32(), block[w]) << "block " << counter << " word " << w;
                ASSERT_EQ(rng.next_u32(), block[w + 1]);
            } else {
                ASSERT_EQ(rng.next_u64(), block[w] | (std::uint64_t{block[w + 1]} << 32));
            }
        }
    }
}

TEST(ChaChaRng, ZeroSeedGivesPublishedChaCha12Keystream) {
    ChaChaRng rng(std::array<std::uint8_t, 32>{});
    EXPECT_EQ(rng.next_u32(), 0x6a9af49bu);  // bytes 9b f4 9a 6a, little-endian
    EXPECT_EQ(rng.next_u64(), 0x12ce1f8153f95507ull);  // 07 55 f9 53 | 81 1f ce 12, low word first
}

// ---------------------------------------------------------------------------
// Fake entropy: the k-th call (from 0) yields a seed holding k (little-endian,
// bytes 0-3) and the salt (byte 4), so every call of a long run gets a
// distinct key and two sources built with the same salt replay the same seeds.

std::array<std::uint8_t, 32> fake_seed(int call, int salt) {
    std::array<std::uint8_t, 32> seed{};
    for (std::size_t i = 0; i < 4; ++i) seed[i] = static_cast<std::uint8_t>(static_cast<unsigned>(call) >> (8 * i));
    seed[4] = static_cast<std::uint8_t>(salt);
    for (std::size_t i = 5; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
    return seed;
}

struct FakeEntropy {
    std::shared_ptr<int> calls = std::make_shared<int>(0);
    int salt = 0;
    int fail_from_call = -1;  // -1: never fails

    EntropySource source() const {
        return [calls = calls, salt = salt, fail = fail_from_call](std::span<std::uint8_t, 32> out, std::string& reason) {
            if (fail >= 0 && *calls >= fail) {
                reason = "fake source exhausted";
                return false;
            }
            const auto seed = fake_seed((*calls)++, salt);
            std::copy(seed.begin(), seed.end(), out.begin());
            return true;
        };
    }
};

ThreadRandom seeded_random(int salt = 0) { return ThreadRandom(FakeEntropy{.salt = salt}.source()); }

TEST(ThreadRandom, SeedsLazilyAndFollowsChaCha12OfTheSeed) {
    FakeEntropy fake;
    ThreadRandom random(fake.source());
    EXPECT_EQ(*fake.calls, 0);
    EXPECT_EQ(random.seed_count(), 0u);
    ChaChaRng mirror(fake_seed(0, 0));
    EXPECT_EQ(random.next_u32(), mirror.next_u32());
    EXPECT_EQ(random.next_u64(), mirror.next_u64());
    EXPECT_EQ(*fake.calls, 1);
    EXPECT_EQ(random.seed_count(), 1u);
}

struct ReseedCase {
    const char* name;
    int u32_before;   // u32 draws first...
    int u64_before;   // ...then u64 draws
    std::uint64_t seeds_after;  // seedings once those are done
};

class ThreadRandomReseed : public ::testing::TestWithParam<ReseedCase> {};

TEST_P(ThreadRandomReseed, CountsBytesNotCalls) {
    const ReseedCase& c = GetParam();
    FakeEntropy fake;
    ThreadRandom random(fake.source());
    for (int i = 0; i < c.u32_before; ++i) random.next_u32();
    for (int i = 0; i < c.u64_before; ++i) random.next_u64();
    EXPECT_EQ(random.seed_count(), c.seeds_after);
    EXPECT_EQ(static_cast<std::uint64_t>(*fake.calls), c.seeds_after);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ThreadRandomReseed,
    ::testing::Values(ReseedCase{"Exactly64KiBOfU32", 16384, 0, 1},
                      ReseedCase{"OneU32Past64KiB", 16385, 0, 2},
                      ReseedCase{"Exactly64KiBOfU64", 0, 8192, 1},
                      ReseedCase{"OneU64Past64KiB", 0, 8193, 2},
                      ReseedCase{"U64StraddlingTheLimitUsesOldKey", 16383, 1, 1},
                      ReseedCase{"DrawAfterStraddleReseeds", 16383, 2, 2},
                      ReseedCase{"SecondReseedAfterAnother64KiB", 2 * 16384 + 1, 0, 3}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ThreadRandom, ReseedStartsFreshStreamFromNewSeed) {
    ThreadRandom random = seeded_random(5);
    ChaChaRng first(fake_seed(0, 5));
    for (int i = 0; i < 16384; ++i) ASSERT_EQ(random.next_u32(), first.next_u32());
    ChaChaRng second(fake_seed(1, 5));
    EXPECT_EQ(random.next_u32(), second.next_u32());
    EXPECT_EQ(random.next_u64(), second.next_u64());
}

// The Fault message of a draw that must fail, or "" if it did not throw.
std::string seeding_fault(ThreadRandom& random) {
    try {
        random.next_u32();
    } catch (const Fault& fault) {
        return fault.what();
    }
    return "";
}

TEST(ThreadRandom, EntropyFailureIsFault) {
    ThreadRandom random(FakeEntropy{.fail_from_call = 0}.source());
    EXPECT_EQ(seeding_fault(random), "Failed to seed the random generator: fake source exhausted");
    EXPECT_EQ(random.seed_count(), 0u);
}

TEST(ThreadRandom, EntropyFailureOnReseedIsFault) {
    ThreadRandom random(FakeEntropy{.fail_from_call = 1}.source());
    for (int i = 0; i < 8192; ++i) random.next_u64();
    EXPECT_THROW(random.next_u64(), Fault);
    EXPECT_THROW(random.uniform_float(), Fault);  // keeps failing; no silent reuse of the old key
}

TEST(ThreadRandom, SilentFailureAndMissingSourceStillExplain) {
    ThreadRandom silent([](std::span<std::uint8_t, 32>, std::string&) { return false; });
    EXPECT_EQ(seeding_fault(silent), "Failed to seed the random generator: entropy source failed");
    ThreadRandom missing{EntropySource{}};
    EXPECT_EQ(seeding_fault(missing), "Failed to seed the random generator: entropy source failed");
}

// ---------------------------------------------------------------------------

TEST(UniformFloat, BitRuleEdges) {
    EXPECT_EQ(float_from_bits(0u), 0.0f);
    EXPECT_EQ(float_from_bits(0x1FFu), 0.0f);  // the 9 discarded low bits
    EXPECT_EQ(float_from_bits(0x200u), std::ldexp(1.0f, -23));
    EXPECT_EQ(float_from_bits(0x80000000u), 0.5f);
    EXPECT_EQ(float_from_bits(0xFFFFFFFFu), 1.0f - std::ldexp(1.0f, -23));
}

TEST(UniformFloat, UsesOneU32PerDrawAndStaysInUnitInterval) {
    ThreadRandom random = seeded_random(1);
    ChaChaRng mirror(fake_seed(0, 1));
    double sum = 0;
    constexpr int kDraws = 100000;
    for (int i = 0; i < kDraws; ++i) {
        const float f = random.uniform_float();
        if (i < 16384) {  // the mirror only follows the first seeding
            ASSERT_EQ(f, float_from_bits(mirror.next_u32()));
        }
        ASSERT_GE(f, 0.0f);
        ASSERT_LT(f, 1.0f);
        sum += f;
    }
    EXPECT_NEAR(sum / kDraws, 0.5, 0.005);  // sd of the mean ~0.0009
}

// Reference bounded draw written independently with 128-bit arithmetic.
__extension__ typedef unsigned __int128 U128;

std::uint64_t reference_below(ChaChaRng& rng, std::uint64_t m) {
    if (m <= (std::uint64_t{1} << 32)) {
        const std::uint64_t threshold = ((std::uint64_t{1} << 32) - m) % m;
        std::uint64_t p;
        do p = std::uint64_t{rng.next_u32()} * m;
        while (static_cast<std::uint32_t>(p) < threshold);
        return p >> 32;
    }
    const auto threshold = static_cast<std::uint64_t>((U128{1} << 64) % m);
    U128 p;
    do p = U128{rng.next_u64()} * m;
    while (static_cast<std::uint64_t>(p) < threshold);
    return static_cast<std::uint64_t>(p >> 64);
}

class UniformBelow : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(UniformBelow, InRangeAndMatchesReference) {
    const std::uint64_t m = GetParam();
    ThreadRandom random = seeded_random(2);
    ChaChaRng mirror(fake_seed(0, 2));
    for (int i = 0; i < 2000; ++i) {  // 2000 * 8 bytes < 64 KiB: one seed
        const std::uint64_t r = random.uniform_below(m);
        ASSERT_LT(r, m);
        ASSERT_EQ(r, reference_below(mirror, m)) << "draw " << i;
    }
    EXPECT_EQ(random.next_u32(), mirror.next_u32()) << "consumed a different amount of output";
}

INSTANTIATE_TEST_SUITE_P(Bounds, UniformBelow,
                         ::testing::Values(1ull, 2ull, 3ull, 7ull, 1000ull, 0x80000001ull, 0xFFFFFFFFull, 0x100000000ull,
                                           0x100000001ull, 1ull << 63, (1ull << 63) + 1, 3ull << 62,
                                           0xFFFFFFFFFFFFFFFFull));

TEST(UniformBelowEdges, OneIsAlwaysZeroAndZeroIsFault) {
    ThreadRandom random = seeded_random();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(random.uniform_below(1), 0u);
    EXPECT_THROW(random.uniform_below(0), Fault);
}

TEST(UniformBelowEdges, MaxBoundIsDrawMinusOne) {
    // x * (2^64 - 1) has high word x - 1 and low word 2^64 - x; only x = 0 is rejected.
    ThreadRandom random = seeded_random(3);
    ChaChaRng mirror(fake_seed(0, 3));
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t x = mirror.next_u64();
        ASSERT_NE(x, 0u);
        ASSERT_EQ(random.uniform_below(~std::uint64_t{0}), x - 1);
    }
}

// Just above a power of two (2^31 + 1 on the 32-bit path, 2^63 + 1 on the
// 64-bit one) the threshold 2^w mod m is 2^(w-1) - 1: about half of all
// draws are rejected, so a missing or wrong rejection loop cannot hide.
class UniformBelowRejection : public ::testing::TestWithParam<int> {};

TEST_P(UniformBelowRejection, HalfOfDrawsRejectedJustAboveAPowerOfTwo) {
    const int width = GetParam();
    const std::uint64_t m = (std::uint64_t{1} << (width - 1)) + 1;
    const std::uint64_t threshold = (std::uint64_t{1} << (width - 1)) - 1;
    ThreadRandom random = seeded_random(4);
    ChaChaRng mirror(fake_seed(0, 4));
    auto low_half = [&] {
        return width == 32 ? static_cast<std::uint32_t>(std::uint64_t{mirror.next_u32()} * m)
                           : static_cast<std::uint64_t>(U128{mirror.next_u64()} * m);
    };
    int draws = 0;
    for (int i = 0; i < 1000; ++i) {  // at most ~2300 draws of 8 bytes: one seeding
        random.uniform_below(m);
        do ++draws;  // replay on the mirror: one draw, plus one per rejection
        while (low_half() < threshold);
    }
    EXPECT_EQ(random.next_u64(), mirror.next_u64()) << "rejections differ from the threshold rule";
    EXPECT_GT(draws, 1700);
    EXPECT_LT(draws, 2300);
}

INSTANTIATE_TEST_SUITE_P(BothWidths, UniformBelowRejection, ::testing::Values(32, 64));

double chi_square(const std::vector<std::uint64_t>& counts, double expected) {
    double chi = 0;
    for (std::uint64_t c : counts) chi += (static_cast<double>(c) - expected) * (static_cast<double>(c) - expected) / expected;
    return chi;
}

struct ChiCase {
    std::uint64_t m;
    std::uint64_t bucket_shift;  // bucket = draw >> shift
    double critical;             // chi-square quantile at p = 0.001, buckets - 1 dof
};

class UniformBelowChiSquare : public ::testing::TestWithParam<ChiCase> {};

TEST_P(UniformBelowChiSquare, BucketsAreBalanced) {
    const ChiCase& c = GetParam();
    const std::uint64_t buckets = ((c.m - 1) >> c.bucket_shift) + 1;
    std::vector<std::uint64_t> counts(buckets, 0);
    ThreadRandom random = seeded_random(6);  // fixed seed: deterministic, cannot flake
    const std::uint64_t n = 20000 * buckets;
    for (std::uint64_t i = 0; i < n; ++i) ++counts[random.uniform_below(c.m) >> c.bucket_shift];
    EXPECT_LT(chi_square(counts, 20000.0), c.critical);
}

// 3 * 2^62 checks the 64-bit path: a modulo reduction would put half of
// all draws in bucket 0.
INSTANTIATE_TEST_SUITE_P(SmallAndLarge, UniformBelowChiSquare,
                         ::testing::Values(ChiCase{2, 0, 10.83}, ChiCase{3, 0, 13.82}, ChiCase{10, 0, 27.88},
                                           ChiCase{17, 0, 39.25}, ChiCase{3ull << 62, 62, 13.82}));

// ---------------------------------------------------------------------------

class Shuffle : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Shuffle, IsPermutationUsingExactlyLenMinusOneBoundedDraws) {
    const std::size_t n = GetParam();
    std::vector<std::uint64_t> seq(n);
    std::iota(seq.begin(), seq.end(), std::uint64_t{100});
    ThreadRandom random = seeded_random(7);
    ThreadRandom mirror = seeded_random(7);
    random.shuffle(seq);

    std::vector<std::uint64_t> expected(n);
    std::iota(expected.begin(), expected.end(), std::uint64_t{100});
    for (std::size_t i = n; i >= 2; --i) std::swap(expected[i - 1], expected[mirror.uniform_below(i)]);
    EXPECT_EQ(seq, expected);

    std::vector<std::uint64_t> sorted = seq;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(sorted[i], 100 + i);

    if (n <= 1) {
        EXPECT_EQ(random.seed_count(), 0u);  // drew nothing, not even the seed
    }
    EXPECT_EQ(random.next_u64(), mirror.next_u64()) << "streams diverged";
}

INSTANTIATE_TEST_SUITE_P(Lengths, Shuffle, ::testing::Values(0u, 1u, 2u, 3u, 10u, 1000u, 40000u));

TEST(ShuffleDistribution, AllSixOrdersOfThreeEquallyLikely) {
    ThreadRandom random = seeded_random(8);
    std::map<std::vector<std::uint64_t>, std::uint64_t> seen;
    constexpr int kTrials = 60000;
    for (int t = 0; t < kTrials; ++t) {
        std::vector<std::uint64_t> seq = {0, 1, 2};
        random.shuffle(seq);
        ++seen[seq];
    }
    ASSERT_EQ(seen.size(), 6u);
    std::vector<std::uint64_t> counts;
    for (const auto& [order, count] : seen) counts.push_back(count);
    EXPECT_LT(chi_square(counts, kTrials / 6.0), 20.52);  // 5 dof, p = 0.001
}

// ---------------------------------------------------------------------------

TEST(OsEntropy, BothSourcesFillAllBytesAndDiffer) {
    using Source = bool (*)(std::span<std::uint8_t, 32>, std::string&);
    for (Source source : {Source{os_entropy}, Source{urandom_entropy}}) {
        std::array<std::uint8_t, 32> a{}, b{};
        std::string reason;
        ASSERT_TRUE(source(a, reason)) << reason;
        ASSERT_TRUE(source(b, reason)) << reason;
        EXPECT_NE(a, b);  // equal with probability 2^-256
    }
}

TEST(ThreadRandomPerThread, OnePerThreadSeededFromOs) {
    ThreadRandom& mine = thread_random();
    EXPECT_EQ(&mine, &thread_random());
    const std::uint64_t before = mine.seed_count();
    mine.next_u64();
    EXPECT_EQ(mine.seed_count(), std::max<std::uint64_t>(before, 1));

    bool distinct = false;
    std::uint64_t other_seeds = 99;
    std::thread worker([&] {
        distinct = &thread_random() != &mine;
        other_seeds = thread_random().seed_count();
    });
    worker.join();
    EXPECT_TRUE(distinct);
    EXPECT_EQ(other_seeds, 0u);  // a fresh generator, still unseeded
}

}  // namespace
}  // namespace quorla::engine

namespace quorla::engine {
namespace {

// A seeded generator repeats itself across reseeds, and seeds that differ
// in either half give streams of their own.
TEST(SeededRandom, SameSeedSameStreamAcrossReseeds) {
    const std::size_t draws = 3 * ThreadRandom::kReseedBytes / 4 + 5;
    auto stream = [&](std::uint64_t seed) {
        ThreadRandom random(seeded_entropy(seed));
        std::vector<std::uint32_t> out(draws);
        for (auto& value : out) value = random.next_u32();
        EXPECT_EQ(random.seed_count(), 4u);
        return out;
    };
    const auto first = stream(42);
    EXPECT_EQ(first, stream(42));
    for (std::uint64_t other : {std::uint64_t{43}, (std::uint64_t{1} << 32) | 42u, std::uint64_t{0}}) {
        const auto different = stream(other);
        EXPECT_NE(std::vector<std::uint32_t>(first.begin(), first.begin() + 4),
                  std::vector<std::uint32_t>(different.begin(), different.begin() + 4))
            << other;
    }
}

}  // namespace
}  // namespace quorla::engine
