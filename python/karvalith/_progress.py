"""The bar that ``progress=True`` draws on standard error."""

from __future__ import annotations

import sys
import time
from typing import Optional, TextIO


class TerminalBar:
    """Redraws one line, ``label [#####.....] done/total pct elapsed``, and ends it once
    the work is done or the call ends."""

    WIDTH = 30

    def __init__(self, label: str, stream: TextIO) -> None:
        self._label = label
        self._stream = stream
        self._start = time.monotonic()
        self._open = False

    def __call__(self, done: int, total: int) -> None:
        share = done / total if total else 1.0
        filled = int(self.WIDTH * share)
        elapsed = time.monotonic() - self._start
        self._stream.write(f"\r{self._label} [{'#' * filled}{'.' * (self.WIDTH - filled)}] "
                           f"{done}/{total} {share:4.0%} {elapsed:.1f}s")
        self._stream.flush()
        self._open = True
        if done >= total:
            self.close()

    def close(self) -> None:
        if self._open:
            self._stream.write("\n")
            self._stream.flush()
            self._open = False


def terminal_bar(label: str) -> Optional[TerminalBar]:
    """A TerminalBar on sys.stderr when it is a terminal, else None (nothing is drawn)."""
    stream = sys.stderr
    try:
        is_terminal = stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # replaced by an object without isatty, or closed
        is_terminal = False
    return TerminalBar(label, stream) if is_terminal else None
