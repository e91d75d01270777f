"""Payloads written by released versions of the package still load into the same objects.

The files in tests/payloads/VERSION/ were written by that version with
tools/write_stored_payloads.py; a change that stops one loading breaks the promise of
docs/compatibility.md and fails here.
"""

import json
from pathlib import Path

import pytest

import stored_payload_objects as objects

STORED = Path(__file__).with_name("payloads")
CASES = [
    (directory.name, kind, serialiser)
    for directory in sorted(STORED.iterdir())
    if directory.is_dir()
    for kind in objects.KINDS
    for serialiser in objects.SERIALISERS
]

# From 0.2.0 on an exception's traceback travels as its entries, which load as frames.
WITH_FRAMES = [
    (version, serialiser)
    for version in sorted({version for version, _, _ in CASES})
    if tuple(map(int, version.split("."))) >= (0, 2, 0)
    for serialiser in objects.SERIALISERS
]


def test_every_version_stored_every_kind():
    assert CASES, "no stored payloads"
    for directory in STORED.iterdir():
        names = {path.name for path in directory.iterdir()}
        for kind in objects.KINDS:
            for suffix, _, _ in objects.SERIALISERS.values():
                assert f"{kind}.{suffix}" in names, f"{directory.name} lacks {kind}.{suffix}"


@pytest.mark.parametrize(("version", "kind", "serialiser"), CASES)
def test_stored_payload_loads_into_its_object(version, kind, serialiser):
    suffix, _, load = objects.SERIALISERS[serialiser]
    data = (STORED / version / f"{kind}.{suffix}").read_bytes()
    _, check = objects.KINDS[kind]
    check(load(data))


@pytest.mark.parametrize(("version", "serialiser"), WITH_FRAMES)
def test_stored_exceptions_bring_their_traceback_entries_back_as_frames(version, serialiser):
    suffix, _, load = objects.SERIALISERS[serialiser]
    loaded = load((STORED / version / f"exceptions.{suffix}").read_bytes())
    stored = json.loads((STORED / version / "tracebacks.json").read_text())
    assert objects.traceback_entries(loaded) == stored["exceptions"]
