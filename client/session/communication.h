// Kovra62386Communication: the client side of the conversation with the
// local server. It keeps the interfaces the server listed, the interfaces
// this client opened (one OpenDevice each, filed under a device key) and,
// per opened interface, the received frames nobody has read yet. The session
// side (enumerate, open, close, read, write) is communication.cpp; the
// devices are open_device.h; the filing of what arrives is
// frame_filing.cpp.
//
// Received messages are filed as they arrive: the connection hands each to
// dispatch on its I/O thread (a connection without that hand-over keeps
// them in a queue of its own, which read, open and enumerate then drain).
// Each device keeps at most kReceiveQueueLimit frames in fixed slots, so
// memory stays flat whatever the application reads. Filing never waits for
// a reader: the one I/O thread files the frames of every interface, so a
// wait for one reader would hold up every other interface, their sends and
// enumerations too. A device whose reader does not keep up loses its own
// oldest frames (counted in dropped()) and nothing else; its reader then
// reads the newest kReceiveQueueLimit in order. Nothing is held back for a
// reader that read recently either (there is no grace time): how fast a
// reader reads is its own affair. Filing keeps arrival order per device,
// and as it never waits, the I/O thread has filed every frame it read
// before it goes on to the end of the stream: connection_lost, called after
// the last message was dispatched, lets each reader take what is queued
// before it answers kNotOpen.
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
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/session/open_device.h"
#include "client/transport/arrival_signal.h"
#include "client/transport/connection_base.h"
#include "kovra62386/kovra62386.h"
#include "protocol/message.h"

namespace kovra62386 {

// The client's conversation with the local server: interfaces, opened
// devices and the filing of what arrives.
class Kovra62386Communication {
 public:
  // One opened interface and the frames received for it (open_device.h).
  using OpenDevice = kovra62386::OpenDevice;

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

  // Frames kept per device (OpenDevice::kReceiveQueueLimit).
  static constexpr std::size_t kReceiveQueueLimit =
      OpenDevice::kReceiveQueueLimit;

  // One interface of the last enumeration.
  struct InterfaceInfo {
    uint32_t index = 0;     // 0-255
    uint8_t attribute = 0;  // carried, never interpreted
    std::string name;       // compared byte for byte
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
  // (other messages meanwhile do not extend the wait). Returns the names
  // that arrived, in list order. A list that ended (its InterfaceListEnd or
  // the entry limit) replaces the interface list, also with an empty one.
  // One cut short (time-out, lost link) is merged into it instead: the
  // entries that came, then each earlier entry whose index and whose name
  // no entry that came has, so a slow or lost server never makes known
  // names unopenable. A refused request changes nothing. Enumerations run
  // one at a time.
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

  // dispatch for the connection's I/O thread; never waits either. The
  // devices' readers wake at the next wake_readers, once per batch (a
  // device whose queue fills by a quarter within the batch at once).
  void dispatch_arrival(std::span<const uint8_t> message);

  // Wakes the readers of every device that dispatch_arrival filed frames
  // for since the last call.
  void wake_readers();

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
  // When filing a frame wakes its device's readers.
  enum class Wake {
    Now,      // at once
    AtFlush,  // at the next wake_readers (the I/O thread)
  };
  // With mutex_ held.
  void file(std::span<const uint8_t> message, Wake wake);
  void file_frame(std::span<const uint8_t> message, Wake wake);
  // Files, in arrival order, every message the connection holds. With
  // mutex_ held: two callers never file out of order.
  void process_pending_locked();
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

  std::mutex request_mutex_;
  // Held for a whole enumeration, before the others.
  std::mutex enumerate_mutex_;
};

}  // namespace kovra62386
