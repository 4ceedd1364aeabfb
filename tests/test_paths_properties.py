"""Path discovery gives exactly the model's frames, printed lines, warnings and
exceptions on seeded random transition frames."""
import contextlib
import io
import random
import warnings

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

M = model.TimeseriesDifferenceTransformer


def random_case(seed):
    rng = random.Random(seed)
    cats = rng.sample(["red", "green", "blue", "grey", "pink", 7, 8], rng.randint(2, 6))
    moves = [(rng.choice(cats), rng.choice(cats)) for _ in range(rng.choice([0, 1, 2, 3, 4, 6, 8, 10]))]
    key = rng.choice(["colour", 5])
    # Some generated transitions were never seen, some seen ones are not generated.
    known = [m for m in sorted(set(moves), key=repr) if rng.random() < 0.85] + [(cats[0], cats[-1])]
    rng.shuffle(known)
    mp = pd.DataFrame({"%s_1" % key: [a for a, _ in known], "%s_2" % key: [b for _, b in known],
                       "%s_diff" % key: [str(m) for m in known]}, index=rng.sample(range(99), len(known)))
    df = pd.DataFrame({"v": [rng.random() for _ in moves], "%s_diff" % key: [str(m) for m in moves]},
                      index=rng.sample(range(999), len(moves)))
    return rng, df, {key: mp}


def outcome(fn, *args):
    out = io.StringIO()
    with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(out):
        warnings.simplefilter("always")
        try:
            result = fn(*args)
        except Exception as e:  # compared below, not hidden
            result = (type(e), str(e))
    return result, out.getvalue(), [(w.category, str(w.message)) for w in caught]


def same(name, *args, fresh=lambda a: a):
    # fresh() gives each side its own copy of arguments the method changes.
    got, want = outcome(getattr(T, name), *fresh(args)), outcome(getattr(M, name), *fresh(args))
    assert got[1:] == want[1:] and type(got[0]) is type(want[0])
    assert got[2] == [], "the extension lets no pandas warning out"
    if isinstance(want[0], pd.DataFrame):
        assert_frame_equal(got[0], want[0], check_exact=True)
        assert repr(got[0].values.tolist()) == repr(want[0].values.tolist())  # 3 against 3.0
    else:
        assert got[0] == want[0]
    return want[0]


def own_lists(args):
    paths = args[1].copy()
    paths[args[2]] = [list(p) for p in paths[args[2]]]
    return args[0], paths, args[2]


@pytest.mark.parametrize("seed", range(48))
def test_pipeline_matches_model(seed):
    rng, df, mappings = random_case(seed)
    path = "index" if seed % 4 else "step"
    st = same("create_starting_df_for_path_discovery", same("expand_category_edges_in_df", df, mappings), mappings)
    st = st.rename(columns={"index": path})
    joined = same("join_df", st, st, "left", "right", path)
    same("join_df", joined, st, "left", "right", path)
    same("join_df", joined, joined, "left", "right", path)
    small = len(df) <= 6  # the untrimmed strategies grow quickly
    same("iteratively_discover_paths_linear", st, rng.choice([None, joined]), rng.randint(0, 4 if small else 2), path)
    same("iteratively_discover_paths_exponential", st, rng.randint(0, 3 if small else 2), path)
    paths = same("iteratively_discover_paths_combined", st, rng.choice([1, 2, 5, 100]), path)
    if isinstance(paths, pd.DataFrame):
        same("retrieve_longest_path", df, paths, path, fresh=own_lists)
    if path == "index":
        same("get_valid_path", df, mappings)


@pytest.mark.parametrize("name, args", [
    ("expand_category_edges_in_df", (pd.DataFrame({"a": [1]}), None)),
    ("expand_category_edges_in_df", (pd.DataFrame({"a": [1]}), {"c": pd.DataFrame({"x": [1], "y": [2]})})),
    ("join_df", (pd.DataFrame({"index": [0], "left": [1], "right": [1]}),) * 2 + ("left", "right", None)),
    ("join_df", (pd.DataFrame({"index": [[[1]]], "left": [1], "right": [1]}),) * 2),
    ("iteratively_discover_paths_combined", (pd.DataFrame({"index": [0], "left": [1], "right": [2]}), "3")),
    ("retrieve_longest_path", (pd.DataFrame({"a": [1]}), pd.DataFrame({"index": [[0, 4]]}))),
])
def test_failures_match_model(name, args):
    same(name, *args)
