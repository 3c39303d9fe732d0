#!/usr/bin/env bash
# Leak loops over every operation of the module (success and error paths):
# argument reference counts, malloc'd bytes and resident memory stay flat.
# Uses the release wheel installed in build/venv-py312 by scripts/test.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"
log "Leak loops over every operation"
"${MARROWFIN_PYTHON:-build/venv-py312/bin/python}" -m pytest -q -p no:cacheprovider tests/reliability/test_leaks.py
