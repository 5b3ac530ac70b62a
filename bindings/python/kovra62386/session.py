"""Session, interfaces and transceivers over the library's C functions."""

import atexit
import collections
import ctypes
import enum
import logging
import threading
import weakref
from dataclasses import dataclass
from typing import Optional

from . import _constants as c
from . import _native
from .frames import Address, BusFlag, BusState, command, frame_from_record

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


# ---- The native callbacks ---------------------------------------------------
#
# ctypes frees a callback's machine code with its Python object, and the
# library calls a transceiver's callback on its worker thread until that
# transceiver has stopped. So every callback is held here, by the module,
# from before its start until a stop that has waited for its worker:
#
#   _running  the callback of each running transceiver, by its _Channel;
#   _retired  (library, handle, callback) of transceivers stopped on a
#             library worker thread (in a callback, or by a finaliser that
#             the garbage collector ran there). There a stop only asks the
#             worker to end after its callback under way, and returns. A
#             later stop of the same handle from another thread waits for
#             that worker (kovra62386.h, conventions 5); _reap makes it and
#             only then lets the callback go.
#
# The callback refers to its _Channel, never to the Interface: a running
# transceiver does not keep a dropped Interface alive, and the Interface's
# finaliser stops the transceiver and closes the handle. Nothing is built
# (no garbage-collected object is allocated) while _registry_lock is held,
# so the collector does not run a finaliser there; the lock is re-entrant
# all the same, should one run on a thread that holds it.
_registry_lock = threading.RLock()
_running = {}
_retired = collections.deque()

# Sessions to close at exit: no worker may call into a finishing interpreter.
_live_sessions = weakref.WeakSet()

_DummyThread = getattr(threading, "_DummyThread", None)


def _frame(frame, opcode):
    """What send() and write() were given, as a frame: a frame as it is, or
    an address and an opcode as a command."""
    if opcode is None:
        return frame
    if not isinstance(frame, Address):
        raise TypeError("send(address, opcode) takes an Address first, not %r" % (frame,))
    return command(frame, opcode)


def _on_library_thread():
    """True on a thread that Python did not start: a library worker (or
    another foreign thread, which is treated the same, to be safe). There a
    stop only asks, so a callback must be kept until _reap."""
    if _DummyThread is None:
        return True  # cannot tell: keep every callback until exit
    return isinstance(threading.current_thread(), _DummyThread)


def _release(channel, handle):
    """After a stop of channel's transceiver: lets its callback go when the
    stop waited for the worker, or keeps it among the retired."""
    on_worker = _on_library_thread()
    with _registry_lock:
        callback = _running.pop(channel, None)
    if callback is not None and on_worker:
        entry = (channel.lib, handle, callback)
        with _registry_lock:
            _retired.append(entry)
    del callback
    if not on_worker:
        _reap()


def _reap():
    """Lets the retired callbacks go, from a thread that may wait for a
    worker: a stop of each one's handle waits for its worker (handles are
    never reused while the library stays loaded)."""
    if not _retired or _on_library_thread():
        return
    while True:
        with _registry_lock:
            if not _retired:
                return
            lib, handle, callback = _retired.popleft()
        lib.stop_transceiver(handle)
        del callback


@atexit.register
def _close_all():
    for session in list(_live_sessions):
        session.close()
    # Transceivers of interfaces whose finaliser has not run yet (a copy
    # taken in one step under the interpreter lock, without ours: it builds
    # a list).
    channels = list(_running)
    for channel in channels:
        channel.close()
    _reap()


class _Listener:
    """One receiver of an interface's frames: a callback and an end."""

    def __init__(self, callback, on_end=None):
        self.callback = callback
        self.on_end = on_end
        self.errors = 0  # exceptions the callback raised

    def call(self, frame):
        if frame is None:
            self.ended()
            return
        try:
            self.callback(frame)
        except Exception:  # noqa: BLE001 - a raising callback must not stop the worker
            self.errors += 1
            _log.exception("kovra62386: transceiver callback raised")

    def ended(self):
        if self.on_end is not None:
            self.on_end()


class _Channel:
    """An open handle and what its transceiver's worker reaches: the
    listeners. It refers to no Interface, so the worker never keeps one
    alive; the Interface's finaliser closes the channel."""

    def __init__(self, lib, name, handle):
        self.lib = lib
        self.name = name
        self.handle = handle  # 0 once closed
        self.lost = False  # the library reported the handle closed (event 6)
        self.listeners = ()  # replaced, never changed: the worker reads it unlocked
        self.lock = threading.RLock()
        self.started = False

    def ensure_transceiver(self):
        _reap()
        with self.lock:
            if self.started:
                return
            if self.handle == 0:
                raise ClosedError("interface %r" % self.name)
            callback = _native.TransceiverCallback(self.deliver)
            # Held before the start: the worker may call at once.
            with _registry_lock:
                _running[self] = callback
            if not self.lib.start_transceiver(self.handle, callback, None):
                with _registry_lock:
                    del _running[self]
                raise ClosedError("interface %r" % self.name)
            self.started = True

    def add_listener(self, listener):
        with self.lock:
            if self.handle == 0:
                raise ClosedError("interface %r" % self.name)
            self.listeners = self.listeners + (listener,)

    def remove_listener(self, listener):
        with self.lock:
            self.listeners = tuple(each for each in self.listeners if each is not listener)

    def deliver(self, handle, event_pointer, context):
        # Runs on the library's worker thread; nothing may escape to it.
        try:
            event = event_pointer.contents
            if event.code == c.EVENT_CLOSED:
                frame = None
                self.lost = True
            elif event.code == c.EVENT_BUS_STATE:
                frame = BusState(BusFlag(_BUS_STATE_FLAGS.get(event.payload.bus_state, 0)))
            else:
                frame = frame_from_record(event.payload.record)
            for listener in self.listeners:
                listener.call(frame)
        except Exception:  # noqa: BLE001 - the worker must go on
            _log.exception("kovra62386: frame delivery failed")

    def close(self):
        """Stops the transceiver, ends the listeners, closes the handle; from
        any thread, also a worker's (a callback, a finaliser), and once."""
        with self.lock:
            handle, self.handle = self.handle, 0
            started, self.started = self.started, False
            listeners, self.listeners = self.listeners, ()
        if handle == 0:
            return
        if started or self in _running:
            # Waits for the callback under way, except on a worker thread:
            # there it only asks, and _release keeps the callback.
            self.lib.stop_transceiver(handle)
            _release(self, handle)
        for listener in listeners:
            try:
                listener.ended()
            except Exception:  # noqa: BLE001 - the handle must still close
                _log.exception("kovra62386: ending a listener failed")
        self.lib.close(handle)


class Session:
    """The library's connection to the local server; starts it if needed.

    Use it as a context manager. The library keeps one connection per
    process: have one Session at a time.
    """

    def __init__(self, library=None):
        self._lib = _native.load_library(library)
        self._lock = threading.Lock()
        self._channels = weakref.WeakSet()
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
        return Interface(self, name, handle)

    def close(self):
        """Closes every interface of the session, then the connection."""
        with self._lock:
            if not self._open:
                return
            self._open = False
        for channel in list(self._channels):
            channel.close()
        self._lib.terminate()
        _live_sessions.discard(self)
        _reap()


class Interface:
    """One opened bus interface; a context manager that closes it.

    ``send`` and ``transceiver`` run the library's transceiver for this
    interface (started on first use); ``read`` polls frames instead, and the
    two do not mix: the transceiver takes every frame.

    An Interface that is dropped without close() is closed when it is
    collected: its transceiver stops and its handle closes. A transceiver
    callback or a Transceiver that refers to the Interface keeps it open.
    """

    def __init__(self, session, name, handle):
        self.session = session
        self.name = name
        self._channel = _Channel(session._lib, name, handle)
        session._channels.add(self._channel)
        # Refers to the channel alone; runs at collection, at close() and at
        # exit, on whichever thread drops the last reference.
        self._finalizer = weakref.finalize(self, self._channel.close)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<kovra62386.Interface %r handle %d%s>" % (
            self.name, self.handle, " closed" if self.closed else "")

    @property
    def handle(self):
        """The library's handle; 0 once closed."""
        return self._channel.handle

    @property
    def closed(self):
        return self._channel.handle == 0 or self._channel.lost

    def _check(self):
        if self.closed or self.session.closed:
            raise ClosedError("interface %r" % self.name)

    def read(self):
        """The oldest reported frame, or None when none is queued."""
        self._check()
        record = _native.ReadFrameRecord()
        result = self._channel.lib.read(self.handle, ctypes.byref(record))
        if result == c.READ_FRAME:
            return frame_from_record(record)
        if result == c.READ_EMPTY:
            return None
        raise ClosedError("interface %r" % self.name)

    def write(self, frame, opcode=None):
        """Queues a frame (Command, ArcPower, RawFrame, ...), or an address
        and an opcode (write(k.short(5), k.gear.RECALL_MAX_LEVEL)); the bus
        reports the outcome as frames."""
        self._check()
        record = _frame(frame, opcode).to_record()
        self._channel.lib.write(self.handle, ctypes.byref(record))

    def send(self, frame, opcode=None):
        """Writes a frame, or an address and an opcode
        (send(k.short(5), k.gear.QUERY_ACTUAL_LEVEL), sent twice when the
        command needs it), and waits up to 750 ms for its outcome."""
        self._check()
        self._channel.ensure_transceiver()
        record = _frame(frame, opcode).to_record()
        result = self._channel.lib.send(self.handle, ctypes.byref(record))
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
        self._channel.add_listener(transceiver._listener)
        self._channel.ensure_transceiver()
        return transceiver

    def _remove_listener(self, transceiver):
        self._channel.remove_listener(transceiver._listener)

    def close(self):
        """Stops the transceiver and closes the handle; a second call does
        nothing. In a transceiver callback it does not wait for the worker."""
        self._finalizer.detach()
        self._channel.close()


class Transceiver:
    """A callable that receives every frame of an interface."""

    def __init__(self, interface, callback, on_end=None):
        self.interface = interface
        # What the worker reaches: the callbacks, not this object (which
        # keeps its interface).
        self._listener = _Listener(callback, on_end)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def errors(self):
        """How many exceptions the callback raised."""
        return self._listener.errors

    def stop(self):
        """Delivers no more frames to this callback."""
        self.interface._remove_listener(self)
