"""The payloads across a Celery task queue: exceptions and references exact.

Celery has two routes for a task's arguments and results, and this module
makes both carry exceptions, functions, classes, modules and bound methods as
the package's payloads.  It imports Celery and kombu, so it is imported only by
applications that use them (the ``celery`` extra installs both).

The pickle route (``task_serializer``, ``result_serializer`` and
``accept_content`` set to pickle) needs only :func:`install_in_workers` in the
module that defines the application: it runs :func:`payloads.install` in every
process of the worker that runs tasks, whatever its pool.  The client that
reads the results calls :func:`payloads.install` once itself.

The JSON route is :func:`configure`: a kombu serializer of its own,
:data:`SERIALIZER`, that writes jsonpickle payloads through
:class:`payloads.JsonPickler`, and a result backend that hands the serializer
a task's exception as the object, where Celery's own backends hand any
serializer but pickle the exception's class name, module and ``args`` alone.
A client that reads the results with Celery's plain JSON serializer still
finds those three fields, and so gets what the JSON route gives without this
module.

Both routes load what they read as unpickling does, importing the modules and
calling the callables that a payload names: accept either only from a broker
and result store that only trusted programs write to.
"""

from __future__ import annotations

import json
from typing import Any

import celery.backends.redis
import celery.signals
import jsonpickle  # type: ignore[import-untyped]
import jsonpickle.handlers  # type: ignore[import-untyped]
import jsonpickle.tags  # type: ignore[import-untyped]
import kombu.serialization
import kombu.utils.json
from celery.app.backends import by_url
from celery.utils.serialization import ensure_serializable

from dravolt_common import payloads

__all__ = [
    "CONTENT_TYPE",
    "SERIALIZER",
    "FailureRecord",
    "PayloadExceptions",
    "RedisBackend",
    "configure",
    "dumps",
    "install_in_workers",
    "loads",
    "register_serializer",
]

#: The name of the kombu serializer, for ``task_serializer`` and ``result_serializer``.
SERIALIZER = "dravolt-json"
#: The content type that its messages and results carry.
CONTENT_TYPE = "application/x-dravolt-json"

# The keys of the exception record that Celery's own JSON route reads.
_CELERY_FIELDS = ("exc_type", "exc_message", "exc_module")
_PAYLOAD_KEY = "exception"
_REDIS_SCHEMES = ("redis", "rediss")


def dumps(obj: Any) -> str:
    """Return the JSON text of ``obj`` as :data:`SERIALIZER` writes it."""
    text: str = jsonpickle.encode(obj, context=payloads.JsonPickler(keys=True), keys=True)
    return text


def loads(data: str | bytes | bytearray | memoryview) -> Any:
    """Load JSON text that :func:`dumps` wrote (or any JSON text)."""
    if not isinstance(data, str):
        data = bytes(data).decode("utf-8")
    return jsonpickle.decode(data, keys=True)


def register_serializer() -> None:
    """Register :data:`SERIALIZER` with kombu; registering it again changes nothing."""
    kombu.serialization.register(
        SERIALIZER, dumps, loads, content_type=CONTENT_TYPE, content_encoding="utf-8"
    )


def _install_payloads(**_signal_arguments: Any) -> None:
    payloads.install()


def install_in_workers() -> None:
    """Run :func:`payloads.install` in each process of a worker that runs tasks.

    Two of Celery's signals cover every pool: ``worker_init``, which the
    worker's main process sends before it makes its pool (the solo and
    threads pools run tasks there, and a forked child inherits what it did),
    and ``worker_process_init``, which each child of the prefork pool sends,
    however it was started (the solo pool sends it too).  It must be called
    where the worker imports it, in the module that defines the application,
    after the exception classes that tasks raise are defined.
    """
    # Weak references would let the handler go with this call's frame.
    celery.signals.worker_init.connect(_install_payloads, weak=False)
    celery.signals.worker_process_init.connect(_install_payloads, weak=False)


class FailureRecord:
    """A task's exception as the result backend hands it to :data:`SERIALIZER`.

    ``fields`` are the three that Celery's JSON route stores for an exception
    (``exc_type``, ``exc_message``, ``exc_module``); the serializer writes
    them beside the exception's payload, so that a reader without this module
    rebuilds what it always did, and a reader with it gets ``exception``.
    """

    __slots__ = ("exception", "fields")

    def __init__(self, exception: BaseException, fields: dict[str, Any]) -> None:
        self.exception = exception
        self.fields = fields


class _FailureRecordHandler(jsonpickle.handlers.BaseHandler):  # type: ignore[misc]
    """Writes a :class:`FailureRecord` as Celery's fields and a payload; reads back the exception."""

    def flatten(self, obj: FailureRecord, data: dict[str, Any]) -> dict[str, Any]:
        data.update(obj.fields)
        data[_PAYLOAD_KEY] = self.context.flatten(obj.exception, reset=False)
        return data

    def restore(self, obj: dict[str, Any]) -> Any:
        return self.context.restore(obj[_PAYLOAD_KEY], reset=False)


jsonpickle.handlers.register(FailureRecord, _FailureRecordHandler)


def _celery_fields(exception: BaseException) -> dict[str, Any]:
    # What Celery's backends store for an exception when the serializer is
    # JSON: the arguments that kombu's JSON encoder takes (the others as
    # their repr), as plain JSON values, which this serializer writes as
    # they are (a tuple would be a jsonpickle tuple).
    cls = type(exception)
    arguments = list(ensure_serializable(exception.args, _kombu_json))
    return {
        "exc_type": getattr(cls, "__qualname__", cls.__name__),
        "exc_message": json.loads(_kombu_json(arguments)),
        "exc_module": cls.__module__,
    }


def _kombu_json(obj: Any) -> str:
    return str(kombu.utils.json.dumps(obj))


class PayloadExceptions:
    """Result-backend mixin: with :data:`SERIALIZER`, exceptions reach the serializer as objects.

    Put it before a Celery backend class among the bases of a class of your
    own; :class:`RedisBackend` is the one for Redis.  It overrides the
    backend's public ``prepare_exception``, which Celery's backends call on a
    task's exception before they store it; with any other serializer the
    backend's own runs.  Reading needs nothing here: the serializer gives
    the exception back, and Celery's ``exception_to_python`` keeps an
    exception as it is.
    """

    serializer: str

    def prepare_exception(self, exc: BaseException, serializer: str | None = None) -> Any:
        chosen = self.serializer if serializer is None else serializer
        if chosen != SERIALIZER:
            return super().prepare_exception(exc, serializer)  # type: ignore[misc]
        return FailureRecord(exc, _celery_fields(exc))


class RedisBackend(PayloadExceptions, celery.backends.redis.RedisBackend):  # type: ignore[misc]
    """Celery's Redis result backend with :class:`PayloadExceptions`."""


def configure(app: Any, *, accept_json: bool = True) -> None:
    """Set a Celery application on the JSON route of the payloads.

    Registers :data:`SERIALIZER` and makes it the task and result serializer;
    the worker and the client both accept it, and plain JSON too unless
    ``accept_json`` is false (a client without this module sends JSON).  A
    ``redis://`` or ``rediss://`` result backend becomes :class:`RedisBackend`
    at the same address; a backend class that already has
    :class:`PayloadExceptions` is kept; any other raises ``ValueError``.
    Calls :func:`install_in_workers`, since Celery keeps a task's exception
    only if it survives a round trip through pickle in the worker.

    Call it once the application's configuration is set: it reads
    ``result_backend`` there.
    """
    register_serializer()
    accepted = [SERIALIZER, "json"] if accept_json else [SERIALIZER]
    app.conf.update(
        task_serializer=SERIALIZER,
        result_serializer=SERIALIZER,
        accept_content=accepted,
        result_accept_content=accepted,
        result_backend=_payload_backend_url(app),
    )
    install_in_workers()


def _payload_backend_url(app: Any) -> str:
    url = app.conf.result_backend
    if not isinstance(url, str):
        raise ValueError(f"result_backend {url!r} is not a URL")
    backend_class, _ = by_url(url, app.loader)
    if isinstance(backend_class, type) and issubclass(backend_class, PayloadExceptions):
        return url
    scheme = url.partition("://")[0]
    if backend_class is celery.backends.redis.RedisBackend and scheme in _REDIS_SCHEMES:
        # Celery's "class+URL" form: the class, and the URL that it connects to.
        return f"{__name__}:RedisBackend+{url}"
    raise ValueError(
        f"result_backend {url!r} is a {backend_class!r}: subclass it with "
        f"{__name__}.PayloadExceptions first and name that class as 'module:Class+URL'"
    )
