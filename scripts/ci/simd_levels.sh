#!/usr/bin/env bash
# Prints the SIMD levels this machine's CPU reports, comma-separated, in the
# names the core tests use (MARROWFIN_REQUIRED_SIMD_LEVELS): a test that skips
# one of them then fails instead. Read from /proc/cpuinfo, independently of
# the library's own detection.
set -euo pipefail
flags=" $(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "
has() { for flag in "$@"; do [[ "$flags" == *" $flag "* ]] || return 1; done; }
levels="scalar"
has avx2 f16c && levels+=",avx2"
has avx2 f16c avx512f avx512dq avx512vl && levels+=",avx512"
echo "$levels"
