"""The Celery application of ``test_celery``: its tasks, the exceptions they raise
and the references they are given.

A worker loads it as ``celery -A celery_tasks:app worker``, with the route and
the broker in the environment (``DRAVOLT_CELERY_ROUTE``, ``DRAVOLT_CELERY_URL``);
the test's clients make their own applications with :func:`make_app`.  The
routes: ``pickle`` (pickle both ways, ``payloads.install`` in the workers),
``json`` (``dravolt_common.celery.configure``) and ``plain`` (Celery's own JSON,
for a client that has none of this package).
"""

import collections
import errno
import json
import os
import os.path

from celery import Celery

from dravolt_common import celery as payload_celery


class CodeError(Exception):
    def __init__(self, code, *, detail):
        super().__init__(code)
        self.code = code
        self.detail = detail


class SlottedError(Exception):
    __slots__ = ("code",)

    def __init__(self, code):
        super().__init__(f"code {code}")
        self.code = code


class Owner:
    def __init__(self, value):
        self.value = value

    def method(self):
        return self.value

    @classmethod
    def build(cls):
        return cls(0)


def raise_failure(kind, code):
    """Raise the exception of ``kind`` (one of ``FAILURES``) for ``code``."""
    if kind == "keyword-only":
        raise CodeError(code, detail=f"detail {code}")
    if kind == "slots":
        raise SlottedError(code)
    try:
        raise CodeError(code, detail="while reading")
    except CodeError as error:
        if kind == "file name, cause":
            raise OSError(errno.ENOENT, "No such file", f"/data/{code}.bin") from error
        # kind "context": the implicit chain, which "from" would replace.
        raise KeyError(f"key {code}")  # noqa: B904


FAILURES = ("keyword-only", "slots", "file name, cause", "context")

OWNER = Owner(3)
# Each a task argument that must arrive as itself: its label, the object.
REFERENCES = {
    "function": os.path.join,
    "class": collections.OrderedDict,
    "module": json,
    "built-in function": len,
    "method of a class": Owner.build,
    "method of an instance": OWNER.method,
}


def is_reference(label, obj):
    """Whether ``obj`` is the reference ``label`` names (a bound method: the
    same function, bound to the same class or to an equal instance)."""
    expected = REFERENCES[label]
    if label == "method of an instance":
        return (
            obj.__func__ is expected.__func__
            and type(obj.__self__) is Owner
            and obj.__self__.value == OWNER.value
        )
    if label == "method of a class":
        return obj.__func__ is expected.__func__ and obj.__self__ is Owner
    return obj is expected


def ping():
    return "pong"


def fail(kind, code):
    raise_failure(kind, code)


def references(*pairs):
    """Say in the worker which arguments (label, object) arrived as themselves;
    send them back."""
    return [(label, is_reference(label, obj), obj) for label, obj in pairs]


def echo(*args):
    return args


def make_app(route, url):
    app = Celery(f"celery_tasks_{route}", broker=url, backend=url)
    app.conf.update(broker_connection_retry_on_startup=True, worker_hijack_root_logger=False)
    if route == "pickle":
        app.conf.update(
            task_serializer="pickle",
            result_serializer="pickle",
            accept_content=["pickle"],
            result_accept_content=["pickle"],
        )
        payload_celery.install_in_workers()
    elif route == "json":
        payload_celery.configure(app)
    for function in (ping, fail, references, echo):
        app.task(name=f"celery_tasks.{function.__name__}")(function)
    return app


def _app_from_environment():
    route, url = os.environ.get("DRAVOLT_CELERY_ROUTE"), os.environ.get("DRAVOLT_CELERY_URL")
    return None if route is None or url is None else make_app(route, url)


app = _app_from_environment()
