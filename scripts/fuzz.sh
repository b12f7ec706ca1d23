#!/usr/bin/env bash
# Builds the loader fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time on the seed
# corpus and the reproducers.
#   scripts/fuzz.sh [seconds]         default 600
#   scripts/fuzz.sh --make-corpus     rewrite fuzz/corpus from the current writer
# Findings (crashes, leaks, timeouts, allocations above the limit) are written
# to build/fuzz/artifacts/; add them to fuzz/reproducers once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang 19: the first Debian clang whose __cpp_concepts lets libstdc++ 12
# declare std::expected (clang 14 to 16 leave <expected> empty).
CLANG_VERSION=19
CXX_BIN="clang++-${CLANG_VERSION}"
export DEBIAN_FRONTEND=noninteractive
if ! command -v "$CXX_BIN" >/dev/null 2>&1 ||
   ! ls /usr/lib/llvm-${CLANG_VERSION}/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "== installing clang-${CLANG_VERSION} and its runtime libraries"
  apt-get update -qq
  apt-get install -y -qq "clang-${CLANG_VERSION}" "libclang-rt-${CLANG_VERSION}-dev"
fi

build=build/fuzz
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CXX_BIN" \
  -DKIVO_BUILD_FUZZ=ON -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j 2 --target kivo_fuzz_load kivo_make_corpus

if [ "${1:-}" = "--make-corpus" ]; then
  rm -f fuzz/corpus/*.kivo
  "$build/fuzz/kivo_make_corpus" fuzz/corpus
  exit 0
fi

seconds=${1:-600}
work="$build/corpus-work"
mkdir -p "$work" "$build/artifacts"
# New inputs go to the first directory only, so fuzz/ stays as committed.
"$build/fuzz/kivo_fuzz_load" "$work" fuzz/corpus fuzz/reproducers \
  -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=20 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/artifacts/"
