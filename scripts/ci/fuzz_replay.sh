#!/usr/bin/env bash
# Replays the kept atheris corpora (fuzz/corpus/atheris_*) through their
# targets, without atheris, against the release wheel in build/venv-py312.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"
log "Replaying the atheris fuzz corpora"
python="${MARROWFIN_PYTHON:-build/venv-py312/bin/python}"
for target in blob corpus_ops; do
  "$python" "fuzz/atheris/${target}_target.py" --replay "fuzz/corpus/atheris_$target"
done
