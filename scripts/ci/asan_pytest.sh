#!/usr/bin/env bash
# The Python suite once more, against the extension built with AddressSanitizer
# and UndefinedBehaviorSanitizer (MARROWFIN_SANITIZE), leaks checked for the
# extension's own allocations (suppressions: scripts/ci/lsan.supp).
#
# The extension is built in build/test-sanitize, where scripts/test.sh has
# already built the sanitized core, so only the Python layer compiles here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"

python="${MARROWFIN_PYTHON:-build/venv-py312/bin/python}"
build="${MARROWFIN_SANITIZE_BUILD:-build/test-sanitize}"
log "Python suite under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWFIN_BUILD_TESTS=ON -DMARROWFIN_WERROR=ON \
      -DMARROWFIN_SANITIZE=ON -DMARROWFIN_BUILD_MODULE=ON -DPython_EXECUTABLE="$REPO_ROOT/$python" >/dev/null
cmake --build "$build" -j "$(nproc)" --target _core
site="$build/site"
rm -rf "$site" && mkdir -p "$site/marrowfin_rs"
cp python/marrowfin_rs/* "$build"/_core*.so "$site/marrowfin_rs/"

export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc PYTHONPATH="$REPO_ROOT/$site"
# Two frames per allocation stack: what lsan.supp needs to tell whose block leaked.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:malloc_context_size=2"
export LSAN_OPTIONS="suppressions=$REPO_ROOT/scripts/ci/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
"$python" -c "import marrowfin_rs._core as c; assert c.__file__.startswith('$REPO_ROOT/$site'), c.__file__"
# The Ctrl-C timing test measures wall time, which the sanitizers stretch.
"$python" -m pytest -q -p no:cacheprovider tests/python --ignore=tests/python/test_interrupt.py "$@"
