"""The module object, the KMeans type and its text form."""
import ast
import pathlib
import tomllib

import pytest

import quorla
from conftest import run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_module_attributes():
    # The version is written once, in pyproject.toml; the build carries it
    # into the module.
    with open(ROOT / "pyproject.toml", "rb") as f:
        assert quorla.__version__ == tomllib.load(f)["project"]["version"]
    assert quorla.__all__ == ["KMeans", "__version__"]
    assert quorla.__doc__ == ""


def test_type_identity_and_documentation():
    K = quorla.KMeans
    assert K.__module__ == "builtins"
    assert K.__name__ == "KMeans"
    assert K.__qualname__ == "KMeans"
    assert K.__doc__ == "Python wrapper for the KMeans struct"
    assert K.__text_signature__ == "(n_clusters)"


@pytest.mark.parametrize(
    "method, signature",
    [
        ("with_iterations", "($self, iters)"),
        ("with_euclidean", "($self, euclidean)"),
        ("with_balanced", "($self, balanced)"),
        ("with_max_balance_diff", "($self, max_balance_diff)"),
        ("with_verbose", "($self, verbose)"),
        ("with_use_medoids", "($self, use_medoids)"),
        ("train", "($self, data, num_threads)"),
        ("assign", "($self, data, k)"),
        ("with_seed", "($self, seed)"),
        ("with_centroids", "($self, centroids)"),
        ("with_progress", "($self, progress)"),
        ("search", "($self, data, k)"),
        ("with_release_gil", "($self, release)"),
        ("with_initial_centroids", "($self, centroids)"),
        ("with_hierarchical", "($self, hierarchical)"),
        ("fine_tasks", "($self, data, num_threads)"),
    ],
)
def test_method_signatures(method, signature):
    function = getattr(quorla.KMeans, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None


def test_members_in_declared_order():
    # Methods, then properties; each group keeps the first members' order
    # and lists later additions after them.
    names = [n for n in vars(quorla.KMeans) if not n.startswith("__")]
    assert names == [
        "with_iterations", "with_euclidean", "with_balanced", "with_max_balance_diff",
        "with_verbose", "with_use_medoids", "train", "assign",
        "with_seed", "with_centroids", "with_progress", "search", "with_release_gil", "with_initial_centroids",
        "with_hierarchical", "fine_tasks",
        "n_clusters", "iterations", "is_euclidean", "is_balanced", "is_use_medoids",
        "centroids", "medoid_indices", "is_trained",
        "seed", "labels", "is_release_gil", "initial_centroids", "is_hierarchical",
    ]


def test_cannot_subclass():
    with pytest.raises(TypeError):
        class Sub(quorla.KMeans):
            pass


def test_instances_take_no_new_attributes():
    m = quorla.KMeans(3)
    with pytest.raises(AttributeError):
        m.anything = 1
    assert not hasattr(m, "__dict__")
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(m)


@pytest.mark.parametrize("prop", ["n_clusters", "iterations", "is_euclidean", "is_balanced",
                                  "is_use_medoids", "centroids", "medoid_indices", "is_trained"])
def test_properties_are_read_only(prop):
    m = quorla.KMeans(3)
    before = getattr(m, prop)
    with pytest.raises(AttributeError):
        setattr(m, prop, before)
    with pytest.raises(AttributeError):
        delattr(m, prop)
    assert getattr(m, prop) == before


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: quorla.KMeans(8),
         "KMeans(n_clusters=8, iterations=25, euclidean=false, balanced=false, use_medoids=false, trained=false)"),
        (lambda: quorla.KMeans(3).with_euclidean(True),
         "KMeans(n_clusters=3, iterations=25, euclidean=true, balanced=false, use_medoids=false, trained=false)"),
        (lambda: quorla.KMeans(1000).with_iterations(2**64 - 1).with_balanced(True).with_use_medoids(True)
         .with_verbose(True).with_max_balance_diff(3),
         "KMeans(n_clusters=1000, iterations=18446744073709551615, euclidean=false, "
         "balanced=true, use_medoids=true, trained=false)"),
    ],
)
def test_repr_and_str(build, text):
    m = build()
    assert repr(m) == text
    assert str(m) == text


def test_import_does_not_import_numpy_and_config_works_without_it():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None  # any import of numpy now fails
        import quorla
        m = quorla.KMeans(4).with_euclidean(True).with_iterations(3)
        print(repr(m), m.centroids, m.medoid_indices)
        try:
            m.train([[1.0]], None)
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), str(e).split(":")[0])
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].endswith("trained=false) None None")
    assert lines[1] == "PanicException False Failed to access NumPy array API capsule"


def test_numpy_is_imported_only_on_first_need():
    result = run_python(
        """
        import sys, quorla
        assert "numpy" not in sys.modules
        m = quorla.KMeans(2)
        m.centroids
        assert "numpy" not in sys.modules
        try:
            m.assign([[1.0]], 1)
        except TypeError:
            pass
        print("numpy" in sys.modules)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


def test_failed_numpy_lookup_is_retried():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import quorla
        import numpy as np_missing_check  # noqa: F401
        """
    )
    assert result.returncode != 0  # sanity: numpy really was blocked
    result = run_python(
        """
        import sys
        real = sys.modules.pop("numpy", None)
        sys.modules["numpy"] = None
        import quorla
        try:
            quorla.KMeans(1).train(None, None)
        except BaseException as e:
            print(type(e).__name__)
        del sys.modules["numpy"]
        import numpy as np
        try:
            quorla.KMeans(1).train([[1.0]], None)
        except TypeError as e:
            print("TypeError", str(e).startswith("argument 'data': "))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["PanicException", "TypeError", "True"]


def test_panic_exception_derives_from_base_exception_only():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import quorla
        try:
            quorla.KMeans(1).assign(None, 1)
        except Exception:
            print("caught as Exception")
        except BaseException as e:
            t = type(e)
            print(t.__name__, t.__bases__ == (BaseException,), hasattr(quorla, "PanicException"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["PanicException", "True", "False"]


def test_sub_interpreter_import_is_refused():
    result = run_python(
        """
        import os, tempfile, quorla
        import _testcapi
        path = tempfile.mktemp()
        code = (
            "try:\\n"
            "    import quorla\\n"
            f"    open({path!r}, 'w').write('imported')\\n"
            "except ImportError as e:\\n"
            f"    open({path!r}, 'w').write('ImportError ' + str(e))\\n"
        )
        _testcapi.run_in_subinterp(code)
        print(open(path).read())
        os.unlink(path)
        """
    )
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("interpreter built without _testcapi")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError ")
    assert "sub-interpreters" in result.stdout


def test_reimport_returns_the_same_module():
    result = run_python(
        """
        import sys, importlib, quorla
        first = quorla
        del sys.modules["quorla"]
        again = importlib.import_module("quorla")
        print(again.KMeans is first.KMeans, again.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True ['KMeans', '__version__']"


def _stub_tree():
    return ast.parse((ROOT / "quorla.pyi").read_text())


def test_stub_names_exactly_what_the_module_exposes():
    tree = _stub_tree()
    module_names = {
        node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)
    } | {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    assert module_names == set(quorla.__all__) | {"__all__"}

    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    stub_members = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
            stub_members[node.name] = ("property" if is_property else "method",
                                       [a.arg for a in node.args.args])
    runtime = {}
    for name, value in vars(quorla.KMeans).items():
        if name.startswith("__") and name != "__new__":
            continue
        if isinstance(value, property) or type(value).__name__ == "getset_descriptor":
            runtime[name] = ("property", ["self"])
        elif name == "__new__":
            runtime[name] = ("method", ["cls", "n_clusters"])
        else:
            params = value.__text_signature__.strip("()").replace("$", "").split(", ")
            runtime[name] = ("method", params)
    assert stub_members == runtime
