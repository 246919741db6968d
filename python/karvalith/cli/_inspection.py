"""The read-only report of inspect_directory and what the commands make of it:
whether the key fits, which problems are fatal, and how they are printed."""

from __future__ import annotations

from typing import IO, Any, Optional

from .._karvalith import inspect_directory
from ._errors import EXIT_DAMAGED, EXIT_FAILED, EXIT_KEY, EXIT_NOT_FOUND, EXIT_OK, fail
from ._keys import KEY_ENVIRONMENT_VARIABLE


def inspect(directory: str, key: Optional[str], replay: bool) -> dict[str, Any]:
    try:
        return inspect_directory(directory, key, replay)
    except FileNotFoundError:
        fail(f"data directory '{directory}' does not exist", EXIT_NOT_FOUND)
    except NotADirectoryError:
        fail(f"'{directory}' is not a directory", EXIT_NOT_FOUND)
    except (RuntimeError, OSError) as error:
        fail(f"cannot inspect '{directory}': {error}", EXIT_FAILED)



def key_trouble(report: dict[str, Any], key: Optional[str]) -> Optional[str]:
    """Why the key does not fit the directory, or None when it does."""
    kinds = {problem["kind"] for problem in report["problems"]}
    if "key_missing" in kinds and key is None:
        return (
            "the directory is encrypted: give its key with --key-file FILE "
            f"or the {KEY_ENVIRONMENT_VARIABLE} environment variable"
        )
    if "unauthenticated" in kinds:
        log = report["log"] or {}
        opened = any(s["sealed"] and s["loaded"] for s in report["snapshots"]) or log.get(
            "sealed_records", 0
        ) > 0
        # Damage spoils single files; a wrong key opens none of them.
        if not opened:
            return "wrong encryption key: no encrypted file of the directory opens with it"
    return None



def fatal_problems(report: dict[str, Any]) -> list[dict[str, Any]]:
    return [problem for problem in report["problems"] if problem["fatal"]]



def describe_problem(problem: dict[str, Any]) -> str:
    where = problem["file"]
    if problem["file"] == "wal.bin" or problem["offset"]:
        where += f" @ offset {problem['offset']}"
    return f"{where}: [{problem['kind']}] {problem['message']}"



def preflight(directory: str, key: Optional[str], ignore_damage: bool = False) -> dict[str, Any]:
    """Checks, read-only, that a handle opened on `directory` with `key` would
    see everything the files hold, before the command opens one."""
    report = inspect(directory, key, replay=False)
    trouble = key_trouble(report, key)
    if trouble:
        fail(trouble, EXIT_KEY)
    damage = fatal_problems(report)
    if damage and not ignore_damage:
        lines = [f"'{directory}' has damaged files; run 'karvalith verify {directory}' for details:"]
        lines += ["  " + describe_problem(problem) for problem in damage[:5]]
        if len(damage) > 5:
            lines.append(f"  ... and {len(damage) - 5} more")
        lines.append("(pass --ignore-damage to go on with what an open recovers)")
        fail("\n".join(lines), EXIT_DAMAGED)
    return report



def status_of(report: dict[str, Any], key: Optional[str]) -> int:
    if key_trouble(report, key):
        return EXIT_KEY
    return EXIT_DAMAGED if fatal_problems(report) else EXIT_OK



KEY_KINDS = ("key_missing", "unauthenticated")



def print_problems(report: dict[str, Any], key: Optional[str], out: IO[str]) -> None:
    problems = report["problems"]
    trouble = key_trouble(report, key)
    if trouble:
        # Every sealed file fails alike then: one line says it all.
        sealed = [p for p in problems if p["kind"] in KEY_KINDS]
        problems = [p for p in problems if p["kind"] not in KEY_KINDS]
        files = len({p["file"] for p in sealed})
        out.write(f"key: {trouble} ({len(sealed)} sealed items in {files} file{'s' if files != 1 else ''})\n")
    if not problems:
        return
    out.write("problems:\n")
    for problem in problems:
        label = "damaged" if problem["fatal"] else "warning"
        out.write(f"  {label}: {describe_problem(problem)}\n")
