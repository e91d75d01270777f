"""Exceptions and references across a real task queue: a Redis server and Celery
workers of the test's own (loopback only), and clients in this process.

Each route (``celery_tasks``: pickle with ``payloads.install`` in the workers,
and JSON through ``dravolt_common.celery``) runs with the solo pool and with
the prefork pool under hundreds of tasks in flight.  ``./dev.sh celery`` runs
this file with what it needs (Debian's redis-server, the ``celery`` extra);
elsewhere it is skipped when either is missing.
"""

import contextlib
import os
import pickle
import shutil
import signal
import socket
import subprocess
import sys
import time
import types
from pathlib import Path

import pytest

REQUIRED = os.environ.get("DRAVOLT_CELERY_REQUIRED") == "1"
if not REQUIRED:
    pytest.importorskip("celery", reason="the celery extra is not installed")
    pytest.importorskip("redis", reason="the celery extra is not installed")

import celery.exceptions  # noqa: E402
import redis  # noqa: E402

import celery_tasks  # noqa: E402
from dravolt_common import payloads  # noqa: E402

TESTS = Path(__file__).resolve().parent
LOOPBACK = "127.0.0.1"
START_SECONDS = 60
# Each worker reads its own database of the one server.
DATABASES = {("pickle", "solo"): 1, ("json", "solo"): 2, ("pickle", "prefork"): 3}
DATABASES[("json", "prefork")] = 4
IN_FLIGHT = 300
ABSENT = object()
SCALE_SECONDS = 240


def _free_port():
    with socket.socket() as probe:
        probe.bind((LOOPBACK, 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def _process(command, log, **options):
    """Run ``command`` in a session of its own; stop it and its children at the end."""
    with open(log, "wb") as output:
        process = subprocess.Popen(
            command, stdout=output, stderr=subprocess.STDOUT, start_new_session=True, **options
        )
    try:
        yield process
    finally:
        _stop(process)


def _stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            pass
    # Whatever the session still holds (a prefork child) goes too.
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait(10)


def _tail(log):
    return Path(log).read_text(errors="replace")[-4000:]


@pytest.fixture(scope="module")
def redis_url(tmp_path_factory):
    server = shutil.which("redis-server")
    if server is None:
        if REQUIRED:
            pytest.fail("redis-server is missing (./dev.sh celery installs it)")
        pytest.skip("redis-server is missing (./dev.sh celery installs it)")
    folder = tmp_path_factory.mktemp("redis")
    port = _free_port()
    command = [server, "--bind", LOOPBACK, "--port", str(port), "--dir", str(folder)]
    command += ["--save", "", "--appendonly", "no", "--daemonize", "no"]
    with _process(command, folder / "redis.log") as process:
        _wait_for_redis(process, port, folder / "redis.log")
        yield f"redis://{LOOPBACK}:{port}"


def _wait_for_redis(process, port, log):
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            pytest.fail(f"redis-server exited with {process.returncode}:\n{_tail(log)}")
        with contextlib.suppress(redis.exceptions.ConnectionError):
            if redis.Redis(host=LOOPBACK, port=port, socket_timeout=1).ping():
                return
        time.sleep(0.1)
    pytest.fail(f"redis-server did not answer in {START_SECONDS} s:\n{_tail(log)}")


@pytest.fixture(scope="module")
def pickle_client():
    # The client of the pickle route reads and writes with the standard
    # pickle, so it needs the payloads' dispatch-table entries too.
    payloads.install()
    yield
    payloads.uninstall()


@contextlib.contextmanager
def _worker(route, pool, url, folder):
    command = [sys.executable, "-m", "celery", "-A", "celery_tasks:app", "worker"]
    command += ["--pool", pool, "--concurrency", "1" if pool == "solo" else "4"]
    command += ["--loglevel", "WARNING", "--without-gossip", "--without-mingle"]
    command += ["--without-heartbeat", "--hostname", f"{route}-{pool}@{LOOPBACK}"]
    environment = {**os.environ, "DRAVOLT_CELERY_ROUTE": route, "DRAVOLT_CELERY_URL": url}
    environment["PYTHONPATH"] = os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")])
    # CI runs as root, where Celery refuses pickle unless told that it is meant.
    environment["C_FORCE_ROOT"] = "1"
    log = folder / f"worker-{route}-{pool}.log"
    with _process(command, log, cwd=TESTS, env=environment) as process:
        app = celery_tasks.make_app(route, url)
        _wait_for_worker(app, process, log)
        yield app, log


def _wait_for_worker(app, process, log):
    pending = app.tasks["celery_tasks.ping"].delay()
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            pytest.fail(f"the worker exited with {process.returncode}:\n{_tail(log)}")
        with contextlib.suppress(celery.exceptions.TimeoutError):
            assert pending.get(timeout=1) == "pong"
            return
    pytest.fail(f"the worker did not answer in {START_SECONDS} s:\n{_tail(log)}")


@pytest.fixture(scope="module", params=["pickle", "json"])
def route(request):
    if request.param == "pickle":
        request.getfixturevalue("pickle_client")
    return request.param


@pytest.fixture(scope="module")
def solo(route, redis_url, tmp_path_factory):
    url = f"{redis_url}/{DATABASES[(route, 'solo')]}"
    with _worker(route, "solo", url, tmp_path_factory.mktemp("solo")) as (app, log):
        yield app, log


def _exception_fields(exception):
    # Members and getsets that classes below BaseException add (OSError's
    # filename, the slots), read through their descriptors.
    fields = {}
    for klass in type(exception).__mro__:
        if klass in (BaseException, object):
            continue
        for name, value in vars(klass).items():
            kinds = (types.MemberDescriptorType, types.GetSetDescriptorType)
            if isinstance(value, kinds) and not name.startswith("__") and name not in fields:
                fields[name] = getattr(exception, name, ABSENT)
    return fields


def _traceback_mentions(exception, function_name):
    """Whether the traceback that came along names ``function_name``: as
    frames, or as the text that the payload appends to ``__notes__``."""
    tb = exception.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name == function_name:
            return True
        tb = tb.tb_next
    notes = getattr(exception, "__notes__", [])
    return any(f", in {function_name}\n" in note for note in notes if isinstance(note, str))


def _assert_exact(received, expected, depth=0):
    assert type(received) is type(expected)
    assert received.args == expected.args
    instance = {k: v for k, v in vars(received).items() if k != "__notes__"}
    assert instance == {k: v for k, v in vars(expected).items() if k != "__notes__"}
    assert _exception_fields(received) == _exception_fields(expected)
    assert received.__suppress_context__ == expected.__suppress_context__
    if depth == 0:
        assert _traceback_mentions(received, "raise_failure")
    for link in ("__cause__", "__context__"):
        inner, wanted = getattr(received, link), getattr(expected, link)
        if wanted is None:
            assert inner is None
        else:
            _assert_exact(inner, wanted, depth + 1)


def _expected_failure(kind, code):
    try:
        celery_tasks.raise_failure(kind, code)
    except Exception as error:
        return error
    raise AssertionError("raise_failure returned")


def _failure(app, kind, code, timeout=30):
    return app.tasks["celery_tasks.fail"].delay(kind, code).get(timeout=timeout, propagate=False)


@pytest.mark.parametrize("kind", celery_tasks.FAILURES)
def test_exception_arrives_exact(solo, kind):
    app, _ = solo
    _assert_exact(_failure(app, kind, 17), _expected_failure(kind, 17))


def _travels_by_pickle(obj):
    try:
        pickle.dumps(obj)
    except Exception:
        return False
    return True


@pytest.mark.parametrize("label", sorted(celery_tasks.REFERENCES))
def test_reference_arrives_as_itself(solo, route, label):
    app, _ = solo
    reference = celery_tasks.REFERENCES[label]
    if route == "pickle" and not _travels_by_pickle(reference):
        pytest.skip(f"payloads.install() leaves the {label} to pickle, which refuses it")
    pending = app.tasks["celery_tasks.references"].delay((label, reference))
    [(_, in_worker, returned)] = pending.get(timeout=30)
    assert in_worker
    assert celery_tasks.is_reference(label, returned)


@pytest.fixture(scope="module")
def plain_client(redis_url):
    # Celery's own JSON route, on the database of the JSON route's solo worker.
    return celery_tasks.make_app("plain", f"{redis_url}/{DATABASES[('json', 'solo')]}")


@pytest.mark.parametrize("route", ["json"], indirect=True)
@pytest.mark.parametrize("kind", celery_tasks.FAILURES)
def test_client_without_the_integration_gets_celerys_json_exception(solo, plain_client, kind):
    received = _failure(plain_client, kind, 5)
    # What Celery's JSON route makes of the exception, written and read here.
    backend = plain_client.backend
    stored = backend.encode(backend.prepare_exception(_expected_failure(kind, 5)))
    expected = backend.exception_to_python(backend.decode(stored))
    assert type(received) is type(expected)
    assert received.args == expected.args


@pytest.fixture(scope="module")
def prefork(route, redis_url, tmp_path_factory):
    url = f"{redis_url}/{DATABASES[(route, 'prefork')]}"
    with _worker(route, "prefork", url, tmp_path_factory.mktemp("prefork")) as (app, log):
        yield app, log


def test_hundreds_in_flight_on_the_prefork_pool(prefork):
    app, log = prefork
    fail, echo = app.tasks["celery_tasks.fail"], app.tasks["celery_tasks.echo"]
    sent = []
    for i in range(IN_FLIGHT):
        if i % 2:
            sent.append((i, echo.delay(i, f"item {i}", [i] * 3)))
        else:
            kind = celery_tasks.FAILURES[i // 2 % len(celery_tasks.FAILURES)]
            sent.append((i, fail.delay(kind, i)))
    deadline = time.monotonic() + SCALE_SECONDS
    for i, pending in sent:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"{i} of {IN_FLIGHT} results in {SCALE_SECONDS} s:\n{_tail(log)}"
        received = pending.get(timeout=remaining, propagate=False)
        if i % 2:
            assert received == (i, f"item {i}", [i] * 3)
        else:
            kind = celery_tasks.FAILURES[i // 2 % len(celery_tasks.FAILURES)]
            _assert_exact(received, _expected_failure(kind, i))
