"""The typed example (which CI also checks with mypy --strict) runs and finds
what it should."""

import pathlib
import subprocess
import sys

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "typed_usage.py"


def test_typed_example_runs():
    run = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "fruit: 5 documents of dimension 8"
    assert lines[1].startswith("['1.000 green pear'")
    assert lines[2].startswith("['") and lines[2].endswith(" red cherry']") and lines[2].count("'") == 2, lines[2]
    assert lines[3] == "[['1.000 red apple'], ['1.000 green pear']]"
