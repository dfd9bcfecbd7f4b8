// Argument matching and conversion for the KMeans surface.
#include "interface/arguments.hpp"

#include "interface/errors.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace quorla::interface {
namespace {

Py_ssize_t find_name(std::span<const char* const> names, PyObject* keyword) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// The wording of Python's own functions, so that a KMeans method fails like
// any other callable when called with the wrong shape of arguments.
void set_missing(const char* callable, std::span<const char* const> names, std::span<PyObject*> out) {
    std::string listed;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (out[i] != nullptr) continue;
        ++missing;
    }
    std::size_t seen = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (out[i] != nullptr) continue;
        ++seen;
        if (seen > 1) listed += (seen == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
        listed += "'";
        listed += names[i];
        listed += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", callable, missing,
                 missing == 1 ? "" : "s", listed.c_str());
}

bool set_keyword(const char* callable, std::span<const char* const> names, PyObject* keyword, PyObject* value,
                 std::span<PyObject*> out) {
    Py_ssize_t at = find_name(names, keyword);
    if (at < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", callable, keyword);
        return false;
    }
    if (out[static_cast<std::size_t>(at)] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", callable, names[at]);
        return false;
    }
    out[static_cast<std::size_t>(at)] = value;
    return true;
}

bool take_positional(const char* callable, std::span<const char* const> names, PyObject* const* args,
                     Py_ssize_t nargs, std::span<PyObject*> out) {
    auto capacity = static_cast<Py_ssize_t>(names.size());
    if (nargs > capacity) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", callable, capacity,
                     capacity == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    return true;
}

bool check_complete(const char* callable, std::span<const char* const> names, std::span<PyObject*> out) {
    for (PyObject* value : out) {
        if (value == nullptr) {
            set_missing(callable, names, out);
            return false;
        }
    }
    return true;
}

// Replaces a pending TypeError by one that names the argument; any other
// pending exception (a hostile __index__ may raise anything) is kept as is.
bool prefix_pending_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    const TakenError taken = take_pending_error();
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, taken.text.c_str());
    return true;
}

}  // namespace

bool match_arguments(const char* callable, std::span<const char* const> names, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    if (!take_positional(callable, names, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < n_keywords; ++i) {
            if (!set_keyword(callable, names, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
        }
    }
    return check_complete(callable, names, out);
}

bool match_arguments(const char* callable, std::span<const char* const> names, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    if (!take_positional(callable, names, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!set_keyword(callable, names, keyword, value, out)) return false;
        }
    }
    return check_complete(callable, names, out);
}

void set_argument_type_error(const char* name, const char* detail) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, detail);
}

bool convert_u64(PyObject* object, const char* name, std::uint64_t& out) {
    Ref index = Ref::adopt(PyNumber_Index(object));
    if (!index) {
        prefix_pending_type_error(name);
        return false;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool convert_bool(PyObject* object, const char* name, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    // NumPy's bool scalar, recognised without importing NumPy: its static
    // type is named "numpy.bool" since NumPy 2 and "numpy.bool_" before.
    PyTypeObject* type = Py_TYPE(object);
    bool numpy_bool = !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                      (std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0);
    if (numpy_bool) {
        int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'bool'", name,
                 type->tp_name);
    return false;
}

}  // namespace quorla::interface
