#!/usr/bin/env bash
# Tests of marrowfin_rs.dask on a two-process LocalCluster, in the test environments of Python 3.12 (NumPy 1.26)
# and 3.13 (NumPy 2.x) that scripts/test.sh prepared with the wheel installed. Installs the dask extra into them,
# keeping each environment's NumPy.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"

for tag in py312 py313; do
  python="build/venv-$tag/bin/python"
  numpy_version="$("$python" -c 'import numpy; print(numpy.__version__)')"
  log "marrowfin_rs.dask tests on $("$python" -c 'import sys; print(sys.version.split()[0])') with NumPy $numpy_version"
  "$python" -m pip install -q --disable-pip-version-check "dask[array,distributed]>=2024.8.0" "numpy==$numpy_version"
  "$python" -m pytest -q -p no:cacheprovider tests/dask
done
