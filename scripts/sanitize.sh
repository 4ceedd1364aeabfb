#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the test suite under them on CPython 3.11 with the newest pandas 2.x.
# Extra arguments go to pytest (for example a single test file).
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
unset PYTHONPATH
export PIP_DISABLE_PIP_VERSION_CHECK=1

py="$(command -v python3.11 || command -v python3)"
venv="$REPO/.venv/sanitize"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --progress-bar off --upgrade "pandas>=2,<3" pytest hypothesis
VELTRANO_SANITIZE=1 VELTRANO_WERROR=1 "$venv/bin/python" -m pip install -q --progress-bar off --force-reinstall --no-deps .

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented: route its allocations through
# malloc so ASan sees them, and leave leak reports off (CPython keeps memory
# alive at exit on purpose). Any sanitizer report fails the run.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_odr_violation=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# From tests/, like the normal test run; arguments replace the default "."
cd "$REPO/tests"
[ $# -gt 0 ] || set -- .
LD_PRELOAD="$asan:$ubsan" "$venv/bin/pytest" -q -p no:cacheprovider --rootdir="$REPO" "$@"
