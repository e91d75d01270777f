"""Eight threads call both modules at once while another rebinds their
globals back and forth (``thread_workload``, in a fresh interpreter): no
crash, no hang within the time limit, and every result one that some serial
order of the calls and the rebindings gives."""

import figures
import forked

THREADS = 8
CALLS = figures.scaled(50_000, least=2_000)


def test_threads_calling_while_globals_are_rebound():
    call = f"main({THREADS}, {CALLS}, seconds=240)"
    report = forked.report_from_fresh_interpreter("thread_workload", call, timeout=300)
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
