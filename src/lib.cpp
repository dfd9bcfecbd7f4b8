// Module initialisation and the KMeans type as Python sees it. Each method
// matches and converts its arguments, takes access to the model, calls one
// engine operation and converts the answer back; the work is in engine/.
#include "interface/handle.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

#include "engine/assignment.hpp"
#include "engine/core/model.hpp"
#include "engine/core/random.hpp"
#include "engine/training.hpp"
#include "engine/core/value_check.hpp"
#include "interface/arguments.hpp"
#include "interface/context.hpp"
#include "interface/errors.hpp"
#include "interface/numpy_api.hpp"
#include "interface/results.hpp"
#include "interface/state.hpp"

namespace {

using quorla::engine::Model;
using quorla::interface::AccessGuard;
using quorla::interface::ArrayBorrow;
using quorla::interface::guarded;
using quorla::interface::Ref;
namespace interface = quorla::interface;
namespace engine = quorla::engine;

struct KMeansObject {
    PyObject_HEAD
    Model* model;        // owned; never null once tp_new has returned
    // Owned; never null once tp_new has returned. The queries' packed
    // centroids, which train clears before it changes them.
    engine::PanelCache* panels;
    Py_ssize_t access;   // see AccessGuard
    PyObject* progress;  // owned; the progress callable, or null
};

// Process-wide slots, each filled once and kept until the process ends.
PyTypeObject* kmeans_type = nullptr;
PyObject* module_object = nullptr;
std::atomic<std::int64_t> owner_interpreter{-1};

KMeansObject* as_kmeans(PyObject* self) { return reinterpret_cast<KMeansObject*>(self); }

// Wraps a model in a new instance; takes ownership of `model` and a new
// reference to `progress` (which may be null).
PyObject* wrap_model(Model&& model, PyObject* progress) {
    auto moved = std::make_unique<Model>(std::move(model));
    auto panels = std::make_unique<engine::PanelCache>();
    PyObject* self = kmeans_type->tp_alloc(kmeans_type, 0);
    if (self == nullptr) return nullptr;
    as_kmeans(self)->model = moved.release();
    as_kmeans(self)->panels = panels.release();
    as_kmeans(self)->access = 0;
    as_kmeans(self)->progress = Py_XNewRef(progress);
    return self;
}

// ---- construction and text form ------------------------------------------

PyObject* kmeans_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"n_clusters"};
        PyObject* values[1];
        if (!interface::match_arguments("KMeans.__new__", names, args, kwargs, values)) return nullptr;
        std::uint64_t n_clusters = 0;
        if (!interface::convert_u64(values[0], "n_clusters", n_clusters)) return nullptr;
        if (n_clusters == 0) {
            PyErr_SetString(PyExc_ValueError, "Number of clusters must be positive");
            return nullptr;
        }
        return wrap_model(Model::create(n_clusters), nullptr);
    });
}

void kmeans_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_kmeans(self)->progress);
    delete as_kmeans(self)->model;
    delete as_kmeans(self)->panels;
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// A progress callable can refer back to its model (a bound method of an
// object holding it, say), so instances take part in garbage collection.
int kmeans_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_kmeans(self)->progress);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int kmeans_clear(PyObject* self) {
    Py_CLEAR(as_kmeans(self)->progress);
    return 0;
}

const char* flag_text(bool flag) { return flag ? "true" : "false"; }

PyObject* kmeans_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        const Model& m = *as_kmeans(self)->model;
        return PyUnicode_FromFormat(
            "KMeans(n_clusters=%llu, iterations=%llu, euclidean=%s, balanced=%s, use_medoids=%s, trained=%s)",
            static_cast<unsigned long long>(m.n_clusters), static_cast<unsigned long long>(m.iterations),
            flag_text(m.euclidean), flag_text(m.balanced), flag_text(m.use_medoids), flag_text(m.trained));
    });
}

// ---- builders -------------------------------------------------------------

using FastArgs = PyObject* const*;

// Every builder: match, take shared access, convert, check, copy the whole
// record, replace one field. The receiver is never written.
template <class Value, class Convert>
PyObject* build_with(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames, const char* callable,
                     const char* name, Value Model::*field, Convert convert, const char* zero_message) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* const names[] = {name};
        PyObject* values[1];
        if (!interface::match_arguments(callable, names, args, nargs, kwnames, values)) return nullptr;
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        Value value{};
        if (!convert(values[0], name, value)) return nullptr;
        if (zero_message != nullptr && value == Value{}) {
            PyErr_SetString(PyExc_ValueError, zero_message);
            return nullptr;
        }
        Model copy = *as_kmeans(self)->model;
        copy.*field = value;
        return wrap_model(std::move(copy), as_kmeans(self)->progress);
    });
}

PyObject* with_iterations(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_iterations", "iters", &Model::iterations,
                      interface::convert_u64, "Number of iterations must be positive");
}
PyObject* with_euclidean(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_euclidean", "euclidean", &Model::euclidean,
                      interface::convert_bool, nullptr);
}
PyObject* with_balanced(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_balanced", "balanced", &Model::balanced,
                      interface::convert_bool, nullptr);
}
PyObject* with_max_balance_diff(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_max_balance_diff", "max_balance_diff",
                      &Model::max_balance_diff, interface::convert_u64, "Max balance difference must be positive");
}
PyObject* with_verbose(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_verbose", "verbose", &Model::verbose,
                      interface::convert_bool, nullptr);
}
PyObject* with_use_medoids(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_use_medoids", "use_medoids", &Model::use_medoids,
                      interface::convert_bool, nullptr);
}

PyObject* with_release_gil(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_release_gil", "release", &Model::release_gil,
                      interface::convert_bool, nullptr);
}

PyObject* with_hierarchical(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_hierarchical", "hierarchical", &Model::hierarchical,
                      interface::convert_bool, nullptr);
}

bool convert_seed(PyObject* object, const char* name, std::optional<std::uint64_t>& out) {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value = 0;
    if (!interface::convert_u64(object, name, value)) return false;
    out = value;
    return true;
}

PyObject* with_seed(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_with(self, args, nargs, kwnames, "KMeans.with_seed", "seed", &Model::seed, convert_seed, nullptr);
}

// Rows given as centroids, one per cluster, checked as data is: finite,
// and with more than one cluster small enough that their keys do not
// overflow (otherwise every cluster would rank alike). `what` names the
// rows in messages. nullopt with the exception set when refused.
std::optional<engine::Matrix> given_centroids(PyObject* value, const Model& model, const char* what) {
    ArrayBorrow data;
    if (!interface::read_point_matrix(value, "centroids", data)) return std::nullopt;
    const engine::PointView& given = data.view;
    if (model.use_medoids) {
        PyErr_Format(PyExc_ValueError, "%s are not training rows, so they cannot be medoids", what);
        return std::nullopt;
    }
    if (given.rows != model.n_clusters) {
        PyErr_Format(PyExc_ValueError, "Expected %llu rows of centroids (n_clusters), got %llu",
                     static_cast<unsigned long long>(model.n_clusters), static_cast<unsigned long long>(given.rows));
        return std::nullopt;
    }
    engine::Matrix centroids(given.rows, given.cols);
    for (std::uint64_t i = 0; i < given.rows; ++i) {
        std::span<float> row = centroids.row(i);
        given.copy_row(i, row.data());
        if (!std::all_of(row.begin(), row.end(), [](float x) { return std::isfinite(x); })) {
            PyErr_Format(PyExc_ValueError, "Centroid row %llu holds a value that is not finite",
                         static_cast<unsigned long long>(i));
            return std::nullopt;
        }
    }
    if (model.n_clusters > 1) {
        const engine::ExecutionContext here;
        if (std::optional<engine::ClusteringError> refused =
                engine::check_values(centroids.view(), engine::ValueBounds::no_overflow, here, "Centroid")) {
            interface::set_clustering_error(*refused);
            return std::nullopt;
        }
    }
    return centroids;
}

// Centroids trained elsewhere: a trained copy of the configuration that
// assigns and searches with exactly these rows. It has no training rows,
// so no labels and no medoids.
PyObject* with_centroids(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* const names[] = {"centroids"};
        PyObject* values[1];
        if (!interface::match_arguments("KMeans.with_centroids", names, args, nargs, kwnames, values)) return nullptr;
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        Model copy = *as_kmeans(self)->model;
        std::optional<engine::Matrix> centroids = given_centroids(values[0], copy, "Given centroids");
        if (!centroids) return nullptr;
        copy.centroids = std::move(*centroids);
        copy.labels.clear();
        std::fill(copy.cluster_sizes.begin(), copy.cluster_sizes.end(), 0.0);
        copy.medoid_indices.clear();
        copy.trained = true;
        return wrap_model(std::move(copy), as_kmeans(self)->progress);
    });
}

// A warm start: training begins from these rows instead of a draw of
// points; None goes back to the draw.
PyObject* with_initial_centroids(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* const names[] = {"centroids"};
        PyObject* values[1];
        if (!interface::match_arguments("KMeans.with_initial_centroids", names, args, nargs, kwnames, values)) {
            return nullptr;
        }
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        Model copy = *as_kmeans(self)->model;
        copy.initial_centroids.reset();
        if (values[0] != Py_None) {
            copy.initial_centroids = given_centroids(values[0], copy, "Initial centroids");
            if (!copy.initial_centroids) return nullptr;
        }
        return wrap_model(std::move(copy), as_kmeans(self)->progress);
    });
}

// The progress callable: called on the calling thread after every Lloyd
// iteration and balancing pass as progress(phase, step, cost); None removes it.
PyObject* with_progress(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* const names[] = {"progress"};
        PyObject* values[1];
        if (!interface::match_arguments("KMeans.with_progress", names, args, nargs, kwnames, values)) return nullptr;
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        PyObject* progress = values[0] == Py_None ? nullptr : values[0];
        if (progress != nullptr && !PyCallable_Check(progress)) {
            interface::set_argument_type_error("progress", "expected a callable or None");
            return nullptr;
        }
        return wrap_model(Model(*as_kmeans(self)->model), progress);
    });
}

// ---- pickle and copy ------------------------------------------------------

// KMeans lives in "builtins", where pickle cannot find it, so a model is
// rebuilt by a function of the module from its saved state.
PyObject* kmeans_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        Ref restore = Ref::adopt(PyObject_GetAttrString(module_object, "_kmeans_from_state"));
        if (!restore) return nullptr;
        Ref state = Ref::adopt(interface::model_state(*as_kmeans(self)->model));
        if (!state) return nullptr;
        return Py_BuildValue("(O(O))", restore.get(), state.get());
    });
}

PyObject* kmeans_from_state(PyObject*, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<Model> model = interface::model_from_state(state);
        if (!model) return nullptr;
        return wrap_model(std::move(*model), nullptr);  // callables are not saved
    });
}

// ---- train and assign -----------------------------------------------------

PyObject* finish(engine::Outcome<engine::ClusterLists>& outcome) {
    if (!outcome.ok()) {
        interface::set_clustering_error(outcome.error());
        return nullptr;
    }
    return interface::make_cluster_lists(outcome.value());
}

PyObject* finish(engine::Outcome<engine::SearchResult>& outcome) {
    if (!outcome.ok()) {
        interface::set_clustering_error(outcome.error());
        return nullptr;
    }
    return interface::make_search_arrays(outcome.value());
}

// A list of (rows, model) pairs, the rows an int64 array, each model
// untrained.
PyObject* finish(engine::Outcome<std::vector<engine::FineTask>>& outcome) {
    if (!outcome.ok()) {
        interface::set_clustering_error(outcome.error());
        return nullptr;
    }
    std::vector<engine::FineTask>& tasks = outcome.value();
    Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(tasks.size())));
    if (!list) return nullptr;
    for (std::size_t t = 0; t < tasks.size(); ++t) {
        Ref rows = Ref::adopt(interface::make_index_array(tasks[t].rows));
        if (!rows) return nullptr;
        Ref model = Ref::adopt(wrap_model(std::move(tasks[t].model), nullptr));
        if (!model) return nullptr;
        PyObject* pair = PyTuple_Pack(2, rows.get(), model.get());
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(t), pair);
    }
    return list.release();
}

// The array is read first so that its errors come first, but converting the
// integer argument after it can run Python code (an __index__ method) that
// frees or replaces the array's buffer in place, e.g. ndarray.__setstate__ or
// resize(refcheck=False). The view handed to the engine is therefore taken
// again after it; Python code that runs later in the call (a progress
// callable, a signal handler) is watched for the same (PythonMonitor).
bool reread_after_conversion(PyObject* array, ArrayBorrow& data) {
    return interface::read_point_matrix(array, "data", data);
}

// train and assign alike: match (data, second argument), take access, read
// the array, convert the second argument (which may run Python code), read
// the array again, and run the engine. The array is released before any
// Python object of the result is built. A call that computes without the
// interpreter lock lets it go only inside `run` (PythonMonitor::run): the
// access flag, the array's reference and its borrow are taken before and
// given back after with the lock held, so another thread that reaches this
// model meanwhile sees the flag and gets the access error, and the array
// outlives the view.
template <class Convert, class Run>
PyObject* run_on_data(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames, const char* callable,
                      const char* second_name, AccessGuard::Mode mode, Convert convert_second, Run run) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* const names[] = {"data", second_name};
        PyObject* values[2];
        if (!interface::match_arguments(callable, names, args, nargs, kwnames, values)) return nullptr;
        AccessGuard access(as_kmeans(self)->access, mode);
        if (!access.ok()) return nullptr;
        if (!interface::warn_of_units_turned_off()) return nullptr;
        using Watch = const interface::ArrayWatch&;
        std::optional<std::invoke_result_t<Run&, Model&, const engine::PointView&, Watch>> outcome;
        {
            ArrayBorrow data;
            if (!interface::read_point_matrix(values[0], "data", data)) return nullptr;
            if (!convert_second(values[1])) return nullptr;
            if (!reread_after_conversion(values[0], data)) return nullptr;
            const interface::ArrayWatch watch(values[0]);
            outcome.emplace(run(*as_kmeans(self)->model, data.view, watch));
        }
        return finish(*outcome);
    });
}

// train and fine_tasks: an optional thread count, and a generator from the
// model's seed.
template <class Call>
PyObject* run_training_call(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames, const char* callable,
                            AccessGuard::Mode mode, Call call) {
    std::optional<std::uint64_t> num_threads;
    auto convert = [&](PyObject* value) {
        if (value == Py_None) return true;
        std::uint64_t count = 0;
        if (!interface::convert_u64(value, "num_threads", count)) return false;
        num_threads = count;
        return true;
    };
    auto run = [&](Model& model, const engine::PointView& points, const interface::ArrayWatch& watch) {
        std::optional<engine::ThreadRandom> seeded;
        if (model.seed) seeded.emplace(engine::seeded_entropy(*model.seed));
        interface::PythonMonitor monitor(as_kmeans(self)->progress, &watch);
        return monitor.run(model.release_gil, [&] {
            return call(model, points, num_threads, seeded ? &*seeded : nullptr, monitor);
        });
    };
    return run_on_data(self, args, nargs, kwnames, callable, "num_threads", mode, convert, run);
}

PyObject* train(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    auto train_model = [self](Model& model, const engine::PointView& points, std::optional<std::uint64_t> threads,
                              engine::ThreadRandom* seeded, interface::PythonMonitor& monitor) {
        as_kmeans(self)->panels->clear();
        return interface::train(model, points, threads, seeded, monitor);
    };
    return run_training_call(self, args, nargs, kwnames, "KMeans.train", AccessGuard::Mode::Exclusive, train_model);
}

// The fine level of a hierarchical training as tasks to run anywhere: the
// coarse level trains here, and each task's model trains its rows into the
// centroids that the hierarchical training stacks in the tasks' order.
PyObject* fine_tasks(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_training_call(self, args, nargs, kwnames, "KMeans.fine_tasks", AccessGuard::Mode::Shared,
                             interface::fine_tasks);
}

// assign and search: the same arguments, the same context, another answer.
// `always_release`: run without the interpreter lock whatever the model says.
template <class Query>
PyObject* run_query(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames, const char* callable,
                    bool always_release, Query query) {
    std::uint64_t k = 0;
    auto convert = [&](PyObject* value) { return interface::convert_u64(value, "k", k); };
    auto run = [&](const Model& model, const engine::PointView& points, const interface::ArrayWatch& watch) {
        interface::PythonMonitor monitor(nullptr, &watch);
        // Read with the interpreter lock held: Python threads may change the
        // environment (QUORLA_SCREEN) while the call runs without it.
        const engine::ScreenOptions screening = interface::query_screening(model, points);
        return monitor.run(always_release || model.release_gil, [&] {
            return query(model, points, k, interface::assignment_context(monitor), screening, as_kmeans(self)->panels);
        });
    };
    return run_on_data(self, args, nargs, kwnames, callable, "k", AccessGuard::Mode::Shared, convert, run);
}

PyObject* assign(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_query(self, args, nargs, kwnames, "KMeans.assign", false, engine::assign);
}

PyObject* search(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    // Threads that search together are what search's users want, and
    // nothing it returns depends on the lock: it always computes without it.
    return run_query(self, args, nargs, kwnames, "KMeans.search", true, engine::search);
}

// ---- read-only properties -------------------------------------------------

template <class Read>
PyObject* read_property(PyObject* self, Read read) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        AccessGuard access(as_kmeans(self)->access, AccessGuard::Mode::Shared);
        if (!access.ok()) return nullptr;
        return read(*as_kmeans(self)->model);
    });
}

PyObject* get_n_clusters(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyLong_FromUnsignedLongLong(m.n_clusters); });
}
PyObject* get_iterations(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyLong_FromUnsignedLongLong(m.iterations); });
}
PyObject* get_is_euclidean(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.euclidean); });
}
PyObject* get_is_balanced(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.balanced); });
}
PyObject* get_is_use_medoids(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.use_medoids); });
}
PyObject* get_centroids(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        if (!m.centroids) Py_RETURN_NONE;  // no NumPy needed for that answer
        return interface::make_centroid_array(*m.centroids);
    });
}
PyObject* get_is_hierarchical(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.hierarchical); });
}
PyObject* get_initial_centroids(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        if (!m.initial_centroids) Py_RETURN_NONE;
        return interface::make_centroid_array(*m.initial_centroids);
    });
}
PyObject* get_medoid_indices(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        if (!(m.use_medoids && m.trained)) Py_RETURN_NONE;
        return interface::make_index_list(m.medoid_indices);
    });
}
PyObject* get_labels(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        if (!m.trained) Py_RETURN_NONE;
        return interface::make_index_array(m.labels);
    });
}
PyObject* get_seed(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        if (!m.seed) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(*m.seed);
    });
}
PyObject* get_is_trained(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.trained); });
}
PyObject* get_is_release_gil(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.release_gil); });
}

// ---- the type -------------------------------------------------------------

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

#define QUORLA_METHOD(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), fast_keywords, doc}

PyMethodDef kmeans_methods[] = {
    QUORLA_METHOD(with_iterations, "with_iterations($self, iters)\n--\n\n"),
    QUORLA_METHOD(with_euclidean, "with_euclidean($self, euclidean)\n--\n\n"),
    QUORLA_METHOD(with_balanced, "with_balanced($self, balanced)\n--\n\n"),
    QUORLA_METHOD(with_max_balance_diff, "with_max_balance_diff($self, max_balance_diff)\n--\n\n"),
    QUORLA_METHOD(with_verbose, "with_verbose($self, verbose)\n--\n\n"),
    QUORLA_METHOD(with_use_medoids, "with_use_medoids($self, use_medoids)\n--\n\n"),
    QUORLA_METHOD(train, "train($self, data, num_threads)\n--\n\n"),
    QUORLA_METHOD(assign, "assign($self, data, k)\n--\n\n"),
    // Later additions follow, so the first members keep their order.
    QUORLA_METHOD(with_seed, "with_seed($self, seed)\n--\n\n"),
    QUORLA_METHOD(with_centroids, "with_centroids($self, centroids)\n--\n\n"),
    QUORLA_METHOD(with_progress, "with_progress($self, progress)\n--\n\n"),
    QUORLA_METHOD(search, "search($self, data, k)\n--\n\n"),
    QUORLA_METHOD(with_release_gil, "with_release_gil($self, release)\n--\n\n"),
    QUORLA_METHOD(with_initial_centroids, "with_initial_centroids($self, centroids)\n--\n\n"),
    QUORLA_METHOD(with_hierarchical, "with_hierarchical($self, hierarchical)\n--\n\n"),
    QUORLA_METHOD(fine_tasks, "fine_tasks($self, data, num_threads)\n--\n\n"),
    {"__reduce__", kmeans_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef QUORLA_METHOD

PyGetSetDef kmeans_properties[] = {
    {"n_clusters", get_n_clusters, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"is_euclidean", get_is_euclidean, nullptr, nullptr, nullptr},
    {"is_balanced", get_is_balanced, nullptr, nullptr, nullptr},
    {"is_use_medoids", get_is_use_medoids, nullptr, nullptr, nullptr},
    {"centroids", get_centroids, nullptr, nullptr, nullptr},
    {"medoid_indices", get_medoid_indices, nullptr, nullptr, nullptr},
    {"is_trained", get_is_trained, nullptr, nullptr, nullptr},
    {"seed", get_seed, nullptr, nullptr, nullptr},
    {"labels", get_labels, nullptr, nullptr, nullptr},
    {"is_release_gil", get_is_release_gil, nullptr, nullptr, nullptr},
    {"initial_centroids", get_initial_centroids, nullptr, nullptr, nullptr},
    {"is_hierarchical", get_is_hierarchical, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kmeans_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(kmeans_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kmeans_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(kmeans_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(kmeans_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(kmeans_repr)},
    {Py_tp_doc, const_cast<char*>("KMeans(n_clusters)\n--\n\nPython wrapper for the KMeans struct")},
    {Py_tp_methods, kmeans_methods},
    {Py_tp_getset, kmeans_properties},
    {0, nullptr},
};

// "builtins." gives the type no module of its own; without
// Py_TPFLAGS_BASETYPE it cannot be subclassed, and with no dict or weakref
// offset instances accept no new attributes.
PyType_Spec kmeans_spec = {
    "builtins.KMeans",
    sizeof(KMeansObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kmeans_slots,
};

PyTypeObject* ensure_kmeans_type() {
    if (kmeans_type == nullptr) {
        kmeans_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kmeans_spec));
    }
    return kmeans_type;
}

// ---- the module -----------------------------------------------------------

PyMethodDef module_functions[] = {
    {"_kmeans_from_state", kmeans_from_state, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorla",
    "",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Lists `name` in __all__ (created on first use) and sets the attribute.
// The attribute steals nothing: `value` stays owned by the caller.
bool register_name(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::adopt(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::adopt(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    Ref text = Ref::adopt(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool run_module_body(PyObject* module) {
    PyTypeObject* type = ensure_kmeans_type();
    if (type == nullptr) return false;
    if (!register_name(module, "KMeans", reinterpret_cast<PyObject*>(type))) return false;
    Ref version = Ref::adopt(PyUnicode_FromString(QUORLA_VERSION));  // from pyproject.toml, through CMake
    return version && register_name(module, "__version__", version.get());
}

PyObject* initialise_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) return nullptr;

    // The module keeps process-wide Python objects (the type, the module), so
    // it can serve only the interpreter that created them.
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "quorla does not support sub-interpreters: it was already initialised by another interpreter");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    // 1013 is the C API version every CPython 3 release reports
    // (PYTHON_API_VERSION); the interpreter warns when a module was built
    // for another one, and this module is built for that one.
    Ref module = Ref::adopt(PyModule_Create2(&module_definition, 1013));
    if (!module || !run_module_body(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());  // the slot keeps its own reference
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_quorla() {
    return guarded<PyObject*>(nullptr, initialise_module);
}
