// Home Assistant MQTT discovery: the retained config of each gear, group
// and control device instance the bridge publishes, under
// {discovery}/light/{unique_id}/config and
// {discovery}/event/{unique_id}/config.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "cli/bridge/topics.h"

namespace kovra62386::cli::bridge {

struct DiscoveryMessage {
  std::string topic;
  nlohmann::json config;
};

// One gear as the scan found it.
struct GearIdentity {
  std::string interface_name;
  uint8_t short_address = 0;
  std::optional<uint32_t> random_address;  // 24 bits; keeps the entity
                                           // across re-addressing
  uint8_t device_type = 0;                 // 255: several
  bool colour_temperature = false;         // device type 8 Tc
  std::optional<uint16_t> physical_coolest_mirek;
  std::optional<uint16_t> physical_warmest_mirek;
};

// One instance of a control device (IEC 62386-103).
struct DeviceInstanceIdentity {
  std::string interface_name;
  uint8_t short_address = 0;
  std::optional<uint32_t> random_address;
  uint8_t instance = 0;
  uint8_t instance_type = 0;
};

// unique_id: node, interface and the random address (else the short
// address), each written so that no two different triples give one id and
// the id is a valid discovery topic level ([A-Za-z0-9_-]).
std::string gear_unique_id(std::string_view node, const GearIdentity& gear);
std::string group_unique_id(std::string_view node,
                            std::string_view interface_name, uint8_t group);
std::string device_instance_unique_id(std::string_view node,
                                      const DeviceInstanceIdentity& instance);

DiscoveryMessage gear_discovery(const TopicScheme& topics,
                                std::string_view discovery_prefix,
                                const GearIdentity& gear);
DiscoveryMessage group_discovery(const TopicScheme& topics,
                                 std::string_view discovery_prefix,
                                 std::string_view interface_name,
                                 uint8_t group);
DiscoveryMessage device_instance_discovery(
    const TopicScheme& topics, std::string_view discovery_prefix,
    const DeviceInstanceIdentity& instance);

}  // namespace kovra62386::cli::bridge
