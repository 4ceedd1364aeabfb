"""`python -m veltrano.transformer` end to end, against the class called in-process."""
import contextlib
import importlib.util
import io
import os
import pickle
import subprocess
import sys

import pandas as pd
import pytest

from veltrano.transformer.sequences import SequenceTransformer
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T
from twins import assert_same

class Evil:
    """A pickle that, once loaded, leaves a file behind."""
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return open, (self.marker, "w")


ROWS_PER_VISIT = [2, 1, 3, 4, 2, 3, 1, 4, 3, 2]
EVENTS = ["admit", "lab", "drug", "lab", "drug", "done"]


def run(cwd, *args):
    # cwd keeps a checkout's bare source package off sys.path.
    return subprocess.run([sys.executable, "-m", "veltrano.transformer"] + list(args), cwd=str(cwd),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


def csv_text(df):
    return df.to_csv(index=False)


@pytest.fixture(scope="module")
def visits_dir(tmp_path_factory):
    """A folder holding visits.csv."""
    tmp = tmp_path_factory.mktemp("cli")
    rows = []
    for n, size in enumerate(ROWS_PER_VISIT):
        for j in range(size):
            rows.append((100 + n, "2024-03-%02d %02d:%02d" % (1 + n, 8 + 3 * j, 7 * n % 60), 60 + (n * 7 + j * 5) % 23,
                         EVENTS[(n + j) % len(EVENTS)], "ward%d" % ((n + j) % 3)))
    visits = pd.DataFrame(rows, columns=["visit", "time", "hr", "event", "ward"])
    # Rows out of time order, so sorting is exercised.
    visits.iloc[::-1].to_csv(tmp / "visits.csv", index=False)
    return tmp


@pytest.fixture(scope="module")
def work(visits_dir):
    """The forward command run on visits.csv, and a synthetic file made from its output."""
    tmp = visits_dir
    done = run(tmp, "forward", "visits.csv", "--id", "visit", "--time", "time", "--diff", "hr,time",
               "--diff", "event", "--diff", "ward", "--cast-time", "time")
    assert done.returncode == 0, done.stderr
    expected = T(pd.read_csv(tmp / "visits.csv"), "visit", "time", ["hr", "time", "event", "ward"], ["time"])
    # Enough rows of each row count for the default request: 2 of 4 rows need 10 of 12.
    synth = pd.concat([expected.df_multi_entry_per_group_diff] * 4, ignore_index=True)
    synth.to_csv(tmp / "synth.csv", index=False)
    # As generators write time differences: numbers, here of hours.
    synth.assign(time_diff=synth["time_diff"] / pd.Timedelta(1, unit="h")).to_csv(tmp / "hours.csv", index=False)
    return tmp, done, expected, synth


def test_forward_writes_the_differenced_frame_and_a_loadable_transformer(work):
    tmp, done, expected, _ = work
    assert (tmp / "visits.diff.csv").read_text() == csv_text(expected.df_multi_entry_per_group_diff)
    assert "entities per row count: 2=3,3=3,4=2" in done.stdout and done.stderr == ""
    assert_same(vars(T.load(str(tmp / "visits.transformer.zip"))), vars(expected))


@pytest.mark.parametrize("counts,request_", [
    ([], None),
    # Out of order, and skipping the smallest row count in the file.
    (["--counts", "4=1", "--counts", "3=2"], {3: 2, 4: 1}),
])
def test_backward_matches_postprocessing_of_the_typed_frame(work, counts, request_):
    tmp, _, expected, synth = work
    done = run(tmp, "backward", "visits.transformer.zip", "synth.csv", "--out", "rebuilt.csv", *counts)
    assert done.returncode == 0, done.stderr
    if request_:
        synth = synth[synth[expected.category_column].isin(list(request_))]
    rebuilt = expected.postprocess_timeseries_difference_method(synth, request_)
    assert (tmp / "rebuilt.csv").read_text() == csv_text(rebuilt)
    assert str(rebuilt["time"].dtype).startswith("datetime64")


@pytest.mark.parametrize("options, iterations", [([], 100), (["--max-iterations", "6", "--quiet"], 6)])
def test_paths_writes_the_rows_of_the_longest_path(work, options, iterations):
    tmp, _, expected, synth = work
    done = run(tmp, "paths", "visits.transformer.zip", "synth.csv", "--column", "event", "--out", "path.csv", *options)
    mappings = {"event": expected.categorical_column_mappings["event"]}
    start = T.create_starting_df_for_path_discovery(T.expand_category_edges_in_df(synth, mappings), mappings)
    with contextlib.redirect_stdout(io.StringIO()) as progress:
        path = T.retrieve_longest_path(synth, T.iteratively_discover_paths_combined(start, iterations))
    written = pd.read_csv(tmp / "path.csv")
    assert list(written["synthetic_row"]) == list(path.index) and done.stderr == ""
    assert csv_text(written.drop(columns="synthetic_row")) == csv_text(pd.read_csv(io.StringIO(csv_text(path))))
    # Progress lines only without --quiet.
    assert done.stdout.startswith("path of %d transitions: " % len(path)) == bool(options) and progress.getvalue()


def test_time_differences_as_numbers_both_ways(work):
    tmp, _, expected, synth = work
    assert run(tmp, "forward", "visits.csv", "--id", "visit", "--time", "time", "--diff", "hr,time,event,ward",
               "--cast-time", "time", "--time-unit", "h", "--out", "hours.diff.csv").returncode == 0
    hours = expected.df_multi_entry_per_group_diff["time_diff"] / pd.Timedelta(1, unit="h")
    assert list(pd.read_csv(tmp / "hours.diff.csv")["time_diff"]) == list(hours)
    done = run(tmp, "backward", "visits.transformer.zip", "hours.csv", "--time-unit", "h", "--out", "h.csv")
    assert done.returncode == 0, done.stderr
    assert (tmp / "h.csv").read_text() == csv_text(expected.postprocess_timeseries_difference_method(synth))


@pytest.fixture(scope="module")
def seq_work(visits_dir):
    """tables run on visits.csv, and the frame it read."""
    tmp = visits_dir
    with open(str(tmp / "other.pkl"), "wb") as f:
        pickle.dump({"not": "a transformer"}, f, protocol=0)
    with open(str(tmp / "evil.pkl"), "wb") as f:
        pickle.dump(Evil(str(tmp / "evil-ran")), f)
    done = run(tmp, "tables", "visits.csv", "--id", "visit", "--time", "time", "--cast-time", "time")
    assert done.returncode == 0, done.stderr
    visits = pd.read_csv(tmp / "visits.csv")
    visits["time"] = pd.to_datetime(visits["time"])
    return tmp, done, visits


@pytest.mark.parametrize("options,counts,seed", [
    ([], None, 0),
    # Any subset in any order, single-row entities included, another seed.
    (["--counts", "4=2,1=3", "--seed", "7"], {4: 2, 1: 3}, 7),
])
def test_tables_and_rebuild_match_the_class_called_in_process(seq_work, options, counts, seed):
    tmp, done, visits = seq_work
    entities, steps = SequenceTransformer("visit", "time").fit_transform(visits)
    assert (tmp / "visits.entities.csv").read_text() == csv_text(entities)
    assert (tmp / "visits.steps.csv").read_text() == csv_text(steps)
    assert "time unit: h" in done.stdout
    again = run(tmp, "rebuild", "visits.sequences.json", "visits.entities.csv", "visits.steps.csv", "--out", "r.csv",
                *options)
    assert again.returncode == 0, again.stderr
    expected = SequenceTransformer("visit", "time", random_state=seed).fit(visits).reverse_transform(
        pd.read_csv(tmp / "visits.entities.csv"), pd.read_csv(tmp / "visits.steps.csv"), counts)
    assert (tmp / "r.csv").read_text() == csv_text(expected)


def test_report_prints_the_three_tables(seq_work):
    tmp, _, visits = seq_work
    st = SequenceTransformer("visit", "time").fit(visits)
    st.reverse_transform(*st.transform(visits)).to_csv(tmp / "again.csv", index=False)
    done = run(tmp, "report", "visits.sequences.json", "visits.csv", "again.csv", "--holdout", "visits.csv")
    assert done.returncode == 0, done.stderr
    shown = done.stdout
    assert "category change rate" in shown and "exact copies" in shown
    # Times read back as dates: the start of a CSV-read time column is days from the real origin.
    fidelity = st.fidelity(visits, pd.read_csv(tmp / "again.csv", parse_dates=["time"]))
    assert fidelity.to_string(index=False) in shown
    assert "ROC AUC" in shown if importlib.util.find_spec("sklearn") else "veltrano-transformer[report]" in shown


HAS_PARQUET_ENGINE = any(importlib.util.find_spec(m) for m in ("pyarrow", "fastparquet"))

ERRORS = [
    (["forward", "missing.csv", "--id", "visit", "--time", "time", "--diff", "hr"], "no such file: missing.csv"),
    (["forward", "visits.csv", "--id", "visit", "--time", "time", "--diff", "hr,pulse"], "column 'pulse' not in"),
    (["backward", "visits.transformer.zip", "synth.csv", "--counts", "2=x"], "bad count '2=x'"),
    (["backward", "visits.transformer.zip", "synth.csv", "--counts", "2=9"], "Require 27 synthetic rows"),
    (["backward", "visits.transformer.zip", "synth.csv", "--counts", "5=1"], "no rows with NUM_GROUP_ENTRIES = 5"),
    (["backward", "visits.transformer.zip", "hours.csv"], "column 'time_diff' holds numbers, not time differences: "
                                                           "give --time-unit"),
    (["paths", "visits.transformer.zip", "synth.csv", "--column", "event", "--max-iterations", "3"],
     "no path left after 3 joins"),
    (["backward", "visits.csv", "synth.csv"], "cannot load a transformer from visits.csv: not a zip"),
    (["backward", "visits.sequences.json", "synth.csv"], "it is JSON, as SequenceTransformer.save writes"),
    (["paths", "visits.transformer.zip", "synth.csv"], "choose one with --column"),
    (["forward", "visits.parquet", "--id", "visit", "--time", "time", "--diff", "hr"], "needs pyarrow or fastparquet"),
    (["forward", "visits.csv", "--id", "visit", "--time", "time", "--diff", "hr", "--out", "x.csv", "--transformer",
      "x.pkl"], "x.pkl: transformers are saved as data, not pickled; name the file x.zip instead"),
]

SEQ_ERRORS = [
    (["tables", "visits.csv", "--id", "visit", "--time", "time", "--static", "pulse"], "column 'pulse' not in"),
    (["tables", "visits.csv", "--id", "visit", "--time", "time", "--cast-time", "time", "--static", "hr",
      "--entities", "e.csv"], "static column 'hr' changes"),
    (["tables", "visits.csv", "--id", "visit", "--time", "time"], "time column 'time' must hold numbers"),
    (["rebuild", "visits.sequences.json", "visits.entities.csv", "visits.steps.csv", "--counts", "0=2"],
     "bad count '0=2'"),
    (["rebuild", "other.pkl", "visits.entities.csv", "visits.steps.csv"], "other.pkl is a pickle, and loading"),
    (["rebuild", "visits.transformer.zip", "visits.entities.csv", "visits.steps.csv"], "it is a zip, as"),
    (["rebuild", "visits.sequences.json", "visits.entities.csv", "visits.steps.csv", "--out", "x.parquet"],
     "writing Parquet needs pyarrow"),
    (["report", "visits.sequences.json", "visits.csv", "visits.csv", "--rebuilt-id", "nope"], "column 'nope' not in"),
] + [
    ([command, "evil.pkl"] + files, "evil.pkl is a pickle, and loading a pickle runs whatever code it holds")
    for command, files in [("backward", ["synth.csv"]), ("paths", ["synth.csv"]),
                           ("rebuild", ["visits.entities.csv", "visits.steps.csv"]),
                           ("report", ["visits.csv", "visits.csv"])]
]


def run_side_by_side(cwd, cases):
    """Every case at once, to save interpreter start-ups: (exit status, stderr) each."""
    procs = [subprocess.Popen([sys.executable, "-m", "veltrano.transformer"] + args, cwd=str(cwd),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
             for args, _ in cases]
    results = []
    for proc in procs:
        stderr = proc.communicate()[1]
        results.append((proc.returncode, stderr))
    return results


@pytest.fixture(scope="module")
def failed_runs(work):
    (work[0] / "visits.parquet").write_bytes(b"")
    return run_side_by_side(work[0], ERRORS)


@pytest.fixture(scope="module")
def seq_failed_runs(seq_work, work):
    return run_side_by_side(seq_work[0], SEQ_ERRORS)


@pytest.mark.parametrize("runs, cases, case", [("failed_runs", ERRORS, i) for i in range(len(ERRORS))]
                         + [("seq_failed_runs", SEQ_ERRORS, i) for i in range(len(SEQ_ERRORS))],
                         ids=[message for _, message in ERRORS + SEQ_ERRORS])
def test_user_errors_are_one_line_without_traceback(request, runs, cases, case):
    args, message = cases[case]
    if any(arg.endswith(".parquet") for arg in args) and HAS_PARQUET_ENGINE:
        pytest.skip("a Parquet engine is installed")
    returncode, stderr = request.getfixturevalue(runs)[case]
    assert returncode != 0 and "Traceback" not in stderr
    assert len(stderr.splitlines()) == 1 and message in stderr, stderr
    assert not os.path.exists(str(request.getfixturevalue("visits_dir") / "synth.rebuilt.csv"))
    assert not os.path.exists(str(request.getfixturevalue("visits_dir") / "evil-ran"))
