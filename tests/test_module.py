"""The module frame: names bound at import, the class and its 27 methods."""
import importlib
import inspect
import logging
import re
import subprocess
import sys
import typing

import pandas as pd
import pytest

import veltrano.transformer.timeseries as ts

T = ts.TimeseriesDifferenceTransformer
DF, LS, CC = "pd.DataFrame", "List[str]", "Dict[int, int]"

# name, kind, parameters (name, annotation), defaults, return annotation
METHODS = [
    ("__init__", "i", [("df", DF), ("primary_id_column", "str"), ("primary_timeseries_column", "str"),
                      ("columns_to_diff", LS), ("columns_to_cast_to_timeseries_datatypes", LS)], (None,), None),
    ("verify_columns_exist_in_df", "c", [("df", DF), ("columns", LS)], None, None),
    ("get_safe_column_name", "c", [("df", DF), ("desired_column_name", "str")], None, "str"),
    ("convert_columns_to_time_dtype", "c", [("df", DF), ("timeseries_columns", LS)], None, DF),
    ("_get_safe_col_diff_names", "i", [("columns_to_diff", LS)], None, "Dict[str, str]"),
    ("_split_columns_to_diff_into_continuous_and_categorical", "i", [], None, "Tuple[List[str], List[str]]"),
    ("_add_groupings_defined_by_number_of_entries", "i", [], None, "Tuple[pd.DataFrame, pd.DataFrame]"),
    ("_split_df_into_single_and_multi_entry_dfs", "i", [("group_counts", DF)], None, None),
    ("_get_diff", "i", [("df_multi_entry_per_group", None)], None, None),
    ("_get_counts_of_categories", "i", [], None, None),
    ("_verify_there_is_enough_synthetic_data_to_recombine_desired_structures", "i",
     [("df_synth", DF), ("desired_category_counts", CC)], None, None),
    ("_verify_desired_category_counts_categories_exist_and_numbers_are_valid", "i",
     [("df_synth", DF), ("desired_category_counts", CC)], None, None),
    ("_get_indexes_to_keep", "c", [("desired_category_counts", CC), ("syn_category_counts", DF),
                                   ("unique_id_category_counts", DF)], None, None),
    ("_get_indexes_of_first_row_of_each_unique_id", "i", [("df", DF), ("id_column_name", "str")], None, None),
    ("_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements", "i",
     [("df_synth", DF), ("df_unique_ids", DF), ("desired_category_counts", CC)], None, None),
    ("_undiff_categorical_columns", "i", [("df_synth", DF)], None, DF),
    ("_undiff_continuous_columns", "i", [("df_synth", DF), ("desired_category_counts", CC),
                                         ("first_rows_of_each_person_idx", DF)], None, None),
    ("postprocess_timeseries_difference_method", "i", [("df_synth", DF), ("desired_category_counts", CC)],
     (None,), DF),
    ("expand_category_edges_in_df", "c", [("df", DF), ("categorical_column_mappings", "Dict[str, pd.DataFrame]")],
     None, None),
    ("create_starting_df_for_path_discovery", "c", [("df_expanded", None), ("categorical_column_mappings", None)],
     None, None),
    ("make_element_a_list", "c", [("item", None)], None, None),
    ("join_df", "c", [("df_l", DF), ("df_r", DF), ("left", "str"), ("right", "str"), ("index", "str")],
     ("left", "right", "index"), None),
    ("iteratively_discover_paths_linear", "c", [("df", None), ("df_start", None), ("max_path_length", None),
                                                ("index", None)], (None, 10, "index"), None),
    ("iteratively_discover_paths_exponential", "c", [("df_start", None), ("max_path_order", None), ("index", None)],
     (10, "index"), None),
    ("iteratively_discover_paths_combined", "c", [("df_start", None), ("max_path_iterations", None),
                                                  ("index", None)], (100, "index"), None),
    ("retrieve_longest_path", "c", [("df_original", None), ("df_paths", None), ("index", None)], ("index",), None),
    ("get_valid_path", "c", [("df", None), ("categorical_column_mappings", None)], None, None),
]

EXACT_DOCS = {
    "get_safe_column_name": "Given a desired new column to add, return a name that doesn't exist in self.df",
    "_get_indexes_of_first_row_of_each_unique_id":
        "Get the index values for the first row of each unique id (read: person's) set of rows/entries",
}
FRAMED_DOCS = {
    "_get_indexes_to_keep": "Selectively keep only rows that are needed to create exactly the correct number "
                            "of desired unique ids",
    "make_element_a_list": "Function to be used in a df.apply(...) call to make items in a dataframe column a list",
}
UNDOCUMENTED = {"__init__", "verify_columns_exist_in_df", "convert_columns_to_time_dtype",
                "_split_columns_to_diff_into_continuous_and_categorical",
                "_add_groupings_defined_by_number_of_entries", "_split_df_into_single_and_multi_entry_dfs",
                "_get_diff", "_verify_there_is_enough_synthetic_data_to_recombine_desired_structures",
                "_verify_desired_category_counts_categories_exist_and_numbers_are_valid",
                "_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements",
                "_undiff_categorical_columns", "_undiff_continuous_columns",
                "postprocess_timeseries_difference_method", "join_df"}


def test_module_level_names_in_order():
    names = [n for n in vars(ts) if not n.startswith("__")]
    assert names == ["logging", "Dict", "List", "Tuple", "pd", "logger", "TimeseriesDifferenceTransformer"]
    assert ts.logging is logging and ts.pd is pd
    assert (ts.Dict, ts.List, ts.Tuple) == (typing.Dict, typing.List, typing.Tuple)
    assert ts.logger is logging.getLogger("veltrano.transformer.timeseries")
    assert ts.__doc__ is None


def test_class_object():
    assert type(T) is type and T.__bases__ == (object,)
    assert (T.__name__, T.__qualname__, T.__module__) == ("TimeseriesDifferenceTransformer",) * 2 + (ts.__name__,)
    # type() moves __qualname__ out of the namespace onto the class itself
    assert [n for n in vars(T) if n not in ("__dict__", "__weakref__")] == \
        ["__module__", "__doc__"] + [m[0] for m in METHODS]
    doc = " ".join(T.__doc__.split())
    for phrase in ("difference transformations", "post-processes synthetic data", "category",
                   "self.df_augmented", "first order", "CATEGORY1->CATEGORY2"):
        assert phrase in doc


@pytest.mark.parametrize("name, kind, params, defaults, ret", METHODS, ids=[m[0] for m in METHODS])
def test_method_attributes(name, kind, params, defaults, ret):
    raw = vars(T)[name]
    if kind == "c":
        assert isinstance(raw, classmethod)
        raw = raw.__func__
    assert (raw.__name__, raw.__qualname__, raw.__module__) == \
        (name, "TimeseriesDifferenceTransformer." + name, ts.__name__)
    assert raw.__defaults__ == defaults
    annotations = {p: a for p, a in params if a is not None}
    if ret is not None:
        annotations["return"] = ret
    assert list(raw.__annotations__.items()) == list(annotations.items())
    first = "cls" if kind == "c" else "self"
    sig = inspect.signature(raw)
    assert list(sig.parameters) == [first] + [p for p, _ in params]
    if name in EXACT_DOCS:
        assert raw.__doc__ == EXACT_DOCS[name]
    elif name in FRAMED_DOCS:
        assert raw.__doc__.strip() == FRAMED_DOCS[name] and raw.__doc__ != FRAMED_DOCS[name]
    elif name in UNDOCUMENTED:
        assert raw.__doc__ is None
    else:
        assert "\n" in raw.__doc__


def test_signatures_and_help_show_real_parameters():
    assert str(inspect.signature(T)) == (
        "(df: 'pd.DataFrame', primary_id_column: 'str', primary_timeseries_column: 'str', "
        "columns_to_diff: 'List[str]', columns_to_cast_to_timeseries_datatypes: 'List[str]' = None)")
    assert str(inspect.signature(T.join_df)) == (
        "(df_l: 'pd.DataFrame', df_r: 'pd.DataFrame', left: 'str' = 'left', right: 'str' = 'right', "
        "index: 'str' = 'index')")
    import pydoc
    text = pydoc.render_doc(T, renderer=pydoc.plaintext)
    # pydoc from 3.13 on puts each parameter of a long signature on a line of its own.
    text = re.sub(r"\(\s+", "(", re.sub(r",?\s+\)", ")", re.sub(r"\n \|\s+", " ", text)))
    assert "iteratively_discover_paths_linear(df, df_start=None, max_path_length=10, index='index')" in text


def test_binding_like_python_functions():
    df = pd.DataFrame({"x": [1]})
    # classmethods work on the class and on an instance alike
    inst = T.__new__(T)
    assert T.get_safe_column_name(df, "x") == inst.get_safe_column_name(df, "x") == "x_1"
    assert T.get_safe_column_name(desired_column_name="y", df=df) == "y"
    assert T.make_element_a_list.__self__ is T and inst.make_element_a_list.__self__ is T
    bound = inst._get_safe_col_diff_names
    assert bound.__self__ is inst and bound.__func__ is vars(T)["_get_safe_col_diff_names"]


QUAL = "TimeseriesDifferenceTransformer." if sys.version_info >= (3, 10) else ""


@pytest.mark.parametrize("call, message", [
    (lambda: T.get_safe_column_name(pd.DataFrame()),
     "get_safe_column_name() missing 1 required positional argument: 'desired_column_name'"),
    (lambda: T.join_df(), "join_df() missing 2 required positional arguments: 'df_l' and 'df_r'"),
    (lambda: T(), "__init__() missing 4 required positional arguments: 'df', 'primary_id_column', "
                  "'primary_timeseries_column', and 'columns_to_diff'"),
    (lambda: T.join_df(1, 2, 3, 4, 5, 6), "join_df() takes from 3 to 6 positional arguments but 7 were given"),
    (lambda: T.make_element_a_list(1, 2), "make_element_a_list() takes 2 positional arguments but 3 were given"),
    (lambda: T.__new__(T)._get_counts_of_categories(1),
     "_get_counts_of_categories() takes 1 positional argument but 2 were given"),
    (lambda: T.join_df(1, 2, colour="x"), "join_df() got an unexpected keyword argument 'colour'"),
    (lambda: T.join_df(1, 2, df_l=3), "join_df() got multiple values for argument 'df_l'"),
    (lambda: T.join_df(1, 2, **{"index": 5}), None),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == QUAL + message


class Text(str):
    pass


@pytest.mark.parametrize("value", [5, 1.5, b"x", Text("x"), ["x"]])
@pytest.mark.parametrize("call, param", [
    (lambda v: T(pd.DataFrame(), v, "t", []), "primary_id_column"),
    (lambda v: T(pd.DataFrame(), "i", v, []), "primary_timeseries_column"),
    (lambda v: T.get_safe_column_name(pd.DataFrame(), v), "desired_column_name"),
    (lambda v: T.__new__(T)._get_indexes_of_first_row_of_each_unique_id(pd.DataFrame(), v), "id_column_name"),
    (lambda v: T.join_df(pd.DataFrame(), pd.DataFrame(), left=v), "left"),
    (lambda v: T.join_df(pd.DataFrame(), pd.DataFrame(), right=v), "right"),
    (lambda v: T.join_df(pd.DataFrame(), pd.DataFrame(), index=v), "index"),
])
def test_str_parameters_take_exact_str_or_none(call, param, value):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == "Argument '%s' has incorrect type (expected str, got %s)" % (
        param, type(value).__name__)


def test_reimport_after_removal_hands_back_the_module():
    name = ts.__name__
    saved = sys.modules.pop(name)
    try:
        again = importlib.import_module(name)
        assert again is saved and again.TimeseriesDifferenceTransformer is T
        assert importlib.reload(again) is again
    finally:
        sys.modules[name] = saved


def test_import_logs_nothing_and_leaves_nothing_behind():
    code = ("import logging, sys\n"
            "records = []\n"
            "logging.getLogger().addHandler(type('H', (logging.Handler,), {'emit': lambda s, r: records.append(r)})())\n"
            "logging.getLogger().setLevel(0)\n"
            "import veltrano.transformer.timeseries as ts\n"
            "print(len(records), ts.logger.name)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["0", "veltrano.transformer.timeseries"]
