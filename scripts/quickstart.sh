#!/usr/bin/env bash
# Installs kivo with NumPy (the quickstart measures recall against exact NumPy
# search) and runs examples/quickstart.py. Inside an active virtual
# environment it installs there; otherwise it creates .venv in the checkout
# (Debian's Python refuses installs outside one) and installs there. Missing
# system packages (compiler, CMake, Python headers, venv) are installed with
# apt-get when possible, or named.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

python=${PYTHON:-python3}
kivo_system_packages "$python"
if ! "$python" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  kivo_venv .venv "$python"
  python=.venv/bin/python
  echo "== installing into $(pwd)/.venv (activate it with: . .venv/bin/activate)"
fi

echo "== building and installing kivo (C++; about a minute on two cores)"
kivo_pip_install "$python" ".[numpy]"
echo "== examples/quickstart.py"
"$python" examples/quickstart.py
