#!/usr/bin/env bash
# Checks the type stubs against the installed wheel with mypy's stubtest (no
# allow-list: every difference between stubs and runtime fails), then
# type-checks the demo with mypy --strict against those stubs.
#
# Usage: scripts/ci/typing.sh VENV   (a venv with the wheel and NumPy installed)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
VENV="$1"
cd "$REPO_ROOT"

log "Type stubs: stubtest against the installed wheel, mypy --strict over the demo"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check mypy
"$VENV/bin/python" -m mypy.stubtest marrowfin_rs
"$VENV/bin/python" -m mypy --strict --cache-dir "$BUILD_ROOT/mypy-cache" demo/demo.py
