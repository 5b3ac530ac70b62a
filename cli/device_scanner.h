// Finds the control devices (IEC 62386-103 input devices) on a bus by
// short address and reads their instances, for `scan`.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "cli/bus.h"

namespace kovra62386::cli {

struct ControlDeviceInfo {
  int address = 0;
  bool shared = false;  // several devices answered at once on this address
  std::optional<uint8_t> status;
  std::vector<std::optional<uint8_t>> instance_types;  // by instance number

  nlohmann::json to_json() const;
};

// One QUERY DEVICE STATUS per short address (24-bit frames), then the
// number and types of each present device's instances. Throws CliError
// when the interface stops transmitting, or on Ctrl-C.
std::vector<ControlDeviceInfo> find_control_devices(
    BusInterface& bus,
    const std::function<void(int done, int found)>& progress);

void print_control_device_table(const std::vector<ControlDeviceInfo>& devices);

}  // namespace kovra62386::cli
