import os
import sys

# Helpers such as model.py sit beside the tests; the repository root stays off
# sys.path so the installed extension is imported, not the bare source package.
_TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if _TESTS_DIR not in sys.path:
    sys.path.insert(0, _TESTS_DIR)


def pytest_configure(config):
    # pandas' own deprecation and chained-assignment warnings, where this pandas
    # has them (Pandas4Warning is a DeprecationWarning, Pandas5Warning a
    # pending one, ChainedAssignmentError a plain Warning).
    import pandas as pd
    for name in ("Pandas4Warning", "Pandas5Warning", "ChainedAssignmentError"):
        if hasattr(pd.errors, name):
            config.addinivalue_line("filterwarnings", "error::pandas.errors." + name)
