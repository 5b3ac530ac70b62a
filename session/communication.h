// Kovra62386Communication: the client side of the conversation with the
// local server. It keeps the interfaces the server listed, the interfaces
// this client opened (one OpenDevice each, filed under a device key) and,
// per opened interface, the received frames nobody has read yet.
//
// Received messages are filed as they arrive: the connection hands each to
// dispatch on its I/O thread (a connection without that hand-over keeps
// them in a queue of its own, which read, open and enumerate then drain).
// Each device keeps at most kReceiveQueueLimit frames in fixed slots, so
// memory stays flat whatever the application reads; the oldest give way to
// the newest. A device read within the last kReaderGrace is not overrun:
// the I/O thread waits for room instead (or, without the hand-over, the
// frame stays in the connection's queue), so a burst is not cut short under
// a live reader.
//
// Each device has a wake-up of its own, moved for everything its readers
// wait for: a frame filed for it, DeviceClosed, its close, a lost link, its
// communication object replaced. Nothing else wakes them.
//
// Locks: request_mutex_ orders the state changes of open and close with
// the requests they send; mutex_ guards the data and is never held while
// sending, so the I/O thread (which takes mutex_ only) can never wait for
// a sender. A device's mutex guards its frames and flags; readers of a
// device take it alone. Order: enumerate_mutex_, request_mutex_, mutex_,
// a device's mutex, its wake-up's.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "session/frame_ring.h"
#include "transport/arrival_signal.h"
#include "transport/connection_base.h"
#include "transport/message.h"

namespace kovra62386 {

class Kovra62386Communication {
 public:
  // Results of read and write: read's results; write answers kDelivered
  // when sent, kNotOpen for an unknown key or a refused message.
  static constexpr int32_t kDelivered = KOVRA62386_READ_FRAME;
  static constexpr int32_t kNothingQueued = KOVRA62386_READ_EMPTY;
  static constexpr int32_t kNotOpen = KOVRA62386_READ_NOT_OPEN;

  // Enumeration bounds: the wait for each list message, the whole list,
  // the entries taken from it.
  static constexpr std::chrono::milliseconds kDefaultEnumerationTimeout{
      KOVRA62386_ENUMERATION_REPLY_TIMEOUT_MS};
  static constexpr std::chrono::milliseconds kEnumerationLimit{
      KOVRA62386_ENUMERATION_TIMEOUT_MS};
  static constexpr std::size_t kMaxInterfaceEntries =
      KOVRA62386_ENUMERATION_MAX_ENTRIES;

  // Frames kept per device; beyond it the oldest give way.
  static constexpr std::size_t kReceiveQueueLimit =
      KOVRA62386_RECEIVE_QUEUE_LIMIT;
  // A device read within this time has a live reader: its full queue
  // holds arrivals back rather than drop its oldest frames.
  static constexpr std::chrono::milliseconds kReaderGrace{200};

  // One interface of the last enumeration.
  struct InterfaceInfo {
    uint32_t index = 0;     // 0-255
    uint8_t attribute = 0;  // carried, never interpreted
    std::string name;       // compared byte for byte
  };

  // One opened interface and the frames received for it. Self-contained, so
  // a handle bound to it reads it without the communication object.
  class OpenDevice {
   public:
    OpenDevice(uint32_t index, uint32_t key)
        : index_(index), key_(key), received_(kReceiveQueueLimit) {}

    uint32_t index() const { return index_; }
    uint32_t key() const { return key_; }

    // KOVRA62386_READ_FRAME with the oldest frame in `record` (a frame that
    // does not decode is dropped and the next one tried); _EMPTY; or
    // _NOT_OPEN once the device is gone and its frames are read (`lost`:
    // the caller saw the connection fail before calling).
    int32_t read(ReadFrameRecord& record, bool lost = false);

    // Moves for every frame filed here and for every change that ends
    // reading: waiters take its generation before they read.
    ArrivalSignal& wakeup() { return wakeup_; }

    // Frames waiting to be read.
    std::size_t queued() const;

    // The server closed it (DeviceClosed): its queued frames are still
    // read, then it answers kNotOpen. Written under the communication's
    // mutex and the device's, read under either.
    bool closed_by_server = false;

   private:
    friend class Kovra62386Communication;

    const uint32_t index_;
    const uint32_t key_;
    mutable std::mutex mutex_;  // guards everything below
    FrameRing received_;
    bool link_lost_ = false;  // read drains the frames, then kNotOpen
    bool retired_ = false;    // its communication object was replaced
    bool detached_ = false;   // closed here: no frames come any more
    // When a reader last looked at the frames, in
    // platform::coarse_milliseconds: stamped on every read, so it must be
    // cheap; the grace is far longer than its step.
    int64_t last_read_ms_ = std::numeric_limits<int64_t>::min() / 2;
    // The I/O thread waits here for a reader to make room.
    std::condition_variable room_;
    uint32_t room_waiters_ = 0;
    ArrivalSignal wakeup_;
  };

  // `connection` may be null here and attached later by a derived class
  // that owns it; it must be set before any operation runs. `arrivals` is
  // the signal the connection notifies for every message and on failure.
  explicit Kovra62386Communication(
      Kovra62386ConnectionBase* connection,
      ArrivalSignal& arrivals = ArrivalSignal::global());
  virtual ~Kovra62386Communication();

  Kovra62386Communication(const Kovra62386Communication&) = delete;
  Kovra62386Communication& operator=(const Kovra62386Communication&) = delete;

  // Asks the server for its interfaces and collects them until the list
  // ends or reaches kMaxInterfaceEntries, the connection is lost, no list
  // message came for the enumeration time-out, or kEnumerationLimit passed
  // (other messages meanwhile do not extend the wait). Replaces the
  // interface list (also with an empty one) and returns the names in list
  // order. Enumerations run one at a time.
  std::vector<std::string> enumerate();

  // Opens the first listed interface of that name. Returns its new device
  // key, or 0: unknown name, index 255, or already open here.
  uint32_t open(std::string_view name);

  // Sends a CloseRequest and forgets the device; unknown keys do nothing.
  void close(uint32_t key);

  // kDelivered with the oldest frame in `record` (all of it; a device's
  // own read leaves bytes 2-3 as they were); kNothingQueued; kNotOpen
  // for an unknown key, or once the connection or the device is lost and
  // every frame received before the loss has been read. A queued frame that
  // does not decode is dropped and the next one is tried.
  int32_t read(uint32_t key, ReadFrameRecord& record);

  // Queues one TransmitFrame: kDelivered when the connection took it,
  // kNotOpen for an unknown key, a refused message or a record that
  // encodes to nothing.
  int32_t write(uint32_t key, const WriteFrameRecord& record);

  // Files one received message: frames to their device's queue (dropping
  // the oldest of a full one), DeviceClosed ends a device once its frames
  // are read, list replies go to a running enumeration; everything else is
  // dropped. Never waits.
  void dispatch(std::span<const uint8_t> message);

  // dispatch for the connection's I/O thread: a frame for a full queue
  // whose reader is reading waits up to kReaderGrace for room first. The
  // devices' readers wake at the next wake_readers, once per batch.
  void dispatch_arrival(std::span<const uint8_t> message);

  // Wakes the readers of every device that dispatch_arrival filed frames
  // for since the last call.
  void wake_readers();

  // Ends every wait of dispatch_arrival now and for good; before the
  // connection's I/O thread is stopped.
  void stop_waiting_for_readers();

  // Dispatches every message the connection holds, in arrival order.
  void process_pending();

  // True while `key` names an opened device of this object.
  bool is_device_open(uint32_t key) const;

  // The device filed under `key`, or null.
  std::shared_ptr<OpenDevice> device(uint32_t key) const;

  // The connection is gone for good: every device drains its frames, then
  // answers kNotOpen; their waiters wake. Called by the connection's owner
  // after the last message was dispatched.
  void connection_lost();

  // This object is being replaced: every device answers kNotOpen at once
  // and its waiters wake.
  void retire_devices();

  std::vector<InterfaceInfo> interfaces() const;

  // How long an enumeration waits for its next list message, and in all.
  void set_enumeration_timeout(std::chrono::milliseconds timeout);
  void set_enumeration_limit(std::chrono::milliseconds limit);

  // The largest device key any communication object of this process has
  // issued; keys are never reused while the library stays loaded.
  static uint32_t last_issued_key();

 protected:
  void attach(Kovra62386ConnectionBase* connection) {
    connection_ = connection;
  }

 private:
  // The enumeration under way, fed by whichever thread dispatches.
  struct Enumeration {
    bool active = false;
    bool ended = false;  // its InterfaceListEnd (or the last entry) came
    uint64_t list_messages = 0;  // entries and end; each restarts the wait
    std::vector<InterfaceInfo> collected;
  };

  uint32_t next_key() const;
  void collect_interface_entry(std::span<const uint8_t> message);
  // What filing a frame does when its device's queue is full and its
  // reader live.
  enum class WhenFull {
    Drop,      // the oldest frame gives way
    Wait,      // wait for room (the I/O thread)
    HoldBack,  // leave the frame for later (draining the connection)
  };
  // With mutex_ held (through `lock`). False only for a frame held back.
  bool file(std::span<const uint8_t> message,
            std::unique_lock<std::mutex>& lock, WhenFull when_full);
  bool file_frame(std::span<const uint8_t> message,
                  std::unique_lock<std::mutex>& lock, WhenFull when_full);
  // Files what the connection holds; `hold_back` as WhenFull::HoldBack,
  // else every message is filed.
  void process_pending_locked(std::unique_lock<std::mutex>& lock,
                              bool hold_back = true);
  // Sets a flag of every device and wakes its waiters.
  void mark_devices(bool OpenDevice::*flag);

  Kovra62386ConnectionBase* connection_;
  ArrivalSignal& arrivals_;

  // Guards everything below (see the top of the file).
  mutable std::mutex mutex_;
  std::vector<InterfaceInfo> interfaces_;
  std::map<uint32_t, std::shared_ptr<OpenDevice>> devices_;
  Enumeration enumeration_;
  std::chrono::milliseconds enumeration_timeout_{kDefaultEnumerationTimeout};
  std::chrono::milliseconds enumeration_limit_{kEnumerationLimit};
  // Per interface index, the device that takes its frames: the one opened
  // and not closed by the server (at most one).
  std::array<OpenDevice*, 256> receiving_{};
  // Interface indexes that dispatch_arrival filed frames for, not yet woken.
  std::array<uint8_t, 256> unwoken_{};
  std::size_t unwoken_count_ = 0;
  std::array<bool, 256> is_unwoken_{};
  // Taken from the connection but held back for a full queue.
  std::optional<Message> held_back_;
  // Set for good before the I/O thread is stopped: arrivals stop waiting
  // for readers.
  std::atomic<bool> readers_released_{false};

  std::mutex request_mutex_;
  // Held for a whole enumeration, before the others.
  std::mutex enumerate_mutex_;
};

}  // namespace kovra62386
