// Saved models.
#include "interface/state.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

#include "engine/core/cluster_size.hpp"
#include "engine/core/execution_context.hpp"
#include "engine/core/value_check.hpp"
#include "interface/numpy_api.hpp"

namespace quorla::interface {
namespace {

// Raised when what the format means changes. Format 2 added release_gil,
// format 3 initial_centroids and hierarchical; states of the earlier
// formats load with them off and absent. A model saves the earliest format
// that holds it, so that builds from before a field still load models that
// do not use it. Any other number is refused rather than guessed at.
constexpr long format_version = 3;

// Each format has exactly its own fields: format 2's are format 1's and
// then release_gil, format 3's format 2's and then initial_centroids and
// hierarchical.
constexpr const char* field_names[] = {"format",      "n_clusters", "iterations", "max_balance_diff",
                                       "euclidean",   "balanced",   "verbose",    "use_medoids",
                                       "seed",        "trained",    "centroids",  "labels",
                                       "medoid_indices", "release_gil", "initial_centroids", "hierarchical"};

std::size_t fields_of_format(std::uint64_t format) {
    return format == 1 ? std::size(field_names) - 3 : format == 2 ? std::size(field_names) - 2 : std::size(field_names);
}

bool set_item(PyObject* dict, const char* key, PyObject* fresh) {
    Ref value = Ref::adopt(fresh);
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* optional_index_array(bool present, const std::vector<std::uint64_t>& values) {
    if (!present) Py_RETURN_NONE;
    return make_index_array(values);
}

std::nullopt_t invalid(const std::string& what) {
    PyErr_SetString(PyExc_ValueError, ("Invalid KMeans state: " + what).c_str());
    return std::nullopt;
}

// The fields of a state, each read and checked on its own.
class StateReader {
public:
    explicit StateReader(PyObject* dict) : dict_(dict) {}

    PyObject* field(const char* name) const { return PyDict_GetItemString(dict_, name); }

    bool flag(const char* name, bool& out) const {
        PyObject* value = field(name);
        if (value != Py_True && value != Py_False) return fail(std::string("'") + name + "' is not a bool");
        out = value == Py_True;
        return true;
    }

    bool count(const char* name, std::uint64_t& out, bool positive) const {
        PyObject* value = field(name);
        if (!PyLong_CheckExact(value)) return fail(std::string("'") + name + "' is not an int");
        const unsigned long long number = PyLong_AsUnsignedLongLong(value);
        if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return fail(std::string("'") + name + "' is out of range");
        }
        if (positive && number == 0) return fail(std::string("'") + name + "' is 0");
        out = number;
        return true;
    }

    // None leaves `present` false.
    bool indices(const char* name, std::vector<std::uint64_t>& out, bool& present) const {
        PyObject* value = field(name);
        present = value != Py_None;
        if (!present) return true;
        std::string problem;
        if (!read_index_vector(value, out, problem)) return fail(std::string("'") + name + "' is " + problem);
        return true;
    }

    bool centroids(const char* name, std::optional<engine::Matrix>& out, std::uint64_t rows, bool finite) const {
        PyObject* value = field(name);
        if (value == Py_None) return true;
        engine::Matrix matrix;
        std::string problem;
        const std::string quoted = std::string("'") + name + "'";
        if (!read_float_matrix(value, matrix, problem)) return fail(quoted + " is " + problem);
        if (matrix.rows() != rows) return fail(quoted + " does not have n_clusters rows");
        if (finite && !std::all_of(matrix.values().begin(), matrix.values().end(),
                                   [](float x) { return std::isfinite(x); })) {
            return fail(quoted + " holds a value that is not finite");
        }
        out = std::move(matrix);
        return true;
    }

    static bool fail(const std::string& what) {
        invalid(what);
        return false;
    }

private:
    PyObject* dict_;
};

}  // namespace

PyObject* model_state(const engine::Model& m) {
    Ref state = Ref::adopt(PyDict_New());
    if (!state) return nullptr;
    PyObject* dict = state.get();
    const long format = m.initial_centroids || m.hierarchical ? 3 : m.release_gil ? 2 : 1;
    const bool ok =
        set_item(dict, "format", PyLong_FromLong(format)) &&
        set_item(dict, "n_clusters", PyLong_FromUnsignedLongLong(m.n_clusters)) &&
        set_item(dict, "iterations", PyLong_FromUnsignedLongLong(m.iterations)) &&
        set_item(dict, "max_balance_diff", PyLong_FromUnsignedLongLong(m.max_balance_diff)) &&
        set_item(dict, "euclidean", PyBool_FromLong(m.euclidean)) &&
        set_item(dict, "balanced", PyBool_FromLong(m.balanced)) &&
        set_item(dict, "verbose", PyBool_FromLong(m.verbose)) &&
        set_item(dict, "use_medoids", PyBool_FromLong(m.use_medoids)) &&
        (format < 2 || set_item(dict, "release_gil", PyBool_FromLong(m.release_gil))) &&
        (format < 3 || set_item(dict, "initial_centroids", m.initial_centroids
                                                               ? make_centroid_array(*m.initial_centroids)
                                                               : Py_NewRef(Py_None))) &&
        (format < 3 || set_item(dict, "hierarchical", PyBool_FromLong(m.hierarchical))) &&
        set_item(dict, "seed", m.seed ? PyLong_FromUnsignedLongLong(*m.seed) : Py_NewRef(Py_None)) &&
        set_item(dict, "trained", PyBool_FromLong(m.trained)) &&
        set_item(dict, "centroids", m.centroids ? make_centroid_array(*m.centroids) : Py_NewRef(Py_None)) &&
        // An untrained model's labels and medoids are leftovers of a failed
        // run that nothing reads; they are not saved. Medoid mode can be
        // switched on after a training without it (no medoids, an empty
        // array) and off after one with it (the medoids kept for switching
        // back), so a trained model saves what it holds whenever either
        // could be seen; None stays the plain non-medoid model.
        set_item(dict, "labels", optional_index_array(m.trained, m.labels)) &&
        set_item(dict, "medoid_indices",
                 optional_index_array(m.trained && (m.use_medoids || !m.medoid_indices.empty()), m.medoid_indices));
    return ok ? state.release() : nullptr;
}

namespace {

// A state's fields as read, before they are held against each other.
struct ReadModel {
    engine::Model model;
    bool has_labels = false;
    bool has_medoids = false;
};

std::optional<ReadModel> read_fields(PyObject* state) {
    if (!PyDict_CheckExact(state)) return invalid("not a dict");
    const StateReader read(state);
    // The format decides which fields there must be, so it is read first.
    if (read.field("format") == nullptr) return invalid("'format' is missing");
    std::uint64_t format = 0;
    if (!read.count("format", format, true)) return std::nullopt;
    if (format > static_cast<std::uint64_t>(format_version)) {
        return invalid("format " + std::to_string(format) + " is not 1 to " + std::to_string(format_version));
    }
    const std::size_t expected = fields_of_format(format);
    for (std::size_t i = 0; i < expected; ++i) {
        if (read.field(field_names[i]) == nullptr) {
            return invalid(std::string("'") + field_names[i] + "' is missing");
        }
    }
    if (PyDict_Size(state) != static_cast<Py_ssize_t>(expected)) return invalid("unexpected fields");

    ReadModel r;
    engine::Model& m = r.model;
    if (format >= 2 && !read.flag("release_gil", m.release_gil)) return std::nullopt;
    if (!read.count("n_clusters", m.n_clusters, true) || !read.count("iterations", m.iterations, true) ||
        !read.count("max_balance_diff", m.max_balance_diff, true) || !read.flag("euclidean", m.euclidean) ||
        !read.flag("balanced", m.balanced) || !read.flag("verbose", m.verbose) ||
        !read.flag("use_medoids", m.use_medoids) || !read.flag("trained", m.trained) ||
        !read.indices("labels", m.labels, r.has_labels) ||
        !read.indices("medoid_indices", m.medoid_indices, r.has_medoids)) {
        return std::nullopt;
    }
    if (PyObject* seed = read.field("seed"); seed != Py_None) {
        std::uint64_t value = 0;
        if (!read.count("seed", value, false)) return std::nullopt;
        m.seed = value;
    }
    // Every model that can be trained or assigned has at most 2^32 clusters
    // (the kernels index them in 32 bits); a larger count is forged, and is
    // refused before anything is allocated from it.
    if (m.n_clusters > UINT32_MAX) return invalid("'n_clusters' is beyond 2^32");
    // Training a single cluster compares nothing, so it accepts NaN, and its
    // mean can overflow to infinity; that model's centroid must load back as
    // it was. Two or more trained clusters are always finite: training
    // refuses data that could make them otherwise, and so does with_centroids.
    if (!read.centroids("centroids", m.centroids, m.n_clusters, m.trained && m.n_clusters > 1)) return std::nullopt;
    // Initial centroids (None when absent) are checked as with_initial_centroids checks them.
    if (format >= 3) {
        if (!read.flag("hierarchical", m.hierarchical)) return std::nullopt;
        if (!read.centroids("initial_centroids", m.initial_centroids, m.n_clusters, true)) return std::nullopt;
        const engine::ExecutionContext here;
        if (m.initial_centroids && m.n_clusters > 1 &&
            engine::check_values(m.initial_centroids->view(), engine::ValueBounds::no_overflow, here, "Centroid")) {
            return invalid("'initial_centroids' holds values whose distances overflow");
        }
    }
    return r;
}

// Labels and medoids against the model they came with; the cluster sizes
// are recounted from the labels.
std::optional<engine::Model> consistent_model(ReadModel r) {
    engine::Model& m = r.model;
    if (m.trained) {
        if (!m.centroids || !r.has_labels) return invalid("a trained model without centroids or labels");
        if (m.use_medoids && !r.has_medoids) return invalid("medoid mode without medoid indices");
    } else if (r.has_labels || r.has_medoids) {
        return invalid("an untrained model with labels or medoid indices");
    }
    std::vector<std::uint64_t> counts(m.n_clusters, 0);
    for (std::uint64_t label : m.labels) {
        if (label >= m.n_clusters) return invalid("a label is not below n_clusters");
        ++counts[label];
    }
    if (r.has_medoids) {
        // A medoid training picks one per cluster; every other way to a
        // trained model leaves none.
        if (!m.medoid_indices.empty() && m.medoid_indices.size() != m.n_clusters) {
            return invalid("'medoid_indices' has neither n_clusters entries nor none");
        }
        for (std::uint64_t index : m.medoid_indices) {
            if (index >= m.labels.size()) return invalid("a medoid index is not a training row");
        }
    }
    m.cluster_sizes.resize(m.n_clusters);
    std::transform(counts.begin(), counts.end(), m.cluster_sizes.begin(), engine::size_from_count);
    return std::move(m);
}

}  // namespace

std::optional<engine::Model> model_from_state(PyObject* state) {
    std::optional<ReadModel> read = read_fields(state);
    if (!read) return std::nullopt;
    return consistent_model(std::move(*read));
}

}  // namespace quorla::interface
