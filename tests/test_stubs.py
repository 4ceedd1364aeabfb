"""The shipped type stubs describe the classes well enough for mypy --strict."""
import importlib
import os
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")
MODULES = [("timeseries", "TimeseriesDifferenceTransformer", "typed_usage.py"),
           ("sequences", "SequenceTransformer", "typed_sequences.py")]


@pytest.mark.parametrize("module, cls, example", MODULES)
def test_stubs_are_installed_and_match_the_class(module, cls, example):
    mod = importlib.import_module("veltrano.transformer." + module)
    folder = os.path.dirname(mod.__file__)
    assert os.path.exists(os.path.join(folder, module + ".pyi")) and os.path.exists(os.path.join(folder, "py.typed"))
    with open(os.path.join(folder, module + ".pyi")) as f:
        stub = f.read()
    for name in vars(getattr(mod, cls)):
        if not name.startswith("__") or name == "__init__":
            assert "def %s(" % name in stub


@pytest.mark.parametrize("module, cls, example", MODULES)
def test_typed_example_passes_mypy_strict(tmp_path, module, cls, example):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", str(tmp_path), os.path.join(EXAMPLES, example)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
