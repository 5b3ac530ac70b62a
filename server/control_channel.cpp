#include "server/control_channel.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <sstream>
#include <vector>

#include "protocol/control_socket.h"
#include "server/dali_bus_model.h"

namespace kovra62386::sim {
namespace {

using boost::asio::local::stream_protocol;
using Clock = std::chrono::steady_clock;

constexpr unsigned kDefaultPressMs = 200;
constexpr unsigned kMaxHoldMs = 10 * 60 * 1000;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string word; in >> word && out.size() < 8;) out.push_back(word);
  return out;
}

std::optional<unsigned> number(const std::string& text, unsigned max) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

std::optional<dali::DeviceSelector> device_selector(const std::string& text) {
  dali::DeviceSelector selector;
  if (!text.empty() && text.front() == '#') {
    const auto index = number(text.substr(1), 255);
    if (!index) return std::nullopt;
    selector.index = *index;
  } else {
    const auto address = number(text, 63);
    if (!address) return std::nullopt;
    selector.short_address = static_cast<uint8_t>(*address);
  }
  return selector;
}

std::optional<bool> on_off(const std::string& text, const char* on,
                           const char* off) {
  if (text == on) return true;
  if (text == off) return false;
  return std::nullopt;
}

std::string usage(const std::string& why) { return "error usage " + why; }

// The instance of `type` to act on: the one given, else the device's first
// of that type (0 when it has none: the device then says what it has).
uint8_t pick_instance(const dali::ControlDevice& device,
                      dali::device::InstanceType type,
                      std::optional<unsigned> given) {
  if (given) return static_cast<uint8_t>(*given);
  const auto instances = device.state().instances;
  for (std::size_t i = 0; i < instances.size(); ++i) {
    if (instances[i].type == type) return static_cast<uint8_t>(i);
  }
  return 0;
}

bool peer_is_this_user(int fd) {
#if defined(__linux__)
  struct ucred credentials {};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    return false;
  }
  return credentials.uid == ::geteuid();
#else
  uid_t uid = 0;
  gid_t gid = 0;
  return ::getpeereid(fd, &uid, &gid) == 0 && uid == ::geteuid();
#endif
}

}  // namespace

// One client of the channel: reads a line, answers it, reads the next.
class ControlChannel::Connection
    : public std::enable_shared_from_this<Connection> {
 public:
  Connection(ControlChannel& channel, stream_protocol::socket socket,
             std::shared_ptr<int> count)
      : channel_(channel),
        socket_(std::move(socket)),
        buffer_(sim_control::kMaxLine + 1),
        count_(std::move(count)) {
    ++*count_;
  }
  ~Connection() { --*count_; }

  void read_next() {
    auto self = shared_from_this();
    boost::asio::async_read_until(
        socket_, buffer_, '\n',
        [self](const boost::system::error_code& error, std::size_t) {
          // Any error, a line too long included, ends the connection.
          if (!error) self->answer();
        });
  }

 private:
  void answer() {
    std::istream in(&buffer_);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    reply_ = channel_.execute(line) + "\n";
    auto self = shared_from_this();
    boost::asio::async_write(
        socket_, boost::asio::buffer(reply_),
        [self](const boost::system::error_code& error, std::size_t) {
          if (!error) self->read_next();
        });
  }

  ControlChannel& channel_;
  stream_protocol::socket socket_;
  boost::asio::streambuf buffer_;
  std::shared_ptr<int> count_;
  std::string reply_;
};

ControlChannel::ControlChannel(ServerCore& core, std::string path)
    : core_(core), path_(std::move(path)), acceptor_(io_) {}

ControlChannel::~ControlChannel() { stop(); }

std::string ControlChannel::start() {
  if (listening_ || path_.empty()) return "no control channel here";
  const std::string folder =
      std::filesystem::path(path_).parent_path().string();
  if (auto error = sim_control::prepare_private_directory(folder);
      !error.empty()) {
    return error;
  }
  boost::system::error_code error;
  {
    // A live socket belongs to another server; a dead one is left over.
    stream_protocol::socket probe(io_);
    probe.connect(stream_protocol::endpoint(path_), error);
    if (!error) return "another server's control channel is live at " + path_;
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    error.clear();
  }
  acceptor_.open(stream_protocol(), error);
  if (!error) acceptor_.bind(stream_protocol::endpoint(path_), error);
  if (!error) ::chmod(path_.c_str(), 0600);
  if (!error) acceptor_.listen(kMaxConnections, error);
  if (error) {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    return "cannot listen at " + path_ + ": " + error.message();
  }
  listening_ = true;
  accept_next();
  thread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
      }
    }
  });
  return {};
}

void ControlChannel::stop() {
  if (!listening_) return;
  listening_ = false;
  boost::asio::post(io_, [this] {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    io_.stop();
  });
  if (thread_.joinable()) thread_.join();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

void ControlChannel::accept_next() {
  acceptor_.async_accept([this](const boost::system::error_code& error,
                                stream_protocol::socket socket) {
    if (error == boost::asio::error::operation_aborted ||
        !acceptor_.is_open()) {
      return;
    }
    if (!error && *connections_ < kMaxConnections &&
        peer_is_this_user(socket.native_handle())) {
      std::make_shared<Connection>(*this, std::move(socket), connections_)
          ->read_next();
    }
    accept_next();
  });
}

// One line per interface, then "ok N".
std::string ControlChannel::list_interfaces() {
  std::string out;
  std::size_t count = 0;
  for (const auto& state : core_.interface_states()) {
    if (count == sim_control::kMaxInterfaceLines) break;
    sim_control::InterfaceLine line;
    line.index = state.index;
    line.name = state.name;
    line.driver = state.driver;
    line.state = !state.connected     ? sim_control::kStateLost
                 : !state.bus_powered ? sim_control::kStatePowerOff
                                      : sim_control::kStateConnected;
    line.where = state.where;
    line.firmware = state.firmware;
    line.error = state.error;
    out += sim_control::format_interface_line(line) + "\n";
    ++count;
  }
  return out + "ok " + std::to_string(count);
}

std::string ControlChannel::execute(const std::string& line) {
  const std::vector<std::string> w = words(line);
  if (w.size() == 1 && w[0] == sim_control::kInterfacesRequest) {
    return list_interfaces();
  }
  if (w.size() < 2) {
    return usage(
        "expected: press, release, occupancy, light, lamp, silent or power, "
        "then the interface");
  }
  const std::string& verb = w[0];
  const auto index = core_.interface_index(w[1]);
  if (!index) return "error interface no interface is named '" + w[1] + "'";

  // Runs `act` on the bus of the interface on the server's thread; its text
  // is the error, empty for success.
  auto on_bus = [&](std::function<std::string(dali::SimulatedBus&)> act) {
    auto result = std::make_shared<std::string>("target not a simulated bus");
    const bool ran =
        core_.with_bus_model(*index, [act, result](BusModel& model) {
          if (auto* dali_model = dynamic_cast<DaliBusModel*>(&model)) {
            *result = act(dali_model->bus());
            if (!result->empty()) *result = "target " + *result;
          }
        });
    if (!ran) return std::string("error interface the server is stopping");
    if (result->empty()) return std::string();
    if (*result == "target the bus has no power") {
      return std::string("error power the bus has no power");
    }
    return "error " + *result;
  };

  if (verb == "press" || verb == "release") {
    const bool press = verb == "press";
    if (w.size() < 4 || w.size() > (press ? 5u : 4u)) {
      return usage(verb + " IFACE DEVICE BUTTON" + (press ? " [HOLD_MS]" : ""));
    }
    const auto selector = device_selector(w[2]);
    const auto button = number(w[3], 31);
    const auto hold =
        w.size() == 5 ? number(w[4], kMaxHoldMs) : kDefaultPressMs;
    if (!selector || !button || !hold) {
      return usage("DEVICE is 0-63 or #N, BUTTON 0-31, HOLD_MS 0-600000");
    }
    const auto error = on_bus([=](dali::SimulatedBus& bus) {
      return bus.act_on_device(*selector, [&](dali::ControlDevice& d) {
        const auto b = static_cast<uint8_t>(*button);
        return press
                   ? d.press(b, Clock::now(), std::chrono::milliseconds(*hold))
                   : d.release(b, Clock::now());
      });
    });
    if (!error.empty()) return error;
    return "ok button " + w[3] + " of device " + w[2] +
           (press ? " pressed, released after " + std::to_string(*hold) + " ms"
                  : " released");
  }
  if (verb == "occupancy" || verb == "light") {
    const bool occupancy = verb == "occupancy";
    if (w.size() < 4 || w.size() > 5) {
      return usage(occupancy ? "occupancy IFACE DEVICE on|off [INSTANCE]"
                             : "light IFACE DEVICE VALUE [INSTANCE]");
    }
    const auto selector = device_selector(w[2]);
    const auto state = on_off(w[3], "on", "off");
    const auto value = number(w[3], 65535);
    const auto instance =
        w.size() == 5 ? number(w[4], 31) : std::optional<unsigned>();
    if (!selector || (occupancy ? !state : !value) ||
        (w.size() == 5 && !instance)) {
      return usage(occupancy ? "DEVICE is 0-63 or #N, then on or off"
                             : "DEVICE is 0-63 or #N, VALUE 0-1023");
    }
    const auto error = on_bus([=](dali::SimulatedBus& bus) {
      return bus.act_on_device(*selector, [&](dali::ControlDevice& d) {
        using dali::device::InstanceType;
        if (occupancy) {
          return d.set_occupied(
              pick_instance(d, InstanceType::Occupancy, instance), *state,
              Clock::now());
        }
        return d.set_illuminance(
            pick_instance(d, InstanceType::LightSensor, instance), *value,
            Clock::now());
      });
    });
    if (!error.empty()) return error;
    return occupancy ? "ok device " + w[2] + (*state ? " occupied" : " vacant")
                     : "ok device " + w[2] + " reads illuminance " + w[3];
  }
  if (verb == "lamp" || verb == "silent") {
    const bool lamp = verb == "lamp";
    const auto address = w.size() == 4 ? number(w[2], 63) : std::nullopt;
    const auto state = w.size() == 4 ? (lamp ? on_off(w[3], "fail", "repair")
                                             : on_off(w[3], "on", "off"))
                                     : std::nullopt;
    if (!address || !state) {
      return usage(lamp ? "lamp IFACE GEAR fail|repair"
                        : "silent IFACE GEAR on|off");
    }
    const auto a = static_cast<uint8_t>(*address);
    const auto error = on_bus([=](dali::SimulatedBus& bus) {
      const bool found =
          lamp ? bus.set_lamp_failure(a, *state) : bus.set_silent(a, *state);
      return found ? std::string()
                   : "no gear has short address " + std::to_string(a);
    });
    if (!error.empty()) return error;
    if (lamp) {
      return "ok lamp of gear " + w[2] + (*state ? " failed" : " repaired");
    }
    return "ok gear " + w[2] + (*state ? " is silent" : " answers again");
  }
  if (verb == "power") {
    const auto state = w.size() == 3 ? on_off(w[2], "on", "off") : std::nullopt;
    if (!state) return usage("power IFACE off|on");
    core_.set_bus_power(*index, *state);
    return std::string("ok bus power ") + (*state ? "restored" : "cut");
  }
  return usage("unknown action '" + verb + "'");
}

}  // namespace kovra62386::sim
