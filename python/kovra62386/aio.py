"""The asyncio form: the same objects, with the blocking calls run in a
worker thread and the frames delivered to the event loop.

    async with AsyncSession() as session:
        bus = await session.open("SIM-1")
        async with bus:
            frames = bus.frames()            # receives from here on
            result = await bus.send(Command(short(0), 0xA0))
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

    async def send(self, frame):
        return await asyncio.to_thread(self.interface.send, frame)

    async def write(self, frame):
        await asyncio.to_thread(self.interface.write, frame)

    def frames(self, max_queued=1024):
        """An async iterator over every frame from now on; it ends when the
        interface closes. When the loop falls behind by max_queued frames,
        the oldest are dropped (counted in .dropped)."""
        return FrameStream(self.interface, max_queued)

    async def close(self):
        await asyncio.to_thread(self.interface.close)


class FrameStream:
    _END = object()

    def __init__(self, interface, max_queued):
        self._loop = asyncio.get_running_loop()
        self._queue = asyncio.Queue(max_queued)
        self.dropped = 0
        self._transceiver = interface._add_listener(
            Transceiver(interface, self._from_worker, self._ended_from_worker))

    def _put(self, item):
        if self._queue.full():
            self._queue.get_nowait()
            self.dropped += 1
        self._queue.put_nowait(item)

    def _from_worker(self, frame):
        try:
            self._loop.call_soon_threadsafe(self._put, frame)
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more

    def _ended_from_worker(self):
        self._from_worker(self._END)

    def __aiter__(self):
        return self

    async def __anext__(self):
        item = await self._queue.get()
        if item is self._END:
            self._queue.put_nowait(self._END)
            raise StopAsyncIteration
        return item

    async def aclose(self):
        self._transceiver.stop()
