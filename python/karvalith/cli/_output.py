"""Output shared by the commands: byte counts, tables and the progress bar."""

from __future__ import annotations

import argparse
import sys
import time
from typing import IO


def human_bytes(count: int) -> str:
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{count} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{count} B"



def table(rows: list[list[str]], out: IO[str]) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")



class Progress:
    """A one-line progress bar on stderr, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, label: str, total: int, enabled: bool) -> None:
        self.label, self.total, self.enabled = label, total, enabled
        self.done = 0
        self.started = time.monotonic()
        self.drawn = 0.0
        self.drawn_done = -1

    def advance(self, count: int) -> None:
        self.done += count
        now = time.monotonic()
        if self.enabled and (now - self.drawn >= 0.1 or self.done >= self.total):
            self.drawn = now
            self.draw(now)

    def draw(self, now: float) -> None:
        self.drawn_done = self.done
        fraction = self.done / self.total if self.total else 1.0
        filled = int(fraction * self.WIDTH)
        rate = self.done / max(now - self.started, 1e-9)
        sys.stderr.write(
            f"\r{self.label} {fraction:4.0%} [{'#' * filled}{'.' * (self.WIDTH - filled)}] "
            f"{self.done}/{self.total} ({rate:,.0f}/s)"
        )
        sys.stderr.flush()

    def finish(self) -> None:
        if self.enabled:
            if self.drawn_done != self.done:
                self.draw(time.monotonic())
            sys.stderr.write("\n")
            sys.stderr.flush()



def progress_enabled(args: argparse.Namespace) -> bool:
    if args.progress is not None:
        return bool(args.progress)
    return sys.stderr.isatty()
