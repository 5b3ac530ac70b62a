// The tool's view of the library: one session (initialize ... terminate) and
// the interfaces opened in it, each with its own transceiver.
#ifndef KOVRA62386_TOOLS_CLI_BUS_SESSION_H
#define KOVRA62386_TOOLS_CLI_BUS_SESSION_H

#include <kovra62386/kovra62386.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/bus_reply.h"

namespace kovra62386::cli {

// One DALI forward frame as the tool sends it: 2 bytes (control gear) or
// 3 bytes (control devices), address byte first.
struct ForwardFrame {
  std::vector<uint8_t> bytes;
  bool twice = false;
};

// Builds the record KOVRA62386_send takes: a transmit frame at the
// default priority, the variable-length form, bit_count 8 per byte, send_twice
// 1 for commands sent twice.
WriteFrameRecord make_write_record(const ForwardFrame& frame);

// Connects on construction (the library starts the server when none runs)
// and terminates on destruction. Throws CliError(kNoServer) on failure.
class LibrarySession {
 public:
  LibrarySession();
  ~LibrarySession();
  LibrarySession(const LibrarySession&) = delete;
  LibrarySession& operator=(const LibrarySession&) = delete;

  // Enumerates afresh; the library opens only names of the last enumeration.
  const std::vector<std::string>& interfaces();

 private:
  std::vector<std::string> interfaces_;
};

// An opened interface with a running transceiver. Every event reaches the
// optional handler on the transceiver's thread. Destruction stops the
// transceiver, then closes the handle.
class BusInterface {
 public:
  using EventHandler = std::function<void(const TransceiverEvent&)>;

  // Throws CliError(kNoInterface) for a name the server does not offer.
  BusInterface(LibrarySession& session, const std::string& name,
               EventHandler handler = {});
  ~BusInterface();
  BusInterface(const BusInterface&) = delete;
  BusInterface& operator=(const BusInterface&) = delete;

  const std::string& name() const { return name_; }

  // Sends one frame and waits for its outcome (at most 750 ms per
  // transmission). When the interface did not confirm, asks it for the bus
  // state to say why. Throws CliError(kNoServer) once the handle is gone.
  BusReply send(const ForwardFrame& frame);
  BusReply send(uint8_t address, uint8_t opcode, bool twice = false) {
    return send(ForwardFrame{{address, opcode}, twice});
  }

  // Asks the interface for its bus state (KOVRA62386_BUS_*) and waits up to
  // `wait` for the report.
  std::optional<int32_t> query_bus_state(std::chrono::milliseconds wait);

  // True once the library reported the handle as no longer open.
  bool closed() const;
  // Waits until the handle is reported closed or the time has passed.
  bool wait_closed(std::chrono::milliseconds wait);

 private:
  static void on_event(uint32_t handle, const TransceiverEvent* event,
                       void* context);
  void handle_event(const TransceiverEvent& event);

  std::string name_;
  uint32_t handle_ = 0;
  bool transceiver_running_ = false;
  EventHandler handler_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t bus_state_reports_ = 0;
  int32_t bus_state_ = KOVRA62386_BUS_OK;
  bool closed_ = false;
};

// "the bus has no power" and so on, for KOVRA62386_BUS_* values.
const char* describe_bus_state(int32_t state);

}  // namespace kovra62386::cli

#endif  // KOVRA62386_TOOLS_CLI_BUS_SESSION_H
