#include "engine/core/progress.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/core/fault.hpp"

namespace quorla::engine {

std::string format_fixed(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // glibc prints the exact binary value rounded to the requested digits
    // (a float argument converts to double exactly). The largest double has
    // 309 digits before the point, so 320 characters hold every value at 6
    // decimals.
    if (decimals < 0 || decimals > 6) raise_fault("Unsupported number of decimals");
    char text[320];
    const int length = std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) raise_fault("Failed to format a number");
    return std::string(text, static_cast<std::size_t>(length));
}

void write_line(const std::string& line) {
    const char* next = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDOUT_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            raise_fault(std::string("Failed to write progress to standard output: ") + std::strerror(errno));
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace quorla::engine
