// Internal faults: broken invariants of the engine. They are not errors a
// caller can cause (those are ClusteringError values, see model.hpp); the
// interface turns every Fault into PanicException. Kept separate from the
// error values so that a call site shows which of the two it raises.
#pragma once

#include <stdexcept>
#include <string>

namespace quorla {

class Fault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void raise_fault(const std::string& message) { throw Fault(message); }

// Every comparison of distances, dot products or balancing costs treats NaN
// as a broken invariant: it can only come from NaN in the data or centroids,
// or from values whose products overflow to infinity.
[[noreturn]] inline void raise_nan_fault() {
    raise_fault("Comparison of distances met NaN (the data or centroids contain NaN or overflow to infinity)");
}

// A call that ended because the caller asked it to (an interrupt, or a
// progress report that failed). Not a fault and not an error value: the
// reason is the caller's, who already holds it, so this carries nothing and
// derives from nothing a generic handler would mistake for a fault.
struct CallStopped {};

}  // namespace quorla
