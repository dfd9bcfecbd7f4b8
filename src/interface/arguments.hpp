// Argument conversion for KMeans methods: matching positional and keyword
// arguments to names, unsigned 64-bit integers and booleans. Arrays are in
// numpy_api.hpp, results in results.hpp.
#pragma once

#include "interface/handle.hpp"

#include <cstdint>
#include <span>

namespace quorla::interface {

// Matches a vectorcall-style argument list to `names`, all required, and
// stores borrowed references in `out` (same length as `names`). On failure
// sets TypeError worded as for a Python function named `callable`
// (e.g. "KMeans.train") and returns false.
bool match_arguments(const char* callable, std::span<const char* const> names, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

// The same for a tuple and an optional keyword dictionary (tp_new).
bool match_arguments(const char* callable, std::span<const char* const> names, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> out);

// int or anything with __index__. A negative or too large value keeps the
// interpreter's OverflowError; a wrong type gets the "argument 'NAME': "
// prefix on its TypeError.
bool convert_u64(PyObject* object, const char* name, std::uint64_t& out);

// Exactly True, False or a NumPy bool scalar.
bool convert_bool(PyObject* object, const char* name, bool& out);

// Sets TypeError "argument 'NAME': " + detail.
void set_argument_type_error(const char* name, const char* detail);

}  // namespace quorla::interface
