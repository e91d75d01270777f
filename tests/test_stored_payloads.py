"""Payloads written by released versions of the package still load into the same objects.

The files in tests/payloads/VERSION/ were written by that version with
tools/write_stored_payloads.py; a change that stops one loading breaks the promise of
docs/compatibility.md and fails here.
"""

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
