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

# run_pair NAME PYTHON "PIP REQUIREMENTS" [TEST FILES...]: no test files means
# the whole suite. Each pair also dumps the cross-pandas results to
# .venv/NAME/cross-pandas.jsonl for the comparison at the end.
run_pair() {
    local name="$1" py="$2" requirements="$3"
    shift 3
    local -a selection=("$@")
    [ ${#selection[@]} -gt 0 ] || selection=(.)
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
    local -a reqs
    read -ra reqs <<<"$requirements"
    "$venv/bin/python" -m pip install --progress-bar off --upgrade "${reqs[@]}" || return 1
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
        'import numpy, pandas, sys; print("==> [%s] python %s, pandas %s, numpy %s" % (sys.argv[1], sys.version.split()[0], pandas.__version__, numpy.__version__))' \
        "$name" || return 1

    t0=$(date +%s)
    # The pytest entry script, unlike `python -m pytest`, does not put the
    # current directory (the checkout) on sys.path.
    # Run from tests/ so that subprocesses started by the tests (python -c)
    # see the test helpers, never the checkout's veltrano/.
    (cd "$REPO/tests" && "$venv/bin/pytest" -q -p no:cacheprovider --rootdir="$REPO" "${selection[@]}" "${PYTEST_ARGS[@]}")
    local rc=$?
    t1=$(date +%s); log "[$name] pytest finished in $((t1 - t0))s (exit $rc)"
    rm -f "$venv/cross-pandas.jsonl"
    (cd "$REPO/tests" && "$venv/bin/python" -W error cross_pandas.py dump "$venv/cross-pandas.jsonl") || rc=1
    return $rc
}

PYTEST_ARGS=("$@")
# The smoke run: the worked examples, the native routes against the model on
# every text dtype and datetime unit, the interface (stubs included) and the command line.
SMOKE=(test_examples.py test_fast_paths.py test_interface.py test_cli.py)

# Each pair: NAME MAJOR.MINOR "PIP REQUIREMENTS" [TEST FILES...]; a missing
# interpreter skips its pair, except for the two current pandas versions.
# The reference: oldest interpreter with the oldest supported pandas.
pair_py37=(py37-pandas135 3.7 ".[test] pandas==1.3.5")
# The newest pandas 2.x, and the newest pandas 3.x with the newest numpy.
pair_py311=(py311-pandas2 3.11 ".[test-pandas2,dask]")
pair_py313=(py313-pandas3 3.13 ".[test-pandas3,dask] numpy")
# pandas 2.3 with the newest numpy on 3.12: a build and a smoke run.
pair_py312=(py312-pandas2 3.12 ".[test-pandas2] numpy" "${SMOKE[@]}")

passed_dumps=()
for pair in pair_py311 pair_py313 pair_py37 pair_py312; do
    declare -n pair_args="$pair"
    name="${pair_args[0]}" version="${pair_args[1]}"
    if py="$(find_python "$version")"; then
        if run_pair "$name" "$py" "${pair_args[2]}" "${pair_args[@]:3}"; then
            [ "$name" = py37-pandas135 ] || passed_dumps+=("$REPO/.venv/$name/cross-pandas.jsonl")
        else
            failures+=("$name")
        fi
    elif [ "$name" = py311-pandas2 ] || [ "$name" = py313-pandas3 ]; then
        echo "ERROR: no CPython $version interpreter found" >&2
        failures+=("$name")
    else
        echo "SKIP: $name: no CPython $version interpreter found (looked in \$(pyenv root)/versions/$version.* and for python$version on PATH)"
        skips+=("$name")
    fi
    unset -n pair_args
done

# The same seeded inputs must give the same results on pandas 2 and pandas 3.
if [ ${#passed_dumps[@]} -ge 2 ]; then
    log "comparing pandas 2 and pandas 3 results"
    "${passed_dumps[0]%/cross-pandas.jsonl}/bin/python" "$REPO/tests/cross_pandas.py" compare "${passed_dumps[@]}" ||
        failures+=(cross-pandas)
fi

if [ ${#failures[@]} -gt 0 ]; then
    echo "FAILED pairs: ${failures[*]}" >&2
    exit 1
fi
log "all pairs passed${skips[*]:+ (skipped: ${skips[*]})}"
