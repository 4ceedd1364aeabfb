#!/usr/bin/env bash
# Runs the random-input tests for SECONDS (default 600) against the
# sanitizer build of scripts/sanitize.sh, drawing fresh examples until the
# time is spent, and prints how many examples each test ran.
# Usage: scripts/fuzz.sh [SECONDS] [extra pytest arguments]
set -euo pipefail
seconds=${1:-600}
shift || true
export FUZZ_SECONDS="$seconds"
exec "$(dirname "${BASH_SOURCE[0]}")/sanitize.sh" test_fuzz.py -s -p no:randomly "$@"
