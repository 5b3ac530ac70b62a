/*
 * kovra62386.h - client library for DALI (IEC 62386) bus interfaces.
 *
 * The library talks to a local server program (Kovra62386Server) over one
 * TCP connection to 127.0.0.1:42000 and starts that program when none runs.
 * The server owns the bus interfaces; the library lists them, opens them,
 * writes frames to them and delivers every frame they report.
 *
 * Conventions
 *
 *  1. Calling convention. Every function here is KOVRA62386_CALL: __stdcall
 *     on 32-bit Windows (exported as _KOVRA62386_read@8 and so on), the
 *     platform default elsewhere. The transceiver callback uses the platform's
 *     default C convention, never __stdcall.
 *
 *  2. Results. 0/NULL means "nothing": no handle, no list, no transceiver.
 *     Every function documents its results; no function ever lets an error
 *     escape, and no function crashes on a NULL pointer or an unknown handle.
 *
 *  3. Ownership. Records are caller memory; the library copies them and keeps
 *     no pointer to them after the call. The enumeration list belongs to the
 *     library until it is handed back to KOVRA62386_free_enumeration.
 *
 *  4. Byte order and layout. Records are little-endian, 4-byte aligned and of
 *     fixed size; the layouts below are checked at compile time. The library
 *     never reads or writes bytes 2-3 of a caller's record.
 *
 *  5. Threads. Every function may be called from any thread, and all of them
 *     may run at the same time, with one exception: KOVRA62386_initialize
 *     must not overlap any other call of this library (it replaces the
 *     session that the others use). The transceiver callback runs on the
 *     transceiver's own thread, with no lock of the library held. It may call
 *     any function, but a KOVRA62386_send on its own handle cannot see its
 *     answer (the thread that would deliver it is running the callback) and
 *     returns status 1 after 750 ms; a KOVRA62386_stop_transceiver made in a
 *     callback, for its own handle or any other, never waits for a worker:
 *     it asks that worker to end after its callback under way and returns.
 *     The library joins the thread later (at a later start, stop or send, or
 *     when it is unloaded), so two callbacks may stop each other's
 *     transceivers.
 *
 *  6. Handles. KOVRA62386_open issues handles 1, 2, 3, ... in order; a handle
 *     is never reused while the library stays loaded. Several handles may
 *     share one interface; it closes at the server with its last handle.
 *
 *  7. Unloading (Windows). While initialized and not terminated, and while
 *     any of its threads runs (the connection's, a transceiver's), the DLL
 *     holds a reference to itself: a FreeLibrary meanwhile leaves it loaded,
 *     and it unloads itself once the last of them ends, even when that is a
 *     callback that calls KOVRA62386_terminate. The process may exit at any
 *     moment, even while another thread is inside a call of this library.
 *
 * Frame conventions of the simulated and real interfaces (the names are
 * defined below, with their values)
 *
 *  Write direction (KOVRA62386_write, KOVRA62386_send):
 *    KOVRA62386_FRAME_TRANSMIT (frame_type 4)  transmit one DALI forward
 *                  frame: bit_count 16 (control gear) or 24 (control
 *                  devices), data[0] the address byte, data[1] the opcode,
 *                  format KOVRA62386_FORMAT_VARIABLE (5), send_twice 1 for
 *                  commands that must be received twice; sub_type
 *                  KOVRA62386_PRIORITY_HIGHEST-KOVRA62386_PRIORITY_LOWEST
 *                  (1-5) the frame's priority (the settling time before
 *                  it), KOVRA62386_PRIORITY_DEFAULT (0) the interface's
 *                  default.
 *    KOVRA62386_FRAME_INTERFACE_REQUEST (frame_type 3)  a request to the
 *                  interface itself; sub_type KOVRA62386_REQUEST_BUS_STATE
 *                  (0) asks for the bus state now (answered by a bus event
 *                  of sub_type KOVRA62386_BUS_EVENT_STATE).
 *
 *  Read direction (KOVRA62386_read, transceiver events):
 *    KOVRA62386_FRAME_TRANSMIT_REPORT (frame_type 4)  transmit
 *                  confirmation; transmit_report.status is one of
 *                  KOVRA62386_STATUS_*.
 *    KOVRA62386_FRAME_BUS_EVENT (frame_type 1)  a frame seen on the bus
 *                  (bus_event), by sub_type:
 *                  KOVRA62386_BUS_EVENT_FORWARD (1)  forward frame;
 *                      header_flag 1 for our own echo
 *                  KOVRA62386_BUS_EVENT_BACKWARD (2)  backward frame; the
 *                      answer is data[0]
 *                  KOVRA62386_BUS_EVENT_NO_ANSWER (0)  no answer within the
 *                      backward-frame window
 *                  KOVRA62386_BUS_EVENT_FRAMING_ERROR (3)  framing error or
 *                      collision
 *                  KOVRA62386_BUS_EVENT_STATE (4)  bus-state change in
 *                      event_flags (KOVRA62386_BUS_FLAG_*)
 *    KOVRA62386_FRAME_INTERFACE_INFO (frame_type 3)  information from the
 *                  interface, carried as opaque blocks: sub_type
 *                  KOVRA62386_INFO_BLOCK0 (0) fills info0,
 *                  KOVRA62386_INFO_BLOCK3 (3) fills info3.
 */
#ifndef KOVRA62386_KOVRA62386_H
#define KOVRA62386_KOVRA62386_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KOVRA62386_CALL __stdcall
#else
#define KOVRA62386_CALL
#endif

/* On Windows the exports come from a module-definition file, which gives
   them their decorated names; elsewhere only these symbols are visible. */
#if defined(_WIN32)
#define KOVRA62386_API
#elif defined(KOVRA62386_BUILDING_LIBRARY)
#define KOVRA62386_API __attribute__((visibility("default")))
#else
#define KOVRA62386_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The server's TCP port; the library always connects to 127.0.0.1 on it. */
#define KOVRA62386_SERVER_PORT 42000

/* Frame types (frame_type), write direction. */
#define KOVRA62386_FRAME_INTERFACE_REQUEST 3 /* a request to the interface */
#define KOVRA62386_FRAME_TRANSMIT 4          /* a forward frame to transmit */
/* Frame types (frame_type), read direction. */
#define KOVRA62386_FRAME_BUS_EVENT 1       /* seen on the bus */
#define KOVRA62386_FRAME_INTERFACE_INFO 3  /* info0 or info3 */
#define KOVRA62386_FRAME_TRANSMIT_REPORT 4 /* a transmit confirmation */

/* Sub-types of KOVRA62386_FRAME_BUS_EVENT. */
#define KOVRA62386_BUS_EVENT_NO_ANSWER 0     /* no answer in the window */
#define KOVRA62386_BUS_EVENT_FORWARD 1       /* a forward frame */
#define KOVRA62386_BUS_EVENT_BACKWARD 2      /* an answer, in data[0] */
#define KOVRA62386_BUS_EVENT_FRAMING_ERROR 3 /* framing error, collision */
#define KOVRA62386_BUS_EVENT_STATE 4         /* bus state in event_flags */
/* Sub-types of KOVRA62386_FRAME_INTERFACE_REQUEST. */
#define KOVRA62386_REQUEST_BUS_STATE 0 /* report the bus state now */
/* Sub-types of KOVRA62386_FRAME_INTERFACE_INFO. */
#define KOVRA62386_INFO_BLOCK0 0 /* fills info0 */
#define KOVRA62386_INFO_BLOCK3 3 /* fills info3 */
/* Sub-types of KOVRA62386_FRAME_TRANSMIT: the frame's priority. */
#define KOVRA62386_PRIORITY_DEFAULT 0 /* the interface's default */
#define KOVRA62386_PRIORITY_HIGHEST 1
#define KOVRA62386_PRIORITY_LOWEST 5
/* BusFrame.format of the variable-length form (bit_count data bits). */
#define KOVRA62386_FORMAT_VARIABLE 5

/* The longest KOVRA62386_send waits for a frame's outcome. */
#define KOVRA62386_SEND_TIMEOUT_MS 750

/* Results of KOVRA62386_read. */
#define KOVRA62386_READ_FRAME 0    /* a record was delivered */
#define KOVRA62386_READ_EMPTY 1    /* nothing queued now */
#define KOVRA62386_READ_NOT_OPEN 2 /* unknown handle, or lost and drained */

/* Confirmation status (ReadFrameRecord.transmit_report.status). */
#define KOVRA62386_STATUS_SENT 0       /* the frame went out on the bus */
#define KOVRA62386_STATUS_BUS_BUSY 1   /* the bus stayed busy; not sent */
#define KOVRA62386_STATUS_POWER_DOWN 2 /* the bus has no power; not sent */
#define KOVRA62386_STATUS_REFUSED 3    /* the interface refused the frame */

/* Bus-state bits (ReadFrameRecord.bus_event.event_flags, sub_type 4). */
#define KOVRA62386_BUS_FLAG_POWER_LOST 0x80     /* bus voltage gone */
#define KOVRA62386_BUS_FLAG_SYSTEM_FAILURE 0x40 /* bus held low too long */
#define KOVRA62386_BUS_FLAG_POWER_RETURN \
  0x08 /* with 0x80: power is returning */

/* Bounds the library keeps, whatever the application or the server does. */
/* Records kept per opened interface until they are read. Beyond it the
   oldest give way, so memory stays flat for an application that never reads;
   one that comes back reads the newest records in order. Arrivals never wait
   for a reader, however lately it read: a reader (a KOVRA62386_read poll or
   a transceiver's callback) that falls further behind loses its own
   interface's oldest records and holds up nothing else, neither the other
   interfaces' records nor sends or enumerations. */
#define KOVRA62386_RECEIVE_QUEUE_LIMIT 1024
/* Messages waiting to be written to the server. A caller finding it full
   waits for room; a server that takes nothing for
   KOVRA62386_SEND_STALL_TIMEOUT_MS counts as lost: read delivers the
   records that had arrived, then answers 2. */
#define KOVRA62386_SEND_QUEUE_LIMIT 1024
#define KOVRA62386_SEND_STALL_TIMEOUT_MS 5000
/* KOVRA62386_enumerate: the wait for each message of the list, the wait for
   the whole list, and the most entries taken from it. */
#define KOVRA62386_ENUMERATION_REPLY_TIMEOUT_MS 5000
#define KOVRA62386_ENUMERATION_TIMEOUT_MS 30000
#define KOVRA62386_ENUMERATION_MAX_ENTRIES 256

/* 16 bytes: one bus frame. */
typedef struct BusFrame {
  uint8_t data[5];   /* data bytes, first byte first on the wire */
  uint8_t bit_count; /* number of frame bits, at most 40 */
  uint8_t format;    /* 5: variable-length form (write direction) */
  uint8_t reserved0;
  uint32_t value;     /* travels after the data bytes */
  uint8_t send_twice; /* 1: the frame goes out twice */
  uint8_t reserved1[3];
} BusFrame;

/* 72 bytes: a frame handed to KOVRA62386_write or KOVRA62386_send. */
typedef struct WriteFrameRecord {
  uint8_t frame_type;   /* 3 or 4 */
  uint8_t sub_type;     /* 0-7 */
  uint8_t reserved0[2]; /* never read */
  BusFrame frame;
  uint8_t reserved1[52]; /* never encoded */
} WriteFrameRecord;

/* The frame_type 1 region of a ReadFrameRecord (record bytes 4-191). */
typedef struct BusEvent {
  uint8_t header_flag; /* 1: our own frame echoed on the bus */
  uint8_t reserved0[3];
  uint32_t value;
  uint16_t words[83];
  uint8_t word_count; /* valid entries in words, 0-83 */
  uint8_t reserved1;
  uint8_t data[5]; /* data[0] is the answer byte of a backward frame */
  uint8_t bit_count;
  uint8_t aux_a;
  uint8_t event_flags; /* bus state, KOVRA62386_BUS_FLAG_* */
  uint8_t aux_b;
  uint8_t reserved2[3];
} BusEvent;

/* The frame_type 4 region of a ReadFrameRecord (record bytes 192-211). */
typedef struct TransmitReport {
  uint8_t status; /* KOVRA62386_STATUS_*, 0-15 */
  uint8_t reserved0[3];
  BusFrame frame;
} TransmitReport;

/* 264 bytes: a frame delivered by KOVRA62386_read. Each frame type fills
   its own region; every other region reads as zero. */
typedef struct ReadFrameRecord {
  uint8_t frame_type;             /* 1, 3 or 4 */
  uint8_t sub_type;               /* 0-7 */
  uint8_t reserved0[2];           /* never written */
  BusEvent bus_event;             /* frame_type 1 */
  TransmitReport transmit_report; /* frame_type 4 */
  uint8_t info0[24];              /* frame_type 3, sub_type 0 */
  uint8_t info3[28];              /* frame_type 3, sub_type 3 */
} ReadFrameRecord;

/* One interface name of an enumeration; the list ends at next == NULL. */
typedef struct EnumerationNode {
  char* name; /* NUL-terminated copy of the interface name */
  struct EnumerationNode* next;
} EnumerationNode;

/* Transceiver event codes. */
#define KOVRA62386_EVENT_FORWARD_FRAME 0  /* bus_event sub_type 1 */
#define KOVRA62386_EVENT_BACKWARD_FRAME 1 /* bus_event sub_type 2 */
#define KOVRA62386_EVENT_BUS_STATE 2      /* bus_event sub_type 4 */
#define KOVRA62386_EVENT_NO_ANSWER 3      /* bus_event sub_type 0 */
#define KOVRA62386_EVENT_FRAME_ERROR 5    /* bus_event sub_type 3 */
#define KOVRA62386_EVENT_CLOSED 6         /* the handle is no longer open */

/* Bus states of KOVRA62386_EVENT_BUS_STATE. */
#define KOVRA62386_BUS_OK 0
#define KOVRA62386_BUS_SYSTEM_FAILURE 1 /* event_flags 0x40 */
#define KOVRA62386_BUS_POWER_LOST 2     /* event_flags 0x80 */
#define KOVRA62386_BUS_POWER_RETURN 4   /* event_flags 0x80 and 0x08 */

/* 268 bytes, valid only during the callback. */
typedef struct TransceiverEvent {
  int32_t code; /* KOVRA62386_EVENT_* */
  union {
    ReadFrameRecord record; /* codes 0, 1, 3, 5 (bytes 2-3 undefined) */
    int32_t bus_state;      /* code 2, KOVRA62386_BUS_*; the rest is zero */
    uint8_t bytes[264];     /* code 6: all zero */
  } payload;
} TransceiverEvent;

/* Send statuses. */
#define KOVRA62386_SEND_NO_TRANSCEIVER 0 /* no transceiver on the handle */
#define KOVRA62386_SEND_NO_RESULT                                             \
  1                                     /* null frame, busy, no confirmation, \
                                           no completion, or not sent */
#define KOVRA62386_SEND_FRAMING_ERROR 2 /* completed by sub_type 3 */
#define KOVRA62386_SEND_NO_ANSWER 3     /* completed by sub_type 0 */
#define KOVRA62386_SEND_NOT_ECHOED                                 \
  4                              /* write failed, or confirmed but \
                                    never echoed */
#define KOVRA62386_SEND_ANSWER 5 /* answer byte received */

/* 8 bytes, returned in EDX:EAX on 32-bit Windows by every compiler: the
   padding is spelled as single bytes because GCC returns structures with
   array members through memory. */
typedef struct SendResult {
  int32_t status; /* KOVRA62386_SEND_* */
  uint8_t answer; /* the answer byte when status is 5, else 0 */
  uint8_t reserved0;
  uint8_t reserved1;
  uint8_t reserved2;
} SendResult;

/* Called on the transceiver's thread for every reported frame. */
typedef void (*TransceiverCallback)(uint32_t handle,
                                    const TransceiverEvent* event,
                                    void* context);

/* Connects to the local server, starting it when none runs. Replaces the
   previous session (terminating it first). 0: connected; -1: failed, also
   when the server greeted and the link was lost before this returned. */
KOVRA62386_API int32_t KOVRA62386_CALL KOVRA62386_initialize(void);

/* Stops the connection. Handles and queued frames stay; a second call does
   nothing. As after a lost server, KOVRA62386_read then delivers the frames
   already received and answers 2: every running transceiver reports event 6
   (KOVRA62386_EVENT_CLOSED) and its worker ends. Its handle stays registered
   until KOVRA62386_stop_transceiver; handles of this session stay dead
   after a new KOVRA62386_initialize. */
KOVRA62386_API void KOVRA62386_CALL KOVRA62386_terminate(void);

/* Lists the server's interfaces, waiting up to 5 s for each message of the
   list and up to 30 s in all, and taking at most 256 entries (the
   KOVRA62386_ENUMERATION_* bounds). NULL when there are none or no session.
   Free with KOVRA62386_free_enumeration. The list holds what arrived. A
   list the server ended (also an empty one) replaces the names that
   KOVRA62386_open knows; one cut short by a time-out or a lost server only
   adds to them: names it did not bring still open. */
KOVRA62386_API EnumerationNode* KOVRA62386_CALL KOVRA62386_enumerate(void);

/* Frees a list from KOVRA62386_enumerate; NULL does nothing. */
KOVRA62386_API void KOVRA62386_CALL
KOVRA62386_free_enumeration(EnumerationNode* first);

/* Opens an interface by a name the enumerations gave (see
   KOVRA62386_enumerate for which names stay known). Returns a new handle,
   or 0 (unknown name, no session, NULL name). */
KOVRA62386_API uint32_t KOVRA62386_CALL KOVRA62386_open(const char* name);

/* Closes a handle; unknown or closed handles are ignored. */
KOVRA62386_API void KOVRA62386_CALL KOVRA62386_close(uint32_t handle);

/* Takes the oldest frame of the handle's interface without waiting.
   0: a frame was written into *record; 1: none queued, *record untouched;
   2: the handle is not open (closed, unknown, its interface or the server
   lost) or record is NULL. Records that came before the interface or the
   server was lost are read first; at most KOVRA62386_RECEIVE_QUEUE_LIMIT
   are kept per interface. */
KOVRA62386_API int32_t KOVRA62386_CALL KOVRA62386_read(uint32_t handle,
                                                       ReadFrameRecord* record);

/* Queues a frame for transmission. Always returns 2; the outcome arrives
   as frames (or use KOVRA62386_send). */
KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_write(uint32_t handle, const WriteFrameRecord* frame);

/* Writes a frame and waits up to 750 ms for its outcome. Needs a running
   transceiver on the handle. Threads may share a handle: one send waits at a
   time, another returns status 1 at once and writes nothing.
   The interface's reports carry no identifier, and a server need not copy
   the frame into them. Every server gets the same outcomes; they differ
   only when a send runs out of time and its reports come later:
   - A server whose confirmation and echo carried the frame's data bytes (as
     many as bit_count makes significant) on two sends of different frames
     is taken to copy them. From then on a confirmation or an echo counts
     only when it carries the frame's bytes, and the answer only after the
     frame's own echo. The reports of a send that ran out of time are
     consumed when they come (the interface reports frames in the order
     they were written); they never complete a later send of another frame.
     A later send of the same bytes cannot be told from it: it takes the
     first reports that carry those bytes, which may be the earlier send's
     (its answer to the same frame, given a little earlier), and its own are
     consumed in their place. Nor can a frame written with KOVRA62386_write
     on the same handle with the same bytes while a send waits.
   - Before that, and on a server that leaves the bytes zero or fills in
     others, reports are taken in order. A send that follows one that ran
     out of time first waits, within its 750 ms, until the earlier send's
     reports are in or none has come for 200 ms; it then writes its frame,
     or returns status 1 without writing when the 750 ms are over. A frame
     written with KOVRA62386_write while a send waits is taken for the
     send's. */
KOVRA62386_API SendResult KOVRA62386_CALL
KOVRA62386_send(uint32_t handle, const WriteFrameRecord* frame);

/* Starts a thread that hands every frame of the handle to callback.
   1: started; 0: one runs already for this handle, or callback is NULL. */
KOVRA62386_API uint8_t KOVRA62386_CALL KOVRA62386_start_transceiver(
    uint32_t handle, TransceiverCallback callback, void* context);

/* Stops the handle's transceiver: waits for the callback under way, then
   returns 0. In a callback it only asks (see Conventions 5); a later stop of
   the same handle from another thread waits for that worker too. */
KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_stop_transceiver(uint32_t handle);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layout checks: a slip here must not build. */
#ifdef __cplusplus
#define KOVRA62386_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KOVRA62386_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

KOVRA62386_STATIC_ASSERT(sizeof(BusFrame) == 16, "BusFrame size");
KOVRA62386_STATIC_ASSERT(offsetof(BusFrame, bit_count) == 5, "bit_count");
KOVRA62386_STATIC_ASSERT(offsetof(BusFrame, format) == 6, "format");
KOVRA62386_STATIC_ASSERT(offsetof(BusFrame, value) == 8, "value");
KOVRA62386_STATIC_ASSERT(offsetof(BusFrame, send_twice) == 12, "send_twice");

KOVRA62386_STATIC_ASSERT(sizeof(WriteFrameRecord) == 72, "write size");
KOVRA62386_STATIC_ASSERT(offsetof(WriteFrameRecord, sub_type) == 1, "w sub");
KOVRA62386_STATIC_ASSERT(offsetof(WriteFrameRecord, frame) == 4, "w frame");
KOVRA62386_STATIC_ASSERT(offsetof(WriteFrameRecord, reserved1) == 20, "w res");

KOVRA62386_STATIC_ASSERT(sizeof(ReadFrameRecord) == 264, "read size");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event) == 4, "event");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.value) == 8,
                         "value");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.words) == 12,
                         "words");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.word_count) == 178,
                         "word_count");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.data) == 180,
                         "data");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.bit_count) == 185,
                         "bit_count");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.aux_a) == 186,
                         "aux_a");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.event_flags) ==
                             187,
                         "event_flags");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, bus_event.aux_b) == 188,
                         "aux_b");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, transmit_report) == 192,
                         "report");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, transmit_report.frame) ==
                             196,
                         "report frame");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, info0) == 212, "info0");
KOVRA62386_STATIC_ASSERT(offsetof(ReadFrameRecord, info3) == 236, "info3");

KOVRA62386_STATIC_ASSERT(sizeof(TransceiverEvent) == 268, "event size");
KOVRA62386_STATIC_ASSERT(offsetof(TransceiverEvent, payload) == 4, "payload");
KOVRA62386_STATIC_ASSERT(sizeof(SendResult) == 8, "SendResult size");
KOVRA62386_STATIC_ASSERT(offsetof(SendResult, answer) == 4, "answer");
KOVRA62386_STATIC_ASSERT(offsetof(EnumerationNode, next) == sizeof(char*),
                         "next");

#endif /* KOVRA62386_KOVRA62386_H */
