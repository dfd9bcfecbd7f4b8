// NumPy exchange: the array API reached on first need, the read-only point
// matrix view of an input array, and the centroid array handed back to
// Python. The only translation unit that includes NumPy's headers is
// numpy_api.cpp, so the rest of the module compiles without them.
#pragma once

#include "interface/handle.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/assignment.hpp"
#include "engine/core/matrix.hpp"

namespace quorla::interface {

// Holds the input array for the duration of one call; the view points into
// its memory and must not outlive it.
struct ArrayBorrow {
    Ref array;
    engine::PointView view;
};

// What Python code that runs during a call (a progress callable, a signal
// handler) could change under a view: the memory, shape and strides of the
// array and of every array it views (`base.resize(refcheck=False)` frees
// the memory of its views, `__setstate__` replaces it). Comparing them
// afterwards tells whether the view still describes live memory.
//
// The chain from the array to the owner of its memory can pass through
// objects that are not arrays: a memoryview (`np.asarray(memoryview(a))`),
// whose export the watch follows to its exporter, and NumPy's
// `__array_interface__` wrapper under `as_strided` and
// `sliding_window_view`, whose `base` it follows. A memoryview released
// meanwhile counts as a change, since its exporter may then move its memory;
// buffers that are not arrays (bytes, bytearray, mmap) cannot move theirs
// while exported. Every link is held for the watch's life, so a relinked
// chain never leaves a link freed under the watch.
class ArrayWatch {
public:
    // `array`: a NumPy array that the caller keeps alive while watching.
    // Runs no Python code: a holder's `base` is read only where reading it
    // cannot call any.
    explicit ArrayWatch(PyObject* array);
    // Asked after every run of Python code in a call, so it allocates nothing.
    bool unchanged() const;

private:
    enum class Kind { array, memory_view, holder };
    struct Look {
        const void* data = nullptr;
        std::int64_t shape[2] = {0, 0};
        std::int64_t strides[2] = {0, 0};
        std::int64_t bytes = 0;
        int dims = 0;
        const void* next = nullptr;  // the link after this one
        bool released = false;       // a memoryview let go of its export
        bool operator==(const Look&) const = default;
    };
    struct Link {
        Ref object;
        Kind kind;
        Look look;
    };
    static Look look_at(PyObject* object, Kind kind);

    std::vector<Link> links_;
};

// On success fills `out` and returns true. A wrong object sets TypeError with
// the "argument 'NAME': " prefix and returns false. Failing to reach NumPy
// at all is an internal fault (thrown).
bool read_point_matrix(PyObject* object, const char* name, ArrayBorrow& out);

// A new C-contiguous float32 array holding a copy of the matrix. Throws a
// fault if NumPy cannot create it.
PyObject* make_centroid_array(const engine::Matrix& matrix);

// Copies a C-contiguous two-dimensional float32 array into `out`, from any
// alignment: a protocol-5 pickle can hand its arrays over in buffers that
// the receiver placed at any byte offset. Anything else returns false with
// `problem` saying what it is; no Python error is set.
bool read_float_matrix(PyObject* object, engine::Matrix& out, std::string& problem);

// Copies a contiguous one-dimensional int64 array of non-negative values
// into `out`.
// Anything else returns false with `problem` saying what it is; no Python
// error is set.
bool read_index_vector(PyObject* object, std::vector<std::uint64_t>& out, std::string& problem);

// (distances, clusters): new float32 and int64 arrays of shape (n, take).
PyObject* make_search_arrays(const engine::SearchResult& result);

// A new one-dimensional int64 array holding the indices.
PyObject* make_index_array(std::span<const std::uint64_t> indices);

}  // namespace quorla::interface
