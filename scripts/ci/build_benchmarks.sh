#!/usr/bin/env bash
# Compiles the C++ timing harnesses in bench/ (they are not run) so that they
# cannot rot. Reuses the release test build, so only the harnesses compile.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"
log "Compiling the C++ benchmarks"
cmake -S . -B build/test-release -DMARROWFIN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/test-release -j "$(nproc)" --target bench_backend_scan bench_rotation_generation \
  bench_streaming_read
