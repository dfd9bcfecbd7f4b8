// Results handed to Python: cluster lists and index lists.
#include "interface/results.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace quorla::interface {

namespace {
bool interrupted(std::size_t i);
}  // namespace

PyObject* make_index_list(std::span<const std::uint64_t> indices) {
    Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (interrupted(i)) return nullptr;
        PyObject* item = PyLong_FromUnsignedLongLong(indices[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

namespace {

// One int object per point index, shared by every list that names it. A
// top-k assignment lists each point k times, and creating the ints is most
// of the cost of handing the answer to Python, so each is made once.
class SharedIndices {
public:
    explicit SharedIndices(std::size_t limit) : objects_(limit, nullptr) {}
    ~SharedIndices() {
        for (PyObject* object : objects_) Py_XDECREF(object);
    }
    SharedIndices(const SharedIndices&) = delete;
    SharedIndices& operator=(const SharedIndices&) = delete;

    // A new reference, or nullptr with the Python error set.
    PyObject* get(std::uint64_t index) {
        PyObject*& slot = objects_[index];
        if (slot == nullptr) {
            slot = PyLong_FromUnsignedLongLong(index);
            if (slot == nullptr) return nullptr;
        }
        Py_INCREF(slot);
        return slot;
    }

private:
    std::vector<PyObject*> objects_;
};

// Making tens of millions of int objects takes seconds, so an interrupt is
// looked for every so many of them.
constexpr std::size_t signal_check_interval = 1 << 16;

bool interrupted(std::size_t i) { return i % signal_check_interval == signal_check_interval - 1 && PyErr_CheckSignals() < 0; }

PyObject* make_shared_index_list(std::span<const std::uint64_t> indices, SharedIndices& shared) {
    Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (interrupted(i)) return nullptr;
        PyObject* item = shared.get(indices[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

}  // namespace

PyObject* make_cluster_lists(const engine::ClusterLists& lists) {
    Ref outer = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(lists.size())));
    if (!outer) return nullptr;
    // Sharing pays only when some index is listed more than once.
    std::size_t total = 0;
    std::uint64_t limit = 0;
    for (const auto& list : lists) {
        total += list.size();
        for (std::uint64_t index : list) limit = std::max(limit, index + 1);
    }
    std::optional<SharedIndices> shared;
    if (total > limit) shared.emplace(static_cast<std::size_t>(limit));
    for (std::size_t c = 0; c < lists.size(); ++c) {
        PyObject* inner = shared ? make_shared_index_list(lists[c], *shared) : make_index_list(lists[c]);
        if (inner == nullptr) return nullptr;
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(c), inner);  // steals inner
    }
    return outer.release();
}

}  // namespace quorla::interface
