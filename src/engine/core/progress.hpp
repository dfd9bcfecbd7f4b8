// Progress lines of verbose training, written to the process's standard
// output (file descriptor 1), not to whatever sys.stdout is in Python.
#pragma once

#include <string>

namespace quorla::engine {

// Fixed-point text of a value (a single-precision cost, or a size, which may
// exceed float's counting range), correctly rounded from its exact value,
// never with an exponent; "NaN", "inf" and "-inf" otherwise.
std::string format_fixed(double value, int decimals);

// Writes the line in one piece (retrying short writes); a write error is a
// fault, since the caller asked for the output and did not get it.
void write_line(const std::string& line);

}  // namespace quorla::engine
