#!/usr/bin/env bash
# A million mutated to_bytes() blobs through CompressedVector.from_bytes, every
# parsed record decompressed. Uses the release wheel in build/venv-py312.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"
log "Mutated-blob parsing"
"${MARROWFIN_PYTHON:-build/venv-py312/bin/python}" -m pytest -q -p no:cacheprovider -s \
  tests/reliability/test_mutated_blobs.py
