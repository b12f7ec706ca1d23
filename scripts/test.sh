#!/usr/bin/env bash
# Installs what the tests need and runs every test: the core suite (release
# and sanitizer builds) through CTest; the Python suite through pytest in the
# project's own virtual environment (build/venv-test, with NumPy, mypy and the
# CPU build of PyTorch); the README's main command, exactly as the README
# prints it, in a fresh virtual environment; and the wheel build with its
# smoke test (scripts/wheel.sh).
#
#   bash scripts/test.sh [core] [sanitize] [python] [readme] [wheel]
#
# runs only the named stages (all of them when none is named). PYTHON picks
# the interpreter (default python3), KIVO_TEST_VENV the test environment's
# directory (default build/venv-test).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(core sanitize python readme wheel)
for stage in "${stages[@]}"; do
  case "$stage" in core | sanitize | python | readme | wheel) ;; *) kivo_fail "unknown stage '$stage'" ;; esac
done
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }

jobs=$(nproc 2>/dev/null || echo 2)
python=${PYTHON:-python3}

# Cheap and first: no file under src/ may include a layer above its own.
echo "== include layers"
"$python" scripts/check_layers.py
if wants core || wants sanitize; then kivo_system_packages "$python" gtest; else kivo_system_packages "$python"; fi

if wants core; then
  echo "== core tests (release)"
  cmake -S . -B build/test-release -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=ON >/dev/null
  cmake --build build/test-release -j "$jobs"
  ctest --test-dir build/test-release --output-on-failure -j "$jobs"
fi

if wants sanitize; then
  echo "== core tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake -S . -B build/test-asan -DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=ON -DKIVO_BUILD_TESTS=ON >/dev/null
  cmake --build build/test-asan -j "$jobs"
  ctest --test-dir build/test-asan --output-on-failure -j "$jobs"
fi

if wants python; then
  venv=${KIVO_TEST_VENV:-build/venv-test}
  echo "== Python module tests (virtual environment $venv)"
  kivo_venv "$venv" "$python"
  kivo_pip_install "$venv/bin/python" ".[test]"
  "$venv/bin/python" -m pytest -q
fi

if wants readme; then
  # The README's two commands are the two fenced blocks of its section
  # "The two commands": the first installs and runs the quickstart.
  commands=$(awk '/^## /{section = ($0 == "## The two commands")} section && /^```/{inside = !inside; next} section && inside' README.md)
  main_command=$(printf '%s\n' "$commands" | sed -n 1p)
  test_command=$(printf '%s\n' "$commands" | sed -n 2p)
  [ "$(printf '%s\n' "$commands" | wc -l)" = 2 ] && [ "$test_command" = "bash scripts/test.sh" ] ||
    kivo_fail "README.md's section 'The two commands' must hold two one-line commands, the second 'bash scripts/test.sh'; found:" "$commands"
  fresh=$(mktemp -d)
  trap 'rm -rf "$fresh"' EXIT
  echo "== README main command in a fresh virtual environment: $main_command"
  "$python" -m venv "$fresh/venv"
  (
    export VIRTUAL_ENV=$fresh/venv PATH=$fresh/venv/bin:$PATH
    unset PYTHONPATH PYTHONHOME PYTHON
    bash -c "$main_command"
  ) || kivo_fail "the README's main command failed in a fresh virtual environment: $main_command"
fi

if wants wheel; then
  bash scripts/wheel.sh
fi
