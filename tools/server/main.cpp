// Kovra62386Server: the stand-in local server with simulated DALI buses.
//
//   Kovra62386Server [--instant | --real-timing] [--port N] [--interfaces A,B]
//
// Without arguments (as the client library starts it): real bus timing,
// port 42000, interfaces SIM-1 and SIM-2. Runs until SIGINT or SIGTERM (on
// Windows also a console close), then withdraws its registry announcement.
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "server_core.h"

#if defined(KOVRA62386_HAVE_CONTROL_CHANNEL)
#include "control_channel.h"
#include "tools/dali/control_socket.h"
#endif

#if defined(_WIN32)
#include <windows.h>

#include <condition_variable>
#include <mutex>
#endif

namespace {

using kovra62386::sim::ServerCore;
using kovra62386::sim::ServerOptions;

constexpr const char* usage =
    "usage: Kovra62386Server [--instant | --real-timing] [--port N] "
    "[--interfaces A,B]\n"
    "  --instant        report every frame at once (for tests)\n"
    "  --real-timing    keep the DALI bus timing (default)\n"
    "  --port N         TCP port on 127.0.0.1 (default 42000; 0: any)\n"
    "  --interfaces A,B names of the simulated buses (default SIM-1,SIM-2)\n";

bool parse_port(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
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

// 0: parsed; otherwise the exit code (help or an error already printed).
int parse_arguments(int argc, char** argv, ServerOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--instant") {
      options.real_timing = false;
    } else if (argument == "--real-timing") {
      options.real_timing = true;
    } else if (argument == "--port" && has_value) {
      if (!parse_port(argv[++i], options.port)) {
        std::cerr << "Kovra62386Server: invalid port '" << argv[i] << "'\n";
        return 2;
      }
    } else if (argument == "--interfaces" && has_value) {
      options.interfaces = split_names(argv[++i]);
      if (options.interfaces.empty()) {
        std::cerr << "Kovra62386Server: --interfaces needs at least one name\n";
        return 2;
      }
    } else if (argument == "--help" || argument == "-h") {
      std::cout << usage;
      return -1;
    } else {
      std::cerr << "Kovra62386Server: unknown argument '" << argument << "'\n"
                << usage;
      return 2;
    }
  }
  return 0;
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
  if (const int code = parse_arguments(argc, argv, options); code != 0) {
    return code < 0 ? 0 : code;
  }

  ServerCore core(options);
  if (!core.start()) {
    std::cerr << "Kovra62386Server: cannot listen on 127.0.0.1:" << options.port
              << " (the port is in use; is another server running?)\n";
    return 1;
  }
  std::cerr << "Kovra62386Server: listening on 127.0.0.1:" << core.port()
            << "\n";
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
