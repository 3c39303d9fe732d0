#!/usr/bin/env bash
# Scaling out: installs the wheel with the dask extra and Zarr into a Python 3.12 virtual environment, then runs
# demo/dask_demo.py (a LocalCluster of two worker processes by default; pass --scheduler ADDRESS for a running
# cluster, --rows N for another size; --help lists the options).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_ROOT"

ensure_debian_packages cmake g++
PY312="$(find_python 3.12)"
log "Preparing build/venv-dask with $PY312 (NumPy, Dask, Zarr)"
make_venv build/venv-dask "$PY312" "numpy>=1.26" "dask[array,distributed]>=2024.8.0" "zarr>=2.18"
log "Building the wheel (compiled objects in build/wheel are reused)"
WHEEL="$(build_wheel)"
install_wheel build/venv-dask "$WHEEL"
log "Running demo/dask_demo.py"
exec build/venv-dask/bin/python demo/dask_demo.py "$@"
