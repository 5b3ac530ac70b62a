// ServerCore: the stand-in local server. It listens on 127.0.0.1, greets
// every connection, lists its simulated interfaces, lets each client open
// and close them and reports every transmitted frame as the client library
// expects (confirmation, echo, completion). The program Kovra62386Server
// wraps it; tests run it in-process and script it through the hooks it
// inherits from ScriptedFaults (scripted_faults.h).
//
// Threads: the core runs its own I/O thread. Every public function may be
// called from any thread, including from a reply script (which runs on the
// I/O thread), except start() and stop(), which must not be called from a
// script. Actions (send_*, drop_connections, set_bus_power, ...) have taken
// effect when they return: their bytes are queued on the sockets in order.
// Settings (set_*) apply to what happens after they return.
//
// Every client that opened an interface sees the frames on that bus, as a
// bus monitor would, except another client's "no answer" completion (see
// simulated_interface.h for why).
//
// Observation: every message that clients send is recorded in arrival
// order with the client's id (1, 2, 3, ... in order of connection), and
// wait_until() blocks on a condition variable until a predicate over the
// record holds.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "platform/platform.h"
#include "protocol/message.h"
#include "server/client_session.h"
#include "server/real_interface.h"
#include "server/scripted_faults.h"
#include "server/simulated_interface.h"

namespace kovra62386::sim {

// A real bus interface: its name, its driver ("sevenlab") and where the
// driver finds the device (a tty path).
struct RealInterfaceConfig {
  std::string name;
  std::string driver;
  std::string where;
};

// What a client cannot see of an interface: for `kovra62386 list` and the
// server's log.
struct InterfaceState {
  uint8_t index = 0;
  std::string name;
  std::string driver;  // "simulated" for a simulated bus
  std::string where;   // the device of a real interface
  bool connected = true;
  std::string error;  // why a real interface is not connected
  std::string firmware;
  bool bus_powered = true;
};

struct ServerOptions {
  uint16_t port =
      KOVRA62386_SERVER_PORT;  // 0: an ephemeral port (see ServerCore::port())
  // Interface names; the first gets index 0, the next 1, and so on (at
  // most 255 of them).
  std::vector<std::string> interfaces{"SIM-1", "SIM-2"};
  // Real interfaces, indexed after the simulated ones (none reaches 255).
  std::vector<RealInterfaceConfig> real_interfaces;
  // Non-empty: one more interface, announced with index 255.
  std::string interface_at_255;
  // Adds every hasseb DALI Master found by its USB ids, at start and
  // whenever one appears, named from its USB port (Linux; roots for tests).
  bool discover_hasseb = false;
  std::string sysfs_root = "/sys";
  std::string dev_root = "/dev";
  // Real bus timing (the default of the program) or instant replies.
  bool real_timing = false;
  // The priority (1-5) of the clients' forward frames that do not name one
  // in their sub_type: the settling time before each (real timing).
  unsigned priority = dali::timing::kHighestPriority;
  // Makes the bus model of the interface with this index; empty: a DALI
  // bus with its default gear (DaliBusModel) when the build has one, else
  // QueryAnswerModel.
  std::function<std::unique_ptr<BusModel>(uint8_t index)> bus_model;
  // Publish Host/Port/ProcessId in the registry once listening, and
  // withdraw them on stop (only while they still name this process).
  bool publish = false;
  // Platform used for publishing; nullptr: the system's.
  platform::Platform* platform = nullptr;
  std::string greeting = "Kovra62386Server simulated DALI interfaces";
  // The attribute byte of every InterfaceEntry.
  uint8_t interface_attribute = 0x01;
  // Keep every client message for observation (tests). The program turns
  // this off: a long-running server must not grow with its traffic.
  bool record_messages = true;
};

// One message a client sent, as received.
struct ClientMessage {
  uint32_t client = 0;
  Message bytes;
};

struct ServerObservation {
  std::vector<ClientMessage> messages;  // every client message, in order
  std::size_t clients = 0;              // connections open now
  uint64_t connections = 0;             // connections accepted so far
};

class ServerCore final : public ScriptedFaults,
                         private ClientSession::Owner,
                         private BusSink {
 public:
  explicit ServerCore(ServerOptions options = {});
  ~ServerCore();

  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Binds 127.0.0.1:port and starts serving. False when the port is taken
  // (or the core was started before).
  bool start();
  // Closes every connection and the listener and ends the I/O thread; safe
  // to call twice. The core cannot be started again.
  void stop();
  bool running() const { return running_.load(); }
  // The port listened on (the chosen one when options.port was 0).
  uint16_t port() const { return port_.load(); }
  const ServerOptions& options() const { return options_; }

  // Bus power loss and return: bus-state events to every client that
  // opened the interface.
  void set_bus_power(uint8_t index, bool powered);
  // Runs `inspect` with the bus model of `index` on the I/O thread (to look
  // at or change simulated gear and devices; devices that now want the bus
  // get it). False when there is no such interface.
  bool with_bus_model(uint8_t index,
                      const std::function<void(BusModel&)>& inspect);

  // Whether the build has a driver of this name ("sevenlab").
  static bool has_driver(const std::string& driver);

  // Every interface's state, in index order (from any thread; empty when
  // the core is not running).
  std::vector<InterfaceState> interface_states();

  // The index of the interface with this name.
  std::optional<uint8_t> interface_index(const std::string& name) const;

  // ---- Observation ----
  ServerObservation observation() const;
  std::size_t client_count() const;
  // Waits until `predicate` holds for the observation (checked under the
  // core's lock, so it must not call back into the core), at most
  // `timeout`. True when it held.
  bool wait_until(
      const std::function<bool(const ServerObservation&)>& predicate,
      std::chrono::milliseconds timeout) const;
  // Conveniences over wait_until.
  bool wait_for_clients(std::size_t count,
                        std::chrono::milliseconds timeout) const;
  bool wait_for_messages(std::size_t count,
                         std::chrono::milliseconds timeout) const;

 private:
  // ScriptedFaults.
  bool run_on_io(const std::function<void()>& action) override;
  void for_each_session(
      const std::function<void(ClientSession&)>& visit) override;
  BusInterface* find_interface(uint8_t index) override;
  void greet(ClientSession& session, std::chrono::milliseconds delay) override;
  BusSink& bus_sink() override { return *this; }

  // ClientSession::Owner, BusSink: I/O thread.
  void on_client_message(ClientSession& session,
                         std::span<const uint8_t> message) override;
  void on_client_closed(ClientSession& session) override;
  void to_client(uint32_t client, uint8_t index,
                 const ReadFrameRecord& record) override;
  void to_listeners(uint8_t index, const ReadFrameRecord& record,
                    uint32_t except) override;
  void device_closed(uint8_t index) override;

  // I/O thread.
  void accept_next();
  void handle_message(ClientSession& session, std::span<const uint8_t> bytes);
  void enumerate(ClientSession& session);
  void transmit(ClientSession& session, uint8_t index,
                std::span<const uint8_t> frame);
  void shut_down();
  void update_client_count();
  // Adds the hasseb units found now that no interface has yet.
  void discover_hasseb(bool running);

  const ServerOptions options_;
  boost::asio::io_context io_;
  std::optional<
      boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer accept_retry_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> port_{0};
  bool used_ = false;       // start() was called (under control_mutex_)
  bool published_ = false;  // under control_mutex_
  // Serialises start, stop and actions from other threads.
  std::mutex control_mutex_;

  // I/O thread only.
  std::vector<std::unique_ptr<BusInterface>> interfaces_;
  std::vector<RealInterface*> real_interfaces_;         // owned by interfaces_
  std::map<const BusInterface*, std::string> drivers_;  // of real ones
  // Notices hasseb units plugged in later; those join interfaces_ only
  // (not real_interfaces_, which other threads read).
  std::shared_ptr<void> hidraw_watcher_;
  std::map<uint32_t, std::shared_ptr<ClientSession>> sessions_;
  uint32_t next_client_id_ = 1;

  mutable std::mutex observation_mutex_;
  mutable std::condition_variable observation_changed_;
  ServerObservation observation_;
};

}  // namespace kovra62386::sim
