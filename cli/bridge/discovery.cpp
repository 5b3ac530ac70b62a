#include "cli/bridge/discovery.h"

#include <cstdio>

#include "cli/bridge/messages.h"
#include "dali/answers.h"
#include "dali/device_commands.h"

namespace kovra62386::cli::bridge {
namespace {

using nlohmann::json;
namespace device = dali::device;

// Letters, digits and '-' stay; every other byte, '_' among them, becomes
// '_' and two hex digits. '_' then joins the parts unambiguously.
std::string id_part(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string part;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
        (b >= '0' && b <= '9') || b == '-') {
      part += c;
    } else {
      part += '_';
      part += kDigits[b >> 4];
      part += kDigits[b & 0x0F];
    }
  }
  return part;
}

std::string id_base(std::string_view node, std::string_view interface_name) {
  return "kovra62386_" + id_part(node) + "_" + id_part(interface_name);
}

// "r0a1b2c" for a random address, "a5" for a short address.
std::string address_part(std::optional<uint32_t> random_address,
                         uint8_t short_address) {
  if (random_address) {
    char text[8];
    std::snprintf(text, sizeof text, "r%06x", *random_address & 0xFFFFFFu);
    return text;
  }
  return "a" + std::to_string(short_address);
}

// Both the node and the interface must be up for a command to reach a bus.
json availability(const TopicScheme& topics, std::string_view interface_name) {
  return json::array(
      {json{{"topic", topics.node_status()}},
       json{{"topic", topics.interface_status(interface_name)}}});
}

json light_config(const TopicScheme& topics, std::string_view interface_name,
                  const std::string& unique_id,
                  const std::string& command_topic,
                  const std::string& state_topic) {
  return json{{"unique_id", unique_id},
              {"name", nullptr},  // the entity is its device's main feature
              {"schema", "json"},
              {"command_topic", command_topic},
              {"state_topic", state_topic},
              {"brightness", true},
              {"brightness_scale", 254},
              {"supported_color_modes", json::array({"brightness"})},
              {"availability", availability(topics, interface_name)},
              {"availability_mode", "all"}};
}

json event_types(uint8_t instance_type) {
  switch (static_cast<device::InstanceType>(instance_type)) {
    case device::InstanceType::PushButton:
      return json::array({"pressed", "released", "short_press", "double_press",
                          "long_press_start", "long_press_repeat",
                          "long_press_stop", "stuck", "free"});
    case device::InstanceType::Occupancy:
      return json::array({"occupied", "vacant"});
    case device::InstanceType::LightSensor:
      return json::array({"illuminance"});
    default:
      return json::array({"other"});
  }
}

}  // namespace

std::string gear_unique_id(std::string_view node, const GearIdentity& gear) {
  return id_base(node, gear.interface_name) + "_gear_" +
         address_part(gear.random_address, gear.short_address);
}

std::string group_unique_id(std::string_view node,
                            std::string_view interface_name, uint8_t group) {
  return id_base(node, interface_name) + "_group_" + std::to_string(group);
}

std::string device_instance_unique_id(std::string_view node,
                                      const DeviceInstanceIdentity& instance) {
  return id_base(node, instance.interface_name) + "_device_" +
         address_part(instance.random_address, instance.short_address) + "_i" +
         std::to_string(instance.instance);
}

DiscoveryMessage gear_discovery(const TopicScheme& topics,
                                std::string_view discovery_prefix,
                                const GearIdentity& gear) {
  const std::string id = gear_unique_id(topics.node(), gear);
  json config =
      light_config(topics, gear.interface_name, id,
                   topics.gear_set(gear.interface_name, gear.short_address),
                   topics.gear_state(gear.interface_name, gear.short_address));
  if (gear.colour_temperature) {
    config["supported_color_modes"] = json::array({"color_temp"});
    // Coolest is the fewest mireds.
    if (gear.physical_coolest_mirek)
      config["min_mireds"] = *gear.physical_coolest_mirek;
    if (gear.physical_warmest_mirek)
      config["max_mireds"] = *gear.physical_warmest_mirek;
  }
  config["device"] = json{{"identifiers", json::array({id})},
                          {"name", gear.interface_name + " gear " +
                                       std::to_string(gear.short_address)},
                          {"model", dali::device_type_name(gear.device_type)},
                          {"manufacturer", "DALI control gear"}};
  return {std::string(discovery_prefix) + "/light/" + id + "/config",
          std::move(config)};
}

DiscoveryMessage group_discovery(const TopicScheme& topics,
                                 std::string_view discovery_prefix,
                                 std::string_view interface_name,
                                 uint8_t group) {
  const std::string id = group_unique_id(topics.node(), interface_name, group);
  json config = light_config(topics, interface_name, id,
                             topics.group_set(interface_name, group),
                             topics.group_state(interface_name, group));
  config["device"] = json{
      {"identifiers", json::array({id})},
      {"name", std::string(interface_name) + " group " + std::to_string(group)},
      {"model", "DALI group"}};
  return {std::string(discovery_prefix) + "/light/" + id + "/config",
          std::move(config)};
}

DiscoveryMessage device_instance_discovery(
    const TopicScheme& topics, std::string_view discovery_prefix,
    const DeviceInstanceIdentity& instance) {
  const std::string id = device_instance_unique_id(topics.node(), instance);
  const std::string k = std::to_string(instance.instance);
  json config{
      {"unique_id", id},
      {"name", instance_type_key(instance.instance_type) + " " + k},
      {"state_topic",
       topics.device_event(instance.interface_name, instance.short_address)},
      {"event_types", event_types(instance.instance_type)},
      // One topic carries every instance of the device: keep this one's.
      {"value_template",
       "{% if value_json.instance == " + k +
           " %}{{ {'event_type': value_json.event} | tojson }}{% endif %}"},
      {"availability", availability(topics, instance.interface_name)},
      {"availability_mode", "all"},
      {"device",
       json{{"identifiers",
             json::array({id_base(topics.node(), instance.interface_name) +
                          "_device_" +
                          address_part(instance.random_address,
                                       instance.short_address)})},
            {"name", instance.interface_name + " device " +
                         std::to_string(instance.short_address)},
            {"model", "DALI control device"}}}};
  if (instance.instance_type ==
      static_cast<uint8_t>(device::InstanceType::PushButton)) {
    config["device_class"] = "button";
  } else if (instance.instance_type ==
             static_cast<uint8_t>(device::InstanceType::Occupancy)) {
    config["device_class"] = "motion";
  }
  return {std::string(discovery_prefix) + "/event/" + id + "/config",
          std::move(config)};
}

}  // namespace kovra62386::cli::bridge
