// The owning handle for PyObject*, and the access flag that every KMeans
// instance carries. Only this directory and lib.cpp include Python headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorla::interface {

// Owns one strong reference. There are two visibly different ways in
// (adopt a new reference, or borrow and add one) and one way out to Python
// (release), so every reference count change can be read at the call site.
class Ref {
public:
    Ref() = default;
    static Ref adopt(PyObject* fresh) { return Ref(fresh); }
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Guards against re-entrant use of one instance from Python code that runs
// during a call (an argument's __index__, say). A positive count is the
// number of shared accesses, -1 marks the one exclusive access.
class AccessGuard {
public:
    enum class Mode { Shared, Exclusive };

    // On refusal, sets RuntimeError and leaves the flag untouched; check ok().
    AccessGuard(Py_ssize_t& flag, Mode mode) : flag_(flag), mode_(mode) {
        if (mode == Mode::Shared) {
            if (flag < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
            ++flag;
        } else {
            if (flag != 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return;
            }
            flag = -1;
        }
        held_ = true;
    }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    ~AccessGuard() {
        if (!held_) return;
        if (mode_ == Mode::Shared) {
            --flag_;
        } else {
            flag_ = 0;
        }
    }
    bool ok() const { return held_; }

private:
    Py_ssize_t& flag_;
    Mode mode_;
    bool held_ = false;
};

}  // namespace quorla::interface
