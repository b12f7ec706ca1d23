#!/usr/bin/env bash
# Installs what the tests need and runs every test: the core suite (release
# and sanitizer builds) through CTest, then the Python suite through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
export DEBIAN_FRONTEND=noninteractive

# System packages: a C++ compiler, CMake and GoogleTest.
need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "== installing ${need_apt[*]}"
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}"
fi

echo "== core tests (release)"
cmake -S . -B build/test-release -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=ON >/dev/null
cmake --build build/test-release -j "$jobs"
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

echo "== core tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/test-asan -DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=ON -DKIVO_BUILD_TESTS=ON >/dev/null
cmake --build build/test-asan -j "$jobs"
ctest --test-dir build/test-asan --output-on-failure -j "$jobs"

if [ -f src/python/CMakeLists.txt ]; then
  echo "== Python module tests"
  python3 -m pip install -q ".[test,ray]"
  python3 -m pytest -q
fi
