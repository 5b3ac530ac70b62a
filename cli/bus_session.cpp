#include "cli/bus_session.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cstring>

#include "cli/exit_codes.h"

namespace kovra62386::cli {

WriteFrameRecord make_write_record(const ForwardFrame& frame) {
  WriteFrameRecord record;
  std::memset(&record, 0, sizeof record);
  record.frame_type = KOVRA62386_FRAME_TRANSMIT;
  record.sub_type = KOVRA62386_PRIORITY_DEFAULT;
  const size_t count = std::min(frame.bytes.size(), sizeof record.frame.data);
  std::copy_n(frame.bytes.begin(), count, record.frame.data);
  record.frame.bit_count = static_cast<uint8_t>(8 * count);
  record.frame.format = KOVRA62386_FORMAT_VARIABLE;
  record.frame.send_twice = frame.twice ? 1 : 0;
  return record;
}

const char* describe_bus_state(int32_t state) {
  switch (state) {
    case KOVRA62386_BUS_OK:
      return "bus ok";
    case KOVRA62386_BUS_SYSTEM_FAILURE:
      return "bus system failure: the bus is held low";
    case KOVRA62386_BUS_POWER_LOST:
      return "the bus has no power";
    case KOVRA62386_BUS_POWER_RETURN:
      return "bus power is returning";
    default:
      return "unknown bus state";
  }
}

LibrarySession::LibrarySession() {
  if (KOVRA62386_initialize() != 0) {
    // initialize and terminate come in pairs, also after a failure.
    KOVRA62386_terminate();
    throw CliError(ExitCode::kNoServer,
                   "cannot reach the DALI server on 127.0.0.1:" +
                       std::to_string(KOVRA62386_SERVER_PORT) +
                       ", and it could not be started (is Kovra62386Server "
                       "installed beside this tool?)");
  }
}

LibrarySession::~LibrarySession() { KOVRA62386_terminate(); }

const std::vector<std::string>& LibrarySession::interfaces() {
  interfaces_.clear();
  EnumerationNode* first = KOVRA62386_enumerate();
  for (const EnumerationNode* node = first; node != nullptr;
       node = node->next) {
    if (node->name != nullptr) interfaces_.emplace_back(node->name);
  }
  KOVRA62386_free_enumeration(first);
  return interfaces_;
}

BusInterface::BusInterface(LibrarySession& session, const std::string& name,
                           EventHandler handler)
    : name_(name), handler_(std::move(handler)) {
  const auto& names = session.interfaces();
  if (names.empty()) {
    throw CliError(ExitCode::kNoInterface,
                   "the server offers no interfaces (or did not list them "
                   "in time)");
  }
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    throw CliError(ExitCode::kNoInterface,
                   fmt::format("unknown interface '{}' (available: {})", name,
                               fmt::join(names, ", ")));
  }
  handle_ = KOVRA62386_open(name.c_str());
  if (handle_ == 0) {
    throw CliError(ExitCode::kNoInterface,
                   fmt::format("the server refused to open '{}'", name));
  }
  if (KOVRA62386_start_transceiver(handle_, &BusInterface::on_event, this) !=
      1) {
    KOVRA62386_close(handle_);
    throw CliError(ExitCode::kInternal,
                   "could not start a transceiver on the interface");
  }
  transceiver_running_ = true;
}

BusInterface::~BusInterface() {
  if (transceiver_running_) KOVRA62386_stop_transceiver(handle_);
  KOVRA62386_close(handle_);
}

void BusInterface::on_event(uint32_t /*handle*/, const TransceiverEvent* event,
                            void* context) {
  if (event == nullptr || context == nullptr) return;
  static_cast<BusInterface*>(context)->handle_event(*event);
}

void BusInterface::handle_event(const TransceiverEvent& event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.code == KOVRA62386_EVENT_BUS_STATE) {
      bus_state_ = event.payload.bus_state;
      ++bus_state_reports_;
    } else if (event.code == KOVRA62386_EVENT_CLOSED) {
      closed_ = true;
    }
  }
  changed_.notify_all();
  if (!handler_) return;
  try {
    handler_(event);
  } catch (...) {
    // Nothing may unwind into the library's thread; a failed print (a
    // closed pipe) loses that line only.
  }
}

bool BusInterface::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool BusInterface::wait_closed(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, wait, [this] { return closed_; });
}

std::optional<int32_t> BusInterface::query_bus_state(
    std::chrono::milliseconds wait) {
  uint64_t reports_before;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return std::nullopt;
    reports_before = bus_state_reports_;
  }
  WriteFrameRecord request;
  std::memset(&request, 0, sizeof request);
  request.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  request.sub_type = KOVRA62386_REQUEST_BUS_STATE;
  KOVRA62386_write(handle_, &request);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(
          lock, wait,
          [&] { return closed_ || bus_state_reports_ != reports_before; }) ||
      closed_) {
    return std::nullopt;
  }
  return bus_state_;
}

BusReply BusInterface::send(const ForwardFrame& frame) {
  if (closed()) {
    throw CliError(ExitCode::kNoServer,
                   fmt::format("interface '{}' is no longer open: the server "
                               "closed it or the connection was lost",
                               name_));
  }
  const WriteFrameRecord record = make_write_record(frame);
  const SendResult result = KOVRA62386_send(handle_, &record);
  BusReply reply = BusReply::from_send_status(result.status, result.answer);
  if (reply.kind == ReplyKind::kNotConfirmed) {
    if (closed()) {
      throw CliError(ExitCode::kNoServer,
                     fmt::format("lost interface '{}': the server closed it "
                                 "or the connection was lost",
                                 name_));
    }
    const auto state = query_bus_state(std::chrono::milliseconds(300));
    if (state && *state != KOVRA62386_BUS_OK) {
      reply.bus_note = describe_bus_state(*state);
    }
  }
  return reply;
}

}  // namespace kovra62386::cli
