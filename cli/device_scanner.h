// Finds the control devices (IEC 62386-103 input devices) on a bus by
// short address and reads their instances, for `scan`.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
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

// The instance types of control devices, asked once per instance when an
// event names the device and instance number but not the type (`monitor`,
// `bridge`). Bounded by the 64 devices of 32 instances a bus can hold.
class InstanceTypeCache {
 public:
  explicit InstanceTypeCache(BusInterface& bus) : bus_(bus) {}

  // Known without asking, e.g. from a scan.
  void remember(uint8_t address, uint8_t instance, std::optional<uint8_t> type);
  // nullopt when the device does not answer or the frame was not sent.
  std::optional<uint8_t> operator()(uint8_t address, uint8_t instance);

 private:
  BusInterface& bus_;
  std::map<std::pair<uint8_t, uint8_t>, std::optional<uint8_t>> known_;
};

void print_control_device_table(const std::vector<ControlDeviceInfo>& devices);

}  // namespace kovra62386::cli
