#include "server/server_core.h"

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <utility>

#include "protocol/frame_codec.h"
#include "server/bus_records.h"
#include "server/registry_publication.h"

#if defined(KOVRA62386_HAVE_DALI_BUS)
#include "server/dali_bus_model.h"
#endif
#include "server/drivers/foxtron_link.h"
#if defined(KOVRA62386_HAVE_TTY_DRIVERS)
#include "server/drivers/sevenlab_link.h"
#endif
#if defined(KOVRA62386_HAVE_HID_DRIVERS)
#include "server/drivers/hasseb_discovery.h"
#include "server/drivers/hasseb_link.h"
#endif

namespace kovra62386::sim {
namespace {

using boost::asio::ip::tcp;

// How long an action from another thread waits for the I/O thread.
constexpr std::chrono::seconds kActionTimeout{10};

std::unique_ptr<BusModel> make_bus_model(const ServerOptions& options,
                                         uint8_t index) {
  if (options.bus_model) {
    if (auto model = options.bus_model(index)) return model;
  }
#if defined(KOVRA62386_HAVE_DALI_BUS)
  return std::make_unique<DaliBusModel>();
#else
  return std::make_unique<QueryAnswerModel>();
#endif
}

RealInterface::DriverFactory driver_factory(boost::asio::io_context& io,
                                            const std::string& driver,
                                            const ServerOptions& options) {
#if defined(KOVRA62386_HAVE_HID_DRIVERS)
  if (driver == "hasseb") {
    const drivers::HidrawRoots roots{options.sysfs_root, options.dev_root};
    return [&io, roots](drivers::BusDriver::Handler& handler) {
      return std::make_unique<drivers::HassebLink>(io, handler, roots);
    };
  }
#else
  (void)options;
#endif
  if (driver == "foxtron") {
    return [&io](drivers::BusDriver::Handler& handler) {
      return std::make_unique<drivers::FoxtronLink>(io, handler);
    };
  }
#if defined(KOVRA62386_HAVE_TTY_DRIVERS)
  if (driver == "sevenlab") {
    return [&io](drivers::BusDriver::Handler& handler) {
      return std::make_unique<drivers::SevenLabLink>(io, handler);
    };
  }
#endif
  return {};
}

}  // namespace

// The SevenLab link is POSIX-only: a Windows build has no "sevenlab".
bool ServerCore::has_driver(const std::string& driver) {
#if defined(KOVRA62386_HAVE_HID_DRIVERS)
  if (driver == "hasseb") return true;
#endif
  if (driver == "foxtron") return true;
#if defined(KOVRA62386_HAVE_TTY_DRIVERS)
  return driver == "sevenlab";
#else
  return false;
#endif
}

ServerCore::ServerCore(ServerOptions options)
    : options_(std::move(options)), acceptor_(io_), accept_retry_(io_) {
  BusSink& sink = *this;
  const std::size_t count =
      std::min<std::size_t>(options_.interfaces.size(), 255);
  for (std::size_t i = 0; i < count; ++i) {
    interfaces_.push_back(std::make_unique<SimulatedInterface>(
        io_, static_cast<uint8_t>(i), options_.interfaces[i],
        options_.real_timing, make_bus_model(options_, static_cast<uint8_t>(i)),
        sink, options_.priority));
  }
  for (const RealInterfaceConfig& configured : options_.real_interfaces) {
    const std::size_t index = interfaces_.size();
    const auto make_driver = driver_factory(io_, configured.driver, options_);
    if (index >= 255 || !make_driver) continue;
    auto real = std::make_unique<RealInterface>(
        io_, static_cast<uint8_t>(index), configured.name, configured.where,
        make_driver, sink, options_.priority);
    real_interfaces_.push_back(real.get());
    drivers_[real.get()] = configured.driver;
    interfaces_.push_back(std::move(real));
  }
  if (!options_.interface_at_255.empty()) {
    interfaces_.push_back(std::make_unique<SimulatedInterface>(
        io_, 255, options_.interface_at_255, options_.real_timing,
        make_bus_model(options_, 255), sink, options_.priority));
  }
  if (options_.discover_hasseb) discover_hasseb(false);
}

void ServerCore::discover_hasseb(bool running) {
#if defined(KOVRA62386_HAVE_HID_DRIVERS)
  namespace fs = std::filesystem;
  const drivers::HidrawRoots roots{options_.sysfs_root, options_.dev_root};
  for (const drivers::HassebUnit& unit : drivers::find_hasseb_units(roots)) {
    // Known already: by name, or given by its node on the command line.
    const bool known = std::any_of(
        interfaces_.begin(), interfaces_.end(), [&](const auto& interface) {
          if (interface->name() == unit.name()) return true;
          const auto* real =
              dynamic_cast<const RealInterface*>(interface.get());
          std::error_code ignored;
          return real && drivers_[real] == "hasseb" &&
                 (real->where() == unit.where() ||
                  fs::equivalent(real->where(), unit.node, ignored));
        });
    if (known) continue;
    // Before the interface at 255, after every other.
    uint8_t index = 0;
    for (const auto& interface : interfaces_) {
      if (interface->index() != 255) {
        index = std::max<uint8_t>(index, interface->index() + 1);
      }
    }
    if (index >= 255) return;
    BusSink& sink = *this;
    auto real = std::make_unique<RealInterface>(
        io_, index, unit.name(), unit.where(),
        driver_factory(io_, "hasseb", options_), sink, options_.priority);
    RealInterface* added = real.get();
    drivers_[added] = "hasseb";
    const auto at = std::find_if(
        interfaces_.begin(), interfaces_.end(),
        [](const auto& interface) { return interface->index() == 255; });
    interfaces_.insert(at, std::move(real));
    if (running) {
      added->start();
    } else {
      real_interfaces_.push_back(added);
    }
  }
#else
  (void)running;
#endif
}

ServerCore::~ServerCore() { stop(); }

bool ServerCore::start() {
  std::lock_guard<std::mutex> lock(control_mutex_);
  if (used_) return false;
  used_ = true;
  boost::system::error_code error;
  const tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(),
                               options_.port);
  acceptor_.open(endpoint.protocol(), error);
#if !defined(_WIN32)
  // Lets a restarted server bind while old connections linger in
  // TIME_WAIT; it never shares a port with a live listener. (On Windows the
  // same option would let two servers share the port, so it stays off.)
  if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
#endif
  if (!error) acceptor_.bind(endpoint, error);
  if (!error)
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
  tcp::endpoint bound;
  if (!error) bound = acceptor_.local_endpoint(error);
  if (error) {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  port_.store(bound.port());
  work_.emplace(io_.get_executor());
  // Before the I/O thread runs: the first attempt to open each device.
  for (RealInterface* real : real_interfaces_) real->start();
#if defined(KOVRA62386_HAVE_HID_DRIVERS)
  if (options_.discover_hasseb) {
    hidraw_watcher_ = std::make_shared<drivers::HidrawWatcher>(
        io_, drivers::HidrawRoots{options_.sysfs_root, options_.dev_root},
        [this] { discover_hasseb(true); });
  }
#endif
  accept_next();
  thread_ = std::thread([this] {
    // A handler that throws would end the server; log nothing, carry on.
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
      }
    }
  });
  running_.store(true);
  if (options_.publish) {
    platform::Platform& platform =
        options_.platform ? *options_.platform : platform::system_platform();
    published_ = publish_address(platform, port_.load(), current_process_id());
  }
  return true;
}

void ServerCore::stop() {
  if (io_.get_executor().running_in_this_thread()) {
    return;  // not from the I/O thread; see the header
  }
  std::lock_guard<std::mutex> lock(control_mutex_);
  if (!running_.load()) return;
  running_.store(false);
  if (published_) {
    platform::Platform& platform =
        options_.platform ? *options_.platform : platform::system_platform();
    withdraw_address(platform, current_process_id());
    published_ = false;
  }
  boost::asio::post(io_, [this] { shut_down(); });
  work_.reset();
  // Whatever completions the shutdown leaves behind are not needed.
  boost::asio::post(io_, [this] { io_.stop(); });
  thread_.join();
}

void ServerCore::shut_down() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  accept_retry_.cancel();
  hidraw_watcher_.reset();
  for (auto& interface : interfaces_) interface->stop();
  // close() calls back on_client_closed, which edits sessions_.
  auto sessions = sessions_;
  for (auto& [id, session] : sessions) session->close();
  sessions_.clear();
  update_client_count();
}

void ServerCore::accept_next() {
  acceptor_.async_accept(
      [this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted ||
            !acceptor_.is_open()) {
          return;
        }
        if (error) {
          // Out of descriptors or similar: try again shortly rather than spin.
          accept_retry_.expires_after(std::chrono::milliseconds(100));
          accept_retry_.async_wait([this](const boost::system::error_code& e) {
            if (!e) accept_next();
          });
          return;
        }
        const uint32_t id = next_client_id_++;
        ClientSession::Owner& owner = *this;
        auto session =
            std::make_shared<ClientSession>(std::move(socket), id, owner);
        sessions_.emplace(id, session);
        {
          std::lock_guard<std::mutex> lock(observation_mutex_);
          ++observation_.connections;
          observation_.clients = sessions_.size();
        }
        observation_changed_.notify_all();
        const Script current = script();
        if (!current.greeting_withheld) greet(*session, current.greeting_delay);
        session->start();
        accept_next();
      });
}

void ServerCore::greet(ClientSession& session,
                       std::chrono::milliseconds delay) {
  if (session.greeted()) return;
  session.set_greeted();
  session.send(make_text_message(MessageType::Greeting, options_.greeting),
               delay);
}

void ServerCore::on_client_message(ClientSession& session,
                                   std::span<const uint8_t> message) {
  if (options_.record_messages) {
    {
      std::lock_guard<std::mutex> lock(observation_mutex_);
      observation_.messages.push_back(
          ClientMessage{session.id(), Message(message.begin(), message.end())});
    }
    observation_changed_.notify_all();
  }
  try {
    handle_message(session, message);
  } catch (...) {
    // A request the server cannot serve is dropped; the connection stays.
  }
}

void ServerCore::on_client_closed(ClientSession& session) {
  // Frames of a client that left must not hold the bus for the others.
  for (auto& interface : interfaces_) interface->drop_client(session.id());
  sessions_.erase(session.id());
  update_client_count();
}

void ServerCore::update_client_count() {
  {
    std::lock_guard<std::mutex> lock(observation_mutex_);
    observation_.clients = sessions_.size();
  }
  observation_changed_.notify_all();
}

void ServerCore::handle_message(ClientSession& session,
                                std::span<const uint8_t> bytes) {
  const MessageView view(bytes);
  const auto type = static_cast<MessageType>(view.type());
  uint8_t index = 0;
  switch (type) {
    case MessageType::EnumerateRequest:
      enumerate(session);
      break;
    case MessageType::OpenRequest:
      if (view.index(index)) {
        const BusInterface* interface = find_interface(index);
        if (interface && interface->available()) {
          session.open_interfaces().insert(index);
        }
      }
      break;
    case MessageType::CloseRequest:
      if (view.index(index) && session.open_interfaces().erase(index) != 0) {
        if (BusInterface* interface = find_interface(index)) {
          interface->drop_client(session.id());
        }
      }
      break;
    case MessageType::TransmitFrame:
      if (view.index(index)) transmit(session, index, view.frame());
      break;
    default:
      break;  // nothing else is for the server
  }
}

void ServerCore::enumerate(ClientSession& session) {
  const Script current = script();
  const EnumerationScript& script = current.enumeration;
  if (script.silent) return;
  for (const auto& interface : interfaces_) {
    if (!interface->available()) continue;
    session.send(
        make_interface_entry(interface->index(), options_.interface_attribute,
                             interface->name()),
        current.reply_delay);
    for (const Message& extra : script.interleave) {
      session.send(extra, current.reply_delay);
    }
  }
  if (script.send_list_end) {
    session.send(make_interface_list_end(), current.reply_delay);
  }
}

void ServerCore::transmit(ClientSession& session, uint8_t index,
                          std::span<const uint8_t> frame) {
  BusInterface* interface = find_interface(index);
  if (!interface || !session.is_open(index) || frame.empty()) return;
  TransmitContext context{session.id(), index, {}};
  try {
    FrameCodec::decode_write(frame.data(), static_cast<uint32_t>(frame.size()),
                             context.frame);
  } catch (const std::exception&) {
    return;  // not a frame: dropped
  }
  const Script current = script();
  if (current.reply_script) {
    if (auto replies = current.reply_script(context)) {
      for (Message& reply : *replies) {
        session.send(std::move(reply), current.reply_delay);
      }
      return;
    }
  }
  if (!current.auto_reply) return;
  switch (context.frame.frame_type) {
    case KOVRA62386_FRAME_TRANSMIT:
      interface->transmit(session.id(), context.frame);
      break;
    case KOVRA62386_FRAME_INTERFACE_REQUEST:
      if (context.frame.sub_type == KOVRA62386_REQUEST_BUS_STATE) {
        interface->report_state(session.id());
      }
      break;
    default:
      break;
  }
}

void ServerCore::for_each_session(
    const std::function<void(ClientSession&)>& visit) {
  // A copy: closing a session removes it from sessions_.
  auto sessions = sessions_;
  for (auto& [id, session] : sessions) visit(*session);
}

BusInterface* ServerCore::find_interface(uint8_t index) {
  for (auto& interface : interfaces_) {
    if (interface->index() == index) return interface.get();
  }
  return nullptr;
}

void ServerCore::to_client(uint32_t client, uint8_t index,
                           const ReadFrameRecord& record) {
  const auto found = sessions_.find(client);
  if (found == sessions_.end() || !found->second->is_open(index)) return;
  found->second->send(make_received_frame(index, record), script().reply_delay);
}

void ServerCore::to_listeners(uint8_t index, const ReadFrameRecord& record,
                              uint32_t except) {
  const Message message = make_received_frame(index, record);
  const auto delay = script().reply_delay;
  for (auto& [id, session] : sessions_) {
    if (id != except && session->is_open(index)) session->send(message, delay);
  }
}

void ServerCore::device_closed(uint8_t index) {
  // After the records already queued for the session, at the same delay.
  const Message message = make_device_closed(index);
  const auto delay = script().reply_delay;
  for (auto& [id, session] : sessions_) {
    if (session->open_interfaces().erase(index) != 0) {
      session->send(message, delay);
    }
  }
}

bool ServerCore::run_on_io(const std::function<void()>& action) {
  if (io_.get_executor().running_in_this_thread()) {
    action();
    return true;
  }
  std::lock_guard<std::mutex> lock(control_mutex_);
  if (!running_.load()) return false;
  auto task = std::make_shared<std::packaged_task<void()>>(action);
  auto done = task->get_future();
  boost::asio::post(io_, [task] { (*task)(); });
  return done.wait_for(kActionTimeout) == std::future_status::ready;
}

// ---- Actions ----

void ServerCore::set_bus_power(uint8_t index, bool powered) {
  run_on_io([this, index, powered] {
    if (BusInterface* interface = find_interface(index)) {
      interface->set_power(powered);
    }
  });
}

bool ServerCore::with_bus_model(uint8_t index,
                                const std::function<void(BusModel&)>& inspect) {
  // Owned by the action, which outlives this call should the wait time out.
  auto found = std::make_shared<std::atomic<bool>>(false);
  const bool ran = run_on_io([this, index, inspect, found] {
    BusInterface* interface = find_interface(index);
    if (BusModel* model = interface ? interface->bus_model() : nullptr) {
      found->store(true);
      inspect(*model);
      // A person may have acted on a device: it may want the bus now.
      interface->devices_changed();
    }
  });
  return ran && found->load();
}

std::vector<InterfaceState> ServerCore::interface_states() {
  auto states = std::make_shared<std::vector<InterfaceState>>();
  const bool ran = run_on_io([this, states] {
    for (const auto& interface : interfaces_) {
      InterfaceState state;
      state.index = interface->index();
      state.name = interface->name();
      state.driver = "simulated";
      if (const auto* real =
              dynamic_cast<const RealInterface*>(interface.get())) {
        state.driver = drivers_[real];
        state.where = real->where();
        state.connected = real->available();
        state.error = real->last_error();
        state.firmware = real->firmware_version();
        state.bus_powered = state.connected && real->bus_powered();
      } else {
        state.bus_powered =
            static_cast<const SimulatedInterface&>(*interface).powered();
      }
      states->push_back(std::move(state));
    }
  });
  if (!ran) return {};
  return *states;
}

std::optional<uint8_t> ServerCore::interface_index(
    const std::string& name) const {
  const std::size_t count =
      std::min<std::size_t>(options_.interfaces.size(), 255);
  for (std::size_t i = 0; i < count; ++i) {
    if (options_.interfaces[i] == name) return static_cast<uint8_t>(i);
  }
  if (!options_.interface_at_255.empty() && options_.interface_at_255 == name) {
    return 255;
  }
  for (const RealInterface* real : real_interfaces_) {
    if (real->name() == name) return real->index();
  }
  return std::nullopt;
}

// ---- Observation ----

ServerObservation ServerCore::observation() const {
  std::lock_guard<std::mutex> lock(observation_mutex_);
  return observation_;
}

std::size_t ServerCore::client_count() const {
  std::lock_guard<std::mutex> lock(observation_mutex_);
  return observation_.clients;
}

bool ServerCore::wait_until(
    const std::function<bool(const ServerObservation&)>& predicate,
    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(observation_mutex_);
  return observation_changed_.wait_for(lock, timeout,
                                       [&] { return predicate(observation_); });
}

bool ServerCore::wait_for_clients(std::size_t count,
                                  std::chrono::milliseconds timeout) const {
  return wait_until(
      [count](const ServerObservation& o) { return o.clients == count; },
      timeout);
}

bool ServerCore::wait_for_messages(std::size_t count,
                                   std::chrono::milliseconds timeout) const {
  return wait_until(
      [count](const ServerObservation& o) {
        return o.messages.size() >= count;
      },
      timeout);
}

}  // namespace kovra62386::sim
