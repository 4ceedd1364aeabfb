"""Running one call on the extension and on the plain-Python model, and
judging the pair: the same result, or the same exception, and the same
changes to the arguments; never a SystemError.

Also the hostile objects the robustness tests pass around, and arguments
every method accepts.
"""
import collections.abc
import contextlib
import io
import math
import pickle
import re
import warnings

import numpy as np
import pandas as pd
from pandas.testing import assert_frame_equal, assert_index_equal, assert_series_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

M = model.TimeseriesDifferenceTransformer


class Boom(Exception):
    """Raised by the hostile objects below."""


def _boom(*args, **kwargs):
    raise Boom("boom")


def _hostile(name, **slots):
    return type(name, (), dict(slots, __repr__=lambda self: "<%s>" % name))


# Each fails in one way when the code under test touches it.
HOSTILE = [
    _hostile("AttributeBoom", __getattr__=_boom),
    _hostile("EqBoom", __eq__=_boom, __hash__=lambda self: 1),
    _hostile("HashBoom", __hash__=_boom),
    _hostile("LenBoom", __len__=_boom, keys=_boom, items=_boom, values=_boom),
    _hostile("IterBoom", __iter__=_boom),
    _hostile("BoolBoom", __bool__=_boom),
    _hostile("FormatBoom", __format__=_boom, __str__=_boom),
]
HOSTILE = [cls() for cls in HOSTILE]


class Fresh:
    """Stands for a one-shot iterator over `items`: each side gets its own."""

    def __init__(self, items):
        self.items = items


def clone(value):
    """A copy of frames and plain containers (the call may change them); any
    other object is shared by both sides."""
    if isinstance(value, Fresh):
        return iter(value.items)
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index)):
        try:  # a deep copy of the cells too: path lists are changed in place
            return pickle.loads(pickle.dumps(value))
        except Exception:  # cells that do not pickle are not changed by anyone
            return value.copy(deep=True)
    if type(value) is dict:
        return {k: clone(v) for k, v in value.items()}
    if type(value) in (list, tuple):
        return type(value)(clone(v) for v in value)
    return value


def assert_same(a, b):
    """Exact equality of results: frames to the last bit, dict key order and
    types included; transformers by their state."""
    if isinstance(a, T) and isinstance(b, M):
        return assert_same(vars(a), vars(b))
    assert type(a) is type(b), (type(a), type(b))
    if isinstance(a, pd.DataFrame):
        # Object cells one by one (types, nested lists, nan inside lists); the rest exactly, signed zeros too.
        objects = [i for i in range(a.shape[1]) if a.dtypes.iloc[i] == object]
        others = [i for i in range(a.shape[1]) if i not in objects]
        assert_index_equal(a.columns, b.columns, exact=True)
        assert_frame_equal(a.iloc[:, others], b.iloc[:, others], check_exact=True, check_column_type=True)
        for i in objects:
            assert b.dtypes.iloc[i] == object
            assert_same(list(a.iloc[:, i]), list(b.iloc[:, i]))
        for i in others:
            x, y = a.iloc[:, i].to_numpy(), b.iloc[:, i].to_numpy()
            if x.dtype.kind == "f":
                assert (np.signbit(x) == np.signbit(y))[~np.isnan(x)].all()
    elif isinstance(a, pd.Series):
        assert_series_equal(a, b, check_exact=True)
    elif isinstance(a, pd.Index):
        assert_index_equal(a, b, exact=True)
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert_same(a.tolist(), b.tolist())
    elif isinstance(a, dict):
        assert [type(k) for k in a] == [type(k) for k in b] and list(a) == list(b)
        for k in a:
            assert_same(a[k], b[k])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            assert_same(x, y)
    elif isinstance(a, float) and math.isnan(a):
        assert math.isnan(b)
    elif isinstance(a, float) and a == 0:
        assert math.copysign(1, a) == math.copysign(1, b)
    elif isinstance(a, collections.abc.Iterator):
        assert list(a) == list(b)
    else:
        assert a is b or a == b, (a, b)


def outcome(call):
    """(True, result) or (False, exception) of one call."""
    try:
        return True, call()
    except Exception as error:  # any exception is an outcome to compare
        return False, error


# Messages the class writes itself (the others come from pandas or the
# interpreter, worded by the statement that fails).
OUR_MESSAGES = re.compile(r"Argument '|.*(positional argument|keyword argument|multiple values for argument|"
                          r"keywords must be strings|values? to unpack)")


def assert_same_outcome(native, reference):
    """The extension's (ok, value) against the model's: a SystemError is never
    right; an exception must match the model's in type, and in message where
    the message is the class's own."""
    (ok, value), (ref_ok, ref_value) = native, reference
    if not ok:
        assert not isinstance(value, SystemError), repr(value)
    assert ok == ref_ok, "extension %r, model %r" % (value, ref_value)
    if ok:
        assert_same(value, ref_value)
    else:
        assert type(value) is type(ref_value), (value, ref_value)
        if isinstance(value, AssertionError) or OUR_MESSAGES.match(str(ref_value)):
            assert str(value) == str(ref_value), (value, ref_value)


def twin_call(calls, args, failed_may_differ=False):
    """Makes the extension's and the model's call (the pair `calls`) with
    copies of `args`, a dict of keyword arguments, and compares the outcomes,
    the printed output and the arguments afterwards (unless the calls failed
    and `failed_may_differ`: a failed construction may or may not have
    converted the time columns already). Returns both outcomes."""
    results = []
    for call in calls:
        copied = clone(args)
        with contextlib.redirect_stdout(io.StringIO()) as out:
            results.append((copied, outcome(lambda: call(**copied)), out.getvalue()))
    (native_args, native, printed), (reference_args, reference, ref_printed) = results
    assert_same_outcome(native, reference)
    assert printed == ref_printed
    if native[0] or not failed_may_differ:
        assert_same(native_args, reference_args)
    return native, reference


SELF, CLS = "<self>", "<cls>"  # stand for each side's instance and class
REQUEST = {2: 1, 3: 1}
PATH_DF = pd.DataFrame({"colour_diff": ["('red', 'green')", "('green', 'blue')", "('blue', 'red')"],
                        "x": [1.5, 2.5, 3.5]})
MAPPINGS = {"colour": pd.DataFrame({"colour_1": ["red", "green", "blue"], "colour_2": ["green", "blue", "red"],
                                    "colour_diff": list(PATH_DF["colour_diff"])})}


def tiny():
    return pd.DataFrame({"pid": [1, 1, 2, 2, 2, 3], "t": ["2021-01-0%d" % d for d in (1, 2, 1, 3, 4, 1)],
                         "num": [1.0, 2.5, 0.0, 1.0, 4.0, 3.0], "cat": list("ABAABC")})


def good_arguments():
    """Arguments each method accepts, from a transformer of tiny()."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tr = T(tiny(), "pid", "t", ["num", "cat"], ["t"])
        group_counts = tr._add_groupings_defined_by_number_of_entries()[1]
        synth = pd.concat([tr.df_multi_entry_per_group_diff] * 4, ignore_index=True)
        uids = pd.DataFrame({"UNIQUE_ID": range(1, 3)})
        rows = tr._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
            synth.copy(), uids, REQUEST)
        expanded = T.expand_category_edges_in_df(PATH_DF, MAPPINGS)
        start = T.create_starting_df_for_path_discovery(expanded, MAPPINGS)
        return {
            None: dict(df=tiny(), primary_id_column="pid", primary_timeseries_column="t",
                       columns_to_diff=["num", "cat"], columns_to_cast_to_timeseries_datatypes=["t"]),
            "__init__": dict(self=SELF, df=tiny(), primary_id_column="pid", primary_timeseries_column="t",
                             columns_to_diff=["num"], columns_to_cast_to_timeseries_datatypes=None),
            "verify_columns_exist_in_df": dict(cls=CLS, df=tr.df, columns=["pid", "t"]),
            "get_safe_column_name": dict(cls=CLS, df=tr.df, desired_column_name="pid"),
            "convert_columns_to_time_dtype": dict(cls=CLS, df=tiny(), timeseries_columns=["t"]),
            "_get_safe_col_diff_names": dict(self=SELF, columns_to_diff=["num", "cat"]),
            "_split_columns_to_diff_into_continuous_and_categorical": dict(self=SELF),
            "_add_groupings_defined_by_number_of_entries": dict(self=SELF),
            "_split_df_into_single_and_multi_entry_dfs": dict(self=SELF, group_counts=group_counts),
            "_get_diff": dict(self=SELF, df_multi_entry_per_group=tr._split_df_into_single_and_multi_entry_dfs(
                group_counts)[1]),
            "_get_counts_of_categories": dict(self=SELF),
            "_verify_there_is_enough_synthetic_data_to_recombine_desired_structures":
                dict(self=SELF, df_synth=synth, desired_category_counts=REQUEST),
            "_verify_desired_category_counts_categories_exist_and_numbers_are_valid":
                dict(self=SELF, df_synth=synth, desired_category_counts=REQUEST),
            "_get_indexes_to_keep": dict(cls=CLS, desired_category_counts=REQUEST,
                                         syn_category_counts=synth["NUM_GROUP_ENTRIES"].value_counts().sort_index(),
                                         unique_id_category_counts=rows["num_repetitions"].value_counts().sort_index()),
            "_get_indexes_of_first_row_of_each_unique_id": dict(self=SELF, df=rows, id_column_name="UNIQUE_ID"),
            "_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements":
                dict(self=SELF, df_synth=synth, df_unique_ids=uids, desired_category_counts=REQUEST),
            "_undiff_categorical_columns": dict(self=SELF, df_synth=rows),
            "_undiff_continuous_columns": dict(
                self=SELF, df_synth=tr._undiff_categorical_columns(rows), desired_category_counts=REQUEST,
                first_rows_of_each_person_idx=tr._get_indexes_of_first_row_of_each_unique_id(rows, "UNIQUE_ID")),
            "postprocess_timeseries_difference_method": dict(self=SELF, df_synth=synth, desired_category_counts=None),
            "expand_category_edges_in_df": dict(cls=CLS, df=PATH_DF, categorical_column_mappings=MAPPINGS),
            "create_starting_df_for_path_discovery": dict(cls=CLS, df_expanded=expanded,
                                                          categorical_column_mappings=MAPPINGS),
            "make_element_a_list": dict(cls=CLS, item=5),
            "join_df": dict(cls=CLS, df_l=start, df_r=start, left="left", right="right", index="index"),
            "iteratively_discover_paths_linear": dict(cls=CLS, df=start, df_start=None, max_path_length=4,
                                                      index="index"),
            "iteratively_discover_paths_exponential": dict(cls=CLS, df_start=start, max_path_order=3, index="index"),
            "iteratively_discover_paths_combined": dict(cls=CLS, df_start=start, max_path_iterations=4,
                                                        index="index"),
            "retrieve_longest_path": dict(cls=CLS, df_original=PATH_DF, df_paths=pd.DataFrame(
                {"index": [[0, 1], [-1, 0, 1, 2]]}), index="index"),
            "get_valid_path": dict(cls=CLS, df=PATH_DF, categorical_column_mappings=MAPPINGS),
        }


GOOD = good_arguments()
INSTANCES = {}


def transformers():
    if not INSTANCES:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            INSTANCES.update({T: T(tiny(), "pid", "t", ["num", "cat"], ["t"]),
                              M: M(tiny(), "pid", "t", ["num", "cat"], ["t"])})
    return INSTANCES


def calls(name):
    """The extension's and the model's callable for a method (None: the class
    itself), taking the first parameter by keyword, placeholders replaced."""
    def bind(K):
        if name is None:
            return K
        raw = vars(K)[name]
        raw = getattr(raw, "__func__", raw)

        def call(**args):
            # __init__ gets an instance of its own: it would redo a shared one.
            first = {"self": K.__new__(K) if name == "__init__" else transformers()[K], "cls": K}
            return raw(**{k: first[k] if type(v) is str and v in (SELF, CLS) else v for k, v in args.items()})
        return call
    return bind(T), bind(M)


def check(name, **changes):
    """Runs the method on both sides with its good arguments changed, and
    checks that neither transformer's state moved."""
    state = {K: dict(vars(inst)) for K, inst in transformers().items()}
    args = dict(GOOD[name], **changes)
    twin_call(calls(name), args, failed_may_differ=name in (None, "__init__"))
    for K, inst in transformers().items():
        assert vars(inst).keys() == state[K].keys()
        assert all(vars(inst)[k] is v for k, v in state[K].items())
