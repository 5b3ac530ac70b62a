"""Frames as small dataclasses, and DALI addressing.

Write direction (what ``Interface.write`` and ``send`` take):
  ``Command``       a 16-bit DALI forward frame to control gear: an address
                    and an opcode, sent twice when the command needs it;
  ``ArcPower``      DAPC, a level (0-254) straight to an address;
  ``RawFrame``      any forward frame of 16 or 24 bits, bytes as given;
  ``BusStateRequest`` asks the interface for the bus state.
Read direction (what ``read``, transceivers and ``frames()`` deliver):
  ``ForwardFrame`` (``own`` for the echo of our own frame), ``BackwardFrame``
  (``answer``), ``NoAnswer``, ``FramingError``, ``BusState``,
  ``TransmitReport`` (the interface's confirmation) and ``OtherFrame``.
"""

import ctypes
import enum
from dataclasses import dataclass

from . import _constants as c
from . import _native


class TransmitStatus(enum.IntEnum):
    SENT = c.STATUS_SENT
    BUS_BUSY = c.STATUS_BUS_BUSY
    POWER_DOWN = c.STATUS_POWER_DOWN
    REFUSED = c.STATUS_REFUSED


class BusFlag(enum.IntFlag):
    POWER_RETURN = c.BUS_FLAG_POWER_RETURN
    SYSTEM_FAILURE = c.BUS_FLAG_SYSTEM_FAILURE
    POWER_LOST = c.BUS_FLAG_POWER_LOST


@dataclass(frozen=True)
class Address:
    """A DALI address; build it with short(), group() or broadcast()."""

    kind: str  # "short", "group" or "broadcast"
    number: int = 0

    @property
    def command_byte(self):
        """The address byte of a command (selector bit set)."""
        if self.kind == "short":
            return self.number << 1 | 1
        if self.kind == "group":
            return 0x80 | self.number << 1 | 1
        return 0xFF

    @property
    def arc_power_byte(self):
        """The address byte of a direct arc power level (selector bit clear)."""
        return self.command_byte & 0xFE


def short(address):
    """Short address 0-63."""
    if not 0 <= address <= 63:
        raise ValueError("short address is 0-63, not %r" % (address,))
    return Address("short", address)


def group(number):
    """Group 0-15."""
    if not 0 <= number <= 15:
        raise ValueError("group is 0-15, not %r" % (number,))
    return Address("group", number)


def broadcast():
    return Address("broadcast")


def _byte(value, what):
    if not 0 <= value <= 255:
        raise ValueError("%s is a byte, not %r" % (what, value))
    return value


def _forward_record(data, bit_count, send_twice):
    record = _native.WriteFrameRecord()
    record.frame_type = c.FRAME_TRANSMIT
    for index, value in enumerate(data):
        record.frame.data[index] = _byte(value, "frame byte")
    record.frame.bit_count = bit_count
    record.frame.format = c.FORMAT_VARIABLE
    record.frame.send_twice = 1 if send_twice else 0
    return record


@dataclass(frozen=True)
class Command:
    address: Address
    opcode: int
    send_twice: bool = False

    def to_record(self):
        return _forward_record((self.address.command_byte, _byte(self.opcode, "opcode")),
                               16, self.send_twice)


@dataclass(frozen=True)
class ArcPower:
    address: Address
    level: int

    def to_record(self):
        return _forward_record((self.address.arc_power_byte, _byte(self.level, "level")),
                               16, False)


@dataclass(frozen=True)
class RawFrame:
    data: bytes
    send_twice: bool = False

    def to_record(self):
        if len(self.data) not in (2, 3):
            raise ValueError("a forward frame has 2 bytes (gear) or 3 (devices)")
        return _forward_record(self.data, 8 * len(self.data), self.send_twice)


@dataclass(frozen=True)
class BusStateRequest:
    def to_record(self):
        record = _native.WriteFrameRecord()
        record.frame_type = c.FRAME_INTERFACE_REQUEST
        record.sub_type = c.REQUEST_BUS_STATE
        return record


@dataclass(frozen=True)
class ForwardFrame:
    data: bytes
    own: bool  # the echo of a frame this client sent


@dataclass(frozen=True)
class BackwardFrame:
    answer: int


@dataclass(frozen=True)
class NoAnswer:
    pass


@dataclass(frozen=True)
class FramingError:
    pass


@dataclass(frozen=True)
class BusState:
    flags: BusFlag

    @property
    def power_lost(self):
        return bool(self.flags & BusFlag.POWER_LOST)


@dataclass(frozen=True)
class TransmitReport:
    status: TransmitStatus
    data: bytes


@dataclass(frozen=True)
class OtherFrame:
    frame_type: int
    sub_type: int
    raw: bytes


def _data(frame_data, bit_count):
    count = min((bit_count + 7) // 8, len(frame_data))
    return bytes(frame_data[:count])


def frame_from_record(record):
    """The dataclass for one ReadFrameRecord."""
    if record.frame_type == c.FRAME_BUS_EVENT:
        event = record.bus_event
        if record.sub_type == c.BUS_EVENT_FORWARD:
            return ForwardFrame(_data(event.data, event.bit_count), event.header_flag == 1)
        if record.sub_type == c.BUS_EVENT_BACKWARD:
            return BackwardFrame(event.data[0])
        if record.sub_type == c.BUS_EVENT_NO_ANSWER:
            return NoAnswer()
        if record.sub_type == c.BUS_EVENT_FRAMING_ERROR:
            return FramingError()
        if record.sub_type == c.BUS_EVENT_STATE:
            return BusState(BusFlag(event.event_flags))
    if record.frame_type == c.FRAME_TRANSMIT_REPORT:
        report = record.transmit_report
        status = report.status
        try:
            status = TransmitStatus(status)
        except ValueError:
            pass
        return TransmitReport(status, _data(report.frame.data, report.frame.bit_count))
    return OtherFrame(record.frame_type, record.sub_type, ctypes.string_at(
        ctypes.addressof(record), ctypes.sizeof(record)))
