"""Failures raised deep inside pandas, threads, a second interpreter, and
repeated calls that must leak neither memory blocks nor references."""
import contextlib
import gc
import io
import sys
import threading
import warnings

import pandas as pd
import pytest

import frames
import veltrano.transformer.timeseries as ts
from twins import MAPPINGS, PATH_DF, REQUEST, M, T, assert_same, tiny

pytestmark = pytest.mark.filterwarnings("ignore")


class FailingPandas:
    """Stands in for the module's `pd`: the n-th name looked up on it raises MemoryError (never, for n = 0)."""

    def __init__(self, n=0):
        self.left, self.seen, self.error = n, 0, MemoryError("injected")

    def __getattr__(self, name):
        self.seen += 1
        self.left -= 1
        if self.left == 0:
            raise self.error
        return getattr(pd, name)


FITTED = T(tiny(), "pid", "t", ["num", "cat"], ["t"])
SYNTH = pd.concat([FITTED.df_multi_entry_per_group_diff] * 4, ignore_index=True)
START = T.create_starting_df_for_path_discovery(T.expand_category_edges_in_df(PATH_DF, MAPPINGS), MAPPINGS)
OPERATIONS = {
    "construct": lambda frame: vars(T(frame(tiny()), "pid", "t", ["num", "cat"], ["t"])),
    "postprocess": lambda frame: FITTED.postprocess_timeseries_difference_method(frame(SYNTH)),
    "postprocess_request": lambda frame: FITTED.postprocess_timeseries_difference_method(frame(SYNTH), REQUEST),
    "get_valid_path": lambda frame: T.get_valid_path(frame(PATH_DF), MAPPINGS),
    "join_df": lambda frame: T.join_df(frame(START), df_r=PATH_DF.rename(
        columns={"colour_diff": "left", "x": "index"}).assign(right="green")),
}


def run(operation, frame=pd.DataFrame.copy):
    with contextlib.redirect_stdout(io.StringIO()):
        return OPERATIONS[operation](frame)


@pytest.mark.parametrize("operation", OPERATIONS)
def test_memory_error_from_every_pandas_lookup(monkeypatch, operation):
    expected, counter = run(operation), FailingPandas()
    monkeypatch.setattr(ts, "pd", counter)
    assert_same(run(operation), expected)
    for n in range(1, counter.seen + 1):
        failing = FailingPandas(n)
        monkeypatch.setattr(ts, "pd", failing)
        with pytest.raises(MemoryError) as info:
            run(operation)
        assert info.value is failing.error and info.value.__cause__ is None
        # Nothing is left half-built: the same call with pandas back works.
        monkeypatch.setattr(ts, "pd", pd)
        assert_same(run(operation), expected)


def test_eight_threads_give_the_results_of_one():
    def work(seed):
        df, kwargs, _ = frames.random_case(seed, n_entities=4, max_rows=3, singles="some", columns=["num", "cat"],
                                           missing=False, clash="", int_label=False)
        tr = T(df, **kwargs)
        synth = pd.concat([tr.df_multi_entry_per_group_diff] * 4, ignore_index=True)
        return [vars(tr), tr.postprocess_timeseries_difference_method(synth) if len(synth) else None,
                T.get_valid_path(tr.df_multi_entry_per_group_diff, tr.categorical_column_mappings)]

    together, start = {}, threading.Barrier(8)

    def thread(seed):
        start.wait()
        together[seed] = [work(seed) for _ in range(3)]
    interval = sys.getswitchinterval()
    with contextlib.redirect_stdout(io.StringIO()):
        alone = [work(seed) for seed in range(8)]
        sys.setswitchinterval(1e-5)  # switch threads as often as possible
        try:
            threads = [threading.Thread(target=thread, args=(seed,)) for seed in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
    for seed in range(8):
        for result in together[seed]:
            assert_same(result, alone[seed])


@pytest.mark.skipif(sys.version_info < (3, 13), reason="no interpreters module to start one with")
def test_a_second_interpreter_is_refused():
    import _interpreters
    interp = _interpreters.create("legacy")
    try:
        failure = _interpreters.exec(interp, "import sys; sys.path[:0] = %r; import %s" % (sys.path, ts.__name__))
    finally:
        _interpreters.destroy(interp)
    assert "ImportError" in failure.formatted
    assert "this module can only be loaded into one interpreter per process." in failure.formatted
    assert sys.modules[ts.__name__] is ts and T(tiny(), "pid", "t", ["num"]).category_counts == {2: 1, 3: 1}


# Leaks. Each operation runs on the extension and, as a control, on the
# model: pandas and numpy keep a few references and blocks per call, the same
# for both. Over N repetitions the extension may exceed the model's growth in
# references or collected objects by N/4 and in blocks by a per-call budget.
NAMES = [sys.intern(n) for n in ("NUM_GROUP_ENTRIES", "UNIQUE_ID", "index", "left", "right", "num_repetitions")]


def fails(exception, call):
    def attempt(s):
        with pytest.raises(exception):
            call(s)
    return attempt


class Side:
    """One class with a fitted instance, and a subclass whose steps answer from
    saved frames so that only a pipeline's own body runs."""

    def __init__(self, K):
        self.K, self.inst = K, K(tiny(), "pid", "t", ["num", "cat"], ["t"])
        i = self.inst
        self.synth = pd.concat([i.df_multi_entry_per_group_diff] * 4, ignore_index=True)
        self.expanded = K.expand_category_edges_in_df(PATH_DF, MAPPINGS)
        self.start = K.create_starting_df_for_path_discovery(self.expanded, MAPPINGS)
        group_counts = i._add_groupings_defined_by_number_of_entries()[1]
        rows = i._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
            self.synth.copy(), pd.DataFrame({"UNIQUE_ID": range(1, 3)}), REQUEST)
        undiffed = i._undiff_categorical_columns(rows)
        with contextlib.redirect_stdout(io.StringIO()):
            paths = K.iteratively_discover_paths_combined(self.start)
        answers = {
            "_add_groupings_defined_by_number_of_entries": (i.df_augmented, group_counts),
            "_split_df_into_single_and_multi_entry_dfs": K._split_df_into_single_and_multi_entry_dfs(i, group_counts),
            "_get_diff": (i.df_multi_entry_per_group_diff, i.categorical_column_mappings),
            "_get_counts_of_categories": i.category_counts,
            "_verify_desired_category_counts_categories_exist_and_numbers_are_valid": None,
            "_verify_there_is_enough_synthetic_data_to_recombine_desired_structures": None,
            "_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements": rows,
            "_get_indexes_of_first_row_of_each_unique_id": i._get_indexes_of_first_row_of_each_unique_id(
                rows, "UNIQUE_ID"),
            "_undiff_categorical_columns": undiffed, "_undiff_continuous_columns": undiffed,
            "expand_category_edges_in_df": self.expanded, "create_starting_df_for_path_discovery": self.start,
            "iteratively_discover_paths_combined": paths, "retrieve_longest_path": PATH_DF.iloc[[0, 1]],
        }
        self.Bodies = type("Bodies", (K,), {n: classmethod(lambda cls, *a, _r=r: _r) for n, r in answers.items()})
        self.bodies = self.Bodies.__new__(self.Bodies)
        vars(self.bodies).update(vars(i))

    def watched(self):  # the shared objects and the native functions themselves
        return [None, True, False, self.K, ts.pd, vars(ts), REQUEST, PATH_DF, MAPPINGS] + NAMES + [
            v for k, v in vars(self).items() if k != "Bodies"] + [getattr(f, "__func__", f) for f in vars(T).values()]


HEAVY, LIGHT = (16, 2), (40, 0.5)  # repetitions, blocks a call may add beyond the model's
OPERATIONS_LEAKS = [
    ("construct", HEAVY, lambda s: s.K(tiny(), "pid", "t", ["num", "cat"], ["t"])),
    ("postprocess_request", HEAVY, lambda s: s.inst.postprocess_timeseries_difference_method(s.synth, REQUEST)),
    ("get_valid_path", HEAVY, lambda s: s.K.get_valid_path(PATH_DF, MAPPINGS)),
    ("discover_linear", HEAVY, lambda s: s.K.iteratively_discover_paths_linear(s.start, None, 3)),
    ("join_df_named", LIGHT, lambda s: s.K.join_df(s.start, df_r=s.start, right="right", index="index")),
    ("constructor_body", LIGHT, lambda s: s.Bodies(tiny(), "pid", "t", ["num", "cat"])),
    ("postprocess_body", LIGHT, lambda s: s.bodies.postprocess_timeseries_difference_method(s.synth, REQUEST)),
    ("get_valid_path_body", LIGHT, lambda s: s.Bodies.get_valid_path(PATH_DF, MAPPINGS)),
    # Error paths: each raises on every repetition.
    ("binding_errors", LIGHT, fails(TypeError, lambda s: (s.K.get_safe_column_name(s.inst.df, 5)))),
    ("keyword_errors", LIGHT, fails(TypeError, lambda s: s.inst._get_safe_col_diff_names(["x"], columns_to_diff=1))),
    ("construct_missing_column", LIGHT, fails(AssertionError, lambda s: s.K(s.inst.df, "pid", "t", ["zz"]))),
    ("unknown_category", LIGHT, fails(AssertionError,
                                      lambda s: s.inst.postprocess_timeseries_difference_method(s.synth, {9: 1}))),
    ("bad_iteration_count", LIGHT, fails(TypeError, lambda s: s.K.iteratively_discover_paths_combined(s.start, "3"))),
    ("no_paths", LIGHT, fails(ValueError, lambda s: s.K.retrieve_longest_path(
        PATH_DF, pd.DataFrame({"index": []}, dtype=object)))),
]


def settle(watched):
    """Collects garbage and drops pandas 2's dead weak references to derived blocks, which pile up otherwise."""
    gc.collect()
    for obj in watched:
        for frame in obj.values() if isinstance(obj, dict) else [obj]:
            if isinstance(frame, (pd.DataFrame, pd.Series)):
                for refs in [getattr(b, "refs", None) for b in getattr(frame._mgr, "blocks", ())]:
                    if refs is not None:
                        refs.referenced_blocks = [r for r in refs.referenced_blocks if r() is not None]


def gained(operation, side, repetitions, watched):
    """Blocks, collected objects and each watched object's references gained by the calls."""
    settle(watched)
    refs, blocks, objects = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks(), len(gc.get_objects())
    for _ in range(repetitions):
        operation(side)
    settle(watched)
    return [sys.getallocatedblocks() - blocks, len(gc.get_objects()) - objects] + [
        sys.getrefcount(o) - r for o, r in zip(watched, refs)]


@pytest.fixture(scope="module")
def sides():
    both = Side(T), Side(M)
    with contextlib.redirect_stdout(io.StringIO()):
        for _, _, operation in OPERATIONS_LEAKS * 2:  # fills pandas' and numpy's caches
            for side in both:
                operation(side)
    return both


@pytest.mark.parametrize("name, size, operation", OPERATIONS_LEAKS, ids=[o[0] for o in OPERATIONS_LEAKS])
def test_no_growth_beyond_the_model(sides, name, size, operation):
    repetitions, blocks_per_call = size
    limit = repetitions / 4
    with contextlib.redirect_stdout(io.StringIO()):
        for _ in range(max(5, repetitions // 4)):
            for side in sides:
                operation(side)
        # Caches deep in pandas and numpy keep filling for a while; that noise fades, a leak shows every time.
        for attempt in range(4):
            least = [[min(g) for g in zip(*(gained(operation, side, repetitions, side.watched()) for _ in range(2)))]
                     for side in sides]
            more = [n - max(r, 0) for n, r in zip(*least)]
            if more[0] < repetitions * blocks_per_call and max(more[1:]) < limit:
                break
    assert more[0] < repetitions * blocks_per_call, "%d blocks gained" % least[0][0]
    leaked = [repr(o)[:60] for o, e in zip(sides[0].watched(), more[2:]) if e >= limit]
    assert more[1] < limit and not leaked, (least, leaked)


def sequence_side():
    from veltrano.transformer.sequences import SequenceTransformer as ST
    real = tiny().assign(t=lambda f: pd.to_datetime(f["t"]), sex=list("ffmmmf"))
    st = ST("pid", "t", random_state=3)
    entities, steps = st.fit_transform(real)
    return dict(ST=ST, real=real, st=st, entities=entities, steps=steps, text=steps.assign(num_diff="x"))


# The sequence pipeline has no plain-Python twin: its calls may gain less than
# a block and a quarter of an object or reference per call (a leak gains at
# least one). None is not watched: pandas' factorize keeps references to it.
SEQUENCE_OPERATIONS = [
    ("fit_transform", lambda s: s["ST"]("pid", "t").fit_transform(s["real"])),
    ("reverse_transform", lambda s: s["st"].reverse_transform(s["entities"], s["steps"], {3: 2, 1: 1})),
    ("replay_and_fidelity", lambda s: s["st"].fidelity(s["real"], s["st"].reverse_transform(
        s["entities"], s["steps"], replay=True))),
    ("unknown_column", fails(KeyError, lambda s: s["ST"]("pid", "t", columns=["zz"]).fit(s["real"]))),
    ("text_in_numbers", fails(TypeError, lambda s: s["st"].reverse_transform(s["entities"], s["text"]))),
    ("no_steps", fails(ValueError, lambda s: s["st"].reverse_transform(s["entities"], s["steps"].iloc[:0], {3: 1}))),
]


@pytest.mark.parametrize("name, operation", SEQUENCE_OPERATIONS, ids=[o[0] for o in SEQUENCE_OPERATIONS])
def test_sequence_pipeline_gains_nothing(name, operation):
    side, repetitions = sequence_side(), 80
    watched = [True, False] + NAMES + list(side.values())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(repetitions // 2):
            operation(side)
        got = [min(g) for g in zip(*[gained(operation, side, repetitions, watched) for _ in range(4)])]
    assert got[0] < repetitions and max(got[1:]) < repetitions / 4, got
