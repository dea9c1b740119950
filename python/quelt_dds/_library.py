"""Loads the connector library through ctypes and captures its log lines per call."""
import ctypes
import ctypes.util
import os
import threading
import warnings
from pathlib import Path

LIBRARY_ENV = "QUELT_DDS_LIBRARY"
LIBRARY_NAME = "libquelt_dds_connector.so"
LUA_NAME = "liblua5.2.so.0"

ERROR_LEVEL = 1


class Error(RuntimeError):
    """A call of the connector library failed. The message is one line, what was wrong; log_lines
    holds every line the library logged for the call."""

    def __init__(self, message, log_lines=()):
        super().__init__(message)
        self.log_lines = list(log_lines)


class UnknownNameError(Error, KeyError):
    """A writer, reader, member or participant configuration that does not exist; the message lists
    the names that do."""

    def __str__(self):
        return self.args[0]  # not KeyError's repr() of the text


def reason(line):
    """A log line without the logging function's name in front of it."""
    head, sep, rest = line.partition(": ")
    return rest if sep and head.isidentifier() else line


def _load():
    # The library takes Lua's symbols from the process: Lua must be loaded first, globally.
    try:
        ctypes.CDLL(LUA_NAME, mode=ctypes.RTLD_GLOBAL)
    except OSError as e:
        raise ImportError(f"quelt_dds needs the Lua 5.2 runtime {LUA_NAME}: {e}") from None
    candidates = []
    named = os.environ.get(LIBRARY_ENV)
    if named:
        candidates.append(named)
    else:
        # Installed: <prefix>/lib/python3.X/dist-packages/quelt_dds -> <prefix>/lib.
        installed = Path(__file__).resolve().parents[3] / LIBRARY_NAME
        if installed.exists():
            candidates.append(str(installed))
        candidates.append(LIBRARY_NAME)  # the dynamic loader's own search
    reasons = []
    for path in candidates:
        try:
            return ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
        except OSError as e:
            reasons.append(str(e))
    where = f"{LIBRARY_ENV}={named}" if named else f"{LIBRARY_NAME} (set {LIBRARY_ENV} to its path)"
    raise ImportError(f"quelt_dds cannot load the connector library {where}: {'; '.join(reasons)}")


lib = _load()

_c = ctypes.c_void_p
_s = ctypes.c_char_p
_i = ctypes.c_int
_d = ctypes.c_double
# (name, result, arguments). Functions that return library strings give c_void_p so that the
# pointer can be handed back to freeString.
_SIGNATURES = [
    ("QueltDDSConnector_new", _c, [_s, _s, _c]),
    ("QueltDDSConnector_delete", None, [_c]),
    ("QueltDDSConnector_setNumberIntoSamples", None, [_c, _s, _s, _d]),
    ("QueltDDSConnector_setBooleanIntoSamples", None, [_c, _s, _s, _i]),
    ("QueltDDSConnector_setStringIntoSamples", None, [_c, _s, _s, _s]),
    ("QueltDDSConnector_clear", None, [_c, _s]),
    ("QueltDDSConnector_getNumberFromSamples", _d, [_c, _s, _i, _s]),
    ("QueltDDSConnector_getNumberFromInfos", _d, [_c, _s, _i, _s]),
    ("QueltDDSConnector_getBooleanFromSamples", _i, [_c, _s, _i, _s]),
    ("QueltDDSConnector_getBooleanFromInfos", _i, [_c, _s, _i, _s]),
    ("QueltDDSConnector_getStringFromSamples", _c, [_c, _s, _i, _s]),
    ("QueltDDSConnector_getStringFromInfos", _c, [_c, _s, _i, _s]),
    ("QueltDDSConnector_getSamplesLength", _d, [_c, _s]),
    ("QueltDDSConnector_freeString", None, [_c]),
    ("QueltDDSConnector_write", None, [_c, _s, _s]),
    ("QueltDDSConnector_read", None, [_c, _s]),
    ("QueltDDSConnector_take", None, [_c, _s]),
    ("QueltDDSConnector_setJSONInstance", None, [_c, _s, _s]),
    ("QueltDDSConnector_getJSONInstance", _c, [_c, _s]),
    ("QueltDDSConnector_getJSONSample", _c, [_c, _s, _i]),
    ("QueltDDSConnector_getReader", _c, [_c, _s]),
    ("QueltDDSConnector_getWriter", _c, [_c, _s]),
    ("QueltDDSConnector_wait", _i, [_c, _i]),
    ("QueltDDSConnector_getEntityNamesJSON", _c, [_c, _i]),
    ("QueltDDSConnector_getTypeJSON", _c, [_c, _s]),
    ("QueltDDSConnector_getConfigNamesJSON", _c, [_s]),
    ("QueltLuaLog_setSink", None, [_c, _c]),
]
for _name, _res, _args in _SIGNATURES:
    try:
        _f = getattr(lib, _name)
    except AttributeError:
        raise ImportError(f"quelt_dds: the connector library does not export {_name}") from None
    _f.restype, _f.argtypes = _res, _args


def take_string(pointer):
    """The text of a library string (None for null), released with freeString."""
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer).decode("utf-8", "replace")
    finally:
        lib.QueltDDSConnector_freeString(pointer)


# ---- log capture ----
# One sink for the process. Lines logged by a thread inside capture() are collected for that
# call; every other line (middleware threads, status events) goes to stderr as before.
_local = threading.local()
_SINK_TYPE = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


@_SINK_TYPE
def _sink(level, line, _user):
    lines = getattr(_local, "lines", None)
    if lines is not None:
        lines.append((level, line.decode("utf-8", "replace").rstrip("\n")))
    else:
        os.write(2, line)


lib.QueltLuaLog_setSink(ctypes.cast(_sink, ctypes.c_void_p), None)


class capture:
    """Collects the lines the library logs on this thread during a call. On leaving, error lines
    raise Error, led by the first of them; warning lines become RuntimeWarnings."""

    __slots__ = ("lines", "_saved")

    def __enter__(self):
        self._saved = getattr(_local, "lines", None)
        self.lines = []
        _local.lines = self.lines
        return self

    def __exit__(self, kind, value, tb):
        _local.lines = self._saved
        if kind is None and self.lines:
            self.check()
        return False

    def errors(self):
        return [text for level, text in self.lines if level == ERROR_LEVEL]

    def warn(self, everything=False, stacklevel=5):
        """Passes warning lines on as RuntimeWarnings (error lines too when everything)."""
        for level, text in self.lines:
            if everything or level != ERROR_LEVEL:
                warnings.warn(text, RuntimeWarning, stacklevel=stacklevel)

    def check(self):
        self.warn()
        errors = self.errors()
        if errors:
            # The first error says what failed; the lines after it (a Lua stack dump, the callers'
            # own lines) stay in log_lines.
            raise Error(reason(errors[0]), [text for _, text in self.lines])


def _detach():
    # Middleware threads may still log after the interpreter is gone: give them stderr back.
    lib.QueltLuaLog_setSink(None, None)
