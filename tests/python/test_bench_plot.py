"""bench/plot_filtered.py reads filtered_bench.py results: labels, and a refusal of files it cannot plot."""
import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from plot_filtered import load  # noqa: E402


def write(tmp_path, rows):
    path = tmp_path / "results.json"
    path.write_text(json.dumps({"rows": rows}))
    return path


def test_rows_keyed_by_filter_with_the_label_given_or_the_file_name(tmp_path):
    row = {"kind": "random", "target": 0.01, "label": "bucket lt 10",
           "alternated_ratios": [1.2, 1.4], "alternated_ratio_median": 1.3}
    path = write(tmp_path, [row])
    label, rows = load(f"{path}:raw vectors")
    assert label == "raw vectors" and rows[("random", 0.01)]["alternated_ratio_median"] == 1.3
    assert load(str(path))[0] == "results"


def test_results_without_alternated_rounds_are_refused_by_filter(tmp_path):
    path = write(tmp_path, [{"kind": "category", "target": 0.1, "label": "noun.artifact"}])
    with pytest.raises(SystemExit, match="noun.artifact"):
        load(str(path))
