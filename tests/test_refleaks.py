"""Repeating every public operation, error paths included, leaks neither
memory blocks nor references.

Each operation runs on the extension and, as a control, on the plain-Python
model: pandas and numpy themselves keep a few references to None and some
blocks per call, the same for both. Over N repetitions the extension may not
exceed the model's growth in references or in objects known to the collector
by N/4, nor its growth in allocated blocks by N/4 (N/2 where pandas' own
caches make noise, 2N in the long pipelines): a leaked reference, object or
block per call exceeds it by N (an object leaked from a long pipeline shows
in the count of objects, or as more blocks than that).
"""
import contextlib
import gc
import pickle
import sys
import warnings

import pandas as pd
import pytest

import model
import veltrano.transformer.timeseries as ts

T, M = ts.TimeseriesDifferenceTransformer, model.TimeseriesDifferenceTransformer
COLS, TCOLS, REQUEST = ["num", "cat"], ["t"], {2: 1, 3: 1}
PATH_DF = pd.DataFrame({"colour_diff": ["('red', 'green')", "('green', 'blue')"], "x": [1, 2]})
MAPPINGS = {"colour": pd.DataFrame({"colour_1": ["red", "green"], "colour_2": ["green", "blue"],
                                    "colour_diff": list(PATH_DF["colour_diff"])})}
TWO_MAPPINGS = dict(MAPPINGS, size=MAPPINGS["colour"])
NAMES = [sys.intern(n) for n in ("NUM_GROUP_ENTRIES", "UNIQUE_ID", "index", "left", "right", "inner", "counts",
                                 "num_repetitions", "path_length", "pid", "t", "num", "cat")]
FUNCTIONS = [f for v in vars(T).values() for f in (v, getattr(v, "__func__", v))]
SHARED = [None, True, False, T, ts.pd, vars(ts), COLS, TCOLS, REQUEST, PATH_DF, MAPPINGS, TWO_MAPPINGS] + NAMES


def tiny():
    return pd.DataFrame({"pid": [1, 1, 2, 2, 2, 3], "t": ["2021-01-0%d" % d for d in (1, 2, 1, 3, 4, 1)],
                         "num": [1.0, 2.5, 0.0, 1.0, 4.0, 3.0], "cat": list("ABAABC")})


class Side:
    """One class (extension or model) with an instance and the intermediate
    frames its pipelines hand from step to step."""

    def __init__(self, K):
        self.K = K
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            self.inst = i = K(tiny(), "pid", "t", COLS, TCOLS)
            self.df = i.df
            self.group_counts = i._add_groupings_defined_by_number_of_entries()[1]
            self.multi = i._split_df_into_single_and_multi_entry_dfs(self.group_counts)[1]
            self.synth = pd.concat([i.df_multi_entry_per_group_diff] * 4, ignore_index=True)
            self.uids = pd.DataFrame({"UNIQUE_ID": range(1, 3)})
            self.rows = i._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
                self.synth.copy(), self.uids, REQUEST)
            self.syn_counts = self.synth["NUM_GROUP_ENTRIES"].value_counts().sort_index()
            self.uid_counts = self.rows["num_repetitions"].value_counts().sort_index()
            self.first = i._get_indexes_of_first_row_of_each_unique_id(self.rows, "UNIQUE_ID")
            self.undiffed = i._undiff_categorical_columns(self.rows)
            self.expanded = K.expand_category_edges_in_df(PATH_DF, MAPPINGS)
            self.start = K.create_starting_df_for_path_discovery(self.expanded, MAPPINGS)
            paths = K.iteratively_discover_paths_combined(self.start)
        self.Unpacking = type("Unpacking", (K,), {
            "_split_columns_to_diff_into_continuous_and_categorical": lambda self: (1, 2, 3)})
        # The three pipelines with their steps answered from the frames above:
        # only the pipeline's own body runs, with few pandas calls of its own.
        single, multi = self.K._split_df_into_single_and_multi_entry_dfs(i, self.group_counts)
        answers = {
            "_add_groupings_defined_by_number_of_entries": (i.df_augmented, self.group_counts),
            "_split_df_into_single_and_multi_entry_dfs": (single, multi),
            "_get_diff": (i.df_multi_entry_per_group_diff, i.categorical_column_mappings),
            "_get_counts_of_categories": i.category_counts,
            "_verify_desired_category_counts_categories_exist_and_numbers_are_valid": None,
            "_verify_there_is_enough_synthetic_data_to_recombine_desired_structures": None,
            "_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements":
                self.rows,
            "_get_indexes_of_first_row_of_each_unique_id": self.first,
            "_undiff_categorical_columns": self.undiffed,
            "_undiff_continuous_columns": self.undiffed,
            "expand_category_edges_in_df": self.expanded,
            "create_starting_df_for_path_discovery": self.start,
            "iteratively_discover_paths_combined": paths,
            "retrieve_longest_path": PATH_DF.iloc[[0, 1]],
        }
        self.Bodies = type("Bodies", (K,), {
            name: classmethod(lambda cls, *args, answer=answer: answer)
            for name, answer in answers.items()})
        self.bodies = self.Bodies.__new__(self.Bodies)
        vars(self.bodies).update(vars(i))

    def watched(self):
        return SHARED + FUNCTIONS + [v for k, v in vars(self).items() if k not in ("Unpacking", "Bodies")]


def fails(exception, call):
    def run(s):
        try:
            call(s)
        except exception:
            return
        raise AssertionError("no %s" % exception.__name__)
    return run


ATTEMPTS, ROUNDS = 4, 2
# Repetitions per round, and the blocks a call may add beyond the model's:
# about one block per call of noise comes and goes with pandas' and numpy's
# caches in the long pipelines (their own bodies are held to less below).
HEAVY, LIGHT, TRIVIAL = (16, 2), (40, 0.5), (150, 0.25)
# name, (repetitions, blocks per call), operation on a Side
OPERATIONS = [
    ("construct", HEAVY, lambda s: s.K(tiny(), "pid", "t", COLS, TCOLS)),
    ("construct_keeping_times", HEAVY, lambda s: s.K(s.df.copy(), "pid", "t", ["num"])),
    ("postprocess_default", HEAVY, lambda s: s.inst.postprocess_timeseries_difference_method(s.synth)),
    ("postprocess_request", HEAVY,
     lambda s: s.inst.postprocess_timeseries_difference_method(df_synth=s.synth, desired_category_counts=REQUEST)),
    ("get_valid_path", HEAVY, lambda s: s.K.get_valid_path(PATH_DF, MAPPINGS)),
    ("constructor_body", LIGHT, lambda s: s.Bodies(s.df, "pid", "t", COLS)),
    ("postprocess_body", LIGHT, lambda s: s.bodies.postprocess_timeseries_difference_method(s.synth, REQUEST)),
    ("get_valid_path_body", TRIVIAL, lambda s: s.Bodies.get_valid_path(PATH_DF, MAPPINGS)),
    ("verify_columns_exist_in_df", TRIVIAL, lambda s: s.K.verify_columns_exist_in_df(s.df, COLS)),
    ("get_safe_column_name", TRIVIAL, lambda s: (s.K.get_safe_column_name(s.df, "pid"),
                                                 s.inst.get_safe_column_name(s.df, None))),
    ("convert_columns_to_time_dtype", LIGHT, lambda s: s.K.convert_columns_to_time_dtype(tiny(), TCOLS)),
    ("get_safe_col_diff_names", TRIVIAL, lambda s: s.inst._get_safe_col_diff_names(COLS)),
    ("split_columns", TRIVIAL, lambda s: s.inst._split_columns_to_diff_into_continuous_and_categorical()),
    ("add_groupings", LIGHT, lambda s: s.inst._add_groupings_defined_by_number_of_entries()),
    ("split_single_and_multi", LIGHT, lambda s: s.inst._split_df_into_single_and_multi_entry_dfs(s.group_counts)),
    ("get_diff", LIGHT, lambda s: s.inst._get_diff(s.multi.copy())),
    ("get_counts_of_categories", LIGHT, lambda s: s.inst._get_counts_of_categories()),
    ("verify_enough", LIGHT,
     lambda s: s.inst._verify_there_is_enough_synthetic_data_to_recombine_desired_structures(s.synth, REQUEST)),
    ("verify_counts", LIGHT,
     lambda s: s.inst._verify_desired_category_counts_categories_exist_and_numbers_are_valid(s.synth, REQUEST)),
    ("get_indexes_to_keep", TRIVIAL, lambda s: s.K._get_indexes_to_keep(REQUEST, s.syn_counts, s.uid_counts)),
    ("first_rows", LIGHT, lambda s: s.inst._get_indexes_of_first_row_of_each_unique_id(s.rows, "UNIQUE_ID")),
    ("construct_vectors", LIGHT, lambda s: s.inst.
     _construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
         s.synth, s.uids, REQUEST)),
    ("undiff_categorical", LIGHT, lambda s: s.inst._undiff_categorical_columns(s.rows)),
    ("undiff_continuous", LIGHT, lambda s: s.inst._undiff_continuous_columns(s.undiffed.copy(), REQUEST, s.first)),
    ("expand_category_edges", LIGHT, lambda s: s.K.expand_category_edges_in_df(PATH_DF, MAPPINGS)),
    ("create_starting_df", LIGHT, lambda s: s.K.create_starting_df_for_path_discovery(s.expanded, MAPPINGS)),
    ("make_element_a_list", TRIVIAL, lambda s: (s.K.make_element_a_list(5), s.K.make_element_a_list(COLS))),
    ("join_df", LIGHT, lambda s: s.K.join_df(s.start, s.start)),
    ("join_df_named", LIGHT, lambda s: s.K.join_df(s.start, df_r=s.start, right="right", index="index")),
    ("discover_linear", HEAVY, lambda s: s.K.iteratively_discover_paths_linear(s.start, None, 3)),
    ("discover_exponential", HEAVY, lambda s: s.K.iteratively_discover_paths_exponential(s.start, 3)),
    ("discover_combined", HEAVY, lambda s: s.K.iteratively_discover_paths_combined(s.start, 4)),
    ("retrieve_longest_path", LIGHT,
     lambda s: s.K.retrieve_longest_path(PATH_DF, pd.DataFrame({"index": [[0, 1], [-1, 0, 1]]}))),
    # Error paths: each raises on every repetition.
    ("missing_column", TRIVIAL, fails(AssertionError, lambda s: s.K.verify_columns_exist_in_df(s.df, ["zz"]))),
    ("construct_missing_column", LIGHT, fails(AssertionError, lambda s: s.K(s.df, "pid", "t", ["zz"]))),
    ("str_rule", TRIVIAL, fails(TypeError, lambda s: s.K.get_safe_column_name(s.df, 5))),
    ("missing_arguments", TRIVIAL, fails(TypeError, lambda s: s.K.join_df())),
    ("too_many_arguments", TRIVIAL, fails(TypeError, lambda s: s.K.make_element_a_list(1, 2))),
    ("unexpected_keyword", TRIVIAL, fails(TypeError, lambda s: s.K.join_df(s.df, s.df, colour=1))),
    ("repeated_argument", TRIVIAL, fails(TypeError, lambda s: s.inst._get_safe_col_diff_names(COLS, columns_to_diff=1))),
    ("pandas_key_error", TRIVIAL, fails(KeyError, lambda s: s.K.convert_columns_to_time_dtype(s.df, ["zz"]))),
    ("unpacking", LIGHT, fails(ValueError, lambda s: s.Unpacking(s.df, "pid", "t", COLS))),
    ("request_not_a_mapping", LIGHT, fails(AttributeError,
                                           lambda s: s.inst.postprocess_timeseries_difference_method(s.synth, 5))),
    ("unknown_category", LIGHT, fails(AssertionError,
                                      lambda s: s.inst.postprocess_timeseries_difference_method(s.synth, {9: 1}))),
    ("zero_count", LIGHT, fails(AssertionError,
                                lambda s: s.inst.postprocess_timeseries_difference_method(s.synth, {3: 0}))),
    ("too_few_rows", LIGHT, fails(AssertionError,
                                  lambda s: s.inst.postprocess_timeseries_difference_method(s.synth, {3: 9}))),
    ("too_few_rows_to_keep", TRIVIAL, fails(AssertionError,
                                            lambda s: s.K._get_indexes_to_keep({3: 1}, {3: 1}, {3: 4}))),
    ("two_mappings", LIGHT, fails(AssertionError,
                                  lambda s: s.K.create_starting_df_for_path_discovery(s.expanded, TWO_MAPPINGS))),
    ("bad_iteration_count", TRIVIAL, fails(TypeError,
                                           lambda s: s.K.iteratively_discover_paths_combined(s.start, "3"))),
    ("no_paths", LIGHT, fails(ValueError, lambda s: s.K.retrieve_longest_path(PATH_DF, pd.DataFrame({"index": []}, dtype=object)))),
]


class _Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def _reference_lists(obj, seen):
    # pandas 2 notes, on each frame, weak references to the blocks derived from
    # it, and drops the dead ones only when the list has grown long.
    if id(obj) in seen:
        return
    seen.add(id(obj))
    if isinstance(obj, (pd.DataFrame, pd.Series)):
        for block in getattr(obj._mgr, "blocks", ()):
            yield getattr(block, "refs", None)
        for axis in obj.axes:
            yield getattr(axis, "_references", None)
    elif isinstance(obj, (dict, list, tuple)):
        for item in obj.values() if isinstance(obj, dict) else obj:
            yield from _reference_lists(item, seen)
    elif isinstance(obj, (T, M)):
        yield from _reference_lists(vars(obj), seen)


def settle(watched):
    """Collects garbage and drops pandas' dead block references, which would
    otherwise pile up and vanish in steps of hundreds of blocks."""
    gc.collect()
    for refs in _reference_lists(watched, set()):
        if refs is not None:
            refs.referenced_blocks = [r for r in refs.referenced_blocks if r() is not None]


def gained(operation, side, repetitions, watched):
    """Blocks, objects known to the collector and the refcount of each watched
    object gained by the calls."""
    settle(watched)
    refs = [sys.getrefcount(o) for o in watched]
    blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
    for _ in range(repetitions):
        operation(side)
    settle(watched)
    return [sys.getallocatedblocks() - blocks, len(gc.get_objects()) - objects] + [
        sys.getrefcount(o) - r for o, r in zip(watched, refs)]


def excess(operation, sides, repetitions):
    """What the extension gains beyond the model, each side's least gain over
    ROUNDS rounds taken in turns, and the two sides' gains."""
    watched = [side.watched() for side in sides]
    least = [None] * len(sides)
    for _ in range(ROUNDS):
        for i, side in enumerate(sides):
            got = gained(operation, side, repetitions, watched[i])
            least[i] = got if least[i] is None else [min(a, b) for a, b in zip(least[i], got)]
    native, reference = least
    return [n - max(r, 0) for n, r in zip(native, reference)], native, reference, watched[0]


@pytest.fixture(scope="module")
def sides():
    both = Side(T), Side(M)
    # One pass over everything fills pandas' and numpy's caches for all the
    # tests that follow.
    with contextlib.redirect_stdout(_Discard()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _, _, operation in OPERATIONS * 2:
            for side in both:
                operation(side)
    return both


@pytest.mark.parametrize("name, size, operation", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_no_growth_beyond_the_model(sides, name, size, operation):
    repetitions, blocks_per_call = size
    limit, block_limit = repetitions / 4, repetitions * blocks_per_call
    with contextlib.redirect_stdout(_Discard()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(max(5, repetitions // 4)):
            for side in sides:
                operation(side)
        # Caches deep in pandas and numpy keep filling for a few hundred calls
        # of the larger operations; that noise fades, a leak shows every time.
        for attempt in range(ATTEMPTS):
            more, native, reference, watched = excess(operation, sides, repetitions)
            if more[0] < block_limit and max(more[1:]) < limit:
                break
    sys.stderr.write("%s: %d x %d calls, attempt %d, blocks %+d (model %+d), objects %+d (model %+d), "
                     "None %+d (model %+d)\n" % ((name, ROUNDS, repetitions, attempt + 1) + tuple(
                         x for pair in zip(native[:3], reference[:3]) for x in pair)))
    assert more[0] < block_limit, "%d blocks gained" % native[0]
    assert more[1] < limit, "%d objects gained" % native[1]
    leaked = [(repr(o)[:60], n, r) for o, n, r, e in zip(watched, native[2:], reference[2:], more[2:]) if e >= limit]
    assert not leaked, "references gained (object, extension, model): %s" % leaked


# The sequence pipeline has no plain-Python twin: on their own, its calls may
# gain less than a block and a quarter of an object or reference per call (a
# leak gains at least one). None is not watched: pandas' factorize keeps
# references to it per call.
def _sequence_side():
    from veltrano.transformer.sequences import SequenceTransformer as ST

    real = tiny().assign(t=lambda f: pd.to_datetime(f["t"]), sex=list("ffmmmf"))
    st = ST("pid", "t", random_state=3)
    entities, steps = st.fit_transform(real)
    return dict(ST=ST, real=real, st=st, entities=entities, steps=steps,
                text=steps.assign(num_diff="x"), facts=[st._partition_facts(real)] * 2)


SEQUENCE_OPERATIONS = [
    ("fit_transform", lambda s: s["ST"]("pid", "t").fit_transform(s["real"])),
    ("reverse_transform", lambda s: s["st"].reverse_transform(s["entities"], s["steps"], {3: 2, 1: 1})),
    ("replay_and_fidelity", lambda s: s["st"].fidelity(s["real"], s["st"].reverse_transform(
        s["entities"], s["steps"], replay=True))),
    ("pickle_repr_and_facts", lambda s: (pickle.loads(pickle.dumps(s["st"])), repr(s["st"]),
                                         s["ST"]._combine_facts(s["facts"]))),
    ("unknown_column", fails(KeyError, lambda s: s["ST"]("pid", "t", columns=["zz"]).fit(s["real"]))),
    ("changing_static", fails(ValueError, lambda s: s["ST"]("pid", "t", static_columns=["num"]).fit(s["real"]))),
    ("text_in_numbers", fails(TypeError, lambda s: s["st"].reverse_transform(s["entities"], s["text"]))),
    ("no_steps", fails(ValueError, lambda s: s["st"].reverse_transform(s["entities"], s["steps"].iloc[:0], {3: 1}))),
    ("not_fitted", fails(RuntimeError, lambda s: s["ST"]("pid", "t").transform(s["real"]))),
]


@pytest.mark.parametrize("name, operation", SEQUENCE_OPERATIONS, ids=[o[0] for o in SEQUENCE_OPERATIONS])
def test_sequence_pipeline_gains_nothing(name, operation):
    side, repetitions = _sequence_side(), 80
    watched = [True, False] + NAMES + list(side.values())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(repetitions // 2):
            operation(side)
        got = [min(g) for g in zip(*[gained(operation, side, repetitions, watched) for _ in range(ATTEMPTS)])]
    assert got[0] < repetitions and max(got[1:]) < repetitions / 4, (
        "gained (blocks, objects, references of True, False, %s): %s" % (NAMES + list(side), got))
