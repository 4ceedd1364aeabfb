"""The reports of SequenceTransformer: detection, privacy and the dynamics
rows of fidelity, on real tables and on small frames with known answers."""
import os
import sys

import numpy as np
import pandas as pd
import pytest

from veltrano.transformer.sequences import SequenceTransformer as ST

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import longitudinal  # noqa: E402


def real_table(name):
    try:
        return longitudinal.load(name)
    except longitudinal.DataUnavailable as exc:
        pytest.skip(str(exc))


def needs_sklearn():
    pytest.importorskip("sklearn", reason="scikit-learn (the report extra) is not installed")


def split(df, id_col, parts, seed=0):
    ids = df[id_col].unique()
    np.random.RandomState(seed).shuffle(ids)
    return [df[df[id_col].isin(p)].reset_index(drop=True) for p in np.array_split(ids, parts)]


def auc(table):
    return table.set_index("name").loc[["gradient boosting", "linear"], "value"]


def test_real_against_real_is_chance():
    needs_sklearn()
    df = real_table("covid")
    ds = longitudinal.DATASETS["covid"]
    st = ST(ds.id, ds.time).fit(df)
    a, b = split(df, ds.id, 2)
    table = st.detection(a, b, max_entities=3000, repeats=1)
    assert list(table.columns) == ["measure", "name", "value", "spread", "real", "rebuilt"]
    assert auc(table).between(0.45, 0.55).all(), table
    used = table[table.measure == "entities"].iloc[0]
    assert (used.value, used.real, used.rebuilt) == (3000, 3000, 3000)
    assert (table.measure == "importance").sum() == 10


@pytest.mark.parametrize("data", ["quinidine", "dietox"])
def test_steps_shuffled_across_entities_are_found(data):
    needs_sklearn()
    df = real_table(data)
    ds = longitudinal.DATASETS[data]
    st = ST(ds.id, ds.time).fit(df)
    a, b = split(df, ds.id, 2)
    entities, steps = st.transform(b)
    shuffled = st.reverse_transform(entities, steps.sample(frac=1, random_state=0), replay=True)
    table = st.detection(a, shuffled, repeats=1)
    assert auc(table).min() > 0.85, table
    assert np.isnan(table[table.measure == "entities"].value.iloc[0])


def test_privacy_tells_a_memorising_generator_from_one_that_never_saw_the_data():
    df = real_table("covid")
    ds = longitudinal.DATASETS["covid"]
    train, holdout, unseen = split(df, ds.id, 3)

    def bootstrap(data):
        st = ST(ds.id, ds.time)
        entities, steps = st.fit_transform(data)
        rebuilt = st.reverse_transform(longitudinal.Resampler(0).fit(entities).sample(len(entities)),
                                       longitudinal.Resampler(1).fit(steps).sample(len(steps)))
        return st, rebuilt

    st, memorised = bootstrap(train)
    seen = st.privacy(train, holdout, memorised).set_index("measure").value
    never = st.privacy(train, holdout, bootstrap(unseen)[1]).set_index("measure").value
    assert seen["DCR share"] > 0.6 and seen["exact copies"] > 0
    assert 0.44 < never["DCR share"] < 0.56 and never["exact copies"] == 0
    assert seen["train entities"] == seen["holdout entities"] == min(len(set(train[ds.id])), len(set(holdout[ds.id])))


def odd_frame(text_dtype, unit):
    """Datetimes of a coarse unit, text of the given dtype, gaps, a single-row entity."""
    times = pd.to_datetime(["2020-01-01", "2020-01-03", "2020-01-02", "2020-02-01", "2020-01-05", "2020-01-06",
                            "2020-01-09", "2020-01-07"])
    if unit != "ns":
        if int(pd.__version__.split(".")[0]) < 2:
            pytest.skip("pandas before 2 keeps datetimes in ns only")
        times = times.as_unit(unit)
    return pd.DataFrame({
        "id": ["a", "a", "a", "b", "c", "c", "c", "c"],
        "t": times,
        "x": [1.0, 4.0, 2.0, 7.0, np.nan, 3.0, 9.0, 5.0],
        "band": pd.array(["lo", "hi", "lo", "hi", "lo", None, "hi", "lo"], dtype=text_dtype),
        "sex": ["f", "f", "f", "m", "m", "m", "m", "m"],
    })


@pytest.mark.parametrize("text_dtype,unit", [("object", "ns"), ("string", "s"), ("str", "ms")])
def test_features_on_odd_frames(text_dtype, unit):
    if text_dtype == "str" and int(pd.__version__.split(".")[0]) < 3:
        pytest.skip("the str dtype is pandas 3's")
    real = odd_frame(text_dtype, unit)
    st = ST("id", "t", time_unit="D").fit(real)
    f = st._entity_features(real)
    assert list(f.index) == ["a", "b", "c"] and f.index.name == "id" and (f.dtypes == float).all()
    # Entity a in time order: x 1, 2, 4 on days 0, 1, 2; band lo, lo, hi.
    a = f.loc["a"]
    assert (a["rows"], a["t first"], a["t last"], a["x first"], a["x last"]) == (3, 0, 2, 1, 4)
    assert (a["x step mean"], a["band=lo share"], a["band changes"], a["sex=f"]) == (1.5, 2 / 3, 1, 1)
    # c: a missing x first, steps from the last observed value; b: one row, no steps.
    assert (f.loc["c", "x missing"], f.loc["c", "x first"], f.loc["c", "x step mean"]) == (0.25, 3, 3)
    assert np.isnan(f.loc["b", "x step mean"]) and f.loc["b", "t first"] == 31
    # The compatible class's layout: fresh ids as UNIQUE_ID, the synthetic ids carried along.
    compatible = real.assign(id=real["id"].iloc[::-1].to_numpy(), UNIQUE_ID=real["id"].map({"a": 1, "b": 2, "c": 3}))
    pd.testing.assert_frame_equal(st._entity_features(compatible).reset_index(drop=True), f.reset_index(drop=True))


def test_exact_copies_and_dynamics_rows():
    real = odd_frame("object", "ns")
    st = ST("id", "t").fit(real)
    assert st.privacy(real, real, real).set_index("measure").value["exact copies"] == 2  # b has one row
    changed = real.assign(x=real["x"].where(real.index != 7, 5.5))  # c's last value
    copy_row = st.privacy(real, real, changed).set_index("measure").value
    assert copy_row["exact copies"] == 1 and copy_row["DCR share"] == 0.5
    # In time order, real band: a lo lo hi, c lo None lo hi; rebuilt: a lo hi lo, c lo lo lo hi.
    rebuilt = real.assign(band=["lo", "lo", "hi", "hi", "lo", "lo", "hi", "lo"], x=[1.0, 2.0, 3.0, 7.0, 1, 2, 3, 4])
    table = st.fidelity(real, rebuilt).set_index(["measure", "column"])
    assert table.loc[("category change rate", "band")].tolist() == [0.8, 0.6]
    # From lo (4 of 5 real steps): real 1/4 lo, 2/4 hi, 1/4 None; rebuilt 2/4 lo, 2/4 hi. None: rebuilt never leaves it.
    assert table.loc[("transition TV distance", "band")].tolist() == pytest.approx([0, 4 / 5 * 0.25 + 1 / 5])
    # Rebuilt x steps: a 2, -1; c 1, 2, -1. Real ones (1, 2 and 2, 4) give two pairs only, too few.
    autocorrelation = table.loc[("step autocorrelation", "x")]
    assert np.isnan(autocorrelation.real) and autocorrelation.rebuilt == pytest.approx(-1.0)
    assert table.loc[("mean by category", "x by band=hi")].tolist() == [(4 + 7 + 9) / 3, (3 + 7 + 3) / 3]


@pytest.mark.parametrize("call,error,message", [
    (lambda st, f: st.privacy(f, f, f.drop(columns="t")), KeyError, "the rebuilt frame has no column 't'"),
    (lambda st, f: st.privacy(f, f.assign(x="high"), f), TypeError, "column 'x' of the holdout frame holds string"),
    (lambda st, f: st.privacy(f, f.iloc[:0], f), ValueError, "the holdout frame is empty"),
    (lambda st, f: st.privacy(f, f, f, max_entities=1), ValueError, "max_entities must be"),
    (lambda st, f: st.fidelity(f, f.assign(id=None)), ValueError, "the id column 'id' has missing values"),
], ids=["no time", "text for numbers", "empty", "cap", "missing ids"])
def test_bad_report_input_is_named(call, error, message):
    real = odd_frame("object", "ns")
    st = ST("id", "t").fit(real)
    before = real.copy()
    with pytest.raises(error, match=message):
        call(st, real)
    pd.testing.assert_frame_equal(real, before)


def test_detection_without_scikit_learn_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "sklearn", None)
    real = odd_frame("object", "ns")
    st = ST("id", "t").fit(real)
    with pytest.raises(ImportError, match=r"veltrano-transformer\[report\]"):
        st.detection(real, real)


def test_pictures_of_the_dynamics_and_trajectories(tmp_path):
    pytest.importorskip("matplotlib")
    from veltrano.transformer.plots import plot_fidelity, plot_trajectories

    real = odd_frame("object", "ns")
    st = ST("id", "t").fit(real)
    rebuilt = st.reverse_transform(*st.transform(real))
    table = st.fidelity(real, rebuilt)
    assert plot_fidelity({"rebuilt": table}, str(tmp_path / "f.png")) == str(tmp_path / "f.png")
    compatible = rebuilt.assign(UNIQUE_ID=rebuilt["id"], id=0)
    plot_trajectories(real, compatible, "x", id_column="id", time_column="t", n=2, path=str(tmp_path / "t.png"))
    assert (tmp_path / "f.png").stat().st_size > 0 and (tmp_path / "t.png").stat().st_size > 0
    with pytest.raises(KeyError, match="'y'"):
        plot_trajectories(real, rebuilt, "y", id_column="id", time_column="t")
