#!/usr/bin/env bash
# Builds the extension into a Python 3.12 virtual environment and runs the demo:
# compress, decompress, store and search realistic embeddings, print the
# trade-off table of every setting and draw it into build/demo/tradeoff.png.
#
# Arguments are passed to demo/demo.py (e.g. --count 10000).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_ROOT"

ensure_debian_packages cmake g++
PY312="$(find_python 3.12)"
log "Preparing build/venv-demo with $PY312 (NumPy, matplotlib)"
make_venv build/venv-demo "$PY312" "numpy>=1.26" matplotlib
log "Building the wheel (compiled objects in build/wheel are reused)"
WHEEL="$(build_wheel)"
install_wheel build/venv-demo "$WHEEL"
log "Running demo/demo.py"
exec build/venv-demo/bin/python demo/demo.py "$@"
