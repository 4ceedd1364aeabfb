"""The extension against the plain-Python model on seeded random inputs and on
subclasses that override steps: every piece of state, every result, printed
line and failure must be identical."""
import os
import random
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import frames
from twins import CLS, M, T, assert_same, calls, twin_call


def recording(base):
    # Keeps the intermediate frames, including the multi-entry frame the differencing changes in place.
    class Recording(base):
        def _split_df_into_single_and_multi_entry_dfs(self, group_counts):
            self.seen_group_counts = group_counts
            return super()._split_df_into_single_and_multi_entry_dfs(group_counts)

        def _get_diff(self, df_multi_entry_per_group):
            self.seen_multi = df_multi_entry_per_group
            return super()._get_diff(df_multi_entry_per_group)
    return Recording


SIDES = recording(T), recording(M)


def check_forward(df, kwargs):
    (ok, ours), (_, theirs) = twin_call(SIDES, dict(kwargs, df=df))
    if ok:  # the first-row look-up on a shuffled copy of the multi-entry frame
        multi = ours.seen_multi.sample(frac=1, random_state=len(ours.seen_multi))
        assert_same(*(tr._get_indexes_of_first_row_of_each_unique_id(multi, tr.primary_id_column)
                      for tr in (ours, theirs)))


@pytest.mark.parametrize("seed", range(120))
def test_random_frames(seed):
    check_forward(*frames.random_case(seed)[:2])


FORCED = [dict(singles="all", columns=["cat"]), dict(singles="none", missing=True),
          dict(id_kind="text", time_kind="int", shuffle=True),
          dict(index_kind="text", shuffle=True, columns=["num", "date", "cat"]), dict(columns=[]),
          dict(columns=["cat", "cat2"], missing=True), dict(clash="diff", columns=["cat", "num"]),
          dict(clash="from_to", columns=["cat", "cat2", "int"]), dict(int_label=True, columns=["cat"])]


@pytest.mark.parametrize("options", FORCED, ids=lambda o: ",".join("%s=%s" % kv for kv in o.items()))
@pytest.mark.parametrize("seed", range(1000, 1003))
def test_forced_shapes(options, seed):
    check_forward(*frames.random_case(seed, **options)[:2])


class Counted:
    """Renders differently on every call: each row's text must come from its own repr calls, in row order."""
    calls = 0

    def __repr__(self):
        Counted.calls += 1
        return "Counted#%d" % Counted.calls


class Unprintable:
    def __repr__(self):
        raise ValueError("no text for this one")


class Quoted(str):
    def __repr__(self):
        return "Quoted<%s>" % str.__repr__(self)


AWKWARD = {
    "ints": [1, 2, -3, 10 ** 30, None],
    "floats_nan": [1.5, -0.0, float("nan"), np.nan, 2.0],
    "numpy_scalars": [np.float64(1.5), np.int64(3), np.bool_(True), "A", True],
    "stamps": [pd.Timestamp("2021-01-01", tz="UTC"), pd.Timestamp("2021-01-02 03:04"), pd.NaT, "A"],
    "text": ["é", "中文", "x" * 500, "", "a'b\"c\n", "\U0001F600", "\x80", None],
    "mixed": [1, "A", None, True, 2.5, (1, "a"), (), b"raw", np.nan],
    "changing_repr": [Counted(), Counted(), Quoted("q"), Quoted("A"), "A", None],
    "unprintable": ["A", "B", Unprintable()],
}


@pytest.mark.parametrize("kind", list(AWKWARD))
def test_transition_texts_of_awkward_values(kind):
    rng = random.Random(kind)
    sizes = [rng.randint(1, 5) for _ in range(12)]
    n = sum(sizes)
    # The same objects recur on many rows, as in a real categorical column.
    values = np.empty(n, dtype=object)
    values[:] = [rng.choice(AWKWARD[kind]) for _ in range(n)]
    df = pd.DataFrame({"pid": [i for i, k in enumerate(sizes) for _ in range(k)],
                       "when": [t for k in sizes for t in range(k)], "val": pd.Series(values, dtype=object)},
                      index=["r%d" % i for i in rng.sample(range(10 * n), n)]).iloc[rng.sample(range(n), n)]
    fresh = [lambda K=K, **a: setattr(Counted, "calls", 0) or K(**a) for K in (T, M)]
    twin_call(fresh, dict(df=df, primary_id_column="pid", primary_timeseries_column="when", columns_to_diff=["val"]))


KINDS = ["default", "prefix", "misordered", "skip_lowest", "missing", "zero", "negative", "short", "no_column"]


def postprocess_case(seed, kind):
    """Both transformers, a synthetic frame and a request; None when the input cannot be transformed."""
    rng = random.Random(seed)
    df, kwargs, _ = frames.random_case(seed, singles="some", n_entities=rng.randint(3, 8), max_rows=rng.choice([3, 5]))
    try:
        reference = M(df.copy(), **kwargs)
    except Exception:
        return None
    diff, group = reference.df_multi_entry_per_group_diff, reference.category_column
    present = sorted(diff[group].unique())
    if not present:
        return None
    counts = {k: rng.randint(1, 3) for k in present[:rng.randint(1, len(present))]}
    every = {k: rng.randint(1, 3) for k in reversed(present)}
    request = {"default": None, "prefix": counts, "misordered": every, "skip_lowest": {k: 1 for k in present[1:]}
               or counts, "missing": {**counts, 99: 1}, "zero": {**counts, present[0]: 0},
               "negative": {**counts, present[0]: -1}}.get(kind, counts)
    wanted = {"default": reference.category_counts, "misordered": every, "skip_lowest": request}.get(kind, counts)
    parts = [diff[diff[group] == k].sample(n * (k + 1) + rng.randint(0, 2), replace=True, random_state=seed)
             for k, n in wanted.items() if k in present]
    if kind == "short":
        parts[0] = parts[0].iloc[:wanted[present[0]] * (present[0] + 1) - 1]
    # Rows of categories the request does not use come along too.
    parts = [p for p in parts + [diff[~diff[group].isin(list(wanted))]] if len(p)] or parts[-1:]
    synth = pd.concat(parts).sample(frac=1, random_state=seed).reset_index(drop=True)
    if kind == "no_column":
        needed = [kwargs["primary_id_column"], group] + reference.diff_col_names
        synth = synth.drop(needed[seed % len(needed)], axis=1)
    return T(df.copy(), **kwargs), reference, synth, request


def check_postprocess(seed, kind):
    drawn = postprocess_case(seed * 31 + 7, kind)
    if drawn is None:
        return None
    native, reference, synth, request = drawn
    return twin_call((native.postprocess_timeseries_difference_method, reference.postprocess_timeseries_difference_method),
                     dict(df_synth=synth, desired_category_counts=request))[0][0]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(8))
def test_postprocess(seed, kind):
    ok = check_postprocess(seed, kind)
    assert not (ok and kind in ("missing", "zero", "negative", "short", "no_column"))


def test_without_assertions():
    # Under -O the existence and count checks are skipped: bad counts and missing columns reach pandas.
    script = ("import pandas as pd, test_differential as d\n"
              "from twins import T, M, twin_call\n"
              "print(sum(bool(d.check_postprocess(seed, kind)) for seed in range(5)\n"
              "          for kind in ('misordered', 'skip_lowest', 'zero', 'missing', 'short')))\n"
              "twin_call((T.verify_columns_exist_in_df, M.verify_columns_exist_in_df),\n"
              "          dict(df=pd.DataFrame({'a': [1]}), columns=['zz']))\n"
              "twin_call((T, M), dict(df=pd.DataFrame({'a': [1]}), primary_id_column='id',\n"
              "          primary_timeseries_column='t', columns_to_diff=['a'], columns_to_cast_to_timeseries_datatypes=['t']))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONWARNINGS="ignore")
    run = subprocess.run([sys.executable, "-O", "-c", script], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    assert run.returncode == 0 and int(run.stdout) >= 5, run.stderr


def path_case(seed):
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


def twin(name, **args):
    """The model's result of a class method, after checking the extension's against it."""
    native, reference = twin_call(calls(name), dict(args, cls=CLS))
    return reference[1] if reference[0] else None


@pytest.mark.parametrize("seed", range(40))
def test_path_discovery(seed):
    rng, df, mappings = path_case(seed)
    path = "index" if seed % 4 else "step"
    st = twin("create_starting_df_for_path_discovery", categorical_column_mappings=mappings,
              df_expanded=twin("expand_category_edges_in_df", df=df, categorical_column_mappings=mappings))
    st = st.rename(columns={"index": path})
    joined = twin("join_df", df_l=st, df_r=st, index=path)
    twin("join_df", df_l=joined, df_r=st, index=path)
    twin("join_df", df_l=joined, df_r=joined, left="left", right="right", index=path)
    small = len(df) <= 6  # the untrimmed strategies grow quickly
    twin("iteratively_discover_paths_linear", df=st, df_start=rng.choice([None, joined]),
         max_path_length=rng.randint(0, 4 if small else 2), index=path)
    twin("iteratively_discover_paths_exponential", df_start=st, max_path_order=rng.randint(0, 3 if small else 2),
         index=path)
    paths = twin("iteratively_discover_paths_combined", df_start=st, max_path_iterations=rng.choice([1, 2, 5, 100]),
                 index=path)
    if paths is not None:
        twin("retrieve_longest_path", df_original=df, df_paths=paths, index=path)
    if path == "index":
        twin("get_valid_path", df=df, categorical_column_mappings=mappings)


NAN = float("nan")
PATHS = {
    "int": [0, 1, 2, 3], "float": [0.0, 1.5, NAN, 3.0], "uint8": np.array([0, 1, 2, 200], dtype=np.uint8),
    "bool": [True, False, True, True], "mixed lists": [[0, 1.0], [2], [3.0, -1], [1, True]],
    "mixed scalars": [0, 1.0, "x", None], "numpy scalars": [np.int64(1), [np.float64(1.0)], np.float32(2), 3],
    "nan and zero": [[NAN, NAN], [0.0, -0.0], [float("nan")], ["-1", -1]],
    "long lists": [list(range(10)), list(range(9)) + [4.0], [100 + i for i in range(12)], [7] * 9],
    "list subclass": [type("Path", (list,), {})([0]), [1], 2, [3]],
}


def path_frame(name, closed):
    # Closed: every path has partners on both sides, so the merge leaves the path columns' dtypes alone.
    return pd.DataFrame({"index": PATHS[name], "left": ["a", "b", "c", "a"],
                         "right": ["b", "c", "a", "b" if closed else "z"]}, index=[5, 2, 9, 0])


@pytest.mark.parametrize("left", PATHS)
def test_join_of_awkward_path_columns(left):
    for right, closed in [(r, False) for r in PATHS] + [(left, True)]:
        df_l, df_r = path_frame(left, closed), path_frame(right, closed)
        twin("join_df", df_l=df_l, df_r=df_r)
        inputs = {id(p) for df in (df_l, df_r) for p in df["index"]}
        assert not any(id(p) in inputs for p in T.join_df(df_l, df_r)["index"])  # joined paths are new lists


def overriding(K, name, change):
    """A subclass whose `name` logs its call and changes what the parent returns."""
    log = []

    def method(self, *args, **kwargs):
        log.append((len(args), sorted(kwargs)))
        return change(getattr(super(Sub, self), name)(*args, **kwargs))
    is_class = isinstance(vars(K)[name], classmethod)
    Sub = type("Sub", (K,), {name: classmethod(method) if is_class else method})
    return Sub, log


RGBG = pd.DataFrame({"step": range(3), "left": ["red", "green", "blue"], "right": ["green", "blue", "grey"]})
FLOAT_PATHS = path_frame("float", False)
OVERRIDES = {  # the step overridden, what the override does to its result, the call that must reach it
    "first_rows": ("_get_indexes_of_first_row_of_each_unique_id", lambda x: x, lambda S: S(FIRST[0], **FIRST[1])),
    "undiff": ("_undiff_continuous_columns", lambda x: x, lambda S: S(*UNDIFF[:1], **UNDIFF[1])
               .postprocess_timeseries_difference_method(pd.concat([S(*UNDIFF[:1], **UNDIFF[1])
                                                                     .df_multi_entry_per_group_diff] * 4))),
    "element_list": ("make_element_a_list", lambda x: x if isinstance(x, list) else [x, "<%r>" % x],
                     lambda S: S.join_df(FLOAT_PATHS, FLOAT_PATHS)),
}
FIRST = frames.random_case(3, columns=["cat", "num", "int"], singles="none", n_entities=5, clash=None)
UNDIFF = frames.random_case(5, columns=["date", "num"], singles="none", n_entities=5, missing=False, clash=None)
for strategy, args in [("linear", (None, 3)), ("exponential", (3,)), ("combined", (3,))]:
    OVERRIDES["join_" + strategy] = (
        "join_df", lambda df: df[df.iloc[:, 0].notna() & df.iloc[:, 1].notna()],  # complete paths only
        lambda S, m="iteratively_discover_paths_" + strategy, a=args: getattr(S, m)(RGBG, *a, index="step"))


@pytest.mark.parametrize("case", OVERRIDES)
def test_overridden_steps_are_used(case):
    name, change, call = OVERRIDES[case]
    (sub, log), (sub_model, model_log) = overriding(T, name, change), overriding(M, name, change)
    twin_call((lambda: call(sub), lambda: call(sub_model)), {})
    assert log and log == model_log
