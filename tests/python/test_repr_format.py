"""SearchResult's repr text: the 50-byte preview and the four-digit score.

No Python call builds a SearchResult yet (search comes later), so the two
helpers behind its repr are compiled into a small driver and checked directly.
"""

import pathlib
import shutil
import struct
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "python"

DRIVER = r"""
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include "text_format.h"

static std::string from_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::string payload = line.substr(2);
    std::string result;
    if (line[0] == 'p') {
      result = karvalith::py::text_preview(from_hex(payload));
    } else {
      const std::uint32_t bits = static_cast<std::uint32_t>(std::stoul(payload, nullptr, 16));
      float score;
      std::memcpy(&score, &bits, sizeof score);
      result = karvalith::py::format_score(score);
    }
    std::printf("x");  // keeps an empty result on its line
    for (unsigned char c : result) std::printf("%02x", c);
    std::printf("\n");
  }
}
"""


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or not (SOURCE_DIR / "text_format.h").exists():
        pytest.skip("needs a C++ compiler and the extension sources")
    work = tmp_path_factory.mktemp("repr_format")
    (work / "driver.cc").write_text(DRIVER)
    binary = work / "driver"
    subprocess.run(
        [compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", f"-I{SOURCE_DIR}",
         str(work / "driver.cc"), "-o", str(binary)],
        check=True,
    )
    return binary


def run(driver, lines):
    out = subprocess.run(
        [str(driver)], input="\n".join(lines) + "\n", capture_output=True, text=True, check=True
    ).stdout.split()
    return [bytes.fromhex(item[1:]) for item in out]


def previews(driver, texts):
    return [b.decode("utf-8") for b in run(driver, ["p " + t.encode().hex() for t in texts])]


def scores(driver, values):
    lines = ["s %08x" % struct.unpack("<I", struct.pack("<f", v))[0] for v in values]
    return [b.decode() for b in run(driver, lines)]


class TestTextPreview:
    def test_character_straddling_the_cut_is_left_out_whole(self, driver):
        texts = [
            "a" * 49 + "é" + "b",  # 2-byte character at bytes 49..50
            "a" * 48 + "€" + "b",  # 3-byte character at bytes 48..50
            "a" * 47 + "😀" + "b",  # 4-byte character at bytes 47..50
            "a" * 48 + "é" + "b",  # 2-byte character ending exactly at byte 50
            "a" * 48 + "é",  # exactly 50 bytes
        ]
        assert previews(driver, texts) == [
            "a" * 49 + "...",
            "a" * 48 + "...",
            "a" * 47 + "...",
            "a" * 48 + "é...",
            "a" * 48 + "é",
        ]

    @settings(max_examples=25, deadline=None)
    @given(st.lists(st.text(min_size=0, max_size=80), min_size=1, max_size=20))
    def test_preview_is_the_longest_character_prefix_within_fifty_bytes(self, driver, texts):
        for text, preview in zip(texts, previews(driver, texts)):
            if len(text.encode()) <= 50:
                assert preview == text
                continue
            assert preview.endswith("...")
            kept = preview[:-3]
            assert text.startswith(kept)
            assert len(kept.encode()) <= 50
            assert len(text[: len(kept) + 1].encode()) > 50


class TestScoreFormat:
    def test_four_digits_and_non_finite_spellings(self, driver):
        values = [0.5, -1.25, 0.0, -0.0, 1.0, float("nan"), float("inf"), float("-inf")]
        assert scores(driver, values) == [
            "0.5000", "-1.2500", "0.0000", "-0.0000", "1.0000", "NaN", "inf", "-inf",
        ]

    def test_rounding_uses_the_exact_float32_value(self, driver):
        # float32(0.00005) is 4.99999987e-05 and float32(0.12345) is 0.123450003.
        assert scores(driver, [0.00005, 0.12345, 1e30]) == [
            "0.0000", "0.1235", "1000000015047466219876688855040.0000",
        ]

    @settings(max_examples=25, deadline=None)
    @given(st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False), min_size=1))
    def test_finite_scores_match_python_formatting(self, driver, values):
        assert scores(driver, values) == [f"{v:.4f}" for v in values]
