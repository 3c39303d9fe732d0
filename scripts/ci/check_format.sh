#!/usr/bin/env bash
# Fails when a C or C++ file under src/, tests/, bench/ or fuzz/ differs from
# what clang-format makes of it with the repository's .clang-format, and lists
# those files. Run `clang-format -i <file>` to fix one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cd "$REPO_ROOT"

ensure_debian_packages clang-format
log "Checking C/C++ formatting ($(clang-format --version))"

mapfile -t files < <(git ls-files -- 'src/*' 'tests/*' 'bench/*' 'fuzz/*' |
                     grep -E '\.(c|cc|cpp|cxx|h|hh|hpp|hxx)$')
unformatted=()
for file in "${files[@]}"; do
  if ! clang-format --style=file --dry-run --Werror "$file" >/dev/null 2>&1; then
    unformatted+=("$file")
  fi
done

if [ ${#unformatted[@]} -ne 0 ]; then
  printf 'not formatted (%d of %d files):\n' "${#unformatted[@]}" "${#files[@]}" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "all ${#files[@]} files formatted"
