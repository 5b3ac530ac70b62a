#include "cli/dali_words.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace kovra62386::cli {

std::string device_type_name(uint8_t type) {
  static constexpr const char* kNames[] = {
      "fluorescent lamp",    "emergency lighting",  "HID lamp",
      "low-voltage halogen", "incandescent dimmer", "1-10 V conversion",
      "LED module",          "switching function",  "colour control",
      "sequencer",           "optical control"};
  if (type < std::size(kNames)) return kNames[type];
  if (type == 0xFF) return "several device types";
  if (type == 0xFE) return "no further device type";
  return fmt::format("device type {}", type);
}

std::string status_text(uint8_t status) {
  static constexpr const char* kBits[] = {
      "gear failure", "lamp failure", "lamp on",          "limit error",
      "fade running", "reset state",  "no short address", "power cycle seen"};
  std::vector<std::string> words;
  for (int bit = 0; bit < 8; ++bit) {
    if ((status >> bit & 1) != 0) words.emplace_back(kBits[bit]);
  }
  if ((status & 0x04) == 0) words.insert(words.begin(), "lamp off");
  return fmt::format("{}", fmt::join(words, ", "));
}

std::vector<int> group_list(uint16_t mask) {
  std::vector<int> groups;
  for (int g = 0; g < 16; ++g) {
    if ((mask >> g & 1) != 0) groups.push_back(g);
  }
  return groups;
}

std::string group_text(uint16_t mask) {
  const auto groups = group_list(mask);
  if (groups.empty()) return "-";
  return fmt::format("{}", fmt::join(groups, ", "));
}

std::string level_text(uint8_t level) {
  if (level == 0xFF) return "MASK (unknown)";
  return std::to_string(level);
}

bool is_yes_no_query(uint8_t opcode) {
  switch (opcode) {
    case 0x91:  // CONTROL GEAR PRESENT
    case 0x92:  // LAMP FAILURE
    case 0x93:  // LAMP POWER ON
    case 0x94:  // LIMIT ERROR
    case 0x95:  // RESET STATE
    case 0x96:  // MISSING SHORT ADDRESS
    case 0x9B:  // POWER FAILURE
    case 0xA6:  // MANUFACTURER SPECIFIC MODE
    case 0xAA:  // CONTROL GEAR FAILURE
      return true;
    default:
      return false;
  }
}

std::string answer_meaning(uint8_t opcode, uint8_t answer) {
  if (is_yes_no_query(opcode)) return answer == 0xFF ? "yes" : "";
  switch (opcode) {
    case 0x90:
      return "status: " + status_text(answer);
    case 0x97:
      return fmt::format("version {}.{}", answer >> 2, answer & 0x03);
    case 0x99:
      return "device type: " + device_type_name(answer);
    case 0xA0:
      return "actual level " + level_text(answer);
    case 0xA1:
      return "max level " + level_text(answer);
    case 0xA2:
      return "min level " + level_text(answer);
    case 0xA3:
      return "power-on level " + level_text(answer);
    case 0xA4:
      return "system-failure level " + level_text(answer);
    case 0xA5:
      return fmt::format("fade time {}, fade rate {}", answer >> 4,
                         answer & 0x0F);
    case 0xC0:
      return "groups 0-7: " + group_text(answer);
    case 0xC1:
      return "groups 8-15: " + group_text(static_cast<uint16_t>(answer << 8));
    default:
      break;
  }
  if (opcode >= 0xB0 && opcode <= 0xBF) {
    return fmt::format("scene {} level {}", opcode - 0xB0,
                       answer == 0xFF ? std::string("MASK (not in scene)")
                                      : std::to_string(answer));
  }
  return "";
}

}  // namespace kovra62386::cli
