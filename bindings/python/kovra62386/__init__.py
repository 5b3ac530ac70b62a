"""kovra62386: DALI (IEC 62386) bus interfaces from Python.

A pure-Python module over the shared library (ctypes). On Windows it loads
the 32-bit Kovra62386Communication.dll and so needs a 32-bit Python.

    import kovra62386 as k
    with k.Session() as session:           # starts the local server if needed
        print(session.interfaces())        # ['SIM-1', 'SIM-2']
        with session.open("SIM-1") as bus:
            result = bus.send(k.short(5), k.gear.QUERY_ACTUAL_LEVEL)
            if result.status == k.SendStatus.ANSWER:
                print(k.answer_meaning(k.gear.QUERY_ACTUAL_LEVEL, result.answer))

The command names (k.gear, k.special, k.led, k.colour, k.device) are
generated from the library's command table.
"""

from ._commands import colour, device, gear, led, special
from ._native import load_library
from .answers import answer_meaning, device_type_name, is_yes_no_query, status_text
from .aio import AsyncInterface, AsyncSession, FrameStream
from .frames import (Address, ArcPower, BackwardFrame, Broadcast, BroadcastUnaddressed, BusFlag,
                     BusState, BusStateRequest, Command, ForwardFrame, FramingError,
                     GroupAddress, NoAnswer, OtherFrame, RawFrame, ShortAddress,
                     SpecialCommand, TransmitReport, TransmitStatus, broadcast,
                     broadcast_unaddressed, command, gear_sends_twice, group, short)
from .session import (ClosedError, Interface, Kovra62386Error, NoServerError, SendResult,
                      SendStatus, Session, Transceiver, UnknownInterfaceError)

__version__ = "0.1.0"

__all__ = [
    "Address", "ArcPower", "AsyncInterface", "AsyncSession", "BackwardFrame", "Broadcast",
    "BroadcastUnaddressed", "BusFlag", "BusState", "BusStateRequest", "ClosedError", "Command",
    "ForwardFrame", "FrameStream", "FramingError", "GroupAddress", "Interface",
    "Kovra62386Error", "NoAnswer", "NoServerError", "OtherFrame", "RawFrame", "SendResult",
    "SendStatus", "Session", "ShortAddress", "Transceiver", "TransmitReport", "TransmitStatus",
    "UnknownInterfaceError", "broadcast", "broadcast_unaddressed", "group", "load_library",
    "short", "SpecialCommand", "command", "gear_sends_twice", "gear", "special", "led", "colour",
    "device", "answer_meaning", "device_type_name", "is_yes_no_query", "status_text",
]
