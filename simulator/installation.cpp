#include "simulator/installation.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <utility>

#include "dali/bus_timing.h"
#include "simulator/simulated_bus.h"

namespace kovra62386::dali {
namespace {

using json = nlohmann::json;

[[noreturn]] void fail(const std::string& field, const std::string& what) {
  throw InstallationError(field + ": " + what);
}

// A value as the error shows it, cut short. Lists and objects are not
// written out: they may nest deeper than a recursive writer should go.
std::string shown(const json& value) {
  if (value.is_array()) return "a list";
  if (value.is_object()) return "an object";
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

uint64_t whole_number(const json& value, const std::string& field, uint64_t low,
                      uint64_t high) {
  const std::string range = "a whole number from " + std::to_string(low) +
                            " to " + std::to_string(high);
  if (value.is_number_unsigned() ||
      (value.is_number_integer() && value.get<int64_t>() >= 0)) {
    const auto number = value.get<uint64_t>();
    if (number >= low && number <= high) return number;
  }
  fail(field, "must be " + range + ", not " + shown(value));
}

uint8_t byte_in(const json& value, const std::string& field, unsigned low,
                unsigned high) {
  return static_cast<uint8_t>(whole_number(value, field, low, high));
}

const json& object_at(const json& value, const std::string& field) {
  if (!value.is_object()) fail(field, "must be an object, not " + shown(value));
  return value;
}

const json& array_at(const json& value, const std::string& field,
                     std::size_t max_size) {
  if (!value.is_array()) fail(field, "must be a list, not " + shown(value));
  if (value.size() > max_size) {
    fail(field, "has " + std::to_string(value.size()) + " entries; at most " +
                    std::to_string(max_size));
  }
  return value;
}

// A random address: 0-0xFFFFFF as a number or a "0x..." text; null: none.
uint32_t random_address_in(const json& v, const std::string& f) {
  if (v.is_null()) return kNoRandomAddress;
  if (v.is_string()) {
    const std::string text = v.get<std::string>();
    const bool hex = text.size() > 2 && text.size() <= 8 && text[0] == '0' &&
                     (text[1] == 'x' || text[1] == 'X') &&
                     std::all_of(text.begin() + 2, text.end(), [](char c) {
                       return std::isxdigit(static_cast<unsigned char>(c));
                     });
    if (!hex) {
      fail(f, "must be a number or a text \"0x\" and 1-6 hex digits, not " +
                  shown(v));
    }
    return static_cast<uint32_t>(std::stoul(text.substr(2), nullptr, 16));
  }
  return static_cast<uint32_t>(whole_number(v, f, 0, kNoRandomAddress));
}

// An answer delay in milliseconds within the window; null: drawn.
std::optional<std::chrono::microseconds> answer_delay_in(const json& v,
                                                         const std::string& f) {
  if (v.is_null()) return std::nullopt;
  const double low = timing::kAnswerDelay.min.count() / 1000.0;
  const double high = timing::kAnswerDelay.max.count() / 1000.0;
  if (!v.is_number() || !(v.get<double>() >= low) ||
      !(v.get<double>() <= high)) {
    fail(f,
         "must be a number of milliseconds from 5.5 to 10.5 (or null: "
         "drawn), not " +
             shown(v));
  }
  return std::chrono::microseconds(std::llround(v.get<double>() * 1000.0));
}

// ---- Gear ----

// One gear's fields as parsed, before the checks between fields.
struct GearDraft {
  GearConfig config;
  uint8_t device_type = 6;
  ColourTemperatureConfig colour;       // device type 8
  std::set<std::string> colour_fields;  // the colour fields given
};

uint16_t mirek(const json& value, const std::string& field, GearDraft& g) {
  g.colour_fields.insert(field);
  return static_cast<uint16_t>(
      whole_number(value, field, 1, colour::kMirekMask - 1));
}

using FieldParser =
    std::function<void(const json&, const std::string&, GearDraft&)>;

// Every field a gear may have, and how it is read. A new kind of gear adds
// its fields here.
const std::vector<std::pair<std::string, FieldParser>>& gear_fields() {
  static const std::vector<std::pair<std::string, FieldParser>> fields{
      {"short_address",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.short_address =
             v.is_null() ? kNoShortAddress : byte_in(v, f, 0, 63);
       }},
      {"device_type",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.device_type = byte_in(v, f, 0, 255);
         if (g.device_type != 6 && g.device_type != 8) {
           fail(f, shown(v) +
                       " is not simulated; 6 (LED module) and 8 (tunable "
                       "white) are");
         }
       }},
      // Device type 8: colour temperatures in mirek (1 000 000 / kelvin).
      {"colour_temperature_mirek",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.colour.colour_temperature = mirek(v, f, g);
       }},
      {"physical_coolest_mirek",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.colour.physical_coolest = mirek(v, f, g);
       }},
      {"physical_warmest_mirek",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.colour.physical_warmest = mirek(v, f, g);
       }},
      {"level",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.actual_level = byte_in(v, f, 0, 254);
       }},
      {"min_level",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.min_level = byte_in(v, f, 1, 254);
       }},
      {"max_level",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.max_level = byte_in(v, f, 1, 254);
       }},
      {"physical_minimum",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.physical_minimum = byte_in(v, f, 1, 254);
       }},
      {"power_on_level",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.power_on_level = byte_in(v, f, 0, 255);
       }},
      {"system_failure_level",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.system_failure_level = byte_in(v, f, 0, 255);
       }},
      {"fade_time",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.fade_time = byte_in(v, f, 0, 15);
       }},
      {"fade_rate",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.fade_rate = byte_in(v, f, 1, 15);
       }},
      {"groups",
       [](const json& v, const std::string& f, GearDraft& g) {
         array_at(v, f, 16);
         uint16_t groups = 0;
         for (std::size_t i = 0; i < v.size(); ++i) {
           const std::string at = f + "[" + std::to_string(i) + "]";
           const unsigned group = byte_in(v[i], at, 0, 15);
           if ((groups >> group) & 1)
             fail(at, "group " + shown(v[i]) + " twice");
           groups = static_cast<uint16_t>(groups | (1u << group));
         }
         g.config.groups = groups;
       }},
      {"scenes",
       [](const json& v, const std::string& f, GearDraft& g) {
         object_at(v, f);
         for (const auto& [key, level] : v.items()) {
           const std::string at = f + "." + key;
           unsigned scene = 16;
           if (!key.empty() && key.size() <= 2 &&
               std::all_of(key.begin(), key.end(),
                           [](char c) { return c >= '0' && c <= '9'; })) {
             scene = static_cast<unsigned>(std::stoul(key));
           }
           if (scene > 15) fail(at, "scenes are numbered 0 to 15");
           g.config.scenes[scene] = byte_in(level, at, 0, 255);
         }
       }},
      {"random_address",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.random_address = random_address_in(v, f);
       }},
      {"answer_delay_ms",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.answer_delay = answer_delay_in(v, f);
       }},
      {"seed",
       [](const json& v, const std::string& f, GearDraft& g) {
         g.config.seed = whole_number(v, f, 0, UINT64_MAX);
       }},
      {"lamp_failure",
       [](const json& v, const std::string& f, GearDraft& g) {
         if (!v.is_boolean()) fail(f, "must be true or false, not " + shown(v));
         g.config.lamp_failure = v.get<bool>();
       }},
  };
  return fields;
}

// The colour fields belong to device type 8, and the coolest colour has
// the fewest mirek.
void check_colour(GearDraft& g, const std::string& gear) {
  if (g.device_type != 8) {
    if (!g.colour_fields.empty()) {
      fail(*g.colour_fields.begin(), "only for device_type 8");
    }
    return;
  }
  const ColourTemperatureConfig& c = g.colour;
  if (c.physical_warmest < c.physical_coolest) {
    fail(gear + ".physical_warmest_mirek",
         std::to_string(c.physical_warmest) +
             " is below physical_coolest_mirek (" +
             std::to_string(c.physical_coolest) + ")");
  }
  if (c.colour_temperature < c.physical_coolest ||
      c.colour_temperature > c.physical_warmest) {
    fail(gear + ".colour_temperature_mirek",
         std::to_string(c.colour_temperature) +
             " is outside physical_coolest_mirek-physical_warmest_mirek (" +
             std::to_string(c.physical_coolest) + "-" +
             std::to_string(c.physical_warmest) + ")");
  }
  g.config.colour_temperature = c;
}

// The checks between fields, naming the field that breaks them.
void check_levels(const GearDraft& g, const std::string& gear) {
  const GearConfig& c = g.config;
  if (c.min_level < c.physical_minimum) {
    fail(gear + ".min_level", std::to_string(c.min_level) +
                                  " is below physical_minimum (" +
                                  std::to_string(c.physical_minimum) + ")");
  }
  if (c.max_level < c.min_level) {
    fail(gear + ".max_level", std::to_string(c.max_level) +
                                  " is below min_level (" +
                                  std::to_string(c.min_level) + ")");
  }
  if (c.actual_level != 0 &&
      (c.actual_level < c.min_level || c.actual_level > c.max_level)) {
    fail(gear + ".level", std::to_string(c.actual_level) +
                              " is outside min_level-max_level (" +
                              std::to_string(c.min_level) + "-" +
                              std::to_string(c.max_level) + ") and not 0");
  }
}

GearConfig parse_gear(const json& value, const std::string& field,
                      uint64_t default_seed) {
  object_at(value, field);
  GearDraft draft;
  draft.config.seed = default_seed;
  const auto& fields = gear_fields();
  for (const auto& [key, item] : value.items()) {
    const auto found =
        std::find_if(fields.begin(), fields.end(),
                     [&](const auto& f) { return f.first == key; });
    if (found == fields.end()) fail(field + "." + key, "unknown field");
    found->second(item, field + "." + key, draft);
  }
  check_levels(draft, field);
  check_colour(draft, field);
  return draft.config;
}

// ---- Control devices ----

// A name from `names` (its position is the value), as a person writes it.
template <typename Enum, std::size_t N>
Enum named(const json& v, const std::string& f,
           const std::array<const char*, N>& names) {
  std::string list;
  for (std::size_t i = 0; i < N; ++i) {
    if (v.is_string() && v.get<std::string>() == names[i]) {
      return static_cast<Enum>(i);
    }
    list += std::string(i == 0 ? "" : ", ") + "\"" + names[i] + "\"";
  }
  fail(f, "must be one of " + list + ", not " + shown(v));
}

constexpr std::array<const char*, 5> kInstanceTypes{
    "generic", "push_button", "absolute_input", "occupancy", "light_sensor"};
constexpr std::array<const char*, device::kEventSchemeCount> kEventSchemes{
    "instance", "device", "device_instance", "device_group", "instance_group"};

bool boolean_in(const json& v, const std::string& f) {
  if (!v.is_boolean()) fail(f, "must be true or false, not " + shown(v));
  return v.get<bool>();
}

InstanceConfig parse_instance(const json& value, const std::string& field) {
  object_at(value, field);
  InstanceConfig c;
  for (const auto& [key, v] : value.items()) {
    const std::string f = field + "." + key;
    if (key == "type") {
      c.type = named<device::InstanceType>(v, f, kInstanceTypes);
    } else if (key == "enabled") {
      c.enabled = boolean_in(v, f);
    } else if (key == "event_filter") {
      c.event_filter = static_cast<uint32_t>(whole_number(v, f, 0, 0xFFFFFF));
    } else if (key == "event_scheme") {
      c.event_scheme = named<device::EventScheme>(v, f, kEventSchemes);
    } else if (key == "event_priority") {
      c.event_priority = byte_in(v, f, 2, 5);
    } else {
      fail(f, "unknown field");
    }
  }
  return c;
}

ControlDeviceConfig parse_control_device(const json& value,
                                         const std::string& field,
                                         uint64_t default_seed) {
  object_at(value, field);
  ControlDeviceConfig c;
  c.seed = default_seed;
  for (const auto& [key, v] : value.items()) {
    const std::string f = field + "." + key;
    if (key == "short_address") {
      c.short_address = v.is_null() ? kNoShortAddress : byte_in(v, f, 0, 63);
    } else if (key == "device_groups") {
      array_at(v, f, 32);
      c.device_groups = 0;
      for (std::size_t i = 0; i < v.size(); ++i) {
        const std::string at = f + "[" + std::to_string(i) + "]";
        const unsigned group = byte_in(v[i], at, 0, 31);
        if ((c.device_groups >> group) & 1u) {
          fail(at, "group " + shown(v[i]) + " twice");
        }
        c.device_groups |= 1u << group;
      }
    } else if (key == "random_address") {
      c.random_address = random_address_in(v, f);
    } else if (key == "answer_delay_ms") {
      c.answer_delay = answer_delay_in(v, f);
    } else if (key == "seed") {
      c.seed = whole_number(v, f, 0, UINT64_MAX);
    } else if (key == "instances") {
      array_at(v, f, 32);
      for (std::size_t i = 0; i < v.size(); ++i) {
        c.instances.push_back(
            parse_instance(v[i], f + "[" + std::to_string(i) + "]"));
      }
    } else {
      fail(f, "unknown field");
    }
  }
  return c;
}

// ---- Interfaces ----

InterfaceDescription parse_interface(const json& value,
                                     const std::string& field,
                                     std::size_t index) {
  object_at(value, field);
  InterfaceDescription description;
  bool named = false;
  bool has_gear = false;    // a simulated bus
  bool has_device = false;  // a real interface
  for (const auto& [key, item] : value.items()) {
    const std::string at = field + "." + key;
    if (key == "name") {
      if (!item.is_string() || item.get<std::string>().empty()) {
        fail(at, "must be a text that is not empty, not " + shown(item));
      }
      description.name = item.get<std::string>();
      if (description.name.size() > kMaxInterfaceName) {
        fail(at,
             "is longer than " + std::to_string(kMaxInterfaceName) + " bytes");
      }
      named = true;
    } else if (key == "driver" || key == "port" || key == "host") {
      if (!item.is_string() || item.get<std::string>().empty()) {
        fail(at, "must be a text that is not empty, not " + shown(item));
      }
      if (key != "driver" && !description.where.empty()) {
        fail(at, "give \"port\" or \"host\", not both");
      }
      (key == "driver" ? description.driver : description.where) =
          item.get<std::string>();
      has_device = true;
    } else if (key == "gear") {
      has_gear = true;
      array_at(item, at, kMaxGearPerBus);
      for (std::size_t i = 0; i < item.size(); ++i) {
        // Gear without a seed of their own draw unlike every other gear.
        const uint64_t seed = (uint64_t{index + 1} << 32) | (i + 1);
        description.gear.push_back(
            parse_gear(item[i], at + "[" + std::to_string(i) + "]", seed));
      }
    } else if (key == "control_devices") {
      has_gear = true;
      array_at(item, at, kMaxGearPerBus);
      for (std::size_t i = 0; i < item.size(); ++i) {
        // Seeds apart from the gear's (bit 31 of the low half).
        const uint64_t seed =
            (uint64_t{index + 1} << 32) | 0x80000000u | (i + 1);
        description.control_devices.push_back(parse_control_device(
            item[i], at + "[" + std::to_string(i) + "]", seed));
      }
    } else {
      fail(at, "unknown field");
    }
  }
  if (!named) fail(field + ".name", "missing");
  if (has_device) {
    if (has_gear) fail(field, "a real interface (\"driver\") has no gear");
    if (description.driver.empty()) fail(field + ".driver", "missing");
    if (description.where.empty()) fail(field + ".port", "missing");
  }
  return description;
}

}  // namespace

Installation default_installation() {
  Installation installation;
  for (const char* name : {"SIM-1", "SIM-2"}) {
    installation.interfaces.push_back({name,
                                       SimulatedBus::default_configuration(),
                                       SimulatedBus::default_control_devices(),
                                       {},
                                       {}});
  }
  return installation;
}

Installation parse_installation(std::string_view text) {
  json document;
  try {
    document = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& error) {
    // The library's message names the byte where reading stopped.
    throw InstallationError(std::string("not valid JSON: ") + error.what());
  }
  object_at(document, "(top level)");
  Installation installation;
  bool listed = false;
  for (const auto& [key, item] : document.items()) {
    if (key != "interfaces") fail(key, "unknown field");
    array_at(item, key, kMaxInterfaces);
    if (item.empty()) fail(key, "must name at least one interface");
    std::set<std::string> names;
    for (std::size_t i = 0; i < item.size(); ++i) {
      const std::string at = "interfaces[" + std::to_string(i) + "]";
      InterfaceDescription description = parse_interface(item[i], at, i);
      if (!names.insert(description.name).second) {
        fail(at + ".name", "\"" + description.name + "\" names two interfaces");
      }
      installation.interfaces.push_back(std::move(description));
    }
    listed = true;
  }
  if (!listed) fail("interfaces", "missing");
  return installation;
}

Installation load_installation(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw InstallationError(path + ": cannot be read");
  std::string text;
  text.resize(kMaxInstallationFile + 1);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxInstallationFile) {
    throw InstallationError(path + ": larger than " +
                            std::to_string(kMaxInstallationFile) + " bytes");
  }
  try {
    return parse_installation(text);
  } catch (const InstallationError& error) {
    throw InstallationError(path + ": " + error.what());
  }
}

}  // namespace kovra62386::dali
