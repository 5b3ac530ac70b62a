// An installation: the simulated buses and what is on each, as a person
// describes it in one JSON file (simulator/installation.example.json is
// the built-in installation written out):
//
//   {"interfaces": [
//     {"name": "SIM-1",
//      "gear": [{"short_address": 0, "device_type": 6, "level": 254,
//                "groups": [0], "scenes": {"0": 254, "1": 100},
//                "random_address": null, "answer_delay_ms": 6.5}, ...],
//      "control_devices": []}]}
//
// Per gear, every field may be left out (its default in brackets):
//   short_address        0-63, or null: none                       [null]
//   device_type          6 (LED module) or 8 (tunable white)       [6]
//   level                actual level 0-254                        [0]
//   min_level, max_level 1-254, physical_minimum <= min <= max     [1, 254]
//   physical_minimum     1-254                                     [1]
//   power_on_level, system_failure_level  0-255 (255: MASK)        [254]
//   fade_time 0-15 [0], fade_rate 1-15 [7]
//   groups               list of group numbers 0-15                [[]]
//   scenes               {"scene 0-15": level 0-255}               [{}]
//   random_address       0-0xFFFFFF (a number or a "0x..." text),
//                        or null: none                             [null]
//   answer_delay_ms      5.5-10.5, or null: drawn from the seed    [null]
//   seed                 the gear's RANDOMISE generator (two gear
//                        with one seed draw the same addresses)    [unique]
//   lamp_failure         true or false                             [false]
// and for device type 8, colour temperatures in mirek (1e6 / kelvin; the
// coolest light has the fewest):
//   colour_temperature_mirek  the actual one                       [250]
//   physical_coolest_mirek, physical_warmest_mirek  1-65534,
//                        coolest <= actual <= warmest              [153, 370]
// Unknown fields are errors, so a misspelt one does not go unnoticed.
// Per control device (input device), likewise:
//   short_address 0-63 or null [null]; device_groups 0-31 [[]];
//   random_address, answer_delay_ms, seed as for gear;
//   instances  [{"type": "push_button" | "occupancy" | "light_sensor" |
//              "absolute_input" | "generic", "enabled" [true],
//              "event_filter" 0-0xFFFFFF (0: the type's) [0],
//              "event_scheme": "instance" | "device" | "device_instance" |
//              "device_group" | "instance_group" ["instance"],
//              "event_priority" 2-5 [4]}]
//
// A real bus interface has "driver" and "port" (a tty path) or "host"
// (HOST:PORT of a network gateway) instead of gear; the server checks the
// driver's name:
//   {"name": "LAB", "driver": "sevenlab", "port": "/dev/ttyUSB0"}
//
// Files are untrusted: every error names the field, as in
// "interfaces[0].gear[2].min_level: 30 is below physical_minimum (40)".
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "simulator/control_device.h"
#include "simulator/control_gear.h"

namespace kovra62386::dali {

struct InterfaceDescription {
  std::string name;
  std::vector<GearConfig> gear;
  std::vector<ControlDeviceConfig> control_devices;
  // A real interface: its driver and where the driver finds it (the
  // "port" or "host"); both empty for a simulated bus.
  std::string driver;
  std::string where;

  bool real() const { return !driver.empty(); }
};

struct Installation {
  std::vector<InterfaceDescription> interfaces;
};

// What is wrong with an installation, naming the field.
class InstallationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// At most this many interfaces (an interface index is one byte, 255 is
// kept apart), names of at most this many bytes (an interface entry
// message holds at most 255 bytes), at most this many gear per bus, and
// files of at most this many bytes.
inline constexpr std::size_t kMaxInterfaces = 255;
inline constexpr std::size_t kMaxInterfaceName = 200;
inline constexpr std::size_t kMaxGearPerBus = 256;
inline constexpr std::size_t kMaxInstallationFile = 1 << 20;

// SIM-1 and SIM-2, each with SimulatedBus::default_configuration().
Installation default_installation();

// Parses and checks an installation; throws InstallationError.
Installation parse_installation(std::string_view json);
// Reads, parses and checks the file; throws InstallationError (whose text
// begins with the path).
Installation load_installation(const std::string& path);

}  // namespace kovra62386::dali
