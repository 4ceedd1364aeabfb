"""Wrong kinds of arguments and awkward frames, method by method: every call
ends in the model's exception (same type, same message) or in the model's
result, never in a crash or a SystemError, and changes the caller's frames only
as the model does.
"""
import gc

import numpy as np
import pandas as pd
import pytest

from twins import GOOD, HOSTILE, REQUEST, Fresh, M, T, assert_same, calls, check, clone, tiny, transformers, twin_call

pytestmark = pytest.mark.filterwarnings("ignore")


class Text(str):
    pass


WRONG_KINDS = [None, 0, -1, 2 ** 70, 1.5, float("nan"), "x", "", Text("pid"), b"pid", [], ["zz"], [None], (),
               {}, {"zz": 1}, {2: "x"}, pd.DataFrame({"a": [1, 2]}), pd.Series([1, 2]), np.int64(2), object()] + HOSTILE
# A cycle of transitions keeps the linear run going for as many iterations as it is given.
COUNTS = ("max_path_length", "max_path_order", "max_path_iterations")
CASES = [(name, param, k) for name in GOOD for param in GOOD[name] for k in range(len(WRONG_KINDS))
         if not (param in COUNTS and k == 3)]


@pytest.mark.parametrize("name, param, kind", CASES, ids=["%s-%s-%d" % (n or "class", p, k) for n, p, k in CASES])
def test_wrong_kinds_of_argument(name, param, kind):
    check(name, **{param: WRONG_KINDS[kind]})


def dup_first(df):
    return pd.concat([df, df.iloc[:, :1]], axis=1)


def retyped(df, convert):
    out = df.copy()
    out[out.columns[0]] = convert(out[out.columns[0]])
    return out


AWKWARD = {
    "no_columns": lambda df: pd.DataFrame(),
    "no_rows": lambda df: df.iloc[:0],
    "one_row": lambda df: df.iloc[:1],
    "duplicate_label": dup_first,
    "multiindex_columns": lambda df: df.set_axis(pd.MultiIndex.from_tuples([(c, "x") for c in df.columns]), axis=1),
    "integer_labels": lambda df: df.set_axis(range(df.shape[1]), axis=1),
    "missing_values": lambda df: df.where(np.arange(df.size).reshape(df.shape) % 3 > 0),
    "mixed_objects": lambda df: retyped(df, lambda s: pd.Series([1, "a", None, 2.5, (1,), "b"] * len(s),
                                                                dtype=object)[:len(s)].set_axis(s.index)),
    "huge_integers": lambda df: retyped(df, lambda s: pd.Series([2 ** 70, -2 ** 70] * len(s),
                                                                dtype=object)[:len(s)].set_axis(s.index)),
    "repeated_row_labels": lambda df: df.set_axis([0] * len(df)),
    "text_row_labels": lambda df: df.set_axis(["r%d" % i for i in range(len(df))][::-1]),
}
FRAME_CASES = [(name, param, kind) for name in GOOD for param, v in GOOD[name].items()
               if isinstance(v, pd.DataFrame) for kind in AWKWARD]


@pytest.mark.parametrize("name, param, kind", FRAME_CASES, ids=["%s-%s-%s" % c for c in FRAME_CASES])
def test_awkward_frames(name, param, kind):
    check(name, **{param: AWKWARD[kind](GOOD[name][param])})


def entities(columns=(), **named):
    base = dict(pid=[1, 1, 2, 2, 2, 3], t=[1, 2, 1, 3, 4, 1])
    base.update(columns, **named)
    return pd.DataFrame(base)


# Constructor inputs whose names fit the frame: (frame, id, time, to_diff, to_convert)
CONSTRUCTOR_CASES = {
    "integer_labels": (entities({0: [1.0, 2, 3, 4, 5, 6], 1: list("abcabc")}), "pid", "t", [1, 0], None),
    "duplicate_diffed_label": (dup_first(entities(x=[1.0] * 6)[["x", "pid", "t"]]), "pid", "t", ["x"], None),
    "multiindex_columns": (entities(x=[1.0] * 6).set_axis(pd.MultiIndex.from_tuples(
        [("pid", ""), ("t", ""), ("x", "")]), axis=1), "pid", "t", ["x"], None),
    "tuple_label_to_diff": (entities({("a", 1): list("ababab")}), "pid", "t", [("a", 1)], None),
    "missing_ids": (entities(pid=[1, None, 2, 2, None, 3], x=[1.0] * 6), "pid", "t", ["x"], None),
    "missing_times": (entities(t=["2021-01-01", None, "x", "2021-01-03", None, None], c=list("abcabc")),
                      "pid", "t", ["c"], ["t"]),
    "unparseable_times": (entities(t=["2021-01-01", "no time"] * 3), "pid", "t", [], ["t"]),
    "mixed_id_types": (entities(pid=[1, "a", 2, "a", 2, 3], x=[1.0] * 6), "pid", "t", ["x"], None),
    "mixed_categories": (entities(c=[1, "a", None, 2.5, "a", (1, 2)]), "pid", "t", ["c"], None),
    "unhashable_categories": (entities(c=[[1], [2], [1], [3], [1], [2]]), "pid", "t", ["c"], None),
    "huge_integer_objects": (entities(big=[2 ** 70, -2 ** 70, 2 ** 64, 0, 1, 2]), "pid", "t", ["big"], None),
    "int64_extremes": (entities(v=[2 ** 63 - 1, -2 ** 63, -2 ** 63, 2 ** 63 - 1, 0, 5]), "pid", "t", ["v"], None),
    "category_dtype": (entities(c=pd.Categorical(list("abcabc"))), "pid", "t", ["c"], None),
    "string_dtype": (entities(c=pd.array(list("abcabc"), dtype="string")), "pid", "t", ["c"], None),
    "one_row": (pd.DataFrame({"pid": [1], "t": [1], "x": [1.0]}), "pid", "t", ["x"], None),
    "no_rows": (pd.DataFrame({"pid": [], "t": [], "x": [], "c": []}), "pid", "t", ["x", "c"], None),
    "repeated_row_labels": (entities(x=[1.0] * 6, c=list("aabbcc")).set_axis([5, 5, 1, 1, 0, 0]),
                            "pid", "t", ["x", "c"], None),
    "id_and_time_diffed": (entities(), "pid", "t", ["pid", "t"], None),
    "same_column_twice": (entities(c=list("abcabc")), "pid", "t", ["c", "c"], None),
    "iterator_of_columns": (entities(x=[1.0] * 6), "pid", "t", Fresh(["x"]), None),
    "clashing_names": (entities(NUM_GROUP_ENTRIES=0, UNIQUE_ID=0, UNIQUE_ID_1=0, x_diff=0, x=[1.0] * 6),
                       "pid", "t", ["x"], None),
}


@pytest.mark.parametrize("case", CONSTRUCTOR_CASES)
def test_awkward_constructor_inputs(case):
    df, pid, time, to_diff, to_convert = CONSTRUCTOR_CASES[case]
    (ok, tr), (_, reference) = twin_call(calls(None), dict(
        df=df, primary_id_column=pid, primary_timeseries_column=time, columns_to_diff=to_diff,
        columns_to_cast_to_timeseries_datatypes=to_convert), failed_may_differ=True)
    if ok and len(tr.df_multi_entry_per_group_diff):
        # What the differencing made must post-process like the model's.
        synth = pd.concat([tr.df_multi_entry_per_group_diff] * 5, ignore_index=True)
        twin_call((tr.postprocess_timeseries_difference_method, reference.postprocess_timeseries_difference_method),
                  dict(df_synth=synth))


PAIRS = ["_split_columns_to_diff_into_continuous_and_categorical", "_add_groupings_defined_by_number_of_entries",
         "_split_df_into_single_and_multi_entry_dfs", "_get_diff"]


@pytest.mark.parametrize("method", PAIRS)
@pytest.mark.parametrize("result", [(), [1], ("a", "b", "c"), Fresh([1, 2, 3]), Fresh([1]), 5, "ab", {"a": 1},
                                    (["num"], []), HOSTILE[4]], ids=range(10))
def test_constructor_steps_returning_the_wrong_number_of_items(method, result):
    subclasses = [type("Sub", (K,), {method: lambda self, *args: clone(result)}) for K in (T, M)]
    twin_call(subclasses, GOOD[None], failed_may_differ=True)


# Requests and synthetic frames for post-processing
SYNTH = GOOD["postprocess_timeseries_difference_method"]["df_synth"]
REQUESTS = [{2: 2 ** 70}, {2: -2 ** 70}, {2: 1.5}, {2: True}, {2.0: 1}, {np.int64(3): np.int64(1)}, {"2": 1},
            {None: 1}, {2: None}, {(2,): 1}, {3: 1, 2: 1}, {2: 1, 2.0: 2}, {2: 1, 3: 1, 4: 1}, pd.Series(REQUEST),
            type("Counts", (dict,), {})(REQUEST), [(2, 1)], "23", {2: np.nan}, {2: pd.NA}]


GROUP = SYNTH["NUM_GROUP_ENTRIES"]
SYNTHS = {
    "float_categories": SYNTH.assign(NUM_GROUP_ENTRIES=GROUP.astype(float)),
    "missing_categories": SYNTH.assign(NUM_GROUP_ENTRIES=GROUP.where(SYNTH.index % 3 > 0)),
    "text_categories": SYNTH.assign(NUM_GROUP_ENTRIES=GROUP.astype(str)),
    "huge_categories": SYNTH.assign(NUM_GROUP_ENTRIES=GROUP.astype(object) * 2 ** 64),
    "unknown_transitions": SYNTH.assign(cat_diff="('Q', 'R')"),
    "missing_differences": SYNTH.assign(num_diff=np.nan),
    "text_differences": SYNTH.assign(num_diff="1"),
    "repeated_row_labels": SYNTH.set_axis([0] * len(SYNTH)),
    "no_group_column": SYNTH.drop(columns="NUM_GROUP_ENTRIES"),
    "unique_id_present": SYNTH.assign(UNIQUE_ID=7, num_repetitions=9),
}


@pytest.mark.parametrize("request_", REQUESTS, ids=range(len(REQUESTS)))
def test_awkward_requests(request_):
    check("postprocess_timeseries_difference_method", desired_category_counts=request_)
    check("_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements",
          desired_category_counts=request_)


@pytest.mark.parametrize("kind", SYNTHS)
@pytest.mark.parametrize("request_", [None, REQUEST])
def test_awkward_synthetic_frames(kind, request_):
    check("postprocess_timeseries_difference_method", df_synth=SYNTHS[kind], desired_category_counts=request_)


def transitions(pairs, mapping_pairs=None):
    col = [str(p) for p in pairs]
    maps = mapping_pairs if mapping_pairs is not None else pairs
    return pd.DataFrame({"colour_diff": col, "x": range(len(col))}), {"colour": pd.DataFrame({
        "colour_1": [a for a, _ in maps], "colour_2": [b for _, b in maps], "colour_diff": [str(p) for p in maps]})}


PATH_CASES = {
    "integer_categories": transitions([(1, 2), (2, 3), (3, 1)]),
    "missing_categories": transitions([("a", None), (None, "b"), ("b", "a")]),
    "nan_categories": transitions([("a", np.nan), (np.nan, "b")]),
    "self_loops": transitions([("a", "a"), ("a", "a")]),
    "unknown_transitions": transitions([("a", "b")], [("x", "y")]),
    "repeated_mapping_rows": transitions([("a", "b"), ("b", "c")], [("a", "b"), ("a", "b"), ("b", "c")]),
    "mixed_categories": transitions([(1, "1"), ("1", 1.0), (1.0, True)]),
    "tuple_categories": transitions([((1,), (2,)), ((2,), (1,))]),
    "one_transition": transitions([("a", "b")]),
    "no_transitions": transitions([]),
    "long_chain": transitions([(i, i + 1) for i in range(12)]),
}


@pytest.mark.parametrize("case", PATH_CASES)
def test_awkward_transitions(case):
    df, mappings = PATH_CASES[case]
    check("get_valid_path", df=df, categorical_column_mappings=mappings)
    expanded = T.expand_category_edges_in_df(df, mappings)
    start = T.create_starting_df_for_path_discovery(expanded, mappings)
    for strategy in ["linear", "exponential", "combined"]:
        check("iteratively_discover_paths_" + strategy, **{"df" if strategy == "linear" else "df_start": start})


@pytest.mark.parametrize("paths", [
    [[0, 1], [-1, 0, 1, 2]], [[-1]], [[]], [[5]], [[-1, -1]], [[0.0, 1.0]], [[True]], [["0"]], [[None]],
    [(0, 1)], ["01"], [1], [None], [[0, 1], np.nan], [[2 ** 70]], [[-4]], [[0, 1], [1, 0]],
])
def test_awkward_paths(paths):
    check("retrieve_longest_path", df_paths=pd.DataFrame({"index": pd.Series(paths, dtype=object)}))


@pytest.mark.parametrize("left, right", [
    ([[0], [1]], [[1], [0]]), ([[0, -1]], [[-1, 0]]), ([[0, 0]], [[1]]), ([0.5], [[0.5]]), ([None], [[1]]),
    ([[[1]]], [[2]]), ([np.nan], [np.nan]), ([{1}], [(2,)]), ([2 ** 70], [2 ** 70]), (["a"], [[{}]]),
])
def test_awkward_path_cells(left, right):
    frame = lambda cells, a, b: pd.DataFrame({"index": pd.Series(cells, dtype=object), "left": a, "right": b})
    check("join_df", df_l=frame(left, "x", "y"), df_r=frame(right, "y", "x"))


def test_states_of_the_shared_transformers_are_untouched():
    for K, inst in transformers().items():
        assert_same(vars(inst), vars(K(tiny(), "pid", "t", ["num", "cat"], ["t"])))


class EmptyingKey(str):
    """A keyword whose comparison empties every dict that holds it."""

    def __eq__(self, other):
        for holder in gc.get_referrers(self):
            if type(holder) is dict:
                holder.clear()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize("K", [T, M])
@pytest.mark.parametrize("key", ["item", "colour"])
def test_keywords_emptied_while_binding(K, key):
    raw = vars(K)["make_element_a_list"].__func__
    value = "".join(["v"] * 50)  # held by the keywords alone
    try:
        assert raw(K, **{EmptyingKey(key): value}) == [value] and key == "item"
    except TypeError as error:
        assert key != "item" and str(error).endswith("got an unexpected keyword argument 'colour'")


@pytest.mark.parametrize("K", [T, M])
def test_defaults_replaced_by_a_collection_while_binding(K):
    raw = vars(K)["join_df"].__func__
    saved, threshold, countdown = raw.__defaults__, gc.get_threshold(), [0]

    def replace(phase, info):
        countdown[0] -= phase == "start"
        if countdown[0] == 0 and phase == "start":
            raw.__defaults__ = None

    gc.callbacks.append(replace)
    try:
        # The k-th collection, with one at every allocation, lands at each step of the binding in turn.
        for k in range(1, 30):
            raw.__defaults__, countdown[0] = saved, k
            gc.set_threshold(1)
            with pytest.raises(TypeError):
                raw(K)
            gc.set_threshold(*threshold)
    finally:
        gc.callbacks.remove(replace)
        gc.set_threshold(*threshold)
        raw.__defaults__ = saved


class ListProxy:
    """Passes for a list: isinstance() reads __class__."""
    __class__ = property(lambda self: list)


def test_make_element_a_list_asks_isinstance():
    proxy = ListProxy()
    assert M.make_element_a_list(proxy) is proxy
    assert T.make_element_a_list(proxy) is proxy
