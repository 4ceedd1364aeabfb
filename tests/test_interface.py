"""What users see before any data flows: the module's names, the methods'
signatures, docs and binding errors (held to the plain-Python model), the
type stubs (held to the live classes), pickling and import behaviour."""
import ast
import copy
import importlib
import inspect
import logging
import os
import pickle
import subprocess
import sys
import types
import typing

import pandas as pd
import pytest

import veltrano.transformer.timeseries as ts
from twins import M, T, assert_same

EXACT_DOCS = {
    "get_safe_column_name": "Given a desired new column to add, return a name that doesn't exist in self.df",
    "_get_indexes_of_first_row_of_each_unique_id":
        "Get the index values for the first row of each unique id (read: person's) set of rows/entries",
}


def methods(K):
    return [n for n in vars(K) if not n.startswith("__") or n == "__init__"]


def test_module_and_class_objects():
    names = [n for n in vars(ts) if not n.startswith("__")]
    assert names == ["logging", "Dict", "List", "Tuple", "pd", "logger", "TimeseriesDifferenceTransformer"]
    assert ts.pd is pd and (ts.Dict, ts.List, ts.Tuple) == (typing.Dict, typing.List, typing.Tuple)
    assert ts.logger is logging.getLogger("veltrano.transformer.timeseries") and ts.__doc__ is None
    assert type(T) is type and T.__bases__ == (object,) and T.__qualname__ == "TimeseriesDifferenceTransformer"
    # Saving and loading have no counterpart in the model: the file format is the package's own.
    assert [n for n in vars(T) if n not in ("__dict__", "__weakref__")] == ["__module__", "__doc__"] + methods(M) + [
        "save", "load"]
    assert "CATEGORY1->CATEGORY2" in T.__doc__ and "self.df_augmented" in T.__doc__


@pytest.mark.parametrize("name", methods(M))
def test_method_matches_the_model(name):
    raw, ref = vars(T)[name], vars(M)[name]
    assert type(raw) is classmethod if type(ref) is classmethod else not isinstance(raw, classmethod)
    raw, ref = getattr(raw, "__func__", raw), getattr(ref, "__func__", ref)
    assert (raw.__name__, raw.__qualname__, raw.__module__) == (name, "TimeseriesDifferenceTransformer." + name,
                                                                 ts.__name__)
    # Defaults and annotations as the model declares them (its wrapper hides them from the attributes).
    sig = inspect.signature(ref)
    assert str(inspect.signature(raw)) == str(sig)
    assert raw.__defaults__ == (tuple(p.default for p in sig.parameters.values() if p.default is not p.empty)
                                or None)
    assert (raw.__doc__ is None) == (ref.__doc__ is None)
    if name in EXACT_DOCS:
        assert raw.__doc__ == EXACT_DOCS[name]


def test_binding_like_python_functions():
    df, inst = pd.DataFrame({"x": [1]}), T.__new__(T)
    assert T.get_safe_column_name(df, "x") == inst.get_safe_column_name(df, "x") == "x_1"
    assert T.get_safe_column_name(desired_column_name="y", df=df) == "y"
    assert T.make_element_a_list.__self__ is T and inst.make_element_a_list.__self__ is T
    bound = inst._get_safe_col_diff_names
    assert bound.__self__ is inst and bound.__func__ is vars(T)["_get_safe_col_diff_names"]
    import pydoc
    text = " ".join(pydoc.render_doc(T, renderer=pydoc.plaintext).replace("|", " ").split())
    assert "max_path_length=10, index='index'" in text  # pydoc from 3.13 on puts parameters on lines of their own


QUAL = "TimeseriesDifferenceTransformer." if sys.version_info >= (3, 10) else ""


@pytest.mark.parametrize("call, message", [
    (lambda K: K.join_df(), "join_df() missing 2 required positional arguments: 'df_l' and 'df_r'"),
    (lambda K: K(), "__init__() missing 4 required positional arguments: 'df', 'primary_id_column', "
                    "'primary_timeseries_column', and 'columns_to_diff'"),
    (lambda K: K.join_df(1, 2, 3, 4, 5, 6), "join_df() takes from 3 to 6 positional arguments but 7 were given"),
    (lambda K: K.make_element_a_list(1, 2), "make_element_a_list() takes 2 positional arguments but 3 were given"),
    (lambda K: K.join_df(1, 2, colour="x"), "join_df() got an unexpected keyword argument 'colour'"),
    (lambda K: K.join_df(1, 2, df_l=3), "join_df() got multiple values for argument 'df_l'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(T)
    assert str(info.value) == QUAL + message


class Text(str):
    pass


@pytest.mark.parametrize("value", [5, b"x", Text("x"), ["x"]])
@pytest.mark.parametrize("call, param", [
    (lambda v: T(pd.DataFrame(), v, "t", []), "primary_id_column"),
    (lambda v: T(pd.DataFrame(), "i", v, []), "primary_timeseries_column"),
    (lambda v: T.get_safe_column_name(pd.DataFrame(), v), "desired_column_name"),
    (lambda v: T.__new__(T)._get_indexes_of_first_row_of_each_unique_id(pd.DataFrame(), v), "id_column_name"),
    (lambda v: T.join_df(pd.DataFrame(), pd.DataFrame(), left=v), "left"),
    (lambda v: T.join_df(pd.DataFrame(), pd.DataFrame(), index=v), "index"),
])
def test_str_parameters_take_exact_str_or_none(call, param, value):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == "Argument '%s' has incorrect type (expected str, got %s)" % (param, type(value).__name__)


def test_reimport_hands_back_the_module_and_import_logs_nothing():
    refs, saved = sys.getrefcount(ts), sys.modules.pop(ts.__name__)
    try:
        again = importlib.import_module(ts.__name__)
        assert again is saved and importlib.reload(again) is again and again.TimeseriesDifferenceTransformer is T
    finally:
        sys.modules[ts.__name__] = saved
    del again, saved
    assert sys.getrefcount(ts) == refs  # each hand-back owns its reference
    code = ("import logging\nrecords = []\n"
            "logging.getLogger().addHandler(type('H', (logging.Handler,), {'emit': lambda s, r: records.append(r)})())\n"
            "logging.getLogger().setLevel(0)\nimport veltrano.transformer.timeseries as ts\nprint(len(records))\n")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "0\n"


def fitted():
    df = pd.DataFrame({"id": [7, 7, 7, 3, 3, 9, 5, 5, 5, 5], "t": ["2024-01-0%d" % d for d in (3, 1, 2, 1, 4, 1, 2, 3, 5, 9)],
                       "v": [1.5, 2.0, -1.0, 4.0, 4.5, 0.0, 3.0, 2.0, 1.0, 7.0], "k": list("abacabbbca"), "o": range(10)})
    return T(df, "id", "t", ["v", "t", "k"], ["t"])


@pytest.mark.parametrize("clone", [lambda t: pickle.loads(pickle.dumps(t, protocol=2)),
                                   lambda t: pickle.loads(pickle.dumps(t, protocol=pickle.HIGHEST_PROTOCOL)),
                                   copy.deepcopy], ids=["pickle-2", "pickle-highest", "deepcopy"])
def test_clone_has_identical_state_and_results(clone):
    original = fitted()
    twin = clone(original)
    assert type(twin) is T and twin.df is not original.df and list(vars(twin)) == list(vars(original))
    assert_same(vars(twin), vars(original))
    synth = pd.concat([original.df_multi_entry_per_group_diff] * 4, ignore_index=True)
    for counts in (None, {2: 1, 3: 2}):
        assert_same(twin.postprocess_timeseries_difference_method(synth, counts),
                    original.postprocess_timeseries_difference_method(synth, counts))


EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")
MODULES = [("timeseries", "TimeseriesDifferenceTransformer", "typed_usage.py"),
           ("sequences", "SequenceTransformer", "typed_sequences.py")]


def stub_signature(node):
    """(parameter names, names that have defaults, keyword-only names) of a stub's def."""
    a = node.args
    names = [p.arg for p in getattr(a, "posonlyargs", []) + a.args]
    defaults = names[len(names) - len(a.defaults):] + [p.arg for p, d in zip(a.kwonlyargs, a.kw_defaults) if d]
    return names, defaults, [p.arg for p in a.kwonlyargs]


def live_signature(obj):
    params = inspect.signature(obj).parameters.values()
    if any(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in params) or "/" in (
            getattr(obj, "__text_signature__", None) or ""):
        raise ValueError("a generic signature, as slot wrappers and one-argument methods have")
    return ([p.name for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)],
            [p.name for p in params if p.default is not p.empty], [p.name for p in params if p.kind == p.KEYWORD_ONLY])


@pytest.mark.parametrize("module, cls, example", MODULES)
def test_stubs_describe_the_live_class(module, cls, example):
    mod = importlib.import_module("veltrano.transformer." + module)
    folder, live = os.path.dirname(mod.__file__), getattr(mod, cls)
    assert os.path.exists(os.path.join(folder, "py.typed"))
    with open(os.path.join(folder, module + ".pyi")) as f:
        tree = ast.parse(f.read())
    stub = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls)
    defs = {}
    for node in stub.body:  # the last of several overloads stands for them all
        if isinstance(node, ast.FunctionDef):
            defs[node.name] = node
    public = [n for n in vars(live) if not n.startswith("__") or n in ("__init__", "__reduce__", "__setstate__")]
    assert sorted(n for n in defs if n in public or not n.startswith("__")) == sorted(public)
    for name, node in defs.items():
        raw, decorators = inspect.getattr_static(live, name), {getattr(d, "id", None) for d in node.decorator_list}
        if "property" in decorators:
            assert inspect.isdatadescriptor(raw) and not callable(raw), name
            continue
        bound_to_class = (classmethod, staticmethod, types.ClassMethodDescriptorType)  # the last: METH_CLASS
        assert isinstance(raw, bound_to_class) == bool(decorators & {"classmethod", "staticmethod"}), name
        try:
            expected = live_signature(getattr(raw, "__func__", raw))
        except ValueError:  # a native method without a text signature
            if name == "__init__":  # takes every keyword the stub names, at its default
                live(*stub_signature(node)[0][1:], **{p.arg: ast.literal_eval(d) for p, d in
                                                       zip(node.args.kwonlyargs, node.args.kw_defaults)})
            continue
        assert stub_signature(node) == expected, name


@pytest.mark.parametrize("module, cls, example", MODULES)
def test_typed_example_passes_mypy_strict(tmp_path, module, cls, example):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                             str(tmp_path), os.path.join(EXAMPLES, example)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
