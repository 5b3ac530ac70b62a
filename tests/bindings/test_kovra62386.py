"""The module as a script uses it, against the server in instant mode.

KOVRA62386_SERVER names the server program and KOVRA62386_LIBRARY the
shared library; KOVRA62386_REGISTRY_ROOT keeps the registry store apart.
"""

import asyncio
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kovra62386 as k

QUERY_ACTUAL_LEVEL = k.gear.QUERY_ACTUAL_LEVEL


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


def test_sends_an_address_and_a_named_command(server):
    # The (address, opcode) form answers as the Command form does, and a
    # special command reaches the gear: DTR0 comes back from QUERY CONTENT DTR0.
    with k.Session() as session, session.open("SIM-1") as bus:
        assert bus.send(k.short(0), k.gear.QUERY_ACTUAL_LEVEL) == \
            bus.send(k.Command(k.short(0), QUERY_ACTUAL_LEVEL))
        bus.send(k.SpecialCommand(k.special.DTR0, 0x5A))
        assert bus.send(k.short(0), k.gear.QUERY_CONTENT_DTR0).answer == 0x5A
        with pytest.raises(TypeError):
            bus.send(k.Command(k.short(0), QUERY_ACTUAL_LEVEL), k.gear.OFF)


def test_named_commands_know_send_twice_and_ranges():
    assert k.command(k.short(1), k.gear.RESET).send_twice
    assert k.command(k.group(1), k.gear.set_scene(15)) == \
        k.Command(k.group(1), k.gear.SET_SCENE + 15, True)
    assert not k.command(k.short(1), k.gear.go_to_scene(2)).send_twice
    with pytest.raises(ValueError):
        k.gear.add_to_group(16)
    record = k.SpecialCommand(k.special.INITIALISE, 0xFF).to_record()
    assert (record.frame.data[0], record.frame.data[1], record.frame.send_twice) == \
        (k.special.INITIALISE, 0xFF, 1)


def test_answer_words_are_the_clis():
    # The same words as dali/answers.cpp gives the CLI (tests/dali/answers_test.cpp).
    assert k.answer_meaning(k.gear.QUERY_STATUS, 0x40) == "status: lamp off, no short address"
    assert k.answer_meaning(k.gear.QUERY_DEVICE_TYPE, 6) == "device type: LED module"
    assert k.answer_meaning(k.gear.QUERY_GROUPS_8_15, 0x01) == "groups 8-15: 8"
    assert k.answer_meaning(k.gear.query_scene_level(2), 100) == "scene 2 level 100"
    assert k.answer_meaning(k.gear.QUERY_POWER_ON_LEVEL, 0xFF) == "power-on level MASK (unknown)"
    assert k.answer_meaning(k.gear.QUERY_LAMP_FAILURE, 0) == ""
    assert sum(k.is_yes_no_query(opcode) for opcode in range(256)) == 9


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


async def consume(frames):
    return [frame async for frame in frames]


def test_aclose_ends_every_waiting_iterator_at_once(server):
    async def main():
        async with k.AsyncSession() as session:
            bus = await session.open("SIM-1")
            async with bus:
                frames = bus.frames()
                await bus.send(k.Command(k.short(1), QUERY_ACTUAL_LEVEL))
                tasks = [asyncio.create_task(consume(frames)) for _ in range(2)]
                await asyncio.sleep(0.2)  # both wait for more frames
                assert not any(task.done() for task in tasks)
                await frames.aclose()
                await asyncio.wait_for(asyncio.gather(*tasks), 2)
                assert await consume(frames) == []  # and later waits end at once
                async with bus.frames() as scoped:
                    await bus.send(k.Command(k.short(1), QUERY_ACTUAL_LEVEL))
                    assert isinstance(await scoped.__anext__(), k.ForwardFrame)
                assert await consume(scoped) == []
    asyncio.run(asyncio.wait_for(main(), 10))


def test_closing_the_interface_ends_its_iterators(server):
    async def main():
        async with k.AsyncSession() as session:
            bus = await session.open("SIM-1")
            frames = bus.frames()
            await bus.send(k.Command(k.short(1), QUERY_ACTUAL_LEVEL))
            task = asyncio.create_task(consume(frames))
            await asyncio.sleep(0.2)
            assert not task.done()
            await bus.close()
            received = await asyncio.wait_for(task, 2)
            # What arrived before the close comes first.
            assert any(isinstance(frame, k.BackwardFrame) for frame in received)
            # The blocking interface's close ends them too.
            plain = await session.open("SIM-2")
            frames = plain.frames()
            task = asyncio.create_task(consume(frames))
            await asyncio.sleep(0.1)
            plain.interface.close()
            assert await asyncio.wait_for(task, 2) == []
    asyncio.run(asyncio.wait_for(main(), 10))


def test_addressing():
    assert (k.short(5).command_byte, k.short(5).arc_power_byte) == (0x0B, 0x0A)
    assert (k.group(2).command_byte, k.broadcast().arc_power_byte) == (0x85, 0xFE)
    assert (k.ShortAddress(63).command_byte, k.GroupAddress(15).command_byte) == (0x7F, 0x9F)
    assert (k.Broadcast().command_byte, k.BroadcastUnaddressed().command_byte,
            k.broadcast_unaddressed().arc_power_byte) == (0xFF, 0xFD, 0xFC)
    for make, highest in ((k.short, 63), (k.ShortAddress, 63), (k.group, 15),
                          (k.GroupAddress, 15)):
        assert make(highest).number == highest and make(0).number == 0
        for wrong in (-1, highest + 1, 255):
            with pytest.raises(ValueError):
                make(wrong)
        with pytest.raises(TypeError):
            make(1.5)


def test_addresses_of_the_earlier_kind_and_number_form_are_checked():
    assert k.Address("short", 5) == k.short(5) == k.ShortAddress(5)
    assert k.Address("group", 3) == k.GroupAddress(3)
    assert k.Address("broadcast") == k.Broadcast()
    assert k.Address(kind="broadcast_unaddressed") == k.BroadcastUnaddressed()
    assert all(isinstance(each, k.Address) for each in (k.short(1), k.group(1), k.broadcast()))
    assert (k.short(7).kind, k.short(7).number, k.broadcast().kind) == ("short", 7, "broadcast")
    with pytest.raises(ValueError):
        k.Address("group", 20)  # was 0xA9, a special command's byte
    with pytest.raises(ValueError):
        k.Address("short", 64)
    with pytest.raises(ValueError):
        k.Address("everyone", 0)  # was broadcast
    with pytest.raises(ValueError):
        k.Address("broadcast", 3)


# ---- Interfaces dropped without close(), and the end of the interpreter ----
# Each case runs in a child interpreter: a regression (a native callback that
# runs into freed memory) kills the child, and fails only its test.

_CHILD_PRELUDE = """
import ctypes, gc, logging, sys, threading, time
import kovra62386 as k
from kovra62386 import _native, session as session_module

failures = []


class Failures(logging.Handler):
    def emit(self, record):
        failures.append(record.getMessage())


logging.getLogger("kovra62386").addHandler(Failures())
QUERY = k.Command(k.short(0), k.gear.QUERY_ACTUAL_LEVEL)


def read_result(session, handle):
    return session._lib.read(handle, ctypes.byref(_native.ReadFrameRecord()))


def traffic(bus, count=20):
    # Frames on the bus: every handle of the interface receives them.
    for _ in range(count):
        bus.write(QUERY)
    time.sleep(0.1)
"""


def _run_child(source, timeout=60):
    environment = dict(os.environ)
    package = os.path.dirname(os.path.dirname(os.path.abspath(k.__file__)))
    environment["PYTHONPATH"] = os.pathsep.join(
        filter(None, [package, environment.get("PYTHONPATH")]))
    child = subprocess.run([sys.executable, "-c", _CHILD_PRELUDE + textwrap.dedent(source)],
                           env=environment, capture_output=True, text=True, timeout=timeout)
    assert child.returncode == 0, "child ended with %d:\n%s%s" % (
        child.returncode, child.stdout, child.stderr)
    assert "Traceback" not in child.stderr and "Fatal" not in child.stderr, child.stderr
    assert child.stdout.strip().endswith("done"), child.stdout
    return child.stdout


def test_a_dropped_interface_stops_its_transceiver_and_closes(server):
    # As a user would: send, drop, collect; frames keep arriving on the bus.
    _run_child("""
        with k.Session() as session:
            other = session.open("SIM-1")  # another handle of the same bus
            for how in ("reference count", "cycle", "with a callback"):
                bus = session.open("SIM-1")
                bus.send(QUERY)  # starts its transceiver
                seen = []
                if how == "cycle":
                    bus.itself = bus
                elif how == "with a callback":
                    bus.transceiver(seen.append)  # the Transceiver is not kept
                handle = bus.handle
                del bus
                if how == "cycle":
                    gc.collect()
                assert read_result(session, handle) == 2, how  # closed
                count = len(seen)
                traffic(other)  # the dropped handle's worker is gone
                time.sleep(0.1)
                assert len(seen) == count, how
                assert not session_module._running, how
            other.close()
            assert not session_module._running and not session_module._retired
        assert not failures, failures
        print("done")
    """)


def test_an_interface_dropped_on_a_worker_thread(server):
    # The finaliser runs on the library's worker thread: on the dropped
    # interface's own worker (its callback held the last reference), and on
    # another interface's worker (its callback ran the collector). There a
    # stop only asks the worker to end; the callback is kept until a stop
    # from the application's thread has waited for that worker.
    _run_child("""
        gc.disable()  # the collector runs in a callback only
        with k.Session() as session:
            other = session.open("SIM-1")
            box = [session.open("SIM-1")]
            dropped = threading.Event()

            def drop_myself(frame):
                if box:
                    handle = box[0].handle
                    box.clear()  # the last reference, on its own worker
                    assert read_result(session, handle) == 2
                    assert len(session_module._retired) == 1
                    dropped.set()

            box[0].transceiver(drop_myself)
            traffic(other, 1)  # other reads nothing: box[0] takes the frames
            assert dropped.wait(5), failures
            traffic(other)

            # Handles of one interface share its frames: the cyclic one is on
            # the other bus, so that each worker gets the frames it waits for.
            cyclic, writer = session.open("SIM-2"), session.open("SIM-2")
            cyclic.send(QUERY)
            cyclic.itself = cyclic
            handle = cyclic.handle
            del cyclic
            collected = threading.Event()

            def collect(frame):
                if not collected.is_set():
                    gc.collect()  # finalises the cyclic interface here
                    collected.set()

            with other.transceiver(collect):
                traffic(other, 1)
                assert collected.wait(5), "no frame reached the callback"
                assert read_result(session, handle) == 2, "still open"
                assert len(session_module._retired) == 1
                traffic(writer)  # frames the cyclic worker would have taken
            other.close()  # waits for the retired worker
            assert not session_module._running and not session_module._retired
        assert not failures, failures
        print("done")
    """)


def test_the_interpreter_ends_while_frames_arrive(server):
    # Open interfaces with running transceivers, one dropped in a cycle that
    # is never collected, and a thread still sending while the main thread
    # ends: every worker stops before the interpreter goes.
    _run_child("""
        gc.disable()
        session = k.Session()
        first, second = session.open("SIM-1"), session.open("SIM-2")
        second.transceiver(lambda frame: time.sleep(0.001))
        dropped = session.open("SIM-1")
        dropped.transceiver(lambda frame: None)
        dropped.itself = dropped
        del dropped

        def keep_sending():
            end = time.monotonic() + 0.5
            while time.monotonic() < end:
                first.send(QUERY)
                second.write(QUERY)

        threading.Thread(target=keep_sending).start()
        print("done")
    """)


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
