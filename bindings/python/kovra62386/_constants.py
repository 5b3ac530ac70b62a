"""The values of the C header (kovra62386.h), one place for the module.

Each name is the header's without its KOVRA62386_ prefix; a test checks them
against the header.
"""

# Results of read.
READ_FRAME = 0
READ_EMPTY = 1
READ_NOT_OPEN = 2

# Frame types, write direction.
FRAME_INTERFACE_REQUEST = 3
FRAME_TRANSMIT = 4
# Frame types, read direction.
FRAME_BUS_EVENT = 1
FRAME_TRANSMIT_REPORT = 4

# Sub-types of a bus event.
BUS_EVENT_NO_ANSWER = 0
BUS_EVENT_FORWARD = 1
BUS_EVENT_BACKWARD = 2
BUS_EVENT_FRAMING_ERROR = 3
BUS_EVENT_STATE = 4
# Sub-type of an interface request.
REQUEST_BUS_STATE = 0
# The variable-length form of a bus frame.
FORMAT_VARIABLE = 5

# Confirmation statuses.
STATUS_SENT = 0
STATUS_BUS_BUSY = 1
STATUS_POWER_DOWN = 2
STATUS_REFUSED = 3

# Bus-state bits of a bus-state event.
BUS_FLAG_POWER_LOST = 0x80
BUS_FLAG_SYSTEM_FAILURE = 0x40
BUS_FLAG_POWER_RETURN = 0x08

# Transceiver event codes, and the bus states of EVENT_BUS_STATE.
EVENT_BUS_STATE = 2
EVENT_CLOSED = 6
BUS_OK = 0
BUS_SYSTEM_FAILURE = 1
BUS_POWER_LOST = 2
BUS_POWER_RETURN = 4

# Send statuses.
SEND_NO_TRANSCEIVER = 0
SEND_NO_RESULT = 1
SEND_FRAMING_ERROR = 2
SEND_NO_ANSWER = 3
SEND_NOT_ECHOED = 4
SEND_ANSWER = 5
