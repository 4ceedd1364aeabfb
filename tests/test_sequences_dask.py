"""SequenceTransformer on dask frames, on a real two-process LocalCluster:
the same rows as the pandas route, rebuilt invariants, and a clear error
where dask is missing."""
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from test_sequences import check_believable, entities_frame
from veltrano.transformer.sequences import SequenceTransformer as ST

try:
    import dask
    import dask.dataframe as dd
    from dask.utils import key_split
    from distributed import Client, LocalCluster, get_task_stream
except ImportError:
    dask = None

pytestmark = [
    pytest.mark.filterwarnings("ignore:Sending large graph"),
    # dask's own Parquet reader, on pandas 3.1.
    pytest.mark.filterwarnings("ignore:The inplace keyword in DataFrame"),
]
needs_dask = pytest.mark.skipif(
    dask is None, reason="the dask extra does not install here (dask needs CPython 3.10 or newer)"
)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as c:
            yield c


def rows(frame):
    """The rows as a sorted frame with text as plain str, whatever its dtype."""
    frame = frame.reset_index(drop=True)
    for col in frame.columns:
        if pd.api.types.is_bool_dtype(frame[col]) or frame[col].dtype.kind not in "iufmM":
            frame[col] = frame[col].astype(object).where(frame[col].notna(), None).map(str)
    return frame.sort_values(list(frame.columns)).reset_index(drop=True)


def same_rows(a, b):
    pd.testing.assert_frame_equal(rows(a), rows(b), check_dtype=False)


@needs_dask
@pytest.mark.parametrize("convert_string, options", [(False, {}), (True, dict(columns=["lab", "state"],
                                                                               static_columns=["sex"]))],
                         ids=["object-text", "arrow-text-some-columns"])
def test_the_dask_route_gives_the_pandas_rows(client, convert_string, options):
    df = entities_frame(7, n=60000)  # about 270,000 rows
    st = ST("patient", "visit", random_state=3, **options)
    entities, steps = st.fit_transform(df)
    with dask.config.set({"dataframe.convert-string": convert_string}):
        sd = ST("patient", "visit", random_state=3, **options)
        d_entities, d_steps = sd.fit_transform(dd.from_pandas(df, npartitions=5))
        assert isinstance(d_entities, dd.DataFrame) and isinstance(d_steps, dd.DataFrame)
        # Every partition's facts reach the model.
        assert repr(sd) == repr(st) and sd._facts["lengths"] == st._facts["lengths"]
        d_entities, d_steps = dask.compute(d_entities, d_steps)
        same_rows(entities, d_entities)
        same_rows(steps, d_steps)
        # The same tables rebuild the same entities, ids included.
        e, s = dd.from_pandas(entities, npartitions=3), dd.from_pandas(steps, npartitions=4)
        # Then a pool dealt as one block, which is cut into chunks too, and a replayed
        # request, whose partitions start inside blocks of the plan.
        for counts, replay in [(None, False), ({5: 30000, 2: 700, 30: 40, 1: 300}, False), (None, True),
                               ({5: 6000}, False), ({5: 3000, 2: 700, 30: 40, 1: 300}, True)]:
            expected = st.reverse_transform(entities, steps, counts, replay=replay)
            parts = dask.compute(*sd.reverse_transform(e, s, counts, replay=replay).to_delayed())
            same_rows(expected, pd.concat(parts))
            # Even the entities of one dominant pool are spread over partitions.
            assert max(map(len, parts)) < 0.6 * len(expected)


class Gathered:
    """What dask.compute hands the client: the pickled size of each result."""

    def __init__(self, monkeypatch):
        self.sizes, compute = [], dask.compute

        def counted(*args, **kwargs):
            results = compute(*args, **kwargs)
            self.sizes += [len(pickle.dumps(r)) for r in results]
            return results

        monkeypatch.setattr(dask, "compute", counted)


@needs_dask
def test_parquet_files_are_worked_on_in_the_workers(client, tmp_path, monkeypatch):
    real = entities_frame(8, n=3000)
    if pd.__version__ >= "2":
        # Parquet keeps the unit: it comes back from the workers too.
        real["visit"] = real["visit"].astype("datetime64[ms, Europe/Berlin]")
    os.mkdir(tmp_path / "visits")
    for i, part in enumerate(np.array_split(np.arange(len(real)), 4)):
        real.iloc[part].to_parquet(tmp_path / "visits" / ("part.%d.parquet" % i))
    gathered = Gathered(monkeypatch)
    st = ST("patient", "visit")
    with get_task_stream(client) as stream:
        for table, name in zip(st.fit_transform(dd.read_parquet(str(tmp_path / "visits"))), ("entities", "steps")):
            table.to_parquet(str(tmp_path / name))
        fit_results = len(gathered.sizes)
        counts = {7: 500, 2: 120, 12: 30}
        tables = [dd.read_parquet(str(tmp_path / name)) for name in ("entities", "steps")]
        st.reverse_transform(*tables, counts).to_parquet(str(tmp_path / "rebuilt"))
    # The facts once, then a length and a histogram per partition of each table.
    assert fit_results == 1 and len(gathered.sizes) > 2 and sum(gathered.sizes) < 20000
    workers = set(client.scheduler_info()["workers"])
    ran = {key_split(t["key"]) for t in stream.data if t["worker"] in workers}
    # (key_split drops the functions' leading underscores)
    assert {"read_parquet", "partition_facts", "combine", "row_count_summary", "plan_part", "steps_part",
            "rebuild_part"} <= ran, sorted(ran)
    assert all(t["worker"] in workers for t in stream.data)
    # Parquet keeps every dtype but object text.
    rebuilt = pd.read_parquet(tmp_path / "rebuilt").astype({c: object for c in real if real[c].dtype == object})
    assert rebuilt.groupby("patient").size().value_counts().to_dict() == counts
    check_believable(st, real, rebuilt)


@needs_dask
@pytest.mark.parametrize(
    "call, error",
    [
        (lambda st, e, s: st.reverse_transform(e, s, [3]), TypeError),
        (lambda st, e, s: st.reverse_transform(e, s, {0: 3}), ValueError),
        (lambda st, e, s: st.reverse_transform(e.drop(columns="sex"), s), ValueError),
        (lambda st, e, s: ST("patient", "visit", columns=["nope"]).fit(dd.from_pandas(entities_frame(1), 2)), KeyError),
    ],
)
def test_bad_input_is_refused_before_any_work(client, call, error):
    st = ST("patient", "visit")
    entities, steps = st.fit_transform(entities_frame(9, n=50))
    with pytest.raises(error):
        call(st, dd.from_pandas(entities, npartitions=2), dd.from_pandas(steps, npartitions=2))


def test_without_dask_the_error_names_the_extra():
    script = """if True:
        import sys
        sys.modules["dask"] = None  # as if not installed
        from test_sequences import entities_frame
        from veltrano.transformer.sequences import SequenceTransformer as ST
        from veltrano.transformer import _dask
        df = entities_frame(1, n=20)
        st = ST("patient", "visit")
        entities, steps = st.fit_transform(df)
        st.reverse_transform(entities, steps)
        Collection = type("DataFrame", (), {"__module__": "dask.dataframe.dask_expr._collection"})
        for call in (lambda: st.fit_transform(Collection()), lambda: st.reverse_transform(entities, Collection()),
                     lambda: _dask.fit(st, df)):
            try:
                call()
            except ImportError as e:
                assert "pip install veltrano-transformer[dask]" in str(e), e
            else:
                raise AssertionError("no error")
    """
    subprocess.run([sys.executable, "-c", script], check=True, cwd=os.path.dirname(os.path.abspath(__file__)))
