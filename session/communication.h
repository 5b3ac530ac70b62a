// Kovra62386Communication: the client side of the conversation with the
// local server. It keeps the interfaces the server listed, the interfaces
// this client opened (one OpenDevice each, filed under a device key) and,
// per opened interface, the received frames nobody has read yet.
//
// Received messages are filed as they arrive: the connection hands each to
// dispatch on its I/O thread (a connection without that hand-over keeps
// them in a queue of its own, which read, open and enumerate then drain).
// Each device keeps at most kReceiveQueueLimit frames, so memory stays flat
// whatever the application reads; the oldest give way to the newest. A
// device read within the last kReaderGrace is not overrun: the I/O thread
// waits for room instead (or, without the hand-over, the frame stays in the
// connection's queue), so a burst is not cut short under a live reader.
//
// Locks: request_mutex_ orders the state changes of open and close with
// the requests they send; mutex_ guards the data and is never held while
// sending, so the I/O thread (which takes mutex_ only) can never wait for
// a sender. Order: enumerate_mutex_, request_mutex_, mutex_.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "transport/message.h"
#include "transport/arrival_signal.h"
#include "transport/connection_base.h"

namespace kovra62386 {

class Kovra62386Communication {
 public:
  // Results of read and write.
  static constexpr int32_t kDelivered = 0;  // read: a frame; write: sent
  static constexpr int32_t kNothingQueued = 1;
  static constexpr int32_t kNotOpen = 2;  // unknown key, lost server, refused

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

  // One opened interface and the frames received for it.
  class OpenDevice {
   public:
    OpenDevice(uint32_t index, uint32_t key) : index_(index), key_(key) {}

    uint32_t index() const { return index_; }
    uint32_t key() const { return key_; }
    // Whole ReceivedFrame messages, oldest first.
    std::deque<Message>& received() { return received_; }
    const std::deque<Message>& received() const { return received_; }

    // The server closed it (DeviceClosed): its queued frames are still
    // read, then it answers kNotOpen and goes.
    bool closed_by_server = false;
    // When a reader last looked at the queue.
    std::chrono::steady_clock::time_point last_read =
        std::chrono::steady_clock::time_point::min();

   private:
    uint32_t index_;
    uint32_t key_;
    std::deque<Message> received_;
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

  // kDelivered with the oldest frame in `record`; kNothingQueued; kNotOpen
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
  // whose reader is reading waits up to kReaderGrace for room first.
  void dispatch_arrival(std::span<const uint8_t> message);

  // Ends every wait of dispatch_arrival now and for good; before the
  // connection's I/O thread is stopped.
  void stop_waiting_for_readers();

  // Dispatches every message the connection holds, in arrival order.
  void process_pending();

  // True while `key` names an opened device of this object.
  bool is_device_open(uint32_t key) const;

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
  // The device that takes frames of `index`: the first not closed by the
  // server, in key order.
  std::shared_ptr<OpenDevice> receiving_device(uint8_t index) const;

  Kovra62386ConnectionBase* connection_;
  ArrivalSignal& arrivals_;

  // Guards everything below (see the top of the file).
  mutable std::mutex mutex_;
  std::vector<InterfaceInfo> interfaces_;
  std::map<uint32_t, std::shared_ptr<OpenDevice>> devices_;
  Enumeration enumeration_;
  std::chrono::milliseconds enumeration_timeout_{kDefaultEnumerationTimeout};
  std::chrono::milliseconds enumeration_limit_{kEnumerationLimit};
  // Taken from the connection but held back for a full queue.
  std::optional<Message> held_back_;
  // An arrival waits on room_ for a reader; readers wake it.
  std::condition_variable room_;
  uint32_t room_waiters_ = 0;
  bool readers_released_ = false;

  std::mutex request_mutex_;
  // Held for a whole enumeration, before the others.
  std::mutex enumerate_mutex_;
};

}  // namespace kovra62386
