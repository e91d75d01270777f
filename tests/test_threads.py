"""Eight threads call both modules at once while another rebinds their
globals back and forth (``thread_workload``, in a fresh interpreter): no
crash, no hang within the time limit, and every result one that some serial
order of the calls and the rebindings gives."""

import json
import subprocess
import sys
from pathlib import Path

import figures

TESTS = str(Path(__file__).resolve().parent)
THREADS = 8
CALLS = figures.scaled(50_000, least=2_000)


def test_threads_calling_while_globals_are_rebound():
    code = (
        f"import sys; sys.path.insert(0, {TESTS!r})\n"
        "import thread_workload\n"
        f"thread_workload.main({THREADS}, {CALLS}, seconds=240)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    figures.add(
        "threads",
        threads=report["threads"],
        calls=report["calls"],
        rebindings=report["rebindings"],
        wrong_results=report["wrong_count"],
    )
    assert report["hung"] == 0, report
    assert report["wrong"] == []
    assert report["calls"] == THREADS * CALLS
