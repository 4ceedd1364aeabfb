#!/usr/bin/env bash
# Build the package with `pip install .` and run the test suite against it on
# each supported interpreter/pandas pair. Extra arguments go to pytest.
# Virtual environments live under .venv/ and are reused; the package itself is
# rebuilt and reinstalled on every run.
set -uo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"

# The source tree's veltrano/ has no compiled module; keep it off the path.
unset PYTHONPATH
# Compiler warnings fail the build.
export VELTRANO_WERROR=1
export PIP_DISABLE_PIP_VERSION_CHECK=1

failures=()
skips=()

log() { printf '==> %s\n' "$*"; }

# Print the path of an interpreter whose version is MAJOR.MINOR, or nothing.
find_python() {
    local want="$1" cand
    local -a cands=()
    if command -v pyenv >/dev/null 2>&1; then
        local root
        root="$(pyenv root 2>/dev/null || true)"
        if [ -n "$root" ]; then
            for cand in "$root"/versions/"$want".*/bin/python"$want"; do
                [ -x "$cand" ] && cands+=("$cand")
            done
        fi
    fi
    cands+=("python$want" python3)
    for cand in "${cands[@]}"; do
        command -v "$cand" >/dev/null 2>&1 || continue
        # pyenv shims exist for versions that are not active; make sure it runs.
        if "$cand" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$want' else 1)" \
            >/dev/null 2>&1; then
            command -v "$cand"
            return 0
        fi
    done
    return 1
}

# run_pair NAME PYTHON PANDAS_REQUIREMENT [EXTRAS]
# EXTRAS: the package extras to install (default: test); add dask where it
# installs (CPython 3.10+) so that the Dask route is tested there.
run_pair() {
    local name="$1" py="$2" pandas_req="$3" extras="${4:-test}"
    local venv="$REPO/.venv/$name"
    local t0 t1

    log "[$name] interpreter: $py ($("$py" -c 'import sys; print(sys.version.split()[0])'))"

    t0=$(date +%s)
    if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c 'import sys' >/dev/null 2>&1; then
        log "[$name] reusing $venv"
    else
        rm -rf "$venv"
        "$py" -m venv "$venv" || return 1
    fi
    t1=$(date +%s); log "[$name] venv ready in $((t1 - t0))s"

    t0=$(date +%s)
    # A local directory is always rebuilt and reinstalled by pip.
    "$venv/bin/python" -m pip install --progress-bar off --upgrade ".[$extras]" "$pandas_req" || return 1
    t1=$(date +%s); log "[$name] install done in $((t1 - t0))s"

    # Import from outside the tree (-I: no cwd, no PYTHON* env) and make sure
    # the compiled module comes from the venv, not the checkout.
    local mod_file
    mod_file="$(cd / && "$venv/bin/python" -I -c \
        'import veltrano.transformer.timeseries as m; print(m.__file__)')" || return 1
    case "$mod_file" in
        "$venv"/lib/python*/site-packages/*) log "[$name] module: $mod_file" ;;
        *) echo "ERROR: [$name] module imported from $mod_file, not from $venv" >&2; return 1 ;;
    esac
    "$venv/bin/python" -I -c \
        'import pandas, sys; print("==> [%s] python %s, pandas %s" % (sys.argv[1], sys.version.split()[0], pandas.__version__))' \
        "$name" || return 1

    t0=$(date +%s)
    # The pytest entry script, unlike `python -m pytest`, does not put the
    # current directory (the checkout) on sys.path.
    # Run from tests/ so that subprocesses started by the tests (python -c)
    # see the test helpers, never the checkout's veltrano/.
    (cd "$REPO/tests" && "$venv/bin/pytest" -q -p no:cacheprovider --rootdir="$REPO" . "${PYTEST_ARGS[@]}")
    local rc=$?
    t1=$(date +%s); log "[$name] pytest finished in $((t1 - t0))s (exit $rc)"
    return $rc
}

PYTEST_ARGS=("$@")

# Pair 1: current interpreter with the newest pandas 2.x.
if py311="$(find_python 3.11)"; then
    run_pair py311-pandas2 "$py311" 'pandas>=2,<3' test,dask || failures+=(py311-pandas2)
else
    echo "ERROR: no CPython 3.11 interpreter found" >&2
    failures+=(py311-pandas2)
fi

# Pair 2: oldest supported interpreter with the oldest supported pandas.
if py37="$(find_python 3.7)"; then
    run_pair py37-pandas135 "$py37" 'pandas==1.3.5' || failures+=(py37-pandas135)
else
    echo "SKIP: py37-pandas135: no CPython 3.7 interpreter found (looked in \$(pyenv root)/versions/3.7.* and for python3.7 on PATH)"
    skips+=(py37-pandas135)
fi

if [ ${#failures[@]} -gt 0 ]; then
    echo "FAILED pairs: ${failures[*]}" >&2
    exit 1
fi
log "all pairs passed${skips[*]:+ (skipped: ${skips[*]})}"
