"""The asyncio form: the same objects, with the blocking calls run in a
worker thread and the frames delivered to the event loop.

    async with AsyncSession() as session:
        bus = await session.open("SIM-1")
        async with bus:
            frames = bus.frames()            # receives from here on
            result = await bus.send(short(0), gear.QUERY_ACTUAL_LEVEL)
            async for frame in frames: ...
"""

import asyncio

from .session import Session, Transceiver


class AsyncSession:
    def __init__(self, library=None):
        self._library = library
        self.session = None

    async def __aenter__(self):
        self.session = await asyncio.to_thread(Session, self._library)
        return self

    async def __aexit__(self, *exc):
        await self.close()

    async def interfaces(self):
        return await asyncio.to_thread(self.session.interfaces)

    async def open(self, name):
        return AsyncInterface(await asyncio.to_thread(self.session.open, name))

    async def close(self):
        if self.session is not None:
            await asyncio.to_thread(self.session.close)


class AsyncInterface:
    def __init__(self, interface):
        self.interface = interface

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.close()

    async def send(self, frame, opcode=None):
        return await asyncio.to_thread(self.interface.send, frame, opcode)

    async def write(self, frame, opcode=None):
        await asyncio.to_thread(self.interface.write, frame, opcode)

    def frames(self, max_queued=1024):
        """An async iterator over every frame from now on. It ends when the
        interface closes or is lost (after the frames that came before) and
        when the stream is closed (aclose(), or leaving ``async with``: at
        once, for every task that waits on it). When the loop falls behind
        by max_queued frames, the oldest are dropped (counted in
        .dropped)."""
        return FrameStream(self.interface, max_queued)

    async def close(self):
        """Closes the interface; its frame streams end."""
        await asyncio.to_thread(self.interface.close)


_END = object()


class _Sink:
    """The part of a FrameStream that the library's worker reaches. It
    refers to no interface, so a running transceiver does not keep a
    dropped Interface alive."""

    def __init__(self, loop, max_queued):
        self.loop = loop
        self.queue = asyncio.Queue(max_queued)
        self.dropped = 0
        self.ended = False

    # On the worker's thread, or the one that closes the interface.

    def from_worker(self, frame):
        try:
            self.loop.call_soon_threadsafe(self.put, frame)
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more

    def ended_from_worker(self):
        self.from_worker(_END)

    # On the loop.

    def put(self, item):
        if self.ended:
            return  # a frame that was on its way when the stream closed
        if item is _END:
            self.ended = True
        if self.queue.full():
            self.queue.get_nowait()
            self.dropped += 1
        self.queue.put_nowait(item)

    def end_now(self):
        """Drops what is queued and ends every waiting task."""
        while not self.queue.empty():
            self.queue.get_nowait()
        self.ended = False
        self.put(_END)


class FrameStream:
    """Frames of one interface, for ``async for``; see AsyncInterface.frames."""

    def __init__(self, interface, max_queued):
        self._sink = _Sink(asyncio.get_running_loop(), max_queued)
        self._closed = False
        self._transceiver = interface._add_listener(
            Transceiver(interface, self._sink.from_worker, self._sink.ended_from_worker))

    @property
    def dropped(self):
        """Frames dropped because the loop fell behind."""
        return self._sink.dropped

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self._closed:
            raise StopAsyncIteration
        queue = self._sink.queue
        item = await queue.get()
        if item is _END:
            queue.put_nowait(_END)  # for the next task that waits
            raise StopAsyncIteration
        return item

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.aclose()

    async def aclose(self):
        """Ends the stream at once: every task waiting in it gets
        StopAsyncIteration, and so does every later wait."""
        if self._closed:
            return
        self._closed = True
        self._transceiver.stop()
        self._sink.end_now()
