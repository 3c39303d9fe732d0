#!/usr/bin/env bash
# Eight threads mixing every operation on one Corpus and one BruteForceBackend
# for MARROWFIN_STRESS_SECONDS (default 15), checked against a serial NumPy
# reference. Uses the release wheel in build/venv-py312.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"
log "Eight-thread stress run against a serial reference"
"${MARROWFIN_PYTHON:-build/venv-py312/bin/python}" -m pytest -q -p no:cacheprovider -rxX \
  tests/reliability/test_threads_stress.py
