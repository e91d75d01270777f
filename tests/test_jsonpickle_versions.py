"""The JSON route under the oldest and the newest jsonpickle that the package admits.

The suite runs under the jsonpickle that pip installed, which must be the
newest admitted.  The oldest is installed by pip into a temporary directory,
put first on the path of a child that runs the tests of the JSON route again
(its pool workers inherit the path).  The route reads jsonpickle's private
methods, which is why the dependency is bounded to the versions tested here.
"""

import importlib.metadata
import os
import subprocess
import sys
from pathlib import Path

import jsonpickle
from packaging.requirements import Requirement

ROOT = Path(__file__).resolve().parent.parent
JSON_TESTS = ["tests/test_payloads.py", "tests/test_payloads_process_pool.py"]


def admitted_bounds():
    [requirement] = [
        Requirement(text)
        for text in importlib.metadata.requires("dravolt_common") or []
        if Requirement(text).name == "jsonpickle" and Requirement(text).marker is None
    ]
    bounds = {spec.operator: spec.version for spec in requirement.specifier}
    return bounds[">="], bounds["<="]


def test_the_suite_runs_under_the_newest_jsonpickle_admitted():
    assert jsonpickle.__version__ == admitted_bounds()[1]


def test_the_json_route_holds_under_the_oldest_jsonpickle_admitted(tmp_path):
    oldest = admitted_bounds()[0]
    pip = [sys.executable, "-m", "pip", "install", "-qq", "--no-deps", "--target", str(tmp_path)]
    subprocess.run([*pip, f"jsonpickle=={oldest}"], check=True, timeout=300)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), str(ROOT / "tests")])}
    version = subprocess.run(
        [sys.executable, "-c", "import jsonpickle; print(jsonpickle.__version__)"],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    assert version.stdout.strip() == oldest

    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *JSON_TESTS],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )

    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
