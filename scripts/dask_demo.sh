#!/usr/bin/env bash
# Scaling out: builds the wheel into a Python 3.12 virtual environment with the dask extra and Zarr, then runs
# demo/dask_demo.py (a LocalCluster of two worker processes by default; pass --scheduler ADDRESS for a running
# cluster, --rows N for another size; --help lists the options).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_ROOT"

ensure_debian_packages cmake g++
PY312="$(find_python 3.12)"
log "Preparing build/venv-dask with $PY312"
make_venv build/venv-dask "$PY312" "numpy>=1.26" "${BUILD_REQUIREMENTS[@]}"
log "Building and installing the wheel with the dask extra and Zarr"
WHEEL="$(build_wheel build/venv-dask)"
build/venv-dask/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
build/venv-dask/bin/python -m pip install -q --disable-pip-version-check "${WHEEL}[dask]" "zarr>=2.18"
log "Running demo/dask_demo.py"
exec build/venv-dask/bin/python demo/dask_demo.py "$@"
