#!/usr/bin/env bash
# Runs every test of the project on a fresh machine (after a check that the
# C/C++ sources are clang-formatted):
#   1. one release build that makes the cp312-abi3 manylinux wheel, the C++
#      core tests (GoogleTest through ctest; warnings as errors; every SIMD
#      level the CPU has must run) and the C++ benchmarks;
#   2. the C++ tests, plus a replay of the fuzz corpus, under AddressSanitizer
#      and UndefinedBehaviorSanitizer;
#   3. the wheel checked for fused multiply-adds, stable-ABI conformance, its
#      tag, licence and stubs, then tested with pytest on Python 3.12 with
#      NumPy 1.26 and on Python 3.13 with NumPy 2.x, the Dask layer on both,
#      its stubs checked against it (stubtest, mypy);
#   4. the reliability checks in scripts/ci/: leak loops, mutated blobs, an
#      eight-thread stress run, the atheris corpora, and the Python suite
#      against an ASan + UBSan build with leak checking.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_ROOT"

ensure_debian_packages cmake g++ libgtest-dev binutils
JOBS="$(nproc)"

# Every SIMD level this CPU has must run: a test that skips one fails instead.
export MARROWFIN_REQUIRED_SIMD_LEVELS="$(scripts/ci/simd_levels.sh)"

scripts/ci/check_format.sh

# One release build in build/wheel compiles the core once for the wheel, the
# C++ core tests and the C++ benchmarks (compiled so that they cannot rot).
log "Building the abi3 wheel, the C++ core tests and the C++ benchmarks"
WHEEL="$(MARROWFIN_BUILD_TESTS=ON MARROWFIN_BUILD_BENCHMARKS=ON build_wheel)"
echo "built $WHEEL"

log "C++ core tests"
ctest --test-dir build/wheel --output-on-failure -j "$JOBS"

log "C++ core tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/test-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWFIN_BUILD_TESTS=ON \
      -DMARROWFIN_WERROR=ON -DMARROWFIN_SANITIZE=ON >/dev/null
cmake --build build/test-sanitize -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/test-sanitize --output-on-failure -j "$JOBS"

PY312="$(find_python 3.12)"
PY313="$(find_python 3.13)"

log "Checking the wheel: stable ABI only, no fused multiply-add in the binary"
make_venv "$BUILD_VENV" "$PY312" abi3audit
"$BUILD_VENV/bin/abi3audit" --strict --report "$WHEEL" >/dev/null
rm -rf build/wheel-check && mkdir -p build/wheel-check
"$BUILD_VENV/bin/python" -m zipfile -e "$WHEEL" build/wheel-check
if objdump -d build/wheel-check/marrowfin_rs/_core.abi3.so | grep -q -E 'vfn?m(add|sub)[0-9]'; then
  echo "error: the extension contains fused multiply-add instructions" >&2
  exit 1
fi
scripts/ci/wheel_contents.sh "$WHEEL"

for pair in "py312 $PY312 numpy>=1.26,<2" "py313 $PY313 numpy>=2"; do
  read -r tag python numpy_req <<<"$pair"
  log "pytest on $("$python" -c 'import sys; print(sys.version.split()[0])') with $numpy_req"
  make_venv "build/venv-$tag" "$python" "$numpy_req" pytest
  install_wheel "build/venv-$tag" "$WHEEL"
  "build/venv-$tag/bin/python" -m pytest -q -p no:cacheprovider tests/python
done
./scripts/ci/dask.sh
scripts/ci/typing.sh build/venv-py312

scripts/ci/leaks.sh
scripts/ci/mutated_blobs.sh
scripts/ci/threads_stress.sh
scripts/ci/fuzz_replay.sh
scripts/ci/asan_pytest.sh

log "All tests passed"
