"""The shared library's records and functions, through ctypes.

Finding the library, in order: the path given to ``load_library`` or in
``KOVRA62386_LIBRARY``; the library beside this module; the system loader
(the Debian package's multiarch folder, ``PATH`` on Windows). On Windows the
DLL is 32-bit and needs a 32-bit Python.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

_WINDOWS = sys.platform == "win32"
_HERE = os.path.dirname(os.path.abspath(__file__))
if _WINDOWS:
    _NAMES = ["Kovra62386Communication.dll"]
else:
    _NAMES = ["libKovra62386Communication.so.0", "libKovra62386Communication.so"]


class BusFrame(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_uint8 * 5),
        ("bit_count", ctypes.c_uint8),
        ("format", ctypes.c_uint8),
        ("reserved0", ctypes.c_uint8),
        ("value", ctypes.c_uint32),
        ("send_twice", ctypes.c_uint8),
        ("reserved1", ctypes.c_uint8 * 3),
    ]


class WriteFrameRecord(ctypes.Structure):
    _fields_ = [
        ("frame_type", ctypes.c_uint8),
        ("sub_type", ctypes.c_uint8),
        ("reserved0", ctypes.c_uint8 * 2),
        ("frame", BusFrame),
        ("reserved1", ctypes.c_uint8 * 52),
    ]


class BusEvent(ctypes.Structure):
    _fields_ = [
        ("header_flag", ctypes.c_uint8),
        ("reserved0", ctypes.c_uint8 * 3),
        ("value", ctypes.c_uint32),
        ("words", ctypes.c_uint16 * 83),
        ("word_count", ctypes.c_uint8),
        ("reserved1", ctypes.c_uint8),
        ("data", ctypes.c_uint8 * 5),
        ("bit_count", ctypes.c_uint8),
        ("aux_a", ctypes.c_uint8),
        ("event_flags", ctypes.c_uint8),
        ("aux_b", ctypes.c_uint8),
        ("reserved2", ctypes.c_uint8 * 3),
    ]


class TransmitReport(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_uint8),
        ("reserved0", ctypes.c_uint8 * 3),
        ("frame", BusFrame),
    ]


class ReadFrameRecord(ctypes.Structure):
    _fields_ = [
        ("frame_type", ctypes.c_uint8),
        ("sub_type", ctypes.c_uint8),
        ("reserved0", ctypes.c_uint8 * 2),
        ("bus_event", BusEvent),
        ("transmit_report", TransmitReport),
        ("info0", ctypes.c_uint8 * 24),
        ("info3", ctypes.c_uint8 * 28),
    ]


class _EventPayload(ctypes.Union):
    _fields_ = [
        ("record", ReadFrameRecord),
        ("bus_state", ctypes.c_int32),
        ("bytes", ctypes.c_uint8 * 264),
    ]


class TransceiverEvent(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int32), ("payload", _EventPayload)]


class SendResult(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_int32),
        ("answer", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8 * 3),
    ]


class EnumerationNode(ctypes.Structure):
    pass


EnumerationNode._fields_ = [
    ("name", ctypes.c_char_p),
    ("next", ctypes.POINTER(EnumerationNode)),
]

for _record, _size in ((BusFrame, 16), (WriteFrameRecord, 72), (ReadFrameRecord, 264),
                       (TransceiverEvent, 268), (SendResult, 8)):
    assert ctypes.sizeof(_record) == _size, _record.__name__

# The callback uses the platform's C convention on every platform, never
# __stdcall.
TransceiverCallback = ctypes.CFUNCTYPE(
    None, ctypes.c_uint32, ctypes.POINTER(TransceiverEvent), ctypes.c_void_p)

# name: (result, arguments); on 32-bit Windows the DLL exports the
# decorated __stdcall names (_KOVRA62386_read@8).
_FUNCTIONS = {
    "initialize": (ctypes.c_int32, []),
    "terminate": (None, []),
    "enumerate": (ctypes.POINTER(EnumerationNode), []),
    "free_enumeration": (None, [ctypes.POINTER(EnumerationNode)]),
    "open": (ctypes.c_uint32, [ctypes.c_char_p]),
    "close": (None, [ctypes.c_uint32]),
    "read": (ctypes.c_int32, [ctypes.c_uint32, ctypes.POINTER(ReadFrameRecord)]),
    "write": (ctypes.c_int32, [ctypes.c_uint32, ctypes.POINTER(WriteFrameRecord)]),
    "send": (SendResult, [ctypes.c_uint32, ctypes.POINTER(WriteFrameRecord)]),
    "start_transceiver": (ctypes.c_uint8,
                          [ctypes.c_uint32, TransceiverCallback, ctypes.c_void_p]),
    "stop_transceiver": (ctypes.c_int32, [ctypes.c_uint32]),
}


class Library:
    """The eleven functions of one loaded library, as attributes."""

    def __init__(self, handle):
        self.handle = handle
        decorated = _WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 4
        for name, (result, arguments) in _FUNCTIONS.items():
            symbol = "KOVRA62386_" + name
            if decorated:
                symbol = "_%s@%d" % (symbol, 4 * len(arguments))
            function = handle[symbol]
            function.restype = result
            function.argtypes = arguments
            setattr(self, name, function)


def _candidates(path):
    if path:
        yield path
        return
    explicit = os.environ.get("KOVRA62386_LIBRARY")
    if explicit:
        yield explicit
        return
    for name in _NAMES:
        beside = os.path.join(_HERE, name)
        if os.path.exists(beside):
            yield beside
    yield from _NAMES
    found = ctypes.util.find_library("Kovra62386Communication")
    if found:
        yield found


_loaded = {}
_loaded_lock = threading.Lock()


def load_library(path=None):
    """Loads the shared library (once per path) and answers its functions."""
    loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL
    errors = []
    for candidate in _candidates(path):
        with _loaded_lock:
            if candidate in _loaded:
                return _loaded[candidate]
            try:
                library = Library(loader(candidate))
            except OSError as error:
                errors.append("%s: %s" % (candidate, error))
                continue
            _loaded[candidate] = library
            return library
    hint = ""
    if _WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 8:
        hint = " (the DLL is 32-bit: use a 32-bit Python)"
    raise OSError("cannot load the kovra62386 library%s; set KOVRA62386_LIBRARY to its "
                  "path. Tried: %s" % (hint, "; ".join(errors) or "nothing"))
