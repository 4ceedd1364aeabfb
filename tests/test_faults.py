"""Failures raised deep inside pandas calls, threads, and interpreters the
module must refuse."""
import contextlib
import io
import sys
import threading

import pandas as pd
import pytest

import frames
import veltrano.transformer.timeseries as ts
from twins import MAPPINGS, PATH_DF, REQUEST, T, assert_same, tiny

pytestmark = pytest.mark.filterwarnings("ignore")


class FailingPandas:
    """Stands in for the module's `pd`: the n-th name looked up on it raises
    MemoryError (never, for n = 0); counts the look-ups."""

    def __init__(self, n=0):
        self.left, self.seen, self.error = n, 0, MemoryError("injected")

    def __getattr__(self, name):
        self.seen += 1
        self.left -= 1
        if self.left == 0:
            raise self.error
        return getattr(pd, name)


def fitted():
    return T(tiny(), "pid", "t", ["num", "cat"], ["t"])


FITTED = fitted()
SYNTH = pd.concat([FITTED.df_multi_entry_per_group_diff] * 4, ignore_index=True)
OPERATIONS = {
    "construct": lambda frame: vars(T(frame(tiny()), "pid", "t", ["num", "cat"], ["t"])),
    "postprocess": lambda frame: FITTED.postprocess_timeseries_difference_method(frame(SYNTH)),
    "postprocess_request": lambda frame: FITTED.postprocess_timeseries_difference_method(frame(SYNTH), REQUEST),
    "get_valid_path": lambda frame: T.get_valid_path(frame(PATH_DF), MAPPINGS),
    "join_df": lambda frame: T.join_df(frame(T.create_starting_df_for_path_discovery(
        T.expand_category_edges_in_df(PATH_DF, MAPPINGS), MAPPINGS)), df_r=PATH_DF.rename(
            columns={"colour_diff": "left", "x": "index"}).assign(right="green")),
}


def run(operation, frame=pd.DataFrame.copy):
    with contextlib.redirect_stdout(io.StringIO()):
        return OPERATIONS[operation](frame)


@pytest.mark.parametrize("operation", OPERATIONS)
def test_memory_error_from_every_pandas_lookup(monkeypatch, operation):
    expected = run(operation)
    counter = FailingPandas()
    monkeypatch.setattr(ts, "pd", counter)
    assert_same(run(operation), expected)
    assert counter.seen > 0
    for n in range(1, counter.seen + 1):
        failing = FailingPandas(n)
        monkeypatch.setattr(ts, "pd", failing)
        with pytest.raises(MemoryError) as info:
            run(operation)
        assert info.value is failing.error and info.value.__cause__ is None
        # Nothing is left half-built: the same call with pandas back works.
        monkeypatch.setattr(ts, "pd", pd)
        assert_same(run(operation), expected)


def failing_frames(method):
    """A frame type whose `method` raises MemoryError, as do the frames pandas
    derives from it."""
    error = MemoryError("injected into " + method)

    def fail(self, *args, **kwargs):
        raise error

    cls = type("Failing", (pd.DataFrame,), {method: fail, "_constructor": property(lambda self: cls)})
    return cls, error


METHODS = ["copy", "merge", "sort_values", "groupby", "drop", "dropna", "reset_index", "rename", "join",
           "apply", "drop_duplicates", "isin", "__getitem__", "__setitem__"]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_memory_error_from_a_frame_method(operation):
    expected, failed = run(operation), []
    for method in METHODS:
        cls, error = failing_frames(method)
        try:
            got = run(operation, frame=lambda df: cls(df.copy()))
        except MemoryError as raised:
            assert raised is error
            failed.append(method)
            continue
        # The method is not called on these frames: the usual values.
        assert_same(plain(got), expected)
    assert failed


def plain(value):
    """The value with every frame turned into a plain DataFrame."""
    if isinstance(value, pd.DataFrame):
        return pd.DataFrame(value)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value


def test_eight_threads_give_the_results_of_one():
    def work(seed):
        df, kwargs, _ = frames.random_case(seed, n_entities=4, max_rows=3, singles="some", columns=["num", "cat"],
                                           missing=False, clash="", int_label=False)
        tr = T(df, **kwargs)
        synth = pd.concat([tr.df_multi_entry_per_group_diff] * 4, ignore_index=True)
        return [vars(tr), tr.postprocess_timeseries_difference_method(synth) if len(synth) else None,
                T.get_valid_path(tr.df_multi_entry_per_group_diff, tr.categorical_column_mappings)]

    seeds = range(8)
    with contextlib.redirect_stdout(io.StringIO()):
        alone = [work(seed) for seed in seeds]
        together, start = {}, threading.Barrier(len(seeds))

        def thread(seed):
            start.wait()
            together[seed] = [work(seed) for _ in range(3)]

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)  # switch threads as often as possible
        try:
            threads = [threading.Thread(target=thread, args=(seed,)) for seed in seeds]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
    for seed in seeds:
        for result in together[seed]:
            assert_same(result, alone[seed])


def run_in_subinterpreter(code):
    """What the code raised in a new interpreter sharing the process (its text),
    or None."""
    try:
        import _interpreters  # 3.13
    except ImportError:
        _interpreters = None
    if _interpreters is not None:
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.exec(interp, code)
            return None if failure is None else failure.formatted
        finally:
            _interpreters.destroy(interp)
    subinterpreters = pytest.importorskip("_xxsubinterpreters")  # 3.12
    interp = subinterpreters.create(isolated=False)
    try:
        subinterpreters.run_string(interp, code)
        return None
    except subinterpreters.RunFailedError as failure:
        return str(failure)
    finally:
        subinterpreters.destroy(interp)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no interpreters module to start one with")
def test_a_second_interpreter_is_refused():
    code = "import sys; sys.path[:0] = %r; import %s" % (sys.path, ts.__name__)
    failure = run_in_subinterpreter(code)
    assert failure is not None and "ImportError" in failure
    assert ("Interpreter change detected - this module can only be loaded into one interpreter per process."
            in failure)
    # The first interpreter's module is unaffected.
    assert sys.modules[ts.__name__] is ts and T(tiny(), "pid", "t", ["num"]).category_counts == {2: 1, 3: 1}
