// Exception translation for the interface layer.
#include "interface/errors.hpp"

#include "engine/core/fault.hpp"

namespace quorla::interface {
namespace {

// Created once per process and kept until it ends, like the type object.
// It derives from BaseException so that `except Exception` does not swallow
// an internal fault.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "quorla.PanicException",
            "An internal invariant of quorla was broken; the call was abandoned.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void set_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation failure is already set
    PyErr_SetString(type, message);
}

void set_clustering_error(const engine::ClusteringError& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
}

TakenError take_pending_error() {
    TakenError taken{"unknown error", ""};
    if (!PyErr_Occurred()) return taken;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::adopt(type);
    Ref owned_value = Ref::adopt(value);
    Ref owned_traceback = Ref::adopt(traceback);
    if (owned_type && PyType_Check(owned_type.get())) {
        taken.type_name = reinterpret_cast<PyTypeObject*>(owned_type.get())->tp_name;
    }
    if (owned_value) {
        Ref text = Ref::adopt(PyObject_Str(owned_value.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) taken.text = utf8;
    }
    PyErr_Clear();  // a failing str() must not leave its own exception behind
    return taken;
}

void set_exception_from_current() {
    try {
        throw;
    } catch (const CallStopped&) {
        // The interrupt or the progress callable's exception is already set.
        if (!PyErr_Occurred()) set_panic("A call stopped without a reason");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_panic(error.what());
    } catch (...) {
        set_panic("Unknown internal fault");
    }
}

}  // namespace quorla::interface
