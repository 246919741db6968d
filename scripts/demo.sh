#!/usr/bin/env bash
# The main job: builds and installs the Python package, then runs the search demo
# over WordNet glosses (examples/demo.py; arguments are passed on, see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
  -Cbuild-dir=build/python .
python3 examples/demo.py --data-dir demo-data "$@"
