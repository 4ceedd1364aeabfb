import os
import sys

# Helpers such as model.py sit beside the tests; the repository root stays off
# sys.path so the installed extension is imported, not the bare source package.
_TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if _TESTS_DIR not in sys.path:
    sys.path.insert(0, _TESTS_DIR)
