// Where the simulated server's control channel lives, shared by the server
// and the CLI's `sim` command: a Unix socket per user, in a folder that only
// that user may enter.
//
//   $XDG_RUNTIME_DIR/kovra62386/control.sock   (or /tmp/kovra62386-UID/)
//
// With KOVRA62386_REGISTRY_ROOT set (tests, private setups) the name gets a
// hash of that root, control-XXXXXXXXXXXXXXXX.sock, so each registry has
// the channel of its own server.
//
// The line protocol: one request per line, at most kMaxLine bytes, words
// separated by spaces; one answer line each: "ok TEXT" or
// "error KIND TEXT" with KIND one of usage, interface, target, power.
//   press IFACE DEVICE BUTTON [HOLD_MS]   release IFACE DEVICE BUTTON
//   occupancy IFACE DEVICE on|off [INSTANCE]
//   light IFACE DEVICE VALUE [INSTANCE]
//   lamp IFACE GEAR fail|repair           silent IFACE GEAR on|off
//   power IFACE off|on
//   interfaces    one line per interface (format_interface_line), then
//                 "ok N"; at most kMaxInterfaceLines lines of at most
//                 kMaxAnswerLine bytes each
// DEVICE is a control device's short address (0-63) or #N, its position on
// the bus (for one without a short address); GEAR a gear's short address.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kovra62386::sim_control {

inline constexpr std::size_t kMaxLine = 256;

// The `interfaces` request and the bounds of its answer.
inline constexpr std::string_view kInterfacesRequest = "interfaces";
inline constexpr std::size_t kMaxAnswerLine = 1024;
inline constexpr std::size_t kMaxInterfaceLines = 256;

// One interface as the server sees it. `state` is one of the words below;
// `where`, `firmware` and `error` are empty where they do not apply.
struct InterfaceLine {
  unsigned index = 0;
  std::string name;
  std::string driver;  // "simulated" for a simulated bus
  std::string state;
  std::string where;
  std::string firmware;
  std::string error;  // why a real interface is lost
};
inline constexpr std::string_view kStateConnected = "connected";
inline constexpr std::string_view kStateLost = "lost";
inline constexpr std::string_view kStatePowerOff = "bus-power-off";

// "interface\tINDEX\tNAME\tDRIVER\tSTATE\tWHERE\tFIRMWARE\tERROR": tabs
// and line breaks inside a field become spaces, and the error is cut so
// that the line fits kMaxAnswerLine.
std::string format_interface_line(const InterfaceLine& line);
// nullopt for a line that is not one (the final "ok N", or garbage).
std::optional<InterfaceLine> parse_interface_line(std::string_view text);

// Empty where there are no Unix sockets (Windows).
std::string socket_directory();
std::string socket_path();

// Creates `directory` (mode 0700) when missing and checks that it is a
// real folder of this user that nobody else may enter. Empty on success,
// else why not.
std::string prepare_private_directory(const std::string& directory);

}  // namespace kovra62386::sim_control
