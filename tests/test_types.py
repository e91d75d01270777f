"""The type stubs and annotations agree with the runtime."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def run_mypy(*args):
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, timeout=300
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubs_agree_with_the_extension_modules():
    run_mypy(
        "mypy.stubtest",
        "dravolt_common.utils.payload_wrapper",
        "dravolt_common.callable_naming",
        "--allowlist",
        str(ROOT / "tests" / "stubtest_allowlist.txt"),
    )


def test_package_and_worked_example_pass_strict_type_checking():
    # The worked example stands for a user's code: it must hold under --strict as well.
    run_mypy(
        "mypy",
        "--strict",
        "--cache-dir=/dev/null",
        str(ROOT / "src" / "dravolt_common"),
        str(ROOT / "examples" / "worked_example.py"),
    )
