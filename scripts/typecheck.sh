#!/usr/bin/env bash
# mypy --strict on the package (its modules and the extension's stub) and on a
# typed example of ordinary user code.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(scripts/tools-venv.sh)
# The sources, not an installed copy: the stub stands in for the extension.
export MYPYPATH=python
"$venv/bin/python" -m mypy --strict --no-incremental -p karvalith
"$venv/bin/python" -m mypy --strict --no-incremental examples/typed_usage.py
