# Shared by the demo and test scripts: finding interpreters, building the one
# abi3 wheel and preparing virtual environments. Source it; don't run it.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_ROOT="$REPO_ROOT/build"

log() { printf '\n==> %s\n' "$*"; }

# Prints the newest working interpreter for a minor version such as 3.12:
# pyenv's installs first, then whatever is on PATH or in the usual places.
find_python() {
  local version="$1" root candidate
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  for candidate in $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r) \
                   "/usr/local/bin/python$version" "/usr/bin/python$version" \
                   "$(command -v "python$version" 2>/dev/null || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] && "$candidate" -c 'import sys, venv' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  echo "error: no working Python $version found (looked in pyenv and on PATH)" >&2
  return 1
}

# Installs Debian packages that are missing (the scripts run as root on CI).
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "Installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# make_venv DIR PYTHON PIP_REQUIREMENTS... : creates DIR once and installs the requirements.
make_venv() {
  local dir="$1" python="$2"
  shift 2
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# Builds the cp312-abi3 wheel with the given venv's interpreter and prints its path.
build_wheel() {
  local venv="$1" dist="$BUILD_ROOT/dist"
  rm -rf "$dist"
  MARROWFIN_WERROR="${MARROWFIN_WERROR:-OFF}" "$venv/bin/python" -m pip wheel -q --disable-pip-version-check \
    --no-build-isolation --no-deps -w "$dist" "$REPO_ROOT" >&2
  ls "$dist"/marrowfin_rs-*-cp312-abi3-*.whl
}

BUILD_REQUIREMENTS=("scikit-build-core>=0.11" "cmake>=3.26" ninja)
