"""The encryption key: from --key-file or the environment, never from the command line."""

from __future__ import annotations

import argparse
import os
from typing import Optional

from ._errors import EXIT_KEY, fail


KEY_ENVIRONMENT_VARIABLE = "KARVALITH_ENCRYPTION_KEY"



def read_key(args: argparse.Namespace) -> Optional[str]:
    """The key from --key-file, else from the environment, else None."""
    if args.key_file is not None:
        try:
            with open(args.key_file, encoding="utf-8") as handle:
                text = handle.read().strip()
        except OSError as error:
            fail(f"cannot read key file '{args.key_file}': {error.strerror or error}", EXIT_KEY)
        except UnicodeDecodeError:
            fail(f"key file '{args.key_file}' is not text: it must hold 64 hex characters", EXIT_KEY)
        source = f"key file '{args.key_file}'"
    elif os.environ.get(KEY_ENVIRONMENT_VARIABLE):
        text = os.environ[KEY_ENVIRONMENT_VARIABLE].strip()
        source = f"environment variable {KEY_ENVIRONMENT_VARIABLE}"
    else:
        return None
    if len(text) != 64 or any(c not in "0123456789abcdefABCDEF" for c in text):
        fail(f"the {source} must hold 64 hex characters (a 32-byte key), got {len(text)} characters", EXIT_KEY)
    return text
