"""Writes the stored payloads of tests/payloads/VERSION/ for the package's current version.

Run it from the repository root with the oldest supported Python, after installing the
package (``./dev.sh test tests/test_stored_payloads.py`` does both)::

    .venv-3.10/bin/python tools/write_stored_payloads.py

Each kind of `tests/stored_payload_objects.py` is dumped by each serialiser into
``KIND.SUFFIX``; ``tracebacks.json`` holds the traceback entries of the exceptions dumped, and
``manifest.json`` records what wrote them.  Running it again replaces the
files of the current version only.
"""

import json
import platform
import sys
from pathlib import Path

import jsonpickle

ROOT = Path(__file__).resolve().parent.parent
# The payloads name the objects' module by the name the tests import it under.
sys.path.insert(0, str(ROOT / "tests"))

import dravolt_common  # noqa: E402
import stored_payload_objects as objects  # noqa: E402


def main():
    directory = ROOT / "tests" / "payloads" / dravolt_common.__version__
    directory.mkdir(parents=True, exist_ok=True)
    for kind, (make, _) in objects.KINDS.items():
        for suffix, dump, _ in objects.SERIALISERS.values():
            (directory / f"{kind}.{suffix}").write_bytes(dump(make()))
    # The entries that the exceptions' payloads carry, which loading gives back as frames.
    tracebacks = {"exceptions": objects.traceback_entries(objects.make_exceptions())}
    (directory / "tracebacks.json").write_text(json.dumps(tracebacks, indent=1) + "\n")
    manifest = {
        "dravolt_common": dravolt_common.__version__,
        "python": platform.python_version(),
        "jsonpickle": jsonpickle.__version__,
        "pickle_protocol": objects.PICKLE_PROTOCOL,
        "json_options": objects.JSON_OPTIONS,
    }
    (directory / "manifest.json").write_text(json.dumps(manifest, indent=1) + "\n")
    print(f"wrote {len(objects.KINDS) * len(objects.SERIALISERS)} payloads into {directory}")


if __name__ == "__main__":
    main()
