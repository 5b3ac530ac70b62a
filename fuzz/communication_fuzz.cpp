// Drives one Kovra62386Communication over an in-memory connection with a
// sequence of operations the input chooses: server messages arriving
// (well-formed or not), enumerations answered by a batch of replies, open,
// read, write, close, direct dispatch and the loss of the connection.
//
// Beside the object runs a small model of what the object must do with
// the same sequence. Every result is checked against it: read answers in
// {0, 1, 2}, a delivered record is exactly the decoding of the oldest
// frame queued for that device (so no frame is lost, reordered, invented
// or handed to another device), a record is untouched unless delivered,
// every message sent goes out with the device's index, and keys are never
// reused.
//
// Input: a sequence of operations, each an operation byte followed by its
// arguments (see run()). Missing bytes read as zero.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "client/session/communication.h"
#include "client/transport/arrival_signal.h"
#include "client/transport/connection_base.h"
#include "fuzz/fuzz_check.h"
#include "platform/platform.h"
#include "protocol/frame_codec.h"
#include "protocol/message.h"

using kovra62386::ArrivalSignal;
using kovra62386::Direction;
using kovra62386::FrameCodec;
using kovra62386::FrameHolder;
using kovra62386::Kovra62386Communication;
using kovra62386::Kovra62386ConnectionBase;
using kovra62386::Message;
using kovra62386::MessageType;
using kovra62386::MessageView;

namespace {

constexpr uint8_t kUntouched = 0xA5;
const char* const kNames[] = {"DALI-1", "DALI-2", "", "DALI-1 "};
constexpr std::size_t kNameCount = 4;

// An in-memory connection: incoming messages in a queue, sends recorded,
// and the replies of the next enumeration queued when its request is sent.
class FuzzConnection : public Kovra62386ConnectionBase {
 public:
  explicit FuzzConnection(ArrivalSignal& arrivals)
      : Kovra62386ConnectionBase(kovra62386::platform::system_platform()),
        arrivals_(arrivals) {}

  void push(Message message) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      incoming_.push_back(std::move(message));
    }
    arrivals_.notify();
  }
  void set_failed() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ = true;
    }
    arrivals_.notify();
  }
  void set_refuse(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_ = refuse;
  }
  void set_enumeration_replies(std::vector<Message> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = std::move(replies);
  }
  std::vector<Message> take_sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(sent_, {});
  }

  bool send(const Message& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuse_) return false;
    sent_.push_back(message);
    if (!message.empty() &&
        message[0] == static_cast<uint8_t>(MessageType::EnumerateRequest)) {
      for (Message& reply : replies_) incoming_.push_back(std::move(reply));
      replies_.clear();
    }
    return true;
  }
  bool receive(Message& out, int32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (incoming_.empty()) return false;
    out = std::move(incoming_.front());
    incoming_.pop_front();
    return true;
  }
  bool failed() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  bool connect() override { return true; }

 private:
  ArrivalSignal& arrivals_;
  mutable std::mutex mutex_;
  std::deque<Message> incoming_;
  std::vector<Message> sent_;
  std::vector<Message> replies_;
  bool failed_ = false;
  bool refuse_ = false;
};

class Input {
 public:
  explicit Input(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return at_ >= bytes_.size(); }
  uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  // Up to n bytes, fewer at the end of the input.
  std::vector<uint8_t> bytes(std::size_t n) {
    const std::size_t take = std::min(n, bytes_.size() - at_);
    std::vector<uint8_t> out(bytes_.begin() + at_, bytes_.begin() + at_ + take);
    at_ += take;
    return out;
  }
  // A raw message: type, length N, then N bytes, or fewer when the input
  // ends (an incomplete message).
  Message raw_message() {
    Message message{byte(), byte()};
    const std::vector<uint8_t> payload = bytes(message[1]);
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
  }
  // A ReceivedFrame of exactly the given frame bytes.
  Message received_frame() {
    const uint8_t index = byte() & 3;
    const std::size_t length =
        std::min<std::size_t>(byte(), FrameCodec::kMaxFrameLength + 2);
    const std::vector<uint8_t> frame = bytes(length);
    Message message{static_cast<uint8_t>(MessageType::ReceivedFrame),
                    static_cast<uint8_t>(frame.size() + 1), index};
    message.insert(message.end(), frame.begin(), frame.end());
    return message;
  }

 private:
  std::span<const uint8_t> bytes_;
  std::size_t at_ = 0;
};

// What the communication object must hold: its interfaces, its devices
// with their queued frames, and the messages not yet dispatched.
class Model {
 public:
  struct Device {
    uint32_t index = 0;
    std::deque<Message> frames;
    bool closed_by_server = false;  // its frames are read, then 2
  };

  // The device that takes frames of `index`, if any.
  Device* receiving(uint8_t index) {
    for (auto& [key, device] : devices) {
      if (device.index == index && !device.closed_by_server) return &device;
    }
    return nullptr;
  }

  std::deque<Message> pending;
  std::vector<Kovra62386Communication::InterfaceInfo> interfaces;
  std::map<uint32_t, Device> devices;
  bool failed = false;
  bool refuse = false;

  // What dispatch does outside an enumeration.
  void dispatch(const Message& message) {
    const MessageView view(message);
    switch (static_cast<MessageType>(view.type())) {
      case MessageType::DeviceClosed: {
        if (view.payload().empty()) return;
        for (auto it = devices.begin(); it != devices.end(); ++it) {
          if (it->second.index == view.payload()[0] &&
              !it->second.closed_by_server) {
            if (it->second.frames.empty()) {
              devices.erase(it);
            } else {
              it->second.closed_by_server = true;
            }
            return;
          }
        }
        return;
      }
      case MessageType::ReceivedFrame: {
        if (!view.complete() || view.length() < 1) return;
        if (!FrameCodec::frame_length_valid(Direction::Read,
                                            view.length() - 1u)) {
          return;
        }
        if (Device* device = receiving(view.payload()[0])) {
          if (device->frames.size() >=
              Kovra62386Communication::kReceiveQueueLimit) {
            device->frames.pop_front();
          }
          device->frames.emplace_back(message.begin(),
                                      message.begin() + view.length() + 2);
        }
        return;
      }
      default:
        return;
    }
  }

  void dispatch_pending() {
    while (!pending.empty()) {
      const Message message = std::move(pending.front());
      pending.pop_front();
      dispatch(message);
    }
  }
};

std::optional<ReadFrameRecord> decode(const Message& message) {
  const std::span<const uint8_t> frame = MessageView(message).frame();
  if (!FrameCodec::frame_length_valid(Direction::Read,
                                      static_cast<uint32_t>(frame.size()))) {
    return std::nullopt;
  }
  FrameHolder holder;
  try {
    FrameCodec::decode(Direction::Read, frame.data(),
                       static_cast<uint32_t>(frame.size()), holder);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return holder.read;
}

bool all_untouched(const ReadFrameRecord& record) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  return std::all_of(bytes, bytes + sizeof record,
                     [](uint8_t b) { return b == kUntouched; });
}

void check_no_sends(FuzzConnection& connection) {
  FUZZ_CHECK(connection.take_sent().empty());
}

void check_sent_one(FuzzConnection& connection, const Model& model,
                    const Message& expected) {
  const std::vector<Message> sent = connection.take_sent();
  if (model.refuse) {
    FUZZ_CHECK(sent.empty());
  } else {
    FUZZ_CHECK(sent.size() == 1);
    FUZZ_CHECK(sent[0] == expected);
  }
}

void run(Input& input) {
  ArrivalSignal arrivals;
  FuzzConnection connection(arrivals);
  Kovra62386Communication communication(&connection, arrivals);
  Model model;
  std::vector<uint32_t> keys;  // every key issued, in order
  uint32_t last_key = Kovra62386Communication::last_issued_key();
  int waiting_enumerations = 0;

  auto choose_key = [&]() -> uint32_t {
    const uint8_t pick = input.byte();
    if (keys.empty() || pick % (keys.size() + 2) >= keys.size()) {
      // No device: handle 0, or a key nobody issued yet.
      return pick & 1 ? 0u : last_key + 1000u;
    }
    return keys[pick % (keys.size() + 2)];
  };

  for (int step = 0; step < 256 && !input.empty(); ++step) {
    switch (input.byte() % 11) {
      case 0: {  // any bytes from the server
        Message message = input.raw_message();
        model.pending.push_back(message);
        connection.push(std::move(message));
        break;
      }
      case 1: {  // a frame for one of the first four indexes
        Message message = input.received_frame();
        model.pending.push_back(message);
        connection.push(std::move(message));
        break;
      }
      case 2: {  // an enumeration and the replies it gets
        const uint8_t shape = input.byte();
        std::vector<Message> replies;
        for (int i = 0; i < (shape & 7); ++i) {
          const uint8_t kind = input.byte();
          if (kind & 1) {
            replies.push_back(kovra62386::make_interface_entry(
                input.byte(), kind, kNames[(kind >> 1) % kNameCount]));
          } else {
            replies.push_back(input.raw_message());
          }
        }
        if (shape & 8) replies.push_back(kovra62386::make_interface_list_end());
        // A waiting enumeration costs its time-out: only a few wait.
        const bool waits = (shape & 16) != 0 && ++waiting_enumerations <= 4;
        communication.set_enumeration_timeout(
            std::chrono::milliseconds(waits ? 1 : 0));

        // Leftovers are dispatched before the enumeration starts.
        model.dispatch_pending();
        std::vector<std::string> expected;
        if (!model.refuse) {
          std::vector<Kovra62386Communication::InterfaceInfo> collected;
          bool ended = false;
          for (const Message& reply : replies) {
            const MessageView view(reply);
            const auto type = static_cast<MessageType>(view.type());
            if (type == MessageType::InterfaceEntry) {
              if (!ended && view.complete() && view.length() >= 2) {
                Kovra62386Communication::InterfaceInfo info;
                info.index = view.payload()[0];
                info.attribute = view.payload()[1];
                info.name.assign(view.payload().begin() + 2,
                                 view.payload().end());
                collected.push_back(info);
              }
            } else if (type == MessageType::InterfaceListEnd) {
              ended = true;
            } else {
              model.dispatch(reply);
            }
          }
          for (const auto& info : collected) expected.push_back(info.name);
          // A list cut short keeps the earlier entries that no new one
          // supersedes (same index or same name), behind the new ones.
          if (!ended) {
            const std::size_t arrived = collected.size();
            for (const auto& known : model.interfaces) {
              bool superseded = false;
              for (std::size_t i = 0; i < arrived; ++i) {
                superseded = superseded || collected[i].index == known.index ||
                             collected[i].name == known.name;
              }
              if (!superseded) collected.push_back(known);
            }
          }
          model.interfaces = std::move(collected);
        }
        connection.set_enumeration_replies(std::move(replies));
        const std::vector<std::string> got = communication.enumerate();
        FUZZ_CHECK(got == expected);
        const auto listed = communication.interfaces();
        FUZZ_CHECK(listed.size() == model.interfaces.size());
        for (std::size_t i = 0; i < listed.size(); ++i) {
          FUZZ_CHECK(listed[i].index == model.interfaces[i].index);
          FUZZ_CHECK(listed[i].attribute == model.interfaces[i].attribute);
          FUZZ_CHECK(listed[i].name == model.interfaces[i].name);
        }
        check_sent_one(connection, model, kovra62386::make_enumerate_request());
        // Replies the refused request never got are not sent later.
        connection.set_enumeration_replies({});
        break;
      }
      case 3: {  // open by name
        const uint8_t pick = input.byte();
        const std::string name = pick & 4 ? "unlisted" : kNames[pick % 4];
        std::optional<uint32_t> index;
        for (const auto& info : model.interfaces) {
          if (info.name == name) {
            index = info.index;
            break;
          }
        }
        bool opens = index.has_value() && *index <= 254;
        if (opens) {
          for (const auto& [key, device] : model.devices) {
            if (device.index == *index && !device.closed_by_server) {
              opens = false;
            }
          }
        }
        const uint32_t key = communication.open(name);
        if (!opens) {
          FUZZ_CHECK(key == 0);
          check_no_sends(connection);
          break;
        }
        // A device the server closed gives way to the new one.
        std::erase_if(model.devices, [&](const auto& entry) {
          return entry.second.index == *index && entry.second.closed_by_server;
        });
        model.dispatch_pending();
        FUZZ_CHECK(key > last_key);
        last_key = key;
        keys.push_back(key);
        model.devices[key] = Model::Device{*index, {}};
        check_sent_one(
            connection, model,
            kovra62386::make_open_request(static_cast<uint8_t>(*index)));
        FUZZ_CHECK(communication.is_device_open(key));
        break;
      }
      case 4: {  // read
        const uint32_t key = choose_key();
        ReadFrameRecord record;
        std::memset(&record, kUntouched, sizeof record);
        const int32_t result = communication.read(key, record);
        FUZZ_CHECK(result == KOVRA62386_READ_FRAME ||
                   result == KOVRA62386_READ_EMPTY ||
                   result == KOVRA62386_READ_NOT_OPEN);

        const bool lost = model.failed;
        model.dispatch_pending();
        const auto device = model.devices.find(key);
        std::optional<ReadFrameRecord> expected;
        int32_t expected_result = Kovra62386Communication::kNotOpen;
        if (device != model.devices.end()) {
          auto& frames = device->second.frames;
          while (!expected && !frames.empty()) {
            expected = decode(frames.front());
            frames.pop_front();
          }
          const bool gone = device->second.closed_by_server;
          expected_result = expected ? Kovra62386Communication::kDelivered
                            : lost || gone
                                ? Kovra62386Communication::kNotOpen
                                : Kovra62386Communication::kNothingQueued;
          if (!expected && gone) model.devices.erase(device);
        }
        FUZZ_CHECK(result == expected_result);
        if (expected) {
          FUZZ_CHECK(std::memcmp(&record, &*expected, sizeof record) == 0);
        } else {
          FUZZ_CHECK(all_untouched(record));
        }
        check_no_sends(connection);
        break;
      }
      case 5: {  // write
        const uint32_t key = choose_key();
        WriteFrameRecord record{};
        const std::vector<uint8_t> bytes = input.bytes(sizeof record);
        if (!bytes.empty()) std::memcpy(&record, bytes.data(), bytes.size());
        const int32_t result = communication.write(key, record);
        const auto device = model.devices.find(key);
        if (device == model.devices.end() || device->second.closed_by_server) {
          FUZZ_CHECK(result == Kovra62386Communication::kNotOpen);
          check_no_sends(connection);
          break;
        }
        const Message expected = kovra62386::make_transmit_frame(
            static_cast<uint8_t>(device->second.index), record);
        if (expected.empty()) {
          FUZZ_CHECK(result == Kovra62386Communication::kNotOpen);
          check_no_sends(connection);
          break;
        }
        FUZZ_CHECK(result == (model.refuse
                                  ? Kovra62386Communication::kNotOpen
                                  : Kovra62386Communication::kDelivered));
        check_sent_one(connection, model, expected);
        break;
      }
      case 6: {  // close
        const uint32_t key = choose_key();
        communication.close(key);
        const auto device = model.devices.find(key);
        if (device == model.devices.end()) {
          check_no_sends(connection);
          break;
        }
        const auto index = static_cast<uint8_t>(device->second.index);
        const bool tell_server = !device->second.closed_by_server;
        model.devices.erase(device);
        if (tell_server) {
          check_sent_one(connection, model,
                         kovra62386::make_close_request(index));
        } else {
          check_no_sends(connection);
        }
        FUZZ_CHECK(!communication.is_device_open(key));
        break;
      }
      case 7:
        communication.process_pending();
        model.dispatch_pending();
        break;
      case 8: {  // a message dispatched directly, ahead of the queue
        const Message message = input.raw_message();
        communication.dispatch(message);
        model.dispatch(message);
        break;
      }
      case 9:
        connection.set_failed();
        model.failed = true;
        break;
      case 10:
        model.refuse = !model.refuse;
        connection.set_refuse(model.refuse);
        break;
    }
    for (const uint32_t key : keys) {
      // Open here exactly when the model holds it, once dispatched alike.
      if (model.pending.empty()) {
        const auto device = model.devices.find(key);
        FUZZ_CHECK(communication.is_device_open(key) ==
                   (device != model.devices.end() &&
                    !device->second.closed_by_server));
      }
    }
  }

  // The end: the connection is lost. Every frame still queued comes out in
  // order, then every device answers 2.
  connection.set_failed();
  model.failed = true;
  for (const uint32_t key : keys) {
    for (std::size_t i = 0; i <= Kovra62386Communication::kReceiveQueueLimit;
         ++i) {
      ReadFrameRecord record;
      std::memset(&record, kUntouched, sizeof record);
      const int32_t result = communication.read(key, record);
      model.dispatch_pending();
      const auto device = model.devices.find(key);
      std::optional<ReadFrameRecord> expected;
      if (device != model.devices.end()) {
        auto& frames = device->second.frames;
        while (!expected && !frames.empty()) {
          expected = decode(frames.front());
          frames.pop_front();
        }
      }
      if (!expected) {
        FUZZ_CHECK(result == Kovra62386Communication::kNotOpen);
        FUZZ_CHECK(all_untouched(record));
        break;
      }
      FUZZ_CHECK(result == Kovra62386Communication::kDelivered);
      FUZZ_CHECK(std::memcmp(&record, &*expected, sizeof record) == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(std::span<const uint8_t>(data, size));
  run(input);
  return 0;
}
