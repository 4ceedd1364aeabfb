"""The sequence pipeline's round trip from the command line, on CSV files."""
import pandas as pd
import pytest

from test_sequences import entities_frame
from veltrano.transformer.cli import main


def test_tables_then_rebuild_on_csv(tmp_path, capsys):
    real = entities_frame(11, tz=None)
    real.to_csv(tmp_path / "visits.csv", index=False)
    assert main(["tables", str(tmp_path / "visits.csv"), "--id", "patient", "--time", "visit",
                 "--cast-time", "visit"]) == 0
    assert "time unit: h" in capsys.readouterr().out
    stem = str(tmp_path / "visits")
    entities, steps = pd.read_csv(stem + ".entities.csv"), pd.read_csv(stem + ".steps.csv")
    entities.sample(frac=1.5, replace=True, random_state=0).to_csv(tmp_path / "e.csv", index=False)
    steps.sample(frac=1.5, replace=True, random_state=1).to_csv(tmp_path / "s.csv", index=False)
    assert main(["rebuild", stem + ".sequences.pkl", str(tmp_path / "e.csv"), str(tmp_path / "s.csv"),
                 "--counts", "5=3,2=4", "--out", str(tmp_path / "out.csv")]) == 0
    rebuilt = pd.read_csv(tmp_path / "out.csv")
    assert rebuilt.groupby("patient", sort=False).size().tolist() == [5] * 3 + [2] * 4
    assert list(rebuilt.columns) == list(real.columns)


@pytest.mark.parametrize("argv, words", [
    (["rebuild", "nope.pkl", "e.csv", "s.csv"], "no such file: nope.pkl"),
    (["tables", "visits.csv", "--id", "patient", "--time", "visit"], "time column 'visit' must hold"),
])
def test_errors_end_in_one_line(tmp_path, monkeypatch, capsys, argv, words):
    monkeypatch.chdir(tmp_path)
    entities_frame(12).to_csv("visits.csv", index=False)
    assert main(argv) == 1
    assert words in capsys.readouterr().err
