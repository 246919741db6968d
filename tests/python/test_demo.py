"""Runs examples/demo.py once and checks what it prints."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
SECTIONS = (
    "Set-up",
    "Vector search (cosine similarity)",
    "Keyword search (BM25)",
    "Hybrid search (vector + keyword)",
    "Filtered vector search",
    "Delete, rebuild, collection info",
)
HIT = re.compile(r"^ {4}\s*\d+\. +(-?[\d.]+) +(\S+) +(\S+) ")


@pytest.fixture(scope="module")
def demo_output():
    run = subprocess.run(
        [sys.executable, str(DEMO), "--precomputed", "-k", "4", "--width", "160"],
        capture_output=True, text=True, timeout=180,
    )
    assert run.returncode == 0, run.stderr
    return run.stdout


def hit_blocks(output):
    """Query label -> list of (score, word, category) in printed order."""
    blocks, current = {}, None
    for line in output.splitlines():
        match = HIT.match(line)
        if match:
            blocks[current].append((float(match[1]), match[2], match[3]))
        elif line.startswith("  ") and not line.startswith("   ") and line.strip().startswith(("\"", "'")):
            current = line.strip()
            blocks[current] = []
    return blocks


def block(blocks, suffix):
    [label] = [label for label in blocks if label.endswith(suffix)]
    return blocks[label]


def test_every_section_runs_on_stored_embeddings(demo_output):
    for title in SECTIONS:
        assert f"\n{title}\n{'=' * len(title)}\n" in demo_output
    assert "stored embeddings" in demo_output
    assert "inserted 3000 documents" in demo_output
    blocks = hit_blocks(demo_output)
    assert len(blocks) >= 15
    for label, hits in blocks.items():
        scores = [score for score, _, _ in hits]
        assert scores == sorted(scores, reverse=True), label
    assert all(score >= 0.5 for score, _, _ in block(blocks, "with min_similarity 0.5"))
    for label, hits in blocks.items():
        if "reciprocal-rank fusion" in label:
            # printed with four decimals
            assert hits and all(score <= 2 / 61 + 5e-5 for score, _, _ in hits), label


def test_filters_restrict_the_hits(demo_output):
    blocks = hit_blocks(demo_output)
    checks = {
        "where category == noun.food": lambda cat: cat == "noun.food",
        "where pos in [verb]": lambda cat: cat.startswith("verb."),
        "where not category == noun.body": lambda cat: cat != "noun.body",
        "not category in [noun.food, noun.plant]":
            lambda cat: cat.startswith("noun.") and cat not in ("noun.food", "noun.plant"),
    }
    for suffix, allowed in checks.items():
        hits = block(blocks, suffix)
        assert len(hits) == 4, suffix
        assert all(allowed(category) for _, _, category in hits), (suffix, hits)


def test_delete_and_rebuild(demo_output):
    blocks = hit_blocks(demo_output)
    before = block(blocks, "before the delete")
    after = block(blocks, "after the delete")
    assert before[0] not in after
    assert before[1] in after  # the runner-up moves up
    assert "rebuild: 2999 live documents" in demo_output
    assert "after rebuild: 2999 documents" in demo_output
    rebuilt = block(blocks, "after the rebuild")
    assert before[0] not in rebuilt
    assert {word for _, word, _ in rebuilt} & {word for _, word, _ in after}


def test_a_rerun_reopens_the_data_directory(tmp_path):
    command = [sys.executable, str(DEMO), "--precomputed", "-k", "2", "--data-dir", str(tmp_path / "data")]
    first = subprocess.run(command, capture_output=True, text=True, timeout=180)
    assert first.returncode == 0, first.stderr
    assert "inserted 3000 documents" in first.stdout
    assert "compacted: snapshots written" in first.stdout
    second = subprocess.run(command, capture_output=True, text=True, timeout=180)
    assert second.returncode == 0, second.stderr
    assert "reopened: 3000 documents recovered from the data directory" in second.stdout
