"""`python -m veltrano.transformer` end to end, against the class called in-process."""
import importlib.util
import io
import os
import pickle
import subprocess
import sys

import pandas as pd
import pytest

from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

ROWS_PER_VISIT = [2, 1, 3, 4, 2, 3, 1, 4, 3, 2]
EVENTS = ["admit", "lab", "drug", "lab", "drug", "done"]


def run(cwd, *args):
    # cwd keeps a checkout's bare source package off sys.path.
    return subprocess.run([sys.executable, "-m", "veltrano.transformer"] + list(args), cwd=str(cwd),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


def csv_text(df):
    return df.to_csv(index=False)


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    """visits.csv, the forward command run on it, and a synthetic file made from its output."""
    tmp = tmp_path_factory.mktemp("cli")
    rows = []
    for n, size in enumerate(ROWS_PER_VISIT):
        for j in range(size):
            rows.append((100 + n, "2024-03-%02d %02d:%02d" % (1 + n, 8 + 3 * j, 7 * n % 60), 60 + (n * 7 + j * 5) % 23,
                         EVENTS[(n + j) % len(EVENTS)], "ward%d" % ((n + j) % 3)))
    visits = pd.DataFrame(rows, columns=["visit", "time", "hr", "event", "ward"])
    # Rows out of time order, so sorting is exercised.
    visits.iloc[::-1].to_csv(tmp / "visits.csv", index=False)

    done = run(tmp, "forward", "visits.csv", "--id", "visit", "--time", "time", "--diff", "hr,time",
               "--diff", "event", "--diff", "ward", "--cast-time", "time")
    assert done.returncode == 0, done.stderr
    expected = T(pd.read_csv(tmp / "visits.csv"), "visit", "time", ["hr", "time", "event", "ward"], ["time"])
    # Enough rows of each row count for the default request: 2 of 4 rows need 10 of 12.
    synth = pd.concat([expected.df_multi_entry_per_group_diff] * 4, ignore_index=True)
    synth.to_csv(tmp / "synth.csv", index=False)
    return tmp, done, expected, synth


def test_forward_writes_the_differenced_frame_and_a_loadable_transformer(work):
    tmp, done, expected, _ = work
    assert (tmp / "visits.diff.csv").read_text() == csv_text(expected.df_multi_entry_per_group_diff)
    assert "entities per row count: 2=3,3=3,4=2" in done.stdout and done.stderr == ""
    with open(str(tmp / "visits.transformer.pkl"), "rb") as f:
        saved = pickle.load(f)
    pd.testing.assert_frame_equal(saved.df_augmented, expected.df_augmented, check_exact=True)


@pytest.mark.parametrize("counts,request_", [
    ([], None),
    # Out of order, and skipping the smallest row count in the file.
    (["--counts", "4=1", "--counts", "3=2"], {3: 2, 4: 1}),
])
def test_backward_matches_postprocessing_of_the_typed_frame(work, counts, request_):
    tmp, _, expected, synth = work
    done = run(tmp, "backward", "visits.transformer.pkl", "synth.csv", "--out", "rebuilt.csv", *counts)
    assert done.returncode == 0, done.stderr
    if request_:
        synth = synth[synth[expected.category_column].isin(list(request_))]
    rebuilt = expected.postprocess_timeseries_difference_method(synth, request_)
    assert (tmp / "rebuilt.csv").read_text() == csv_text(rebuilt)
    assert str(rebuilt["time"].dtype).startswith("datetime64")


def test_paths_writes_the_rows_of_the_longest_path(work):
    tmp, _, expected, synth = work
    done = run(tmp, "paths", "visits.transformer.pkl", "synth.csv", "--column", "event", "--out", "path.csv")
    assert done.returncode == 0, done.stderr
    path = T.get_valid_path(synth, {"event": expected.categorical_column_mappings["event"]})
    written = pd.read_csv(tmp / "path.csv")
    assert list(written["synthetic_row"]) == list(path.index)
    assert csv_text(written.drop(columns="synthetic_row")) == csv_text(pd.read_csv(io.StringIO(csv_text(path))))
    assert "path of %d transitions: " % len(path) in done.stdout


HAS_PARQUET_ENGINE = any(importlib.util.find_spec(m) for m in ("pyarrow", "fastparquet"))

ERRORS = [
    (["forward", "missing.csv", "--id", "visit", "--time", "time", "--diff", "hr"], "no such file: missing.csv"),
    (["forward", "visits.csv", "--id", "visit", "--time", "time", "--diff", "hr,pulse"], "column 'pulse' not in"),
    (["forward", "visits.csv", "--id", "visit"], "required: --time, --diff"),
    (["backward", "visits.transformer.pkl", "synth.csv", "--counts", "2=x"], "bad count '2=x'"),
    (["backward", "visits.transformer.pkl", "synth.csv", "--counts", "3=1,1=2"], "bad count '1=2'"),
    (["backward", "visits.transformer.pkl", "synth.csv", "--counts", "2=9"], "Require 27 synthetic rows"),
    (["backward", "visits.transformer.pkl", "synth.csv", "--counts", "5=1"], "no rows with NUM_GROUP_ENTRIES = 5"),
    (["backward", "visits.transformer.pkl", "visits.csv"], "not in visits.csv"),
    (["backward", "visits.csv", "synth.csv"], "cannot read a transformer from visits.csv"),
    (["paths", "visits.transformer.pkl", "synth.csv"], "choose one with --column"),
    (["forward", "visits.parquet", "--id", "visit", "--time", "time", "--diff", "hr"], "needs pyarrow or fastparquet"),
]


@pytest.fixture(scope="module")
def failed_runs(work):
    """Every error case, run side by side to save interpreter start-ups."""
    tmp = work[0]
    (tmp / "visits.parquet").write_bytes(b"")
    procs = [subprocess.Popen([sys.executable, "-m", "veltrano.transformer"] + args, cwd=str(tmp),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
             for args, _ in ERRORS]
    results = []
    for proc in procs:
        stderr = proc.communicate()[1]
        results.append((proc.returncode, stderr))
    return results


@pytest.mark.parametrize("case", range(len(ERRORS)), ids=[message for _, message in ERRORS])
def test_user_errors_are_one_line_without_traceback(work, failed_runs, case):
    args, message = ERRORS[case]
    if args[1].endswith(".parquet") and HAS_PARQUET_ENGINE:
        pytest.skip("a Parquet engine is installed")
    returncode, stderr = failed_runs[case]
    assert returncode != 0 and "Traceback" not in stderr
    assert len(stderr.splitlines()) == 1 and message in stderr, stderr
    assert not os.path.exists(str(work[0] / "synth.rebuilt.csv"))


SEQ_ERRORS = [
    (["seq-fit", "visits.csv", "--id", "visit", "--time", "time", "--static", "pulse"], "column 'pulse' not in"),
    (["seq-fit", "visits.csv", "--id", "visit", "--time", "time", "--cast-time", "time", "--static", "hr",
      "--entities", "e.csv"], "static column 'hr' changes"),
    (["seq-fit", "visits.csv", "--id", "visit", "--time", "time"], "time column 'time' must hold numbers"),
    (["seq-reverse", "visits.seq.pkl", "visits.entities.csv", "visits.steps.csv", "--counts", "0=2"], "bad count '0=2'"),
    (["seq-reverse", "visits.transformer.pkl", "visits.entities.csv", "visits.steps.csv"], "not a transformer saved"),
    (["seq-reverse", "visits.seq.pkl", "visits.steps.csv", "visits.steps.csv"], "entities frame lacks the columns"),
    (["seq-reverse", "visits.seq.pkl", "visits.entities.csv", "visits.steps.csv", "--out", "x.parquet"],
     "writing Parquet needs pyarrow"),
]


@pytest.fixture(scope="module")
def seq_work(work):
    """seq-fit run on visits.csv, and the same fit in-process."""
    tmp = work[0]
    done = run(tmp, "seq-fit", "visits.csv", "--id", "visit", "--time", "time", "--cast-time", "time")
    assert done.returncode == 0, done.stderr
    visits = pd.read_csv(tmp / "visits.csv")
    visits["time"] = pd.to_datetime(visits["time"])
    from veltrano.transformer.sequences import SequenceTransformer
    return tmp, done, visits, SequenceTransformer


@pytest.mark.parametrize("options,counts,seed", [
    ([], None, 0),
    # Any subset in any order, single-row entities included, another seed.
    (["--counts", "4=2,1=3", "--seed", "7"], {4: 2, 1: 3}, 7),
])
def test_seq_round_trip_matches_the_class_called_in_process(seq_work, options, counts, seed):
    tmp, done, visits, ST = seq_work
    entities, steps = ST("visit", "time").fit_transform(visits)
    assert (tmp / "visits.entities.csv").read_text() == csv_text(entities)
    assert (tmp / "visits.steps.csv").read_text() == csv_text(steps)
    assert "time unit: h" in done.stdout
    again = run(tmp, "seq-reverse", "visits.seq.pkl", "visits.entities.csv", "visits.steps.csv", "--out", "r.csv",
                *options)
    assert again.returncode == 0, again.stderr
    expected = ST("visit", "time", random_state=seed).fit(visits).reverse_transform(
        pd.read_csv(tmp / "visits.entities.csv"), pd.read_csv(tmp / "visits.steps.csv"), counts)
    assert (tmp / "r.csv").read_text() == csv_text(expected)


@pytest.fixture(scope="module")
def seq_failed_runs(seq_work):
    procs = [subprocess.Popen([sys.executable, "-m", "veltrano.transformer"] + args, cwd=str(seq_work[0]),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
             for args, _ in SEQ_ERRORS]
    return [finish(proc) for proc in procs]


def finish(proc):
    stderr = proc.communicate()[1]
    return proc.returncode, stderr


@pytest.mark.parametrize("case", range(len(SEQ_ERRORS)), ids=[message for _, message in SEQ_ERRORS])
def test_seq_user_errors_are_one_line(seq_failed_runs, case):
    args, message = SEQ_ERRORS[case]
    if args[-1].endswith(".parquet") and HAS_PARQUET_ENGINE:
        pytest.skip("a Parquet engine is installed")
    returncode, stderr = seq_failed_runs[case]
    assert returncode == 1 and "Traceback" not in stderr
    assert len(stderr.splitlines()) == 1 and message in stderr, stderr
