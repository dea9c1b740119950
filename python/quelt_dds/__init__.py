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
may share one. Failures raise quelt_dds.Error, whose message says what was wrong and whose
log_lines hold what the library logged for the call. Names that do not exist raise
quelt_dds.UnknownNameError (also a KeyError), listing the names that do. A value that its member
cannot hold exactly raises TypeError, ValueError or OverflowError naming the member, and sets
nothing (see the README's table of conversions).
"""
import json
import math
import re
import struct
import threading
import time
import weakref
from collections.abc import Mapping

from . import _library
from ._library import Error, UnknownNameError, capture, reason, take_string

__all__ = ["Connector", "Writer", "Reader", "Sample", "Error", "UnknownNameError"]

lib = _library.lib

_WAIT_TIMEOUT = 10
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


def _json_text(pointer):
    text = take_string(pointer)
    return None if text is None else json.loads(text)


# ---- values checked against the member's type ----
# The library's by-name setters and its JSON input convert leniently (truncate, clamp, keep low
# bits, skip what does not fit). The binding sends a value only once it is sure the member holds
# it exactly, so that nothing is ever changed silently.

_INTEGER_RANGES = {"int16": (-(2**15), 2**15 - 1), "uint16": (0, 2**16 - 1), "int32": (-(2**31), 2**31 - 1),
                   "uint32": (0, 2**32 - 1), "int64": (_INT64_MIN, 2**63 - 1), "uint64": (0, _UINT64_MAX),
                   "uint8": (0, 255)}


def _member_names(type_):
    return ", ".join(m["name"] for m in type_.get("members", ())) or "none"


def _unknown_member(type_, name, path):
    where = "" if name == path else f" (in '{path}')"
    return UnknownNameError(f"{type_.get('name', 'the type')} has no member '{name}'{where}; "
                            f"members: {_member_names(type_)}")


def _refuse(error, path, type_, what):
    return error(f"'{path}' ({type_['kind']}) {what}")


def _a(value):
    return f"a {type(value).__name__}"


def _text_value(value, path, type_):
    if not isinstance(value, str):
        raise _refuse(TypeError, path, type_, f"takes a str, not {_a(value)}")
    if "\0" in value:
        raise _refuse(ValueError, path, type_, "cannot hold a NUL character")
    try:
        encoded = value.encode("utf-16-le" if type_["kind"] == "wstring" else "utf-8")
    except UnicodeEncodeError as e:
        raise _refuse(ValueError, path, type_, f"takes valid Unicode text: {e.reason}") from None
    units = len(encoded) // 2 if type_["kind"] == "wstring" else len(encoded)
    if type_.get("bound") and units > type_["bound"]:
        unit = "UTF-16 units" if type_["kind"] == "wstring" else "bytes of UTF-8"
        raise _refuse(ValueError, path, type_, f"holds at most {type_['bound']} {unit}; {value[:20]!r}... has {units}")
    return value


def _converted(type_, value, path):
    """value as the JSON value that sets a member of type_ exactly; raises where it cannot."""
    kind = type_["kind"]
    if value.__class__ is int and kind in _INTEGER_RANGES:  # the common case, first
        low, high = _INTEGER_RANGES[kind]
        if low <= value <= high:
            return value
    if value is None:
        raise _refuse(TypeError, path, type_, "takes a value, not None (clear() resets the sample)")
    if kind in _INTEGER_RANGES:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise _refuse(TypeError, path, type_, f"takes an int, not {_a(value)}")
        if isinstance(value, float):
            if not value.is_integer():
                raise _refuse(ValueError, path, type_, f"takes an int; {value!r} has a fraction")
            value = int(value)
        low, high = _INTEGER_RANGES[kind]
        if not low <= value <= high:
            raise _refuse(OverflowError, path, type_, f"holds {low} to {high}, not {value}")
        return value
    if kind in ("float32", "float64"):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise _refuse(TypeError, path, type_, f"takes a float or an int, not {_a(value)}")
        try:
            number = float(value)
            if kind == "float32":
                struct.pack("<f", number)  # OverflowError beyond the float32 range
        except OverflowError:
            raise _refuse(OverflowError, path, type_, f"cannot hold {value!r}: beyond its range") from None
        if math.isnan(number):
            return "NaN"
        if math.isinf(number):
            return "Infinity" if number > 0 else "-Infinity"
        return number
    if kind == "boolean":
        if not isinstance(value, bool):
            raise _refuse(TypeError, path, type_, f"takes a bool, not {_a(value)}")
        return value
    if kind in ("char8", "char16"):
        limit = 0xFF if kind == "char8" else 0xFFFF
        if isinstance(value, int) and not isinstance(value, bool) and kind == "char16":
            code = value
        elif isinstance(value, str) and len(value) <= 1:
            code = ord(value) if value else 0
        else:
            raise _refuse(TypeError, path, type_, f"takes a str of one character, not {value!r}")
        if not 0 <= code <= limit:
            raise _refuse(ValueError, path, type_, f"holds characters U+0000 to U+{limit:04X}, not {value!r}")
        # JSON input reads a char16 from the text of its number, a char8 from its character (and
        # refuses a NUL in a text: the empty text sets 0).
        return str(code) if kind == "char16" else chr(code) if code else ""
    if kind in ("string", "wstring"):
        return _text_value(value, path, type_)
    if kind == "enum":
        enumerators = type_["enumerators"]
        if isinstance(value, str) and value in enumerators:
            return value
        if isinstance(value, int) and not isinstance(value, bool) and value in enumerators.values():
            return value
        if not isinstance(value, (str, int)) or isinstance(value, bool):
            raise _refuse(TypeError, path, type_, f"takes an enumerator name or value, not {_a(value)}")
        raise _refuse(ValueError, path, type_, f"has no enumerator {value!r}; enumerators: " +
                      ", ".join(f"{k}={v}" for k, v in enumerators.items()))
    if kind in ("struct", "union"):
        if not isinstance(value, Mapping):
            raise _refuse(TypeError, path, type_, f"takes a dict of members, not {_a(value)}")
        if kind == "union" and len(value) != 1:
            raise _refuse(ValueError, path, type_, f"takes one case, not {len(value)}; cases: {_member_names(type_)}")
        out = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise _refuse(TypeError, path, type_, f"has members named by str, not {_a(key)}")
            member = _member_type(type_, key, f"{path}.{key}" if path else key)
            out[key] = _converted(member, item, f"{path}.{key}" if path else key)
        return out
    if kind in ("sequence", "array"):
        if not isinstance(value, (list, tuple)):
            raise _refuse(TypeError, path, type_, f"takes a list, not {_a(value)}")
        if kind == "array" and len(value) != type_["length"]:
            raise _refuse(ValueError, path, type_, f"takes exactly {type_['length']} elements, not {len(value)}")
        if kind == "sequence" and type_["bound"] and len(value) > type_["bound"]:
            raise _refuse(ValueError, path, type_, f"holds at most {type_['bound']} elements, not {len(value)}")
        return [_converted(type_["element"], item, f"{path}[{i + 1}]") for i, item in enumerate(value)]
    raise _refuse(TypeError, path, type_, "members cannot be set by this binding")


def _member_type(type_, name, path):
    member = type_.get("by_name", {}).get(name)
    if member is None:
        raise _unknown_member(type_, name, path)
    return member


def _indexed(type_):
    """type_ with a by_name map in every structure and union, for lookups at each set."""
    if "members" in type_:
        type_["by_name"] = {m["name"]: _indexed(m["type"]) for m in type_["members"]}
    elif "element" in type_:
        _indexed(type_["element"])
    return type_


def _path_type(type_, path, length_of):
    """The type of the member at path; length_of(steps) gives a sequence's current length."""
    try:
        steps, length = _steps(path)
    except KeyError:
        raise UnknownNameError(f"'{path}' is not a member path (\"a\", \"a.b\", \"seq[2]\"); "
                               f"members: {_member_names(type_)}") from None
    if length:
        raise UnknownNameError(f"'{path}': a length cannot be set; set the whole sequence instead")
    skip = 0
    for i, step in enumerate(steps):
        here = _path_of(steps[:i + 1])
        if skip:
            # A further index of a multi-dimensional array: its dimensions are the library's to
            # check (the type description gives only the element count).
            skip -= 1
            if step < 1:
                raise UnknownNameError(f"'{here}': array indexes count from 1")
            continue
        if isinstance(step, str):
            if type_["kind"] not in ("struct", "union"):
                raise UnknownNameError(f"'{here}': '{_path_of(steps[:i])}' ({type_['kind']}) has no members")
            type_ = _member_type(type_, step, here)
            continue
        if type_["kind"] not in ("sequence", "array"):
            raise UnknownNameError(f"'{here}': '{_path_of(steps[:i])}' ({type_['kind']}) has no elements")
        parent = _path_of(steps[:i])
        if type_["kind"] == "array":
            while i + 1 + skip < len(steps) and isinstance(steps[i + 1 + skip], int):
                skip += 1
            if not 1 <= step <= type_["length"]:
                raise UnknownNameError(f"'{here}': '{parent}' (array) has elements 1 to {type_['length']}")
        else:
            # An element that exists, or the one after the last (which appends it).
            count = length_of(steps[:i])
            last = min(count + 1, type_["bound"]) if type_["bound"] else count + 1
            if not 1 <= step <= last:
                raise UnknownNameError(f"'{here}': '{parent}' (sequence) has {count} elements now; set elements 1 to "
                                       f"{last} (one past the end appends) or the whole sequence")
        type_ = type_["element"]
    return type_


def _path_of(steps):
    return "".join(f"[{s}]" if isinstance(s, int) else f".{s}" if i else s for i, s in enumerate(steps))


class Connector:
    """A DDS participant created from an XML configuration, with its writers and readers.

    Deleted by close(), on leaving `with`, or at garbage collection; a deleted connector raises
    quelt_dds.Error on every call."""

    def __init__(self, config_name, config_file=None):
        name = _text(config_name, "config_name")
        path = None if config_file is None else _text(str(config_file), "config_file")
        self._lock = threading.RLock()
        self._handle = None
        self._config_name = config_name
        self._types = {}
        with capture() as cap:
            handle = lib.QueltDDSConnector_new(name, path, None)
            cap.lines, lines = [], cap.lines  # judged here, by the handle, not on leaving
        if not handle:
            raise _creation_error(config_name, config_file, name, path, lines)
        self._handle = handle
        _open.add(self)
        # A connector was made: what was logged on the way (a notice from the middleware, say)
        # is passed on, not taken for a failure.
        cap.lines = lines
        cap.warn(everything=True, stacklevel=3)

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

    def _type(self, name, entity):
        """The type description of an entity's samples, read once. Called with the lock held."""
        type_ = self._types.get(name)
        if type_ is None:
            with capture():
                type_ = _json_text(lib.QueltDDSConnector_getTypeJSON(self._live(), entity))
            if type_ is None:
                raise Error(f"the type of {name!r} is not known to the library")
            self._types[name] = type_ = _indexed(type_)
        return type_

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


def _creation_error(config_name, config_file, name, path, lines):
    errors = [text for level, text in lines if level == _library.ERROR_LEVEL]
    if path is not None:
        with capture() as quiet:
            names = _json_text(lib.QueltDDSConnector_getConfigNamesJSON(path))
            quiet.lines.clear()  # a file it cannot read: the creation's own lines say why
        if names is not None and config_name.removeprefix("::") not in names:
            return UnknownNameError(f"no participant configuration '{config_name}' in {config_file}; "
                                    f"configurations: {', '.join(names) or 'none'}", [t for _, t in lines])
    what = reason(errors[0]) if errors else "the library gave no reason"
    return Error(f"cannot create a connector from '{config_name}': {what}", [t for _, t in lines])


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
                names = _json_text(lib.QueltDDSConnector_getEntityNamesJSON(conn._live(), int(kind == "writer")))
                raise UnknownNameError(f"no {kind} '{name}' in '{conn._config_name}'; {kind}s: "
                                       f"{', '.join(names or ()) or 'none'}", [t for _, t in cap.lines])

    def _type(self):
        """The type description of the samples (called with the lock held)."""
        return self._conn._type(self.name, self._name)

    def __repr__(self):
        return f"<quelt_dds.{type(self).__name__} {self.name!r}>"


class Writer(_Entity):
    """A writer's outgoing sample: set members, read them back, then write.

    Every setter checks the value against the member's type first: a value the member cannot hold
    exactly raises (TypeError, ValueError, OverflowError) naming the member, an unknown member
    raises UnknownNameError listing the members, and in both cases nothing is set."""

    __slots__ = ()

    def __init__(self, conn, name):
        super().__init__(conn, name, lib.QueltDDSConnector_getWriter, "writer")

    def _instance(self):
        with capture():
            text = take_string(lib.QueltDDSConnector_getJSONInstance(self._conn._live(), self._name))
        return json.loads(text) if text else {}

    def _document(self, values):
        """The JSON document that sets values (member path -> value) exactly, or an exception."""
        type_ = self._type()
        instance = None

        def length_of(steps):
            nonlocal instance
            if instance is None:
                instance = self._instance()
            current = _walk(instance, steps)
            return len(current) if isinstance(current, list) else 0

        by_name = type_.get("by_name", {})
        document = {}
        for path, value in values.items():
            if not isinstance(path, str):
                raise TypeError(f"member names must be str, not {type(path).__name__}")
            member = by_name.get(path) or _path_type(type_, path, length_of)
            document[path] = _converted(member, value, path)
        return document

    def _set(self, values):
        with self._conn._lock:
            self._conn._live()  # a closed connector refuses even an empty update
            document = self._document(values)
            if document:
                with capture():
                    lib.QueltDDSConnector_setJSONInstance(self._conn._live(), self._name, _dumps(document))

    def __setitem__(self, path, value):
        """Sets one member by path: "a", "a.b", "seq[2]" (from 1; one past the end appends)."""
        _text(path, "a member name")
        self._set({path: value})

    @property
    def data(self):
        """The whole outgoing sample as a dict, as Sample.data holds a received one."""
        with self._conn._lock:
            return self._instance()

    def __getitem__(self, path):
        """One member of the outgoing sample by path, as Sample[path] reads a received one."""
        if not isinstance(path, str):
            raise TypeError(f"a member name must be a str, not {type(path).__name__}")
        with self._conn._lock:
            return _member(self._instance(), path, self._type())

    def update(self, values):
        """Sets the members a dict names (nested dicts for structures, lists for sequences): all of
        them, or none when one cannot be set."""
        if not isinstance(values, Mapping):
            raise TypeError(f"update takes a dict of members, not {type(values).__name__}")
        self._set(values)

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


def _member(fields, path, type_):
    """The member at path of a sample as JSON data; UnknownNameError naming what exists."""
    try:
        steps, length = _steps(path)
    except KeyError:
        steps, length = None, False
    value = _MISSING if steps is None else _walk(fields, steps)
    if value is not _MISSING and length:
        if isinstance(value, list):
            return len(value)
        if isinstance(value, dict):  # a union: its selected case
            return next(iter(value), None)
        value = _MISSING
    if value is _MISSING:
        if steps is not None and type_ is not None:
            _path_type(type_, path.removesuffix("#"), lambda _: _UINT64_MAX)  # an unknown member raises here
        raise UnknownNameError(f"'{path}' is not in the sample (an element past the end, an unset optional "
                               f"member or union case, or not a member path); members: {_member_names(type_ or {})}")
    return value


class Sample:
    """A received sample, copied out of the library: it stays valid after later reads and takes."""

    __slots__ = ("_fields", "_type", "data", "info")

    def __init__(self, fields, info, type_=None):
        self._fields = fields
        self._type = type_
        self.info = info
        self.data = fields if info["valid_data"] else None

    def __getitem__(self, path):
        """One member by path: "a", "a.b", "seq[2]" (from 1); a trailing '#' gives a length."""
        if not isinstance(path, str):
            raise TypeError(f"a member name must be a str, not {type(path).__name__}")
        return _member(self._fields, path, self._type)

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
            type_ = self._type()
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
                samples.append(Sample(json.loads(text) if text else {}, info, type_))
        return samples


def _identity(handle, name, index, field):
    text = take_string(lib.QueltDDSConnector_getStringFromInfos(handle, name, index, field))
    return json.loads(text) if text else None
