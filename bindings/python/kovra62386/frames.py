"""Frames as small dataclasses, and DALI addressing.

Write direction (what ``Interface.write`` and ``send`` take):
  ``Command``       a 16-bit DALI forward frame to control gear: an address
                    and an opcode, sent twice when the command needs it;
  ``command()``     a Command, sent twice when the command table says so;
  ``SpecialCommand`` a special command (k.special.DTR0) and its data byte;
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
import operator
from dataclasses import dataclass

from . import _commands
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


class _AddressKind(type):
    """Address(kind, number), the form of earlier versions, builds the
    address of that kind (checked like the others)."""

    def __call__(cls, *args, **kwargs):
        if cls is Address:
            return _address_of_kind(*args, **kwargs)
        return super().__call__(*args, **kwargs)


class Address(metaclass=_AddressKind):
    """A DALI address: ShortAddress(0-63), GroupAddress(0-15), Broadcast()
    or BroadcastUnaddressed(); short(), group(), broadcast() and
    broadcast_unaddressed() build them too. Each checks its range and raises
    ValueError (TypeError for a number that is no integer).

    Address(kind, number) with kind "short", "group", "broadcast" or
    "broadcast_unaddressed" builds the same, checked alike; any other kind
    raises ValueError. Each address keeps .kind and .number (0 for the
    broadcasts)."""

    __slots__ = ()
    kind = None
    number = 0

    @property
    def command_byte(self):
        """The address byte of a command (selector bit set)."""
        return self._byte() | 1

    @property
    def arc_power_byte(self):
        """The address byte of a direct arc power level (selector bit clear)."""
        return self._byte()

    def _byte(self):
        raise NotImplementedError


def _number(value, kind, highest):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s is an integer 0-%d, not %r" % (kind, highest, value)) from None
    if not 0 <= number <= highest:
        raise ValueError("%s is 0-%d, not %r" % (kind, highest, value))
    return number


@dataclass(frozen=True)
class ShortAddress(Address):
    """Short address 0-63: byte 0AAAAAAS."""

    number: int
    kind = "short"

    def __post_init__(self):
        object.__setattr__(self, "number", _number(self.number, "a short address", 63))

    def _byte(self):
        return self.number << 1


@dataclass(frozen=True)
class GroupAddress(Address):
    """Group 0-15: byte 100GGGGS."""

    number: int
    kind = "group"

    def __post_init__(self):
        object.__setattr__(self, "number", _number(self.number, "a group", 15))

    def _byte(self):
        return 0x80 | self.number << 1


@dataclass(frozen=True)
class Broadcast(Address):
    """Every control gear: byte 1111111S."""

    kind = "broadcast"

    def _byte(self):
        return 0xFE


@dataclass(frozen=True)
class BroadcastUnaddressed(Address):
    """Every control gear without a short address: byte 1111110S."""

    kind = "broadcast_unaddressed"

    def _byte(self):
        return 0xFC


_KINDS = {kind.kind: kind for kind in (ShortAddress, GroupAddress, Broadcast,
                                       BroadcastUnaddressed)}


def _address_of_kind(kind, number=0):
    try:
        made = _KINDS[kind]
    except (KeyError, TypeError):
        raise ValueError("an address kind is one of %s, not %r"
                         % (", ".join(_KINDS), kind)) from None
    if made in (Broadcast, BroadcastUnaddressed):
        if number != 0:
            raise ValueError("a %s address has no number, not %r" % (kind, number))
        return made()
    return made(number)


def short(address):
    """Short address 0-63."""
    return ShortAddress(address)


def group(number):
    """Group 0-15."""
    return GroupAddress(number)


def broadcast():
    """Every control gear."""
    return Broadcast()


def broadcast_unaddressed():
    """Every control gear that has no short address."""
    return BroadcastUnaddressed()


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


def gear_sends_twice(opcode):
    """Whether the gear command with this opcode takes effect only when it
    comes twice within 100 ms (RESET, SET SCENE 3, ...), as the command table
    says."""
    return any(first <= opcode < first + span and twice
               for first, span, twice, _ in _commands.GEAR_TABLE)


def command(address, opcode):
    """A Command that is sent twice when the table says the opcode needs it:
    command(k.short(5), k.gear.RESET)."""
    return Command(address, opcode, gear_sends_twice(opcode))


@dataclass(frozen=True)
class SpecialCommand:
    """A special command: the address byte is the command (k.special.DTR0),
    the second byte its data. Sent twice when the table says so."""
    code: int
    data: int = 0

    def to_record(self):
        return _forward_record((_byte(self.code, "special command"), _byte(self.data, "data")),
                               16, self.code in _commands.SPECIAL_SEND_TWICE)


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
