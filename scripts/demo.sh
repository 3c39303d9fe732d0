#!/usr/bin/env bash
# Builds the extension into a Python 3.12 virtual environment and runs the demo:
# compress, decompress, store and search realistic embeddings.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_ROOT"

ensure_debian_packages cmake g++
PY312="$(find_python 3.12)"
log "Preparing build/venv-demo with $PY312"
make_venv build/venv-demo "$PY312" "numpy>=1.26" "${BUILD_REQUIREMENTS[@]}"
log "Building and installing the wheel"
WHEEL="$(build_wheel build/venv-demo)"
build/venv-demo/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
log "Running demo/demo.py"
exec build/venv-demo/bin/python demo/demo.py "$@"
