"""Session, interfaces and transceivers over the library's C functions."""

import atexit
import ctypes
import enum
import logging
import threading
import weakref
from dataclasses import dataclass
from typing import Optional

from . import _constants as c
from . import _native
from .frames import BusFlag, BusState, frame_from_record

_log = logging.getLogger("kovra62386")


class Kovra62386Error(Exception):
    pass


class NoServerError(Kovra62386Error):
    def __init__(self):
        super().__init__("cannot reach or start the local DALI server "
                         "(Kovra62386Server): is it installed or running?")


class UnknownInterfaceError(Kovra62386Error):
    def __init__(self, name, available):
        self.name = name
        self.available = list(available)
        super().__init__("unknown interface %r; the server lists: %s"
                         % (name, ", ".join(self.available) or "none"))


class ClosedError(Kovra62386Error):
    def __init__(self, what="the interface"):
        super().__init__("%s is closed" % what)


class SendStatus(enum.IntEnum):
    NO_TRANSCEIVER = c.SEND_NO_TRANSCEIVER
    NO_RESULT = c.SEND_NO_RESULT  # busy, not confirmed, not completed or not sent
    FRAMING_ERROR = c.SEND_FRAMING_ERROR  # collision: several devices answered
    NO_ANSWER = c.SEND_NO_ANSWER
    NOT_ECHOED = c.SEND_NOT_ECHOED
    ANSWER = c.SEND_ANSWER


@dataclass(frozen=True)
class SendResult:
    status: SendStatus
    answer: Optional[int] = None  # the answer byte when status is ANSWER


# The bus-state flags of each bus state of a bus-state event.
_BUS_STATE_FLAGS = {c.BUS_OK: 0, c.BUS_SYSTEM_FAILURE: BusFlag.SYSTEM_FAILURE,
                    c.BUS_POWER_LOST: BusFlag.POWER_LOST,
                    c.BUS_POWER_RETURN: BusFlag.POWER_LOST | BusFlag.POWER_RETURN}

# Closed at exit: a transceiver must not call into a finishing interpreter.
_live_sessions = weakref.WeakSet()


@atexit.register
def _close_all():
    for session in list(_live_sessions):
        session.close()


class Session:
    """The library's connection to the local server; starts it if needed.

    Use it as a context manager. The library keeps one connection per
    process: have one Session at a time.
    """

    def __init__(self, library=None):
        self._lib = _native.load_library(library)
        self._lock = threading.Lock()
        self._interfaces = weakref.WeakSet()
        self._open = False
        if self._lib.initialize() != 0:
            self._lib.terminate()
            raise NoServerError()
        self._open = True
        _live_sessions.add(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def closed(self):
        return not self._open

    def _check(self):
        if not self._open:
            raise ClosedError("the session")

    def interfaces(self):
        """The names of the server's interfaces."""
        self._check()
        names = []
        first = self._lib.enumerate()
        try:
            node = first
            while node:
                if node.contents.name is not None:
                    names.append(node.contents.name.decode("utf-8", "replace"))
                node = node.contents.next
        finally:
            self._lib.free_enumeration(first)
        return names

    def open(self, name):
        """Opens an interface by name; raises UnknownInterfaceError."""
        self._check()
        handle = self._lib.open(name.encode("utf-8"))
        if handle == 0:
            # The library opens names from its last enumeration; list again.
            available = self.interfaces()
            if name in available:
                handle = self._lib.open(name.encode("utf-8"))
            if handle == 0:
                raise UnknownInterfaceError(name, available)
        interface = Interface(self, name, handle)
        self._interfaces.add(interface)
        return interface

    def close(self):
        """Closes every interface of the session, then the connection."""
        with self._lock:
            if not self._open:
                return
            self._open = False
        for interface in list(self._interfaces):
            interface.close()
        self._lib.terminate()
        _live_sessions.discard(self)


class Interface:
    """One opened bus interface; a context manager that closes it.

    ``send`` and ``transceiver`` run the library's transceiver for this
    interface (started on first use); ``read`` polls frames instead, and the
    two do not mix: the transceiver takes every frame.
    """

    def __init__(self, session, name, handle):
        self.session = session
        self.name = name
        self.handle = handle
        self._lib = session._lib
        self._lock = threading.Lock()
        self._listeners = []
        self._c_callback = None  # kept alive while the library may call it
        self._closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<kovra62386.Interface %r handle %d%s>" % (
            self.name, self.handle, " closed" if self._closed else "")

    @property
    def closed(self):
        return self._closed

    def _check(self):
        if self._closed or self.session.closed:
            raise ClosedError("interface %r" % self.name)

    def read(self):
        """The oldest reported frame, or None when none is queued."""
        self._check()
        record = _native.ReadFrameRecord()
        result = self._lib.read(self.handle, ctypes.byref(record))
        if result == c.READ_FRAME:
            return frame_from_record(record)
        if result == c.READ_EMPTY:
            return None
        raise ClosedError("interface %r" % self.name)

    def write(self, frame):
        """Queues a frame (Command, ArcPower, RawFrame, ...); the bus reports
        the outcome as frames."""
        self._check()
        record = frame.to_record()
        self._lib.write(self.handle, ctypes.byref(record))

    def send(self, frame):
        """Writes a frame and waits up to 750 ms for its outcome."""
        self._check()
        self._ensure_transceiver()
        record = frame.to_record()
        result = self._lib.send(self.handle, ctypes.byref(record))
        try:
            status = SendStatus(result.status)
        except ValueError:
            status = SendStatus.NO_RESULT
        return SendResult(status, result.answer if status == SendStatus.ANSWER else None)

    def transceiver(self, callback):
        """Calls callback(frame) on the library's worker thread for every
        frame; a callback that raises is logged and the worker goes on.
        Returns a Transceiver (a context manager) that removes it again."""
        return self._add_listener(Transceiver(self, callback))

    def _add_listener(self, transceiver):
        self._check()
        with self._lock:
            self._listeners = self._listeners + [transceiver]
        self._ensure_transceiver()
        return transceiver

    def _remove_listener(self, listener):
        with self._lock:
            self._listeners = [each for each in self._listeners if each is not listener]

    def _ensure_transceiver(self):
        with self._lock:
            if self._c_callback is not None:
                return
            callback = _native.TransceiverCallback(self._deliver)
            # No context pointer: the bound method carries its interface.
            if not self._lib.start_transceiver(self.handle, callback, None):
                raise ClosedError("interface %r" % self.name)
            self._c_callback = callback

    def _deliver(self, handle, event_pointer, context):
        # Runs on the library's worker thread; nothing may escape to it.
        _on_worker.active = True
        try:
            event = event_pointer.contents
            if event.code == c.EVENT_CLOSED:
                frame = None
                self._closed = True
            elif event.code == c.EVENT_BUS_STATE:
                frame = BusState(BusFlag(_BUS_STATE_FLAGS.get(event.payload.bus_state, 0)))
            else:
                frame = frame_from_record(event.payload.record)
            for listener in self._listeners:
                listener._call(frame)
        except Exception:  # noqa: BLE001 - the worker must go on
            _log.exception("kovra62386: frame delivery failed")

    def close(self):
        """Stops the transceiver and closes the handle; a second call does
        nothing."""
        with self._lock:
            handle, self.handle = self.handle, 0
            self._closed = True
            callback, self._c_callback = self._c_callback, None
            listeners, self._listeners = self._listeners, []
        if handle == 0:
            return
        if callback is not None:
            # Waits for the callback under way, except in a callback (of any
            # interface): then the worker ends later, and may still call it.
            self._lib.stop_transceiver(handle)
            if getattr(_on_worker, "active", False):
                _retired_callbacks.append(callback)
        for listener in listeners:
            listener._ended()
        self._lib.close(handle)


# Callbacks of transceivers stopped in a callback: the library's worker may
# still call them, so they are kept for good.
_retired_callbacks = []
# Set on the library's worker threads.
_on_worker = threading.local()


class Transceiver:
    """A callable that receives every frame of an interface."""

    def __init__(self, interface, callback, on_end=None):
        self.interface = interface
        self._callback = callback
        self._on_end = on_end
        self.errors = 0  # exceptions the callback raised

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def _call(self, frame):
        if frame is None:
            self._ended()
            return
        try:
            self._callback(frame)
        except Exception:  # noqa: BLE001 - a raising callback must not stop the worker
            self.errors += 1
            _log.exception("kovra62386: transceiver callback raised")

    def _ended(self):
        if self._on_end is not None:
            self._on_end()

    def stop(self):
        """Delivers no more frames to this callback."""
        self.interface._remove_listener(self)
