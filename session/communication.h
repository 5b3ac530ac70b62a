// Kovra62386Communication: the client side of the conversation with the
// local server. It keeps the interfaces the server listed, the interfaces
// this client opened (one OpenDevice each, filed under a device key) and,
// per opened interface, the received frames nobody has read yet.
//
// Received messages are pulled: they move from the connection's queue into
// the per-device queues whenever a caller runs read, open or enumerate.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "session/message.h"
#include "transport/arrival_signal.h"
#include "transport/connection_base.h"

namespace kovra62386 {

class Kovra62386Communication {
 public:
  // Results of read and write.
  static constexpr int32_t kDelivered = 0;  // read: a frame; write: sent
  static constexpr int32_t kNothingQueued = 1;
  static constexpr int32_t kNotOpen = 2;  // unknown key, lost server, refused

  static constexpr std::chrono::milliseconds kDefaultEnumerationTimeout{5000};

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
  // ends, the connection is lost, or no message came for the enumeration
  // time-out. Replaces the interface list (also with an empty one) and
  // returns the names in list order. Enumerations run one at a time.
  std::vector<std::string> enumerate();

  // Opens the first listed interface of that name. Returns its new device
  // key, or 0: unknown name, index 255, or already open here.
  uint32_t open(std::string_view name);

  // Sends a CloseRequest and forgets the device; unknown keys do nothing.
  void close(uint32_t key);

  // kDelivered with the oldest frame in `record`; kNothingQueued; kNotOpen
  // for an unknown key, or once the connection is lost and every frame
  // received before the loss has been read. A queued frame that does not
  // decode is dropped and the next one is tried.
  int32_t read(uint32_t key, ReadFrameRecord& record);

  // Queues one TransmitFrame: kDelivered when the connection took it,
  // kNotOpen for an unknown key, a refused message or a record that
  // encodes to nothing.
  int32_t write(uint32_t key, const WriteFrameRecord& record);

  // Files one received message: frames to their device's queue,
  // DeviceClosed forgets a device, list replies go to a running
  // enumeration; everything else is dropped.
  void dispatch(const Message& message);

  // Dispatches every message the connection holds, in arrival order.
  void process_pending();

  // True while `key` names an opened device of this object.
  bool is_device_open(uint32_t key) const;

  std::vector<InterfaceInfo> interfaces() const;

  // How long an enumeration waits for its next message.
  void set_enumeration_timeout(std::chrono::milliseconds timeout);

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
    bool ended = false;     // its InterfaceListEnd was seen
    uint64_t messages = 0;  // dispatched while active; restarts the wait
    std::vector<InterfaceInfo> collected;
  };

  uint32_t next_key() const;
  void collect_interface_entry(const Message& message);

  Kovra62386ConnectionBase* connection_;
  ArrivalSignal& arrivals_;

  // Guards everything below; taken again by dispatch inside read and open.
  mutable std::recursive_mutex mutex_;
  std::vector<InterfaceInfo> interfaces_;
  std::map<uint32_t, std::shared_ptr<OpenDevice>> devices_;
  Enumeration enumeration_;
  std::chrono::milliseconds enumeration_timeout_{kDefaultEnumerationTimeout};

  // Held for a whole enumeration, before mutex_.
  std::mutex enumerate_mutex_;
};

}  // namespace kovra62386
