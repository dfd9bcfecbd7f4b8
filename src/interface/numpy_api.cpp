// NumPy's array API, looked up by hand on first need rather than at import
// time: `import quorla` must work, and must not import NumPy, on a machine
// where NumPy is broken or absent. We build against NumPy 2 headers and only
// use table entries and object fields whose layout NumPy 1.x shares.
#include "interface/numpy_api.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorla_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/fault.hpp"
#include "interface/arguments.hpp"
#include "interface/errors.hpp"

namespace quorla::interface {
namespace {

constexpr int float32_type_number = NPY_FLOAT32;  // 11
static_assert(float32_type_number == 11);

// The pending exception as "Type: message", so that the fault says why
// NumPy could not be reached.
std::string take_pending_error_text() {
    const TakenError taken = take_pending_error();
    return taken.text.empty() ? taken.type_name : taken.type_name + ": " + taken.text;
}

[[noreturn]] void fail_api(const std::string& reason) {
    raise_fault("Failed to access NumPy array API capsule: " + reason);
}

// NumPy 2 moved the multiarray module under numpy._core; ask NumPy which
// major version it is rather than guessing from the import.
void locate_api() {
    Ref numpy = Ref::adopt(PyImport_ImportModule("numpy"));
    if (!numpy) fail_api(take_pending_error_text());
    Ref version = Ref::adopt(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) fail_api(take_pending_error_text());
    Ref lib = Ref::adopt(PyImport_ImportModule("numpy.lib"));
    if (!lib) fail_api(take_pending_error_text());
    Ref parsed = Ref::adopt(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) fail_api(take_pending_error_text());
    Ref major_object = Ref::adopt(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) fail_api(take_pending_error_text());
    unsigned long major = PyLong_AsUnsignedLong(major_object.get());
    if (major == static_cast<unsigned long>(-1) && PyErr_Occurred()) fail_api(take_pending_error_text());

    const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = Ref::adopt(PyImport_ImportModule(module_name));
    if (!multiarray) fail_api(take_pending_error_text());
    Ref capsule = Ref::adopt(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) fail_api(take_pending_error_text());
    if (!PyCapsule_CheckExact(capsule.get())) fail_api("_ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) fail_api(take_pending_error_text());

    // The table stays valid for the life of the process: NumPy's extension
    // module is never unloaded, so keeping the raw pointer is safe.
    PyArray_API = static_cast<void**>(table);
    unsigned int abi = PyArray_GetNDArrayCVersion();
    // 0x01000009 is the ABI version of every NumPy 1.x release (2.x reports
    // 0x02000000). Modules built against NumPy 2 headers run on both, which
    // is why the build can require 2.x while users keep 1.x; a release older
    // than that ABI lacks functions the table is expected to hold.
    if (abi < 0x01000009) {
        PyArray_API = nullptr;
        fail_api("NumPy ABI version " + std::to_string(abi) + " is too old");
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
}

// A failed lookup is retried by the next call that needs NumPy.
void ensure_api() {
    if (PyArray_API == nullptr) locate_api();
}

}  // namespace

bool read_point_matrix(PyObject* object, const char* name, ArrayBorrow& out) {
    ensure_api();
    const char* refusal = "cannot be converted to a 2-dimensional numpy.ndarray of float32";
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object %s", name, Py_TYPE(object)->tp_name, refusal);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* float32 = PyArray_DescrFromType(float32_type_number);
    if (float32 == nullptr) raise_fault("NumPy has no float32 descriptor");
    PyArray_Descr* descr = PyArray_DESCR(array);
    bool same_type = descr == float32 || PyArray_EquivTypes(descr, float32);
    Py_DECREF(float32);
    if (PyArray_NDIM(array) != 2 || !same_type) {
        PyErr_Format(PyExc_TypeError, "argument '%s': array of %d dimension(s) and dtype %R %s", name,
                     PyArray_NDIM(array), reinterpret_cast<PyObject*>(descr), refusal);
        return false;
    }

    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const char* data = PyArray_BYTES(array);
    bool has_elements = shape[0] > 0 && shape[1] > 0;
    // A float may only be read through an aligned pointer; views such as a
    // field of a packed record array break that, and dividing their byte
    // strides by 4 would read the wrong bytes. An axis of extent 0 or 1 never
    // moves the pointer, so its stride does not matter.
    std::int64_t element_strides[2] = {0, 0};
    for (int axis = 0; axis < 2; ++axis) {
        if (shape[axis] <= 1) continue;
        if (strides[axis] % static_cast<npy_intp>(sizeof(float)) != 0) {
            set_argument_type_error(name, "float32 array with byte strides that are not multiples of 4 cannot be "
                                          "read in place; pass numpy.array(data)");
            return false;
        }
        element_strides[axis] = strides[axis] / static_cast<npy_intp>(sizeof(float));
    }
    if (has_elements && reinterpret_cast<std::uintptr_t>(data) % alignof(float) != 0) {
        set_argument_type_error(name, "float32 array whose data is not aligned to 4 bytes cannot be read in place; "
                                      "pass numpy.array(data)");
        return false;
    }

    out.array = Ref::borrow(object);
    out.view = engine::PointView{reinterpret_cast<const float*>(data), static_cast<std::uint64_t>(shape[0]),
                                 static_cast<std::uint64_t>(shape[1]), element_strides[0], element_strides[1]};
    return true;
}

namespace {

// The `base` a holder keeps in its instance dictionary (NumPy's wrapper
// under as_strided keeps the array it describes there), or null. Reading an
// attribute runs Python code where the type defines a descriptor of that
// name or its own attribute lookup; such holders are not followed.
Ref holder_base(PyObject* holder) {
    PyTypeObject* type = Py_TYPE(holder);
    if (type->tp_getattro != PyObject_GenericGetAttr) return {};
    Ref name = Ref::adopt(PyUnicode_InternFromString("base"));
    if (!name) throw std::bad_alloc();
    if (_PyType_Lookup(type, name.get()) != nullptr) return {};
    Ref base = Ref::adopt(PyObject_GetAttr(holder, name.get()));
    if (!base) PyErr_Clear();  // no such attribute: the chain ends here
    return base;
}

bool is_released(PyObject* view) {
    return (reinterpret_cast<PyMemoryViewObject*>(view)->flags & _Py_MEMORYVIEW_RELEASED) != 0;
}

}  // namespace

ArrayWatch::Look ArrayWatch::look_at(PyObject* object, Kind kind) {
    Look seen;
    if (kind == Kind::array) {
        auto* a = reinterpret_cast<PyArrayObject*>(object);
        seen.data = PyArray_DATA(a);
        seen.bytes = static_cast<std::int64_t>(PyArray_NBYTES(a));
        seen.dims = PyArray_NDIM(a);
        for (int axis = 0; axis < std::min(seen.dims, 2); ++axis) {
            seen.shape[axis] = PyArray_DIMS(a)[axis];
            seen.strides[axis] = PyArray_STRIDES(a)[axis];
        }
        seen.next = PyArray_BASE(a);
    } else if (kind == Kind::memory_view) {
        // A released view's copy of the export may name a freed exporter.
        seen.released = is_released(object);
        seen.next = seen.released ? nullptr : PyMemoryView_GET_BUFFER(object)->obj;
    }
    return seen;
}

ArrayWatch::ArrayWatch(PyObject* array) {
    ensure_api();
    // NumPy points a view at the array owning the memory, so chains are
    // short; the bound only keeps a forged cycle from looping.
    Ref at = Ref::borrow(array);
    while (at && links_.size() < 64) {
        Kind kind = Kind::holder;
        Ref next;
        if (PyArray_Check(at.get())) {
            kind = Kind::array;
            next = Ref::borrow(PyArray_BASE(reinterpret_cast<PyArrayObject*>(at.get())));
        } else if (PyMemoryView_Check(at.get())) {
            kind = Kind::memory_view;
            if (!is_released(at.get())) next = Ref::borrow(PyMemoryView_GET_BUFFER(at.get())->obj);
        } else {
            next = holder_base(at.get());
            if (!next) break;  // the owner of memory that cannot move while exported
        }
        const Look seen = look_at(at.get(), kind);
        links_.push_back(Link{std::move(at), kind, seen});
        at = std::move(next);
    }
}

bool ArrayWatch::unchanged() const {
    for (const Link& link : links_) {
        if (!(look_at(link.object.get(), link.kind) == link.look)) return false;
    }
    return true;
}

namespace {

// A new C-contiguous array of `rows` x `cols` (or `rows` when cols is 0 and
// one_dimensional) elements of `type`. Running out of memory stays a
// MemoryError, like every other allocation failure of the module; any other
// failure is a fault naming `what`.
PyObject* new_array(int type, std::uint64_t rows, std::uint64_t cols, bool one_dimensional, const char* what) {
    ensure_api();
    PyArray_Descr* descr = PyArray_DescrFromType(type);
    if (descr == nullptr) raise_fault(std::string("NumPy has no descriptor for the ") + what);
    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    // Steals the descriptor reference, even on failure.
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, one_dimensional ? 1 : 2, shape, nullptr, nullptr,
                                           0, nullptr);
    if (array == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        raise_fault(std::string("Failed to create the ") + what + ": " + take_pending_error_text());
    }
    return array;
}

void* array_data(PyObject* array) { return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)); }

}  // namespace

PyObject* make_centroid_array(const engine::Matrix& matrix) {
    PyObject* array = new_array(float32_type_number, matrix.rows(), matrix.cols(), false, "centroid array");
    if (array != nullptr && matrix.values().size() > 0) {
        std::memcpy(array_data(array), matrix.data(), matrix.values().size() * sizeof(float));
    }
    return array;
}

PyObject* make_search_arrays(const engine::SearchResult& result) {
    const std::uint64_t rows = result.take == 0 ? 0 : result.distances.size() / result.take;
    Ref distances = Ref::adopt(new_array(float32_type_number, rows, result.take, false, "distance array"));
    if (!distances) return nullptr;
    Ref clusters = Ref::adopt(new_array(NPY_INT64, rows, result.take, false, "cluster array"));
    if (!clusters) return nullptr;
    if (!result.distances.empty()) {
        std::memcpy(array_data(distances.get()), result.distances.data(), result.distances.size() * sizeof(float));
        std::memcpy(array_data(clusters.get()), result.clusters.data(), result.clusters.size() * sizeof(std::int64_t));
    }
    return PyTuple_Pack(2, distances.get(), clusters.get());
}

namespace {

// `object` as an array of `dims` dimensions of NumPy type `type`, or null
// with `problem` saying what it is instead (`wanted` names the right kind).
PyArrayObject* saved_array(PyObject* object, int type, int dims, const char* wanted, std::string& problem) {
    ensure_api();
    if (!PyArray_Check(object)) {
        problem = std::string("a '") + Py_TYPE(object)->tp_name + "' object, not a numpy.ndarray";
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* descr = PyArray_DescrFromType(type);
    if (descr == nullptr) raise_fault(std::string("NumPy has no descriptor for ") + wanted);
    const bool same_type = PyArray_EquivTypes(PyArray_DESCR(array), descr);
    Py_DECREF(descr);
    if (PyArray_NDIM(array) != dims || !same_type) {
        problem = std::string("not ") + wanted;
        return nullptr;
    }
    return array;
}

}  // namespace

bool read_float_matrix(PyObject* object, engine::Matrix& out, std::string& problem) {
    PyArrayObject* array = saved_array(object, float32_type_number, 2, "a two-dimensional float32 array", problem);
    if (array == nullptr) return false;
    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    constexpr auto float_size = static_cast<npy_intp>(sizeof(float));
    // A view can describe far more values than exist (a broadcast), so only
    // arrays whose values all lie end to end are copied. An array without
    // values has nothing to read and no meaningful strides; an axis of
    // extent 1 never moves. The row stride is divided rather than the row
    // length multiplied, which could wrap for a forged shape.
    const bool has_values = shape[0] > 0 && shape[1] > 0;
    const bool rows_adjoin = shape[0] <= 1 || (strides[0] % float_size == 0 && strides[0] / float_size == shape[1]);
    const bool values_adjoin = shape[1] <= 1 || strides[1] == float_size;
    if (has_values && !(rows_adjoin && values_adjoin)) {
        problem = "not C-contiguous";
        return false;
    }
    engine::Matrix matrix(static_cast<std::uint64_t>(shape[0]), static_cast<std::uint64_t>(shape[1]));
    if (has_values) std::memcpy(matrix.data(), PyArray_BYTES(array), matrix.values().size() * sizeof(float));
    out = std::move(matrix);
    return true;
}

bool read_index_vector(PyObject* object, std::vector<std::uint64_t>& out, std::string& problem) {
    PyArrayObject* array = saved_array(object, NPY_INT64, 1, "a one-dimensional int64 array", problem);
    if (array == nullptr) return false;
    const npy_intp length = PyArray_DIMS(array)[0];
    const npy_intp stride = PyArray_STRIDES(array)[0];
    const char* data = PyArray_BYTES(array);
    // A view can describe far more values than exist (a broadcast); only
    // arrays whose values are all there are copied.
    if (length > 1 && stride != static_cast<npy_intp>(sizeof(std::int64_t))) {
        problem = "not a contiguous array";
        return false;
    }
    out.resize(static_cast<std::size_t>(length));
    for (npy_intp i = 0; i < length; ++i) {
        std::int64_t value;
        std::memcpy(&value, data + i * stride, sizeof value);  // any alignment
        if (value < 0) {
            problem = "a negative index";
            return false;
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(value);
    }
    return true;
}

PyObject* make_index_array(std::span<const std::uint64_t> indices) {
    PyObject* array = new_array(NPY_INT64, indices.size(), 0, true, "index array");
    if (array == nullptr) return nullptr;
    auto* out = static_cast<std::int64_t*>(array_data(array));
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (indices[i] > static_cast<std::uint64_t>(INT64_MAX)) raise_fault("Index beyond the int64 range");
        out[i] = static_cast<std::int64_t>(indices[i]);
    }
    return array;
}

}  // namespace quorla::interface
