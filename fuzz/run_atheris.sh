#!/usr/bin/env bash
# Coverage-guided fuzzing from Python with atheris, of two targets:
#   blob        CompressedVector.from_bytes, then decompress (fuzz/atheris/blob_target.py)
#   corpus_ops  operation sequences on a Corpus against a model (fuzz/atheris/corpus_ops_target.py)
#
#   fuzz/run_atheris.sh [SECONDS_PER_TARGET] [TARGET...]      (default 300 s, both targets)
#
# The extension is built with clang, -fsanitize=address,undefined,fuzzer-no-link,
# so libFuzzer sees the native code's edges (atheris alone instruments only
# Python); atheris's asan_with_fuzzer.so is preloaded to provide both runtimes.
# Each run starts from the kept corpus fuzz/corpus/atheris_<target>/ and, at
# the end, merges what it found back into it, minimised (-merge=1), so the kept
# corpus stays small. Crash reproducers land in fuzz/work/atheris-artifacts/.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
source "$root/scripts/common.sh"
seconds="${1:-300}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(blob corpus_ops)

command -v clang++ >/dev/null 2>&1 || ensure_debian_packages clang
venv="$root/build/venv-fuzz"
make_venv "$venv" "$(find_python 3.12)" "numpy>=1.26,<2" atheris "${BUILD_REQUIREMENTS[@]}"

# clang before 16 rejects __builtin_cpu_supports("f16c"): a forced include
# answers it from CPUID instead. The preloaded runtime has no C++ part of
# UBSan, so its vptr check stays off.
build="$root/build/fuzz-ext"
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWFIN_BUILD_MODULE=ON -DPython_EXECUTABLE="$venv/bin/python" \
  -DCMAKE_CXX_FLAGS="-include $here/atheris/clang_cpu_supports.h -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build "$build" -j "$(nproc)" --target _core >/dev/null
site="$build/site"
rm -rf "$site" && mkdir -p "$site/marrowfin_rs"
cp "$root"/python/marrowfin_rs/*.py "$build"/_core*.so "$site/marrowfin_rs/"

work="$here/work"
mkdir -p "$work/atheris-artifacts"
clang -shared -fPIC -O1 -o "$build/missing_runtime.so" "$here/atheris/missing_runtime.c"
runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so $build/missing_runtime.so"
# libFuzzer's merge runs the target again by its own path: the targets are
# executable and find this venv's python3 first on PATH.
export PATH="$venv/bin:$PATH" PYTHONPATH="$site" PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  kept="$here/corpus/atheris_$target"
  scratch="$work/atheris_$target"
  mkdir -p "$kept" "$scratch"
  [ -n "$(ls -A "$kept")" ] || LD_PRELOAD="$runtime" "$here/atheris/${target}_target.py" --seeds "$kept"
  log "atheris: $target for $seconds s"
  LD_PRELOAD="$runtime" "$here/atheris/${target}_target.py" "$scratch" "$kept" \
    -max_total_time="$seconds" -max_len=2048 -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/atheris-artifacts/$target-"
  # Keep only what adds an edge (hit counts aside), in as few files as cover them.
  merged="$work/atheris_${target}_merged"
  rm -rf "$merged" && mkdir -p "$merged"
  LD_PRELOAD="$runtime" "$here/atheris/${target}_target.py" -merge=1 -use_counters=0 "$merged" "$kept" "$scratch" \
    2>&1 | tail -n 2
  rm -rf "$kept" && mv "$merged" "$kept"
  echo "kept corpus: $(ls "$kept" | wc -l) files in $kept"
done
