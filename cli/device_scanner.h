// Finds the control devices (IEC 62386-103 input devices) on a bus by
// short address and reads their instances, for `scan`.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
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

struct ControlDeviceScan {
  std::vector<ControlDeviceInfo> devices;
  // Why no control device was asked, when the interface did not send the
  // first 24-bit frame (some interfaces send 16-bit frames only); empty
  // when they were.
  std::string not_sent;
};

// One QUERY DEVICE STATUS per short address (24-bit frames), then the
// number and types of each present device's instances. An interface that
// does not send the first one is reported in `not_sent`, not as an error,
// so that the gear found before still count. Throws CliError when the
// interface stops transmitting later, or on Ctrl-C.
ControlDeviceScan find_control_devices(
    BusInterface& bus,
    const std::function<void(int done, int found)>& progress);

void print_control_device_table(const std::vector<ControlDeviceInfo>& devices);

}  // namespace kovra62386::cli
