#!/usr/bin/env bash
# Prints the path of build/venv-tools, a virtual environment that sees the
# system's packages (numpy, langchain-core, ray) and adds the documentation
# and type-checking tools of requirements-tools.txt, made on first use.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=build/venv-tools
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv --system-site-packages "$venv" >&2
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-tools.txt >&2
echo "$(pwd)/$venv"
