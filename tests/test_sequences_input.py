"""SequenceTransformer refuses bad input with clear errors and leaves the
caller's frames as they were."""
import pandas as pd
import pytest

from test_sequences import entities_frame, resample
from veltrano.transformer.sequences import SequenceTransformer as ST

pytestmark = pytest.mark.filterwarnings("error")


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(id_column="nope", time_column="visit"), KeyError, "unknown column 'nope'"),
    (dict(id_column="patient", time_column="visit", columns=["lab", "gone"]), KeyError, "unknown column 'gone'"),
    (dict(id_column="patient", time_column="state"), TypeError, "time column 'state' must hold"),
    (dict(id_column="patient", time_column="visit", static_columns=["lab"]), ValueError, "'lab' changes within"),
    (dict(id_column="patient", time_column="visit", static_columns=["visit"]), ValueError, "cannot be static"),
    (dict(id_column="patient", time_column="visit", columns=["patient"]), ValueError, "id column"),
])
def test_fit_names_the_bad_option(kwargs, error, words):
    df = entities_frame(0)
    before = df.copy()
    with pytest.raises(error, match=words):
        ST(**kwargs).fit_transform(df)
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(time_unit="week"), ValueError, "time_unit must be one of"),
    (dict(random_state="seven"), TypeError, "random_state must be an int"),
    (dict(random_state=True), TypeError, "random_state must be an int"),
])
def test_constructor_checks_its_options(kwargs, error, words):
    with pytest.raises(error, match=words):
        ST("patient", "visit", **kwargs)
    with pytest.raises(TypeError):
        ST("patient", "visit", None)  # options are keyword-only


def test_frames_that_cannot_be_fitted():
    with pytest.raises(ValueError, match="empty"):
        ST("patient", "visit").fit(entities_frame(0).iloc[:0])
    with pytest.raises(TypeError, match="DataFrame"):
        ST("patient", "visit").fit({"patient": [1]})
    missing_id = entities_frame(0)
    missing_id.loc[3, "patient"] = None
    with pytest.raises(ValueError, match="id column 'patient' has missing values"):
        ST("patient", "visit").fit(missing_id)
    with pytest.raises(RuntimeError, match="not fitted"):
        ST("patient", "visit").transform(entities_frame(0))


@pytest.fixture(scope="module")
def fitted():
    st = ST("patient", "visit")
    entities, steps = st.fit_transform(entities_frame(1))
    return st, entities, steps


@pytest.mark.parametrize("break_it, error, words", [
    (lambda e, s: (e.drop(columns=["sex", "lab"]), s), ValueError, r"entities frame lacks the columns \['lab', 'sex'\]"),
    (lambda e, s: (e, s.drop(columns="state_to")), ValueError, r"steps frame lacks the columns \['state_to'\]"),
    (lambda e, s: (e.assign(lab="high"), s), TypeError, "column 'lab' of the entities frame holds string values"),
    (lambda e, s: (e, s.assign(lab_diff="up")), TypeError, "column 'lab_diff' of the steps frame holds string"),
    (lambda e, s: (e.iloc[:0], s), ValueError, "entities frame is empty"),
    (lambda e, s: (e, s.iloc[:0]), ValueError, "no steps to rebuild entities of 2 rows"),
    (lambda e, s: (e.assign(row_count=float("nan")), s), ValueError, "missing row counts"),
])
def test_synthetic_frames_that_cannot_be_rebuilt(fitted, break_it, error, words):
    st, entities, steps = fitted
    entities, steps = break_it(resample(entities, 0), resample(steps, 1))
    before = entities.copy(), steps.copy()
    with pytest.raises(error, match=words):
        st.reverse_transform(entities, steps)
    pd.testing.assert_frame_equal(entities, before[0])
    pd.testing.assert_frame_equal(steps, before[1])


@pytest.mark.parametrize("counts, error, words", [
    ({0: 2}, ValueError, "a row count must be at least 1"),
    ({3: -1}, ValueError, "a number of entities must be at least 0"),
    ({2.5: 1}, TypeError, "integer"),
    ([(3, 1)], TypeError, "counts must be a dict"),
])
def test_bad_requests(fitted, counts, error, words):
    st, entities, steps = fitted
    with pytest.raises(error, match=words):
        st.reverse_transform(entities, steps, counts)


def test_replay_needs_enough_steps(fitted):
    st, entities, steps = fitted
    with pytest.raises(ValueError, match="replaying needs"):
        st.reverse_transform(entities, steps.iloc[:-1], replay=True)
