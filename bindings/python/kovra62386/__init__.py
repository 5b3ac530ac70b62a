"""kovra62386: DALI (IEC 62386) bus interfaces from Python.

A pure-Python module over the shared library (ctypes). On Windows it loads
the 32-bit Kovra62386Communication.dll and so needs a 32-bit Python.

    import kovra62386 as k
    with k.Session() as session:           # starts the local server if needed
        print(session.interfaces())        # ['SIM-1', 'SIM-2']
        with session.open("SIM-1") as bus:
            result = bus.send(k.Command(k.short(5), 0xA0))  # QUERY ACTUAL LEVEL
            if result.status == k.SendStatus.ANSWER:
                print(result.answer)
"""

from ._native import load_library
from .aio import AsyncInterface, AsyncSession, FrameStream
from .frames import (Address, ArcPower, BackwardFrame, Broadcast, BroadcastUnaddressed, BusFlag,
                     BusState, BusStateRequest, Command, ForwardFrame, FramingError,
                     GroupAddress, NoAnswer, OtherFrame, RawFrame, ShortAddress,
                     TransmitReport, TransmitStatus, broadcast, broadcast_unaddressed, group,
                     short)
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
    "short",
]
