"""Failed allocations, one at a time, in every public call and in each
module's import (``failing_allocations`` runs them in a fresh interpreter).

Each call and import ends normally or with MemoryError, the interpreter lives
on, the next call behaves as usual, and nothing leaks.  On the primary
version every allocation of every call is failed in turn (the first two
hundred of the calls that import, which make hundreds in the import system);
elsewhere every fourth.
"""

import pytest

import figures
import forked

STRIDE = 1 if figures.scale() >= 1 else 4
LIMIT = 200


def run(what, limit):
    call = f"main({what!r}, {STRIDE}, {limit})"
    reports = forked.report_from_fresh_interpreter("failing_allocations", call, timeout=600)
    for report in reports:
        if report["label"].startswith("control"):
            continue
        figures.add(
            "allocation failure",
            calls_and_imports=1,
            allocation_failures_injected=report["injected"],
            turned_into_other_errors=len(report["allowed"]),
            import_locks_lost_by_cpython=report["locks_lost"],
            faults_of_cpython_its_controls_show_too=report["interpreter_faults"],
        )
    return reports


def test_each_call_survives_each_failed_allocation():
    reports = run("calls", LIMIT)
    controls = [r for r in reports if r["label"].startswith("control")]
    reports = reports[len(controls) :]
    assert len(controls) == 3 and all(c["injected"] > 0 for c in controls)
    assert len(reports) > 50
    assert [r for r in reports if r["problems"]] == []
    # Every call allocates, and each was followed to its last allocation or the limit.
    assert all(r["injected"] > 0 for r in reports if r["end"] > 0)


@pytest.mark.parametrize(
    "name", ["dravolt_common.utils.payload_wrapper", "dravolt_common.callable_naming"]
)
def test_each_import_survives_each_failed_allocation(name):
    *controls, report = run(name, 20_000)
    assert report["problems"] == []
    # Each import makes hundreds of allocations (the fewest, about 400, on
    # 3.14), and the walk reaches the last of them.
    assert 200 < report["end"] < 20_000 and report["injected"] >= report["end"] // (2 * STRIDE)
