"""Python binding of the Quelt DDS Connector, over the library's exported functions (ctypes only).

    import quelt_dds
    with quelt_dds.Connector("ShapesLib::Shapes", "examples/shapes/Shapes.xml") as conn:
        w = conn.writer("Pub::SquareWriter")
        w.write({"color": "RED", "x": 1})
        r = conn.reader("Sub::SquareReader")
        if conn.wait(timeout=1.0):
            for s in r.take():
                print(s.data, s.info["source_timestamp"], s["x"])

A connector is used by one thread at a time: every call takes the connector's lock, so threads
may share one. Failures raise quelt_dds.Error with what the library logged for the call.
"""
import json
import math
import re
import threading
import time
import weakref
from collections.abc import Mapping

from . import _library
from ._library import Error, capture, take_string

__all__ = ["Connector", "Writer", "Reader", "Sample", "Error"]

lib = _library.lib

_WAIT_TIMEOUT = 10
# Integers a double holds exactly go through the number setter; wider ones through JSON.
_EXACT_DOUBLE = 2**53
_INT64_MIN, _UINT64_MAX = -(2**63), 2**64 - 1
# A slice of a wait: between slices other threads get the connector.
_WAIT_SLICE_MS = 50


def _text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value.encode("utf-8")


def _jsonable(value, path):
    """value as plain JSON data: NaN and infinities as the library's texts, 64-bit integers checked."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        if not _INT64_MIN <= value <= _UINT64_MAX:
            raise OverflowError(f"'{path}': {value} does not fit 64 bits")
        return value
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "Infinity" if value > 0 else "-Infinity"
        return value
    if isinstance(value, Mapping):
        out = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"'{path}': member names must be str, not {type(key).__name__}")
            out[key] = _jsonable(item, f"{path}.{key}" if path else key)
        return out
    if isinstance(value, (list, tuple)):
        return [_jsonable(item, f"{path}[{i + 1}]") for i, item in enumerate(value)]
    raise TypeError(f"'{path or '<sample>'}': a {type(value).__name__} cannot be a sample value")


def _dumps(value):
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode("utf-8")


_STEP = re.compile(r"\.?([^.\[\]#]+)|\[(\d+)\]")


def _steps(path):
    """'a.b[2]#' -> (['a', 'b', 2], True): member names and 1-based indexes, and the '#' flag."""
    length = path.endswith("#")
    body = path[:-1] if length else path
    steps, pos = [], 0
    while pos < len(body):
        m = _STEP.match(body, pos)
        if m is None or (pos == 0 and body.startswith(".")):
            raise KeyError(path)
        steps.append(m.group(1) if m.group(1) is not None else int(m.group(2)))
        pos = m.end()
    if not steps:
        raise KeyError(path)
    return steps, length


_MISSING = object()


def _walk(data, steps):
    """The value at steps in JSON data, or _MISSING."""
    for step in steps:
        if isinstance(step, str) and isinstance(data, dict) and step in data:
            data = data[step]
        elif isinstance(step, int) and isinstance(data, list) and 1 <= step <= len(data):
            data = data[step - 1]
        else:
            return _MISSING
    return data


def _is_container(value):
    return isinstance(value, (dict, list))


class Connector:
    """A DDS participant created from an XML configuration, with its writers and readers.

    Deleted by close(), on leaving `with`, or at garbage collection; a deleted connector raises
    quelt_dds.Error on every call."""

    def __init__(self, config_name, config_file=None):
        name = _text(config_name, "config_name")
        path = None if config_file is None else _text(str(config_file), "config_file")
        self._lock = threading.RLock()
        self._handle = None
        with capture() as cap:
            handle = lib.QueltDDSConnector_new(name, path, None)
            if not handle:
                raise Error("\n".join(cap.errors()) or f"could not create the connector {config_name}",
                            cap.errors())
            # Held before the captured lines are judged: a creation that logged errors raises,
            # and the connector it made goes with this object.
            self._handle = handle
            _open.add(self)

    # -- lifecycle --
    def close(self):
        with self._lock:
            handle, self._handle = self._handle, None
            if handle:
                _open.discard(self)
                with capture():
                    lib.QueltDDSConnector_delete(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        if getattr(self, "_handle", None) and lib is not None:
            self.close()

    def _live(self):
        # Called with the lock held.
        if not self._handle:
            raise Error("the connector is closed")
        return self._handle

    # -- entities --
    def writer(self, name):
        return Writer(self, name)

    def reader(self, name):
        return Reader(self, name)

    # -- waiting --
    def wait(self, timeout=None):
        """True when a reader has data, False after timeout seconds (None: no limit)."""
        if (timeout is not None and not isinstance(timeout, (int, float))) or isinstance(timeout, bool):
            raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
        if timeout is not None and math.isinf(timeout) and timeout > 0:
            timeout = None
        deadline = None if timeout is None else time.monotonic() + (timeout if timeout > 0 else 0.0)
        while True:
            left = _WAIT_SLICE_MS if deadline is None else int(max(0.0, deadline - time.monotonic()) * 1000)
            with self._lock, capture():
                rc = lib.QueltDDSConnector_wait(self._live(), min(left, _WAIT_SLICE_MS))
            if rc == 0:
                return True
            if rc != _WAIT_TIMEOUT:
                raise Error(f"wait failed with code {rc}")
            if deadline is not None and time.monotonic() >= deadline:
                return False
            time.sleep(0)  # let a thread blocked on the lock take it


# Connectors still open at exit are closed before the log sink goes away.
_open = weakref.WeakSet()


def _at_exit():
    for conn in list(_open):
        conn.close()
    _library._detach()


import atexit  # noqa: E402

atexit.register(_at_exit)


class _Entity:
    __slots__ = ("_conn", "_name", "name")

    def __init__(self, conn, name, lookup, kind):
        if not isinstance(conn, Connector):
            raise TypeError("conn must be a Connector")
        self._conn = conn
        self.name = name
        self._name = _text(name, f"a {kind} name")
        with conn._lock, capture() as cap:
            if not lookup(conn._live(), self._name):
                raise KeyError(f"no {kind} named {name!r}" + "".join(f"\n{t}" for t in cap.errors()))

    def __repr__(self):
        return f"<quelt_dds.{type(self).__name__} {self.name!r}>"


class Writer(_Entity):
    """A writer's outgoing sample: set members, then write."""

    __slots__ = ("_shape",)

    def __init__(self, conn, name):
        super().__init__(conn, name, lib.QueltDDSConnector_getWriter, "writer")
        self._shape = None

    def _instance_shape(self):
        # The instance as JSON, read once: which members are structures, sequences or scalars.
        if self._shape is None:
            with self._conn._lock, capture():
                text = take_string(lib.QueltDDSConnector_getJSONInstance(self._conn._live(), self._name))
            self._shape = json.loads(text) if text else {}
        return self._shape

    def _check_shapes(self, value, steps, path):
        """TypeError where a structure or sequence meets a scalar, or the other way round."""
        current = _walk(self._instance_shape(), steps)
        if current is _MISSING or current is None:
            return  # an optional member or union case not set now: the library decides
        if _is_container(value) != _is_container(current) or (isinstance(value, dict) and isinstance(current, list)):
            want = "a structure" if isinstance(current, dict) else "a sequence" if isinstance(current, list) else "a scalar"
            raise TypeError(f"'{path}' takes {want}, not a {type(value).__name__}")
        if isinstance(value, dict):
            for key, item in value.items():
                self._check_shapes(item, steps + [key], f"{path}.{key}")

    def _set_json(self, document):
        with self._conn._lock, capture():
            lib.QueltDDSConnector_setJSONInstance(self._conn._live(), self._name, _dumps(document))

    def __setitem__(self, path, value):
        member = _text(path, "a member name")
        if value is None:
            raise TypeError(f"'{path}': None is not a value (clear() resets the sample)")
        document = _jsonable(value, path)  # TypeError for what no member takes
        try:
            steps = _steps(path)[0]
        except KeyError:
            steps = None  # not a path we read: the library judges it
        if steps is not None:
            self._check_shapes(document, steps, path)
        if isinstance(value, bool):
            with self._conn._lock, capture():
                lib.QueltDDSConnector_setBooleanIntoSamples(self._conn._live(), self._name, member, int(value))
        elif isinstance(value, int) and -_EXACT_DOUBLE <= value <= _EXACT_DOUBLE or isinstance(value, float):
            with self._conn._lock, capture():
                lib.QueltDDSConnector_setNumberIntoSamples(self._conn._live(), self._name, member, float(value))
        elif isinstance(value, str):
            with self._conn._lock, capture():
                lib.QueltDDSConnector_setStringIntoSamples(self._conn._live(), self._name, member,
                                                           _text(value, "the value"))
        else:
            # 64-bit integers, structures and sequences travel as JSON keyed by the member's path.
            self._set_json({path: document})

    def update(self, values):
        """Sets the members a dict names (nested dicts for structures, lists for sequences)."""
        if not isinstance(values, Mapping):
            raise TypeError(f"update takes a dict of members, not {type(values).__name__}")
        document = _jsonable(values, "")
        for key, item in document.items():
            self._check_shapes(item, [key], key)
        self._set_json(document)

    def write(self, data=None, *, related_identity=None):
        """Writes the current sample, after setting the members of data when given.
        related_identity: a sample identity (a dict, as Sample.info["sample_identity"])."""
        params = None
        if related_identity is not None:
            if not isinstance(related_identity, Mapping):
                raise TypeError(f"related_identity must be a dict, not {type(related_identity).__name__}")
            params = _dumps({"related_sample_identity": _jsonable(related_identity, "related_identity")})
        # One hold of the lock: another thread's members never slip in between.
        with self._conn._lock:
            if data is not None:
                self.update(data)
            with capture():
                lib.QueltDDSConnector_write(self._conn._live(), self._name, params)

    def clear(self):
        """Resets every member of the sample to its default."""
        with self._conn._lock, capture():
            lib.QueltDDSConnector_clear(self._conn._live(), self._name)


class Sample:
    """A received sample, copied out of the library: it stays valid after later reads and takes."""

    __slots__ = ("_fields", "data", "info")

    def __init__(self, fields, info):
        self._fields = fields
        self.info = info
        self.data = fields if info["valid_data"] else None

    def __getitem__(self, path):
        """One member by path: "a", "a.b", "seq[2]" (from 1); a trailing '#' gives a length."""
        if not isinstance(path, str):
            raise TypeError(f"a member name must be a str, not {type(path).__name__}")
        steps, length = _steps(path)
        value = _walk(self._fields, steps)
        if value is _MISSING:
            raise KeyError(path)
        if length:
            if isinstance(value, list):
                return len(value)
            if isinstance(value, dict):  # a union: its selected case
                return next(iter(value), None)
            raise KeyError(path)
        return value

    def __repr__(self):
        return f"<quelt_dds.Sample data={self.data!r}>"


class Reader(_Entity):
    """A reader: read() or take() returns the samples received as a list of Sample."""

    __slots__ = ()

    def __init__(self, conn, name):
        super().__init__(conn, name, lib.QueltDDSConnector_getReader, "reader")

    def read(self):
        return self._fetch(lib.QueltDDSConnector_read)

    def take(self):
        return self._fetch(lib.QueltDDSConnector_take)

    def _fetch(self, operation):
        conn, name = self._conn, self._name
        with conn._lock, capture():
            handle = conn._live()
            operation(handle, name)
            count = int(lib.QueltDDSConnector_getSamplesLength(handle, name))
            samples = []
            for i in range(1, count + 1):
                text = take_string(lib.QueltDDSConnector_getJSONSample(handle, name, i))
                info = {
                    "valid_data": lib.QueltDDSConnector_getBooleanFromInfos(handle, name, i, b"valid_data") == 1,
                    "source_timestamp": lib.QueltDDSConnector_getNumberFromInfos(handle, name, i, b"source_timestamp"),
                    "reception_timestamp":
                        lib.QueltDDSConnector_getNumberFromInfos(handle, name, i, b"reception_timestamp"),
                    "sample_identity": _identity(handle, name, i, b"sample_identity"),
                    "related_sample_identity": _identity(handle, name, i, b"related_sample_identity"),
                }
                samples.append(Sample(json.loads(text) if text else {}, info))
        return samples


def _identity(handle, name, index, field):
    text = take_string(lib.QueltDDSConnector_getStringFromInfos(handle, name, index, field))
    return json.loads(text) if text else None
