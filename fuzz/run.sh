#!/usr/bin/env bash
# Builds the compressed-vector reader fuzz target with clang (libFuzzer +
# ASan + UBSan) and runs it for SECONDS seconds (default 600) on a working
# copy of the committed seed corpus under fuzz/work/ (git-ignored).
#
#   fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
#
# Crash, leak and timeout reproducers land in fuzz/work/artifacts/; replay one
# with fuzz/work/unpack_fuzzer <file>. New inputs worth keeping can be
# minimised into the seed corpus with
#   fuzz/work/unpack_fuzzer -merge=1 fuzz/corpus/unpack fuzz/work/corpus
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
seconds="${1:-600}"
shift || true

if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found; installing clang" >&2
  apt-get update -qq && apt-get install -y -qq clang >/dev/null
fi

work="$here/work"
mkdir -p "$work/corpus" "$work/artifacts"

sources=(
  "$here/unpack_fuzzer.cpp"
  "$root"/src/io/compressed_vector/*.cpp
  "$root/src/core/codec/codec_error.cpp"
  "$root/src/core/codec/compressed_vector.cpp"
)
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Wall -Wextra -Wpedantic -I "$root/src" \
  "${sources[@]}" -o "$work/unpack_fuzzer"

# Work on a copy so the committed seeds stay small and reviewed.
cp -n "$here"/corpus/unpack/* "$work/corpus/" 2>/dev/null || true

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$work/unpack_fuzzer" "$work/corpus" \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@"
