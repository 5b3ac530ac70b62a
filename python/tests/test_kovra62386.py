"""The module as a script uses it, against the server in instant mode.

KOVRA62386_SERVER names the server program and KOVRA62386_LIBRARY the
shared library; KOVRA62386_REGISTRY_ROOT keeps the registry store apart.
"""

import asyncio
import os
import re
import subprocess
import threading
import time

import pytest

import kovra62386 as k

QUERY_ACTUAL_LEVEL = 0xA0


def _published(root):
    key = os.path.join(root, "HKEY_CURRENT_USER", "SOFTWARE%5CTessivo%5CKOVRA-62386-Server.key")
    try:
        with open(key) as f:
            return "\tPort\t" in f.read()
    except OSError:
        return False


def test_no_server(tmp_path, monkeypatch):
    # First, before the module's server starts: nothing listens and nothing
    # names a server program to start.
    monkeypatch.setenv("KOVRA62386_REGISTRY_ROOT", str(tmp_path))
    with pytest.raises(k.NoServerError, match="cannot reach or start"):
        k.Session()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = os.environ.get("KOVRA62386_REGISTRY_ROOT") or str(tmp_path_factory.mktemp("registry"))
    os.environ["KOVRA62386_REGISTRY_ROOT"] = root
    process = subprocess.Popen([os.environ["KOVRA62386_SERVER"], "--instant"])
    try:
        deadline = time.monotonic() + 10
        while not _published(root):
            assert process.poll() is None, "the server ended"
            assert time.monotonic() < deadline, "the server did not publish its address"
            time.sleep(0.02)
        yield process
    finally:
        process.terminate()
        process.wait(10)


def test_lists_opens_and_sends(server):
    with k.Session() as session:
        assert session.interfaces() == ["SIM-1", "SIM-2"]
        with session.open("SIM-1") as bus:
            result = bus.send(k.Command(k.short(0), QUERY_ACTUAL_LEVEL))
            assert result.status is k.SendStatus.ANSWER and result.answer is not None
            assert bus.send(k.Command(k.short(63), QUERY_ACTUAL_LEVEL)) == \
                k.SendResult(k.SendStatus.NO_ANSWER)
        with pytest.raises(k.ClosedError):
            bus.send(k.Command(k.broadcast(), QUERY_ACTUAL_LEVEL))
        with pytest.raises(k.UnknownInterfaceError, match="SIM-9.*SIM-1, SIM-2"):
            session.open("SIM-9")


def test_a_raising_callback_does_not_stop_the_worker(server):
    seen = []
    arrived = threading.Event()

    def callback(frame):
        seen.append(frame)
        if len(seen) >= 4:
            arrived.set()
        raise RuntimeError("a careless callback")

    with k.Session() as session, session.open("SIM-2") as bus:
        transceiver = bus.transceiver(callback)
        for _ in range(2):
            assert bus.send(k.Command(k.group(0), QUERY_ACTUAL_LEVEL)).status in (
                k.SendStatus.ANSWER, k.SendStatus.FRAMING_ERROR)
        assert arrived.wait(5)
        assert transceiver.errors >= 4
        assert k.ForwardFrame(bytes([k.group(0).command_byte, QUERY_ACTUAL_LEVEL]), True) in seen


def test_asyncio_frames_and_send(server):
    async def main():
        async with k.AsyncSession() as session:
            bus = await session.open("SIM-1")
            async with bus:
                frames = bus.frames()
                result = await bus.send(k.Command(k.short(1), QUERY_ACTUAL_LEVEL))
                async for frame in frames:
                    if isinstance(frame, k.BackwardFrame):
                        return result, frame
    result, frame = asyncio.run(asyncio.wait_for(main(), 10))
    assert result.status is k.SendStatus.ANSWER and frame.answer == result.answer


def test_addressing():
    assert (k.short(5).command_byte, k.short(5).arc_power_byte) == (0x0B, 0x0A)
    assert (k.group(2).command_byte, k.broadcast().arc_power_byte) == (0x85, 0xFE)
    with pytest.raises(ValueError):
        k.short(64)


def test_constants_match_the_c_header():
    header = os.path.join(os.path.dirname(__file__), "..", "..", "include", "kovra62386",
                          "kovra62386.h")
    if not os.path.exists(header):
        pytest.skip("no C header beside the module's sources")
    defined = {}
    with open(header) as f:
        text = f.read().replace("\\\n", " ")
    for match in re.finditer(r"^#define KOVRA62386_(\w+)\s+(0x[0-9A-Fa-f]+|\d+)\b", text, re.M):
        defined[match.group(1)] = int(match.group(2), 0)
    from kovra62386 import _constants
    ours = {name: value for name, value in vars(_constants).items() if name.isupper()}
    assert ours and {name: defined.get(name) for name in ours} == ours
