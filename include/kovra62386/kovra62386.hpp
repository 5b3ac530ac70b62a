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
//       kovra62386::Address::short_address(5),
//       kovra62386::gear::kQueryActualLevel));
//   if (outcome.status == kovra62386::SendStatus::answer) ... outcome.answer
//   while (auto frame = bus.read()) ...   // polling instead of a Transceiver
// clang-format on
//
// Session, Interface and Transceiver close what they hold when they go;
// they move and do not copy. Destroy a Transceiver before its Interface, and
// both before the Session. The library keeps one connection per process:
// have one Session at a time.
//
// The frame builders are in frames.hpp, the DALI command names in
// dali_commands.hpp; this header includes both.
//
// Callbacks run on the transceiver's thread. An exception thrown by one is
// caught before it reaches the library; the first is kept (error()).
#ifndef KOVRA62386_KOVRA62386_HPP
#define KOVRA62386_KOVRA62386_HPP

#include <chrono>
#include <condition_variable>
#include <cstddef>
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

#include "kovra62386/dali_commands.hpp"
#include "kovra62386/frames.hpp"
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

  // What KOVRA62386_send returned. A status the header does not list counts
  // as no_result, and the answer byte is kept only with an answer.
  static SendOutcome from(const SendResult& result) {
    SendOutcome outcome;
    switch (result.status) {
      case KOVRA62386_SEND_NO_TRANSCEIVER:
      case KOVRA62386_SEND_FRAMING_ERROR:
      case KOVRA62386_SEND_NO_ANSWER:
      case KOVRA62386_SEND_NOT_ECHOED:
        outcome.status = static_cast<SendStatus>(result.status);
        break;
      case KOVRA62386_SEND_ANSWER:
        outcome.status = SendStatus::answer;
        outcome.answer = result.answer;
        break;
      default:
        outcome.status = SendStatus::no_result;
        break;
    }
    return outcome;
  }

  std::optional<std::uint8_t> answer_byte() const {
    if (status != SendStatus::answer) return std::nullopt;
    return answer;
  }

  // The frame went out on the bus: answered, not answered, or answered by
  // several devices at once (a framing error).
  bool transmitted() const {
    return status == SendStatus::answer || status == SendStatus::no_answer ||
           status == SendStatus::framing_error;
  }
};

// The bus state a KOVRA62386_EVENT_BUS_STATE event carries.
enum class BusState : std::int32_t {
  ok = KOVRA62386_BUS_OK,
  system_failure = KOVRA62386_BUS_SYSTEM_FAILURE,
  power_lost = KOVRA62386_BUS_POWER_LOST,
  power_return = KOVRA62386_BUS_POWER_RETURN,
};

inline const char* to_string(BusState state) {
  switch (state) {
    case BusState::ok:
      return "bus ok";
    case BusState::system_failure:
      return "bus system failure: the bus is held low";
    case BusState::power_lost:
      return "the bus has no power";
    case BusState::power_return:
      return "bus power is returning";
  }
  return "unknown bus state";
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
    return SendOutcome::from(KOVRA62386_send(handle_, &frame));
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
  Transceiver(const Interface& bus, Callback callback)
      : handle_(bus.handle()),
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

  // closed(), wait_closed() and query_bus_state() may run on any thread,
  // but not during a stop() or a move of this object. A stopped Transceiver
  // hears nothing more: closed() is false, query_bus_state() gives nothing.

  // True once the library reported the handle as no longer open
  // (KOVRA62386_EVENT_CLOSED): closed, or its interface or the server lost.
  bool closed() const {
    if (!state_) return false;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->closed;
  }

  // Waits up to `wait` for that report; true once it came.
  bool wait_closed(std::chrono::milliseconds wait) const {
    if (!state_) return false;
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, wait,
                                    [this] { return state_->closed; });
  }

  // Asks the interface for its bus state and waits up to `wait` for the
  // next bus-state report. Nothing when none came in time or the handle is
  // closed. Never from this transceiver's own callback: its thread is the
  // one that would deliver the report.
  std::optional<BusState> query_bus_state(
      std::chrono::milliseconds wait) const {
    if (!state_) return std::nullopt;
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->closed) return std::nullopt;
    const std::uint64_t reports_before = state_->bus_state_reports;
    lock.unlock();
    const WriteFrameRecord request = bus_state_request();
    KOVRA62386_write(handle_, &request);
    lock.lock();
    const bool reported = state_->changed.wait_for(lock, wait, [&] {
      return state_->closed || state_->bus_state_reports != reports_before;
    });
    if (!reported || state_->closed) return std::nullopt;
    return state_->bus_state;
  }

 private:
  struct State {
    explicit State(Callback c) : callback(std::move(c)) {}
    Callback callback;
    std::mutex mutex;
    std::condition_variable changed;  // closed or a bus-state report
    std::exception_ptr error;
    bool closed = false;
    std::uint64_t bus_state_reports = 0;
    BusState bus_state = BusState::ok;
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
      // Before the callback, which may take its time: the waiters of
      // wait_closed and query_bus_state need not wait for it.
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (event->code == KOVRA62386_EVENT_BUS_STATE) {
          state->bus_state = static_cast<BusState>(event->payload.bus_state);
          ++state->bus_state_reports;
        } else if (event->code == KOVRA62386_EVENT_CLOSED) {
          state->closed = true;
        }
      }
      state->changed.notify_all();
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
