"""Runs every benchmark script of this folder (bench_*.py) in turn.

Usage: python bench/run.py [NAME ...]   (names filter by substring)
"""

import subprocess
import sys
from pathlib import Path


def main(filters: list[str]) -> int:
    here = Path(__file__).resolve().parent
    scripts = sorted(here.glob("bench_*.py"))
    if filters:
        scripts = [s for s in scripts if any(f in s.name for f in filters)]
    status = 0
    for script in scripts:
        print(f"== {script.name}", flush=True)
        status |= subprocess.call([sys.executable, str(script)])
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
