"""The wheel a package index receives: built from the sdist, repaired, installed in a fresh venv.

The build compiles the extension modules from scratch (about half a minute).
"""

import email
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from importlib.metadata import version
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet
from packaging.utils import parse_wheel_filename
from trove_classifiers import classifiers as known_classifiers

import dravolt_common

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "dravolt_common"

pytestmark = pytest.mark.skipif(
    sys.platform != "linux" or platform.machine() != "x86_64",
    reason="the project builds wheels for x86-64 Linux only",
)


def run(*command, cwd, timeout=600):
    proc = subprocess.run(
        [str(part) for part in command],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=timeout,
        env={**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_INPUT": "1"},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    outdir = tmp_path_factory.mktemp("dist")
    run(sys.executable, ROOT / "tools" / "build_wheel.py", "--outdir", outdir, cwd=outdir)
    (path,) = outdir.glob("*.whl")
    return path


def test_wheel_is_tagged_for_this_interpreter_and_manylinux_2_17(wheel):
    name, version, _, tags = parse_wheel_filename(wheel.name)
    assert (name, str(version)) == ("dravolt-common", dravolt_common.__version__)
    own = f"cp{sys.version_info.major}{sys.version_info.minor}"
    # A debug build has an ABI of its own.
    abi = own + "d" * hasattr(sys, "gettotalrefcount")
    assert {(tag.interpreter, tag.abi) for tag in tags} == {(own, abi)}
    # The glibc the README promises, which a package index accepts (it
    # refuses the plain linux_x86_64 tag that a build gives); a newer one
    # would leave out the distributions that still ship glibc 2.17 to 2.33.
    platforms = {tag.platform for tag in tags}
    glibcs = [int(m[1]) for p in platforms if (m := re.fullmatch(r"manylinux_2_(\d+)_x86_64", p))]
    assert glibcs and max(glibcs) == 17, platforms


def test_wheel_holds_the_package_files_and_metadata_only(wheel):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    expected = {
        f"dravolt_common/{path.relative_to(PACKAGE).as_posix()}"
        for path in PACKAGE.rglob("*")
        if path.is_file() and (path.suffix in (".py", ".pyi") or path.name == "py.typed")
    }
    expected |= {
        f"dravolt_common/callable_naming{suffix}",
        f"dravolt_common/utils/payload_wrapper{suffix}",
    }
    dist_info = f"dravolt_common-{dravolt_common.__version__}.dist-info"
    expected |= {f"{dist_info}/{name}" for name in ("METADATA", "WHEEL", "RECORD")}
    expected.add(f"{dist_info}/licenses/LICENSE")
    with zipfile.ZipFile(wheel) as archive:
        files = {name for name in archive.namelist() if not name.endswith("/")}
        assert files == expected
        assert archive.read(f"{dist_info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()
        metadata = email.message_from_bytes(archive.read(f"{dist_info}/METADATA"))
    assert metadata["License-Expression"] == "MIT"
    assert platform.python_version() in SpecifierSet(metadata["Requires-Python"])
    classifiers = metadata.get_all("Classifier")
    # A package index refuses an upload with a classifier it does not know.
    assert [c for c in classifiers if c not in known_classifiers] == []
    python = f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}"
    assert python in classifiers


def test_wheel_installs_in_a_fresh_venv_and_runs_the_worked_example(wheel, tmp_path):
    # Outside the source tree, so that nothing but the installed wheel is imported.
    example = tmp_path / "worked_example.py"
    shutil.copyfile(ROOT / "examples" / "worked_example.py", example)
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    # The jsonpickle of this environment, so that the encoded payloads compare equal.
    jsonpickle = f"jsonpickle=={version('jsonpickle')}"
    run(python, "-m", "pip", "install", "-q", wheel, jsonpickle, cwd=tmp_path)

    installed = run(
        python, "-c", "import dravolt_common; print(dravolt_common.__file__)", cwd=tmp_path
    )
    assert Path(installed.strip()).is_relative_to(venv)
    from_wheel = run(python, example, cwd=tmp_path)
    from_build = run(sys.executable, example, cwd=tmp_path)
    assert without_addresses(from_wheel) == without_addresses(from_build)


def without_addresses(text):
    return re.sub(r" at 0x[0-9a-f]+", " at 0x...", text)
