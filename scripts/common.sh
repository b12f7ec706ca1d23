# Helpers shared by the project's scripts (sourced, not run): the system
# packages a build needs, virtual environments, and pip installs that show
# the C++ build's progress.

# kivo_fail MESSAGE...: explains on stderr and stops the script.
kivo_fail() {
  printf 'error: %s\n' "$@" >&2
  exit 1
}

# kivo_cmake_ok: true when `cmake` is at least the version CMakeLists.txt needs.
kivo_cmake_ok() {
  local version
  version=$(cmake --version 2>/dev/null | sed -n '1s/[^0-9]*\([0-9][0-9]*\.[0-9][0-9]*\).*/\1/p')
  [ -n "$version" ] || return 1
  [ "$(printf '%s\n3.24\n' "$version" | sort -V | head -n 1)" = 3.24 ]
}

# kivo_python_package NAME PYTHON: the Debian package that provides NAME
# ("venv" or "dev") for PYTHON, or nothing when PYTHON is not Debian's.
kivo_python_package() {
  local kind=$1 python=$2 path version
  path=$(command -v "$python" 2>/dev/null) || return 0
  path=$(readlink -f "$path")
  case "$path" in
    /usr/bin/python3*) ;;
    *) return 0 ;;
  esac
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [ "$kind" = venv ]; then echo "python$version-venv"; else echo "libpython$version-dev"; fi
}

# kivo_system_packages PYTHON [gtest]: makes sure a C++ compiler, CMake, the
# Python headers and the venv module of PYTHON (and GoogleTest when asked)
# are present. Missing ones are installed with apt-get when this runs as root
# (or with password-less sudo); otherwise the script stops and says what to
# install.
kivo_system_packages() {
  local python=$1 want_gtest=${2:-}
  local need=() other=() pkg
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  kivo_cmake_ok || need+=(cmake)
  if [ "$want_gtest" = gtest ] && [ ! -f /usr/include/gtest/gtest.h ]; then need+=(libgtest-dev); fi
  command -v "$python" >/dev/null 2>&1 || kivo_fail "no '$python' on PATH: install Python 3.9 or later (Debian: apt-get install python3)"
  if ! "$python" -c 'import ensurepip, venv' >/dev/null 2>&1; then
    pkg=$(kivo_python_package venv "$python")
    if [ -n "$pkg" ]; then need+=("$pkg"); else other+=("the venv module with ensurepip for $python"); fi
  fi
  if ! "$python" -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1; then
    pkg=$(kivo_python_package dev "$python")
    if [ -n "$pkg" ]; then need+=("$pkg"); else other+=("the C headers of $python (Python.h)"); fi
  fi
  [ ${#other[@]} -eq 0 ] || kivo_fail "missing: ${other[*]}; install them for this interpreter (or set PYTHON to another one) and run again"
  [ ${#need[@]} -gt 0 ] || return 0

  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then sudo=(sudo); else sudo=(none); fi
  fi
  if ! command -v apt-get >/dev/null 2>&1 || [ "${sudo[*]}" = none ]; then
    kivo_fail "these system packages are missing: ${need[*]}" \
      "install them (Debian/Ubuntu: sudo apt-get install ${need[*]}; other systems: your package manager's equivalents) and run this script again"
  fi
  echo "== installing system packages: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! { "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq "${need[@]}"; }; then
    kivo_fail "apt-get could not install ${need[*]} (see its output above)" \
      "install them by hand and run this script again"
  fi
  kivo_cmake_ok || kivo_fail "CMake 3.24 or later is needed, found: $(cmake --version 2>/dev/null | head -n 1)" \
    "install a newer one (for example: pip install cmake) and run again"
}

# kivo_venv DIR PYTHON: creates the virtual environment DIR with PYTHON
# unless it exists; prints nothing on success.
kivo_venv() {
  local dir=$1 python=$2
  [ -x "$dir/bin/python" ] && return 0
  "$python" -m venv "$dir" || kivo_fail "could not create the virtual environment $dir with $python"
}

# kivo_pip_install PYTHON ARGS...: pip install ARGS with PYTHON, printing the
# C++ build's steps as it goes (pip hides them otherwise) and pip's full log
# when it fails.
kivo_pip_install() {
  local python=$1
  shift
  local log status=0
  log=$(mktemp)
  "$python" -m pip install -v --disable-pip-version-check "$@" </dev/null 2>&1 | tee "$log" |
    { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] |^\*\*\* |^Successfully installed' || true; } || status=$?
  if [ "$status" != 0 ]; then
    cat "$log" >&2
    rm -f "$log"
    kivo_fail "pip install $* failed (its log is above)"
  fi
  rm -f "$log"
}
