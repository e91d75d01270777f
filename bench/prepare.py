"""Builds what the benchmarks run, under build/bench/<interpreter tag>/: the
installed package copied into a package tree of its own (so that finding it
costs what finding the models costs, not a listing of site-packages), the
pure-Python model compiled with Cython, in a package tree of its own, and the
floor (no-op C functions, no-op functions of the modules' own function type,
built from the frame's sources with the CMake option that the wheel leaves
off, and empty modules for the import workload).  A tree is built again only
when what it is made of has changed."""

import hashlib
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODEL = ROOT / "model"
PACKAGE = ROOT / "src"
FLOOR_SOURCE = Path(__file__).resolve().parent / "floor.c"
OWN_FLOOR_SOURCES = [Path(__file__).resolve().parent / "own_floor.cpp", ROOT / "CMakeLists.txt"]
FRAME = ROOT / "module_frame"

# The modules the model compiles into, and the package files beside them,
# which every implementation shares.
MODEL_MODULES = ["dravolt_common.callable_naming", "dravolt_common.utils.payload_wrapper"]
PACKAGE_FILES = [
    "dravolt_common/__init__.py",
    "dravolt_common/_tracebacks.py",
    "dravolt_common/utils/__init__.py",
    "dravolt_common/utils/special_unpicklers.py",
]
FLOOR_EXTENSIONS = ["bench_floor", "bench_floor_b"]
FLOOR_MODULES = ["empty_a", "empty_b"]


def build_root():
    return ROOT / "build" / "bench" / sys.implementation.cache_tag


def module_path(name, suffix):
    return Path(*name.split(".")).with_suffix(suffix)


def compile_command(source, output, *flags):
    """The interpreter's own compiler and flags, as it builds its extension modules."""
    config = sysconfig.get_config_var
    return [
        *shlex.split(config("CC")),
        *shlex.split(config("CFLAGS")),
        *shlex.split(config("CCSHARED")),
        f"-I{sysconfig.get_paths()['include']}",
        *flags,
        "-shared",
        str(source),
        "-o",
        str(output),
    ]


def run_all(commands):
    """Runs the commands side by side; their output is shown only if one fails."""
    running = [
        (command, subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        for command in commands
    ]
    for command, process in running:
        output, _ = process.communicate()
        if process.returncode:
            sys.stdout.write(output.decode(errors="replace"))
            raise SystemExit(f"bench: failed: {shlex.join(command)}")


def digest(*parts):
    hasher = hashlib.sha1()
    for part in parts:
        hasher.update(part if isinstance(part, bytes) else str(part).encode())
        hasher.update(b"\0")
    return hasher.hexdigest()


def up_to_date(tree, stamp):
    try:
        return (tree / ".stamp").read_text() == stamp
    except OSError:
        return False


def build_native():
    """The installed package, in a tree of its own."""
    import importlib.util

    installed = Path(importlib.util.find_spec("dravolt_common").submodule_search_locations[0])
    tree = build_root() / "native"
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(
        installed, tree / "dravolt_common", ignore=shutil.ignore_patterns("__pycache__")
    )
    return tree


def build_cython_model():
    """The model compiled with Cython, in a package ``dravolt_common`` of its own."""
    import Cython

    tree = build_root() / "cython"
    sources = [MODEL / module_path(name, ".py") for name in MODEL_MODULES]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    stamp = digest(
        sys.version,
        Cython.__version__,
        *(path.read_bytes() for path in sources),
        *((PACKAGE / name).read_bytes() for name in PACKAGE_FILES),
        *(compile_command("x", "y")),
    )
    if up_to_date(tree, stamp):
        return tree
    shutil.rmtree(tree, ignore_errors=True)
    for name in PACKAGE_FILES:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(PACKAGE / name, tree / name)
    generated = build_root() / "cython-c"
    generated.mkdir(parents=True, exist_ok=True)
    c_files = [generated / f"{name}.c" for name in MODEL_MODULES]
    run_all(
        [sys.executable, "-m", "cython", "-3", "--module-name", name, "-o", str(c_file), str(src)]
        for name, c_file, src in zip(MODEL_MODULES, c_files, sources, strict=True)
    )
    run_all(
        compile_command(c_file, tree / module_path(name, suffix))
        for name, c_file in zip(MODEL_MODULES, c_files, strict=True)
    )
    (tree / ".stamp").write_text(stamp)
    return tree


def frame_sources():
    return sorted(path for path in FRAME.rglob("*") if path.is_file())


def build_own_floor(tree):
    """The no-op functions of our own function type: the module bench_own_floor,
    made by the project's CMake file with the option that only the benchmarks
    turn on, in a build tree of its own, with the interpreter that runs this."""
    import cmake

    program = str(Path(cmake.CMAKE_BIN_DIR) / "cmake")
    build = build_root() / "own-floor-cmake"
    configure = [program, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
    configure += ["-DDRAVOLT_BENCH_OWN_FLOOR=ON", f"-DPython_EXECUTABLE={sys.executable}"]
    run_all([configure])
    run_all([[program, "--build", str(build), "--target", "bench_own_floor", "-j", "2"]])
    (built,) = build.glob("bench_own_floor*" + sysconfig.get_config_var("EXT_SUFFIX"))
    shutil.copyfile(built, tree / built.name)


def build_floor():
    """The no-op C functions, built under two module names, the no-op
    functions of our own type, and two empty modules."""
    tree = build_root() / "floor"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    own_sources = [*OWN_FLOOR_SOURCES, *frame_sources()]
    stamp = digest(
        sys.version,
        FLOOR_SOURCE.read_bytes(),
        *(str(path) for path in own_sources),
        *(path.read_bytes() for path in own_sources),
        *compile_command("x", "y"),
    )
    if up_to_date(tree, stamp):
        return tree
    shutil.rmtree(tree, ignore_errors=True)
    tree.mkdir(parents=True)
    run_all(
        compile_command(FLOOR_SOURCE, tree / f"{name}{suffix}", f"-DFLOOR_MODULE={name}")
        for name in FLOOR_EXTENSIONS
    )
    build_own_floor(tree)
    for name in FLOOR_MODULES:
        (tree / f"{name}.py").write_text("")
    (tree / ".stamp").write_text(stamp)
    return tree
