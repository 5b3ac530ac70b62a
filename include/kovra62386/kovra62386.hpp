// kovra62386.hpp - a C++17 face for the C interface of kovra62386.h.
//
// Header-only; it calls the exported functions alone, so it works with the
// shipped shared library or DLL and any C++17 compiler.
//
// clang-format off
//   kovra62386::Session session;          // starts the server if needed
//   for (const auto& name : session.interfaces()) ...
//   kovra62386::Interface bus = session.open("SIM-1");
//   kovra62386::Transceiver transceiver(
//       bus, [](const TransceiverEvent& event) { ... });
//   auto outcome = bus.send(kovra62386::command(
//       kovra62386::Address::short_address(5), 0xA0));  // QUERY ACTUAL LEVEL
//   if (outcome.status == kovra62386::SendStatus::answer) ... outcome.answer
//   while (auto frame = bus.read()) ...   // polling instead of a Transceiver
// clang-format on
//
// Session, Interface and Transceiver close what they hold when they go;
// they move and do not copy. Destroy a Transceiver before its Interface, and
// both before the Session. The library keeps one connection per process:
// have one Session at a time.
//
// Callbacks run on the transceiver's thread. An exception thrown by one is
// caught before it reaches the library; the first is kept (error()).
#ifndef KOVRA62386_KOVRA62386_HPP
#define KOVRA62386_KOVRA62386_HPP

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kovra62386/kovra62386.h"

namespace kovra62386 {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The local server could not be reached or started.
class NoServer : public Error {
 public:
  NoServer() : Error("cannot reach or start the local DALI server") {}
};

// open() was given a name the server does not list.
class UnknownInterface : public Error {
 public:
  explicit UnknownInterface(const std::string& name)
      : Error("unknown interface '" + name + "'") {}
};

// The interface is closed: by close(), at the server, or with the server.
class Closed : public Error {
 public:
  Closed() : Error("the interface is closed") {}
};

enum class SendStatus : std::int32_t {
  no_transceiver = KOVRA62386_SEND_NO_TRANSCEIVER,
  no_result = KOVRA62386_SEND_NO_RESULT,
  framing_error = KOVRA62386_SEND_FRAMING_ERROR,
  no_answer = KOVRA62386_SEND_NO_ANSWER,
  not_echoed = KOVRA62386_SEND_NOT_ECHOED,
  answer = KOVRA62386_SEND_ANSWER,
};

inline const char* to_string(SendStatus status) {
  switch (status) {
    case SendStatus::no_transceiver:
      return "no transceiver";
    case SendStatus::no_result:
      return "no result";
    case SendStatus::framing_error:
      return "framing error or collision";
    case SendStatus::no_answer:
      return "no answer";
    case SendStatus::not_echoed:
      return "not echoed";
    case SendStatus::answer:
      return "answer";
  }
  return "unknown status";
}

struct SendOutcome {
  SendStatus status = SendStatus::no_result;
  std::uint8_t answer = 0;  // valid when status is SendStatus::answer

  std::optional<std::uint8_t> answer_byte() const {
    if (status != SendStatus::answer) return std::nullopt;
    return answer;
  }
};

// A DALI address as its forward-frame address byte: short 0AAAAAAS,
// group 100GGGGS, broadcast 1111111S; S is 1 for a command, 0 for a level.
class Address {
 public:
  static constexpr Address short_address(unsigned address) {
    if (address > 63) throw std::out_of_range("short address is 0-63");
    return Address(static_cast<std::uint8_t>(address << 1 | 1u));
  }
  static constexpr Address group(unsigned group) {
    if (group > 15) throw std::out_of_range("group is 0-15");
    return Address(static_cast<std::uint8_t>(0x80u | group << 1 | 1u));
  }
  static constexpr Address broadcast() { return Address(0xFF); }

  constexpr std::uint8_t command_byte() const { return byte_; }
  constexpr std::uint8_t arc_power_byte() const {
    return static_cast<std::uint8_t>(byte_ & 0xFEu);
  }

 private:
  constexpr explicit Address(std::uint8_t byte) : byte_(byte) {}
  std::uint8_t byte_;
};

// A 16-bit DALI forward frame in the variable-length form.
inline WriteFrameRecord forward_frame(std::uint8_t address_byte,
                                      std::uint8_t opcode,
                                      bool send_twice = false) {
  WriteFrameRecord frame;
  std::memset(&frame, 0, sizeof frame);
  frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
  frame.frame.data[0] = address_byte;
  frame.frame.data[1] = opcode;
  frame.frame.bit_count = 16;
  frame.frame.format = KOVRA62386_FORMAT_VARIABLE;
  frame.frame.send_twice = send_twice ? 1 : 0;
  return frame;
}

inline WriteFrameRecord command(Address address, std::uint8_t opcode,
                                bool send_twice = false) {
  return forward_frame(address.command_byte(), opcode, send_twice);
}

// DAPC: set the arc power level directly.
inline WriteFrameRecord arc_power(Address address, std::uint8_t level) {
  return forward_frame(address.arc_power_byte(), level);
}

namespace detail {

// Hands a list from KOVRA62386_enumerate back to the library.
struct FreeEnumeration {
  void operator()(EnumerationNode* first) const noexcept {
    KOVRA62386_free_enumeration(first);
  }
};

}  // namespace detail

// A list from KOVRA62386_enumerate, freed when it goes.
using EnumerationList =
    std::unique_ptr<EnumerationNode, detail::FreeEnumeration>;

class Interface {
 public:
  Interface() = default;
  explicit Interface(std::uint32_t handle) : handle_(handle) {}
  ~Interface() { close(); }
  Interface(Interface&& other) noexcept
      : handle_(std::exchange(other.handle_, 0)) {}
  Interface& operator=(Interface&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  Interface(const Interface&) = delete;
  Interface& operator=(const Interface&) = delete;

  std::uint32_t handle() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }

  // The oldest reported frame, or nothing when none is queued. Throws
  // Closed when the handle is not open (closed, or its interface or the
  // server lost, once the frames that came before are read).
  std::optional<ReadFrameRecord> read() const {
    ReadFrameRecord record{};
    switch (KOVRA62386_read(handle_, &record)) {
      case KOVRA62386_READ_FRAME:
        return record;
      case KOVRA62386_READ_EMPTY:
        return std::nullopt;
      default:  // KOVRA62386_READ_NOT_OPEN
        throw Closed();
    }
  }

  // Queues a frame; the bus reports the outcome as frames.
  void write(const WriteFrameRecord& frame) const {
    if (handle_ == 0) throw Closed();
    KOVRA62386_write(handle_, &frame);
  }

  // Writes a frame and waits up to 750 ms for its outcome; needs a running
  // Transceiver on this interface.
  SendOutcome send(const WriteFrameRecord& frame) const {
    if (handle_ == 0) throw Closed();
    const SendResult result = KOVRA62386_send(handle_, &frame);
    SendOutcome outcome;
    outcome.status = static_cast<SendStatus>(result.status);
    outcome.answer = result.answer;
    return outcome;
  }

  void close() noexcept {
    if (handle_ != 0) KOVRA62386_close(std::exchange(handle_, 0));
  }

 private:
  std::uint32_t handle_ = 0;
};

class Session {
 public:
  Session() {
    if (KOVRA62386_initialize() != 0) {
      KOVRA62386_terminate();
      throw NoServer();
    }
  }
  ~Session() {
    if (active_) KOVRA62386_terminate();
  }
  Session(Session&& other) noexcept
      : active_(std::exchange(other.active_, false)) {}
  Session& operator=(Session&& other) noexcept {
    if (this != &other) {
      if (active_) KOVRA62386_terminate();
      active_ = std::exchange(other.active_, false);
    }
    return *this;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The names of the server's interfaces, in the server's order.
  std::vector<std::string> interfaces() const {
    const EnumerationList list(KOVRA62386_enumerate());
    std::vector<std::string> names;
    for (const EnumerationNode* node = list.get(); node != nullptr;
         node = node->next) {
      if (node->name != nullptr) names.emplace_back(node->name);
    }
    return names;
  }

  // The name as interfaces() gave it.
  Interface open(const std::string& name) const {
    const std::uint32_t handle = KOVRA62386_open(name.c_str());
    if (handle == 0) throw UnknownInterface(name);
    return Interface(handle);
  }

 private:
  bool active_ = true;
};

class Transceiver {
 public:
  using Callback = std::function<void(const TransceiverEvent&)>;

  // Starts the worker that hands every frame of the interface to callback.
  Transceiver(const Interface& interface, Callback callback)
      : handle_(interface.handle()),
        state_(std::make_unique<State>(std::move(callback))) {
    if (handle_ == 0) throw Closed();
    if (KOVRA62386_start_transceiver(handle_, &Transceiver::deliver,
                                     state_.get()) == 0) {
      throw Error("a transceiver runs on this interface already");
    }
  }
  ~Transceiver() { stop(); }
  Transceiver(Transceiver&& other) noexcept
      : handle_(std::exchange(other.handle_, 0)),
        state_(std::move(other.state_)) {}
  Transceiver& operator=(Transceiver&& other) noexcept {
    if (this != &other) {
      stop();
      handle_ = std::exchange(other.handle_, 0);
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Transceiver(const Transceiver&) = delete;
  Transceiver& operator=(const Transceiver&) = delete;

  // Waits for the callback under way, except from inside a callback: there
  // the library only asks the worker to end. In its own callback the state
  // goes when that callback returns; in another transceiver's callback the
  // worker's end cannot be seen, so the (small) state is kept for good.
  void stop() noexcept {
    if (!state_) return;
    KOVRA62386_stop_transceiver(std::exchange(handle_, 0));
    State* const running = current();
    if (running == state_.get()) {
      state_->release_after_callback = true;
      state_.release();
    } else if (running != nullptr) {
      state_.release();
    } else {
      state_.reset();
    }
  }

  // The first exception a callback threw, or null.
  std::exception_ptr error() const {
    if (!state_) return nullptr;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->error;
  }

 private:
  struct State {
    explicit State(Callback c) : callback(std::move(c)) {}
    Callback callback;
    std::mutex mutex;
    std::exception_ptr error;
    bool release_after_callback = false;
  };

  static State*& current() {
    static thread_local State* state = nullptr;
    return state;
  }

  static void deliver(std::uint32_t, const TransceiverEvent* event,
                      void* context) noexcept {
    State* const state = static_cast<State*>(context);
    if (state == nullptr || event == nullptr) return;
    State* const outer = std::exchange(current(), state);
    try {
      if (state->callback) state->callback(*event);
    } catch (...) {
      try {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->error) state->error = std::current_exception();
      } catch (...) {
        // Nothing may reach the library's thread.
      }
    }
    current() = outer;
    if (state->release_after_callback) delete state;
  }

  std::uint32_t handle_;
  std::unique_ptr<State> state_;
};

}  // namespace kovra62386

#endif  // KOVRA62386_KOVRA62386_HPP
