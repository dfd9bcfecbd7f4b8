// How failures leave the module: the PanicException type for internal
// faults, the ValueError for ClusteringError, and the one guard that every
// entry point runs inside so that no C++ exception reaches the interpreter.
#pragma once

#include "interface/handle.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "engine/core/model.hpp"

namespace quorla::interface {

// Sets PanicException (created on first use) with the fault's message.
void set_panic(const char* message);

// Raises ValueError whose only argument is the error's message.
void set_clustering_error(const engine::ClusteringError& error);

// The pending Python exception, taken out of the interpreter (cleared): its
// type name and the text of str(value), or "" if str() failed too.
struct TakenError {
    std::string type_name;
    std::string text;
};
TakenError take_pending_error();

// Translates whatever is in flight; called from the catch-all of `guarded`.
void set_exception_from_current();

// Runs an entry point. `body` returns a new reference, or NULL with a Python
// exception set for every failure the operation reports itself. Everything
// thrown becomes a Python exception here: std::bad_alloc and length_error as
// MemoryError, everything else as PanicException.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_exception_from_current();
        return failure;
    }
}

}  // namespace quorla::interface
