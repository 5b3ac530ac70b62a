// Kovra62386Server: the stand-in local server with simulated DALI buses.
//
//   Kovra62386Server [--instant | --real-timing] [--port N]
//                    [--installation FILE | --interfaces A,B] [--check]
//                    [--seed N] [--collisions POLICY] [--priority N]
//                    [--interface NAME=DRIVER:WHERE]...
//
// Without arguments (as the client library starts it): real bus timing,
// port 42000, and the installation in installation.json beside the user's
// registry store when that file exists, else the built-in one (SIM-1 and
// SIM-2). Runs until SIGINT or SIGTERM (on Windows also a console close),
// then withdraws its registry announcement.
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/dali_bus_model.h"
#include "server/server_core.h"
#include "simulator/installation.h"
#include "simulator/simulated_bus.h"

#if defined(KOVRA62386_HAVE_CONTROL_CHANNEL)
#include "protocol/control_socket.h"
#include "server/control_channel.h"
#endif

#if defined(_WIN32)
#include <windows.h>

#include <condition_variable>
#include <mutex>
#else
#include "platform/posix_registry_store.h"
#endif

namespace {

using kovra62386::sim::ServerCore;
using kovra62386::sim::ServerOptions;

// The default port, spelled into the usage text.
#define SERVER_TEXT(x) #x
#define SERVER_NUMBER_TEXT(x) SERVER_TEXT(x)

constexpr const char* kUsage =
    "usage: Kovra62386Server [--instant | --real-timing] [--port N]\n"
    "         [--installation FILE | --interfaces A,B] [--check]\n"
    "         [--seed N] [--collisions POLICY] [--priority N]\n"
    "         [--interface NAME=DRIVER:WHERE]...\n"
    "  --instant            report every frame at once (for tests)\n"
    "  --real-timing        keep the DALI bus timing (default)\n"
    "  --port N             TCP port on 127.0.0.1 (default "
    SERVER_NUMBER_TEXT(KOVRA62386_SERVER_PORT) "; 0: any)\n"
    "  --installation FILE  the buses and their gear, described in JSON\n"
    "                       (default: installation.json beside the user's\n"
    "                       registry store if it exists, else built in)\n"
    "  --interfaces A,B     buses with these names, each with the built-in\n"
    "                       gear\n"
    "  --interface NAME=DRIVER:WHERE\n"
    "                       a real bus interface beside the simulated ones,\n"
    "                       e.g. LAB=sevenlab:/dev/ttyUSB0 or\n"
    "                       GW=foxtron:192.168.1.241:23 (repeatable);\n"
    "                       hasseb units are found without it, named\n"
    "                       hasseb-<USB port>\n"
    "  --check              check the installation, list it and exit\n"
    "  --seed N             seed of the gears' answer delays (default 1)\n"
    "  --collisions POLICY  when identical answers of several gear collide:\n"
    "                       in-step (default: unless they start within a\n"
    "                       bit's tolerance), same-byte (never), any (always)\n"
    "  --priority N         priority 1-5 of frames that name none (default "
    "1)\n";

struct Arguments {
  std::optional<std::string> installation;                 // --installation
  std::vector<std::string> interfaces;                     // --interfaces
  std::vector<kovra62386::sim::RealInterfaceConfig> real;  // --interface
  bool check = false;
  uint64_t seed = kovra62386::dali::kDefaultSeed;
  kovra62386::dali::CollisionPolicy collisions =
      kovra62386::dali::kDefaultCollisionPolicy;
};

bool parse_number(std::string_view text, uint64_t max, uint64_t& number) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  number = value;
  return true;
}

bool parse_port(std::string_view text, uint16_t& port) {
  uint64_t value = 0;
  if (!parse_number(text, 65535, value)) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

std::vector<std::string> split_names(std::string_view text) {
  std::vector<std::string> names;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    if (!name.empty()) names.emplace_back(name);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return names;
}

// The drivers this build has, for messages.
std::string known_drivers() {
  std::string known;
  for (const char* driver : {"sevenlab", "foxtron", "hasseb"}) {
    if (!ServerCore::has_driver(driver)) continue;
    known += (known.empty() ? "" : ", ") + std::string(driver);
  }
  return known;
}

// NAME=DRIVER:WHERE, each part non-empty; WHERE may hold ':' and '='.
std::optional<kovra62386::sim::RealInterfaceConfig> parse_real_interface(
    std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  const std::size_t colon = text.find(':', equals + 1);
  if (colon == std::string_view::npos) return std::nullopt;
  kovra62386::sim::RealInterfaceConfig configured{
      std::string(text.substr(0, equals)),
      std::string(text.substr(equals + 1, colon - equals - 1)),
      std::string(text.substr(colon + 1))};
  if (configured.name.empty() || configured.driver.empty() ||
      configured.where.empty()) {
    return std::nullopt;
  }
  return configured;
}

// 0: parsed; otherwise the exit code (help or an error already printed).
int parse_arguments(int argc, char** argv, ServerOptions& options,
                    Arguments& arguments) {
  using kovra62386::dali::CollisionPolicy;
  auto invalid = [](std::string_view option, std::string_view value) {
    std::cerr << "Kovra62386Server: invalid " << option << " '" << value
              << "'\n";
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--instant") {
      options.real_timing = false;
    } else if (argument == "--real-timing") {
      options.real_timing = true;
    } else if (argument == "--check") {
      arguments.check = true;
    } else if (argument == "--port" && has_value) {
      if (!parse_port(argv[++i], options.port)) {
        return invalid("port", argv[i]);
      }
    } else if (argument == "--interfaces" && has_value) {
      arguments.interfaces = split_names(argv[++i]);
      if (arguments.interfaces.empty()) {
        std::cerr << "Kovra62386Server: --interfaces needs at least one name\n";
        return 2;
      }
    } else if (argument == "--interface" && has_value) {
      const std::string_view value = argv[++i];
      auto configured = parse_real_interface(value);
      if (!configured) return invalid(argument, value);
      if (!ServerCore::has_driver(configured->driver)) {
        std::cerr << "Kovra62386Server: no driver '" << configured->driver
                  << "' in this build (known: " << known_drivers() << ")\n";
        return 2;
      }
      arguments.real.push_back(std::move(*configured));
    } else if (argument == "--installation" && has_value) {
      arguments.installation = argv[++i];
    } else if (argument == "--seed" && has_value) {
      if (!parse_number(argv[++i], UINT64_MAX, arguments.seed)) {
        return invalid("seed", argv[i]);
      }
    } else if (argument == "--collisions" && has_value) {
      const std::string_view policy = argv[++i];
      if (policy == "in-step") {
        arguments.collisions = CollisionPolicy::SameByteInStep;
      } else if (policy == "same-byte") {
        arguments.collisions = CollisionPolicy::SameByteIsValid;
      } else if (policy == "any") {
        arguments.collisions = CollisionPolicy::AnyTwoAnswersCollide;
      } else {
        return invalid("collision policy", policy);
      }
    } else if (argument == "--priority" && has_value) {
      uint64_t priority = 0;
      if (!parse_number(argv[++i], 255, priority) ||
          !kovra62386::dali::timing::valid_priority(
              static_cast<unsigned>(priority))) {
        return invalid("priority", argv[i]);
      }
      options.priority = static_cast<unsigned>(priority);
    } else if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return -1;
    } else {
      std::cerr << "Kovra62386Server: unknown argument '" << argument << "'\n"
                << kUsage;
      return 2;
    }
  }
  if (arguments.installation && !arguments.interfaces.empty()) {
    std::cerr << "Kovra62386Server: give --installation or --interfaces, "
                 "not both\n";
    return 2;
  }
  return 0;
}

// installation.json beside the user's registry store (next to its
// HKEY_CURRENT_USER folder); empty when no home is known.
std::string default_installation_path() {
#if defined(_WIN32)
  const char* appdata = std::getenv("APPDATA");
  if (appdata == nullptr || appdata[0] == '\0') return {};
  return std::string(appdata) + "\\Kovra62386\\installation.json";
#else
  const std::string hive = kovra62386::platform::registry_hive_root(
      kovra62386::platform::Hive::CurrentUser);
  const std::size_t slash = hive.rfind('/');
  if (slash == std::string::npos) return {};
  return hive.substr(0, slash + 1) + "installation.json";
#endif
}

// The installation the arguments ask for; throws InstallationError.
kovra62386::dali::Installation choose_installation(const Arguments& arguments) {
  namespace dali = kovra62386::dali;
  if (arguments.installation) {
    return dali::load_installation(*arguments.installation);
  }
  if (!arguments.interfaces.empty()) {
    dali::Installation installation;
    for (const std::string& name : arguments.interfaces) {
      installation.interfaces.push_back(
          {name,
           dali::SimulatedBus::default_configuration(),
           dali::SimulatedBus::default_control_devices(),
           {},
           {}});
    }
    return installation;
  }
  const std::string path = default_installation_path();
  std::error_code error;
  if (!path.empty() && std::filesystem::exists(path, error)) {
    return dali::load_installation(path);
  }
  return dali::default_installation();
}

// The interfaces' names, and a bus per interface with its gear; each bus
// draws its answer delays from a seed of its own.
// Real interfaces, from the file and then the command line, come after
// the simulated buses.
void apply(const kovra62386::dali::Installation& installation,
           const Arguments& arguments, ServerOptions& options) {
  auto shared = std::make_shared<kovra62386::dali::Installation>();
  options.real_interfaces.clear();
  for (const auto& description : installation.interfaces) {
    if (description.real()) {
      options.real_interfaces.push_back(
          {description.name, description.driver, description.where});
    } else {
      shared->interfaces.push_back(description);
    }
  }
  options.real_interfaces.insert(options.real_interfaces.end(),
                                 arguments.real.begin(), arguments.real.end());
  options.interfaces.clear();
  for (const auto& description : shared->interfaces) {
    options.interfaces.push_back(description.name);
  }
  options.bus_model =
      [shared, seed = arguments.seed, policy = arguments.collisions](
          uint8_t index) -> std::unique_ptr<kovra62386::sim::BusModel> {
    if (index >= shared->interfaces.size()) return nullptr;
    const uint64_t bus_seed = seed + index * 0x9E3779B97F4A7C15ull;
    return std::make_unique<kovra62386::sim::DaliBusModel>(
        shared->interfaces[index].gear,
        shared->interfaces[index].control_devices, policy, bus_seed);
  };
}

// A name that two interfaces share, simulated or real; empty if none.
std::string name_used_twice(const kovra62386::dali::Installation& installation,
                            const Arguments& arguments) {
  std::vector<std::string> names;
  for (const auto& description : installation.interfaces) {
    names.push_back(description.name);
  }
  for (const auto& real : arguments.real) names.push_back(real.name);
  std::sort(names.begin(), names.end());
  const auto twice = std::adjacent_find(names.begin(), names.end());
  return twice == names.end() ? std::string() : *twice;
}

void list(const kovra62386::dali::Installation& installation,
          const Arguments& arguments) {
  for (const auto& description : installation.interfaces) {
    if (description.real()) {
      std::cout << description.name << ": " << description.driver << " at "
                << description.where << "\n";
    } else {
      std::cout << description.name << ": " << description.gear.size()
                << " gear\n";
    }
  }
  for (const auto& real : arguments.real) {
    std::cout << real.name << ": " << real.driver << " at " << real.where
              << "\n";
  }
}

#if defined(_WIN32)
// A console close gives the process a few seconds after the handler
// returns; the handler asks the main thread to stop and waits until the
// announcement is withdrawn.
boost::asio::io_context* console_signals = nullptr;
std::mutex console_mutex;
std::condition_variable console_done_changed;
bool console_done = false;

BOOL WINAPI on_console_event(DWORD event) {
  if (console_signals) console_signals->stop();
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
      event == CTRL_SHUTDOWN_EVENT) {
    std::unique_lock<std::mutex> lock(console_mutex);
    console_done_changed.wait_for(lock, std::chrono::seconds(4),
                                  [] { return console_done; });
  }
  return TRUE;
}
#endif

int run(int argc, char** argv) {
  ServerOptions options;
  options.real_timing = true;
  options.publish = true;
  options.record_messages = false;
  options.discover_hasseb = true;
  Arguments arguments;
  if (const int code = parse_arguments(argc, argv, options, arguments);
      code != 0) {
    return code < 0 ? 0 : code;
  }
  try {
    const kovra62386::dali::Installation installation =
        choose_installation(arguments);
    for (const auto& description : installation.interfaces) {
      if (description.real() && !ServerCore::has_driver(description.driver)) {
        std::cerr << "Kovra62386Server: installation: interface '"
                  << description.name << "': no driver '" << description.driver
                  << "' in this build (known: " << known_drivers() << ")\n";
        return 2;
      }
    }
    if (const std::string twice = name_used_twice(installation, arguments);
        !twice.empty()) {
      std::cerr << "Kovra62386Server: two interfaces named '" << twice << "'\n";
      return 2;
    }
    if (arguments.check) {
      list(installation, arguments);
      return 0;
    }
    apply(installation, arguments, options);
  } catch (const kovra62386::dali::InstallationError& error) {
    std::cerr << "Kovra62386Server: installation " << error.what() << "\n";
    return 2;
  }

  ServerCore core(options);
  if (!core.start()) {
    std::cerr << "Kovra62386Server: cannot listen on 127.0.0.1:" << options.port
              << " (the port is in use; is another server running?)\n";
    return 1;
  }
  std::cerr << "Kovra62386Server: listening on 127.0.0.1:" << core.port()
            << "\n";
  // A device node that cannot be opened is named with the reason (a
  // missing permission, say), never left out silently.
  for (const auto& state : core.interface_states()) {
    if (state.driver == "simulated") continue;
    std::cerr << "Kovra62386Server: " << state.name << " (" << state.driver
              << " at " << state.where << "): "
              << (state.connected ? "connected"
                                  : "not connected: " + state.error +
                                        "; looking for it every 2 s")
              << "\n";
  }
#if defined(KOVRA62386_HAVE_CONTROL_CHANNEL)
  // `kovra62386 sim` reaches the buses through it; the server runs on
  // without it.
  kovra62386::sim::ControlChannel control(
      core, kovra62386::sim_control::socket_path());
  if (const std::string error = control.start(); error.empty()) {
    std::cerr << "Kovra62386Server: control channel at " << control.path()
              << "\n";
  } else {
    std::cerr << "Kovra62386Server: no control channel: " << error << "\n";
  }
#endif

  boost::asio::io_context signals_io;
  boost::asio::signal_set signals(signals_io, SIGINT, SIGTERM);
#if defined(SIGHUP)
  signals.add(SIGHUP);
#endif
  signals.async_wait(
      [&](const boost::system::error_code&, int) { signals_io.stop(); });
#if defined(_WIN32)
  console_signals = &signals_io;
  SetConsoleCtrlHandler(on_console_event, TRUE);
#endif
  signals_io.run();
#if defined(KOVRA62386_HAVE_CONTROL_CHANNEL)
  control.stop();
#endif
  core.stop();
#if defined(_WIN32)
  {
    std::lock_guard<std::mutex> lock(console_mutex);
    console_done = true;
  }
  console_done_changed.notify_all();
#endif
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "Kovra62386Server: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "Kovra62386Server: unexpected error\n";
  }
  return 1;
}
