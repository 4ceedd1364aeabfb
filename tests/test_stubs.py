"""The shipped type stubs describe the class well enough for mypy --strict."""
import os
import subprocess
import sys

import pytest

import veltrano.transformer.timeseries as ts

EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "typed_usage.py")


def test_stubs_are_installed_and_match_the_class():
    folder = os.path.dirname(ts.__file__)
    assert os.path.exists(os.path.join(folder, "timeseries.pyi")) and os.path.exists(os.path.join(folder, "py.typed"))
    with open(os.path.join(folder, "timeseries.pyi")) as f:
        stub = f.read()
    for name in vars(ts.TimeseriesDifferenceTransformer):
        if not name.startswith("__") or name == "__init__":
            assert "def %s(" % name in stub


def test_typed_example_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", str(tmp_path), EXAMPLE], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
