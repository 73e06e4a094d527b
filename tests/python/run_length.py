"""How long the randomized runs are: short in the test command and in CI,
full with QOR_LONG_TESTS=1, which scripts/test_long.sh sets."""

import os

LONG = os.environ.get("QOR_LONG_TESTS") == "1"


def scaled(full: int, short: int) -> int:
    """`full` in the long runs, `short` otherwise."""
    return full if LONG else short
