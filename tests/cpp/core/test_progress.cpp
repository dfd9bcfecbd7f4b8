// Number formatting and whole-line output of verbose training.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "engine/core/fault.hpp"
#include "engine/core/progress.hpp"

namespace quorla::engine {
namespace {

struct FixedCase {
    float value;
    int decimals;
    const char* text;
};

class FormatFixed : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FormatFixed, CorrectlyRoundedNeverExponent) {
    EXPECT_EQ(format_fixed(GetParam().value, GetParam().decimals), GetParam().text);
}

constexpr float inf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, FormatFixed,
    ::testing::Values(FixedCase{0.1234567f, 6, "0.123457"}, FixedCase{-2.5f, 6, "-2.500000"},
                      FixedCase{0.0f, 6, "0.000000"}, FixedCase{1e-7f, 6, "0.000000"},
                      // 0.1f is 0.100000001490116..., so 8 decimals show the binary value.
                      FixedCase{0.1f, 6, "0.100000"}, FixedCase{16777217.0f, 2, "16777216.00"},
                      FixedCase{3.4028235e38f, 6, "340282346638528859811704183484516925440.000000"},
                      FixedCase{-3.4028235e38f, 2, "-340282346638528859811704183484516925440.00"},
                      // 0.0000005 is not a float; its nearest float lies just below the
                      // tie, so a formatter that rounds the decimal text would be wrong.
                      FixedCase{0.0000005f, 6, "0.000000"}, FixedCase{0.0000015f, 6, "0.000002"}, FixedCase{14.0f, 2, "14.00"},
                      FixedCase{std::numeric_limits<float>::quiet_NaN(), 6, "NaN"}, FixedCase{inf, 6, "inf"},
                      FixedCase{-inf, 2, "-inf"}));

// Points file descriptor 1 somewhere else for the life of the object.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int target) : saved_((std::fflush(stdout), dup(STDOUT_FILENO))) {
        dup2(target, STDOUT_FILENO);
    }
    ~StdoutRedirect() {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

TEST(WriteLine, GoesToFileDescriptorOneWhole) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        StdoutRedirect redirect(fds[1]);
        write_line("Iteration 3/25 | Cost: 0.123457\n");
    }
    close(fds[1]);
    char buffer[128] = {};
    ssize_t got = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)), "Iteration 3/25 | Cost: 0.123457\n");
}

TEST(WriteLine, AWriteErrorIsAFault) {
    int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "/dev/full is not available";
    StdoutRedirect redirect(full);
    EXPECT_THROW(write_line("lost\n"), Fault);
    close(full);
}

}  // namespace
}  // namespace quorla::engine
