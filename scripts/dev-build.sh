#!/usr/bin/env bash
# Quick developer build outside the source tree: builds the package into
# /tmp/vt-dev/NAME with the given interpreter and prints the directory to put
# on PYTHONPATH. Usage: scripts/dev-build.sh NAME [python]
set -euo pipefail
name=${1:?usage: dev-build.sh NAME [python]}
py=${2:-python3}
cd "$(dirname "$0")/.."
base=/tmp/vt-dev/$name
VELTRANO_WERROR=1 "$py" setup.py -q build --build-base "$base" >"$base.log" 2>&1 || { cat "$base.log"; exit 1; }
ls -d "$base"/lib.*
