"""What the reliability checks tried, added up over a test run and printed
at its end, one line per check (``conftest.pytest_terminal_summary``); with
RELIABILITY_FIGURES naming a file, the lines are added to it as well, for
``.ci/run`` to print them all at its end.

``add("threads", calls=400000)`` adds to the figures of a check; the labels
are printed in the order they were first added.
"""

import os
import sys

_figures = {}

# The heavy checks run their full counts on the primary version and a
# reduced share elsewhere; RELIABILITY_SCALE (a float) overrides the choice.
PRIMARY = (3, 15)


def scale():
    chosen = os.environ.get("RELIABILITY_SCALE")
    if chosen:
        return float(chosen)
    return 1.0 if sys.version_info[:2] == PRIMARY else 0.25


def scaled(full, least=1):
    """``full`` on the primary version, a reduced count elsewhere."""
    return max(least, round(full * scale()))


def add(check, **counts):
    figures = _figures.setdefault(check, {})
    for label, count in counts.items():
        figures[label] = figures.get(label, 0) + count


def lines():
    return [
        f"{check}: "
        + ", ".join(f"{count:,} {label.replace('_', ' ')}" for label, count in found.items())
        for check, found in _figures.items()
    ]


def keep(found):
    path = os.environ.get("RELIABILITY_FIGURES")
    if path:
        version = "CPython {}.{}".format(*sys.version_info[:2])
        with open(path, "a", encoding="utf-8") as kept:
            for line in found:
                kept.write(f"{version}, scale {scale():g}: {line}\n")
