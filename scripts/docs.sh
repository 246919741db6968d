#!/usr/bin/env bash
# Builds the documentation into build/docs/html with warnings as errors, against
# the wheel in dist/ (autodoc imports the module it documents).
#   scripts/docs.sh            (after scripts/build-wheel.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(scripts/tools-venv.sh)
tag=$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
"$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  dist/karvalith-*-"$tag"-*manylinux*.whl
rm -rf build/docs
"$venv/bin/python" -m sphinx -W --keep-going -q -b html docs build/docs/html
echo "documentation in build/docs/html/index.html"
