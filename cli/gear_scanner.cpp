#include "cli/gear_scanner.h"

#include <fmt/format.h>

#include "cli/dali_words.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "dali/dali_commands.h"

namespace kovra62386::cli {
namespace {

uint8_t query_byte(int address) {
  return Address::short_address(static_cast<unsigned>(address)).command_byte();
}

void require_transmitted(const BusReply& reply, int address) {
  if (!reply.transmitted()) {
    throw CliError(ExitCode::kNotSent,
                   fmt::format("querying short address {} failed: {}", address,
                               reply.explain()));
  }
}

}  // namespace

nlohmann::json GearInfo::to_json() const {
  nlohmann::json j;
  j["address"] = address;
  j["several_gear"] = shared;
  j["level"] = level ? nlohmann::json(*level) : nlohmann::json(nullptr);
  if (device_type) {
    j["device_type"] = *device_type;
    j["device_type_name"] = device_type_name(*device_type);
  } else {
    j["device_type"] = nullptr;
  }
  j["groups"] =
      groups ? nlohmann::json(group_list(*groups)) : nlohmann::json(nullptr);
  if (status) {
    j["status"] = *status;
    j["status_text"] = status_text(*status);
  } else {
    j["status"] = nullptr;
  }
  if (colour_mirek) {
    j["colour_temperature"] = {
        {"mirek", *colour_mirek},
        {"kelvin", dali::colour::kelvin_from_mirek(*colour_mirek)}};
  } else {
    j["colour_temperature"] = nullptr;
  }
  return j;
}

std::vector<GearInfo> GearScanner::find_present(const Progress& progress) {
  std::vector<GearInfo> found;
  for (int address = 0; address < 64; ++address) {
    if (auto gear = find_at(address)) found.push_back(*gear);
    if (progress) progress(address + 1, static_cast<int>(found.size()));
  }
  return found;
}

std::optional<GearInfo> GearScanner::find_at(int address) {
  Interrupt::check();
  // Every gear answers QUERY STATUS: its answer proves the gear is there
  // and is one of the values shown, one query fewer per gear than QUERY
  // CONTROL GEAR PRESENT and QUERY STATUS after it.
  const BusReply reply =
      bus_.send(query_byte(address), dali::gear::kQueryStatus);
  require_transmitted(reply, address);
  if (reply.status == SendStatus::no_answer) return std::nullopt;
  GearInfo gear;
  gear.address = address;
  gear.shared = reply.status == SendStatus::framing_error;
  gear.status = reply.answer_byte();
  return gear;
}

std::optional<uint8_t> GearScanner::query(int address, uint8_t opcode) {
  Interrupt::check();
  const BusReply reply = bus_.send(query_byte(address), opcode);
  require_transmitted(reply, address);
  return reply.answer_byte();
}

void GearScanner::command(uint8_t address_byte, uint8_t second_byte,
                          int address) {
  Interrupt::check();
  require_transmitted(bus_.send(address_byte, second_byte), address);
}

std::optional<uint16_t> GearScanner::colour_value(int address,
                                                  uint8_t selector) {
  using namespace dali::colour;
  command(dali::special::kDtr0, selector, address);
  command(dali::special::kEnableDeviceType, kDeviceType, address);
  const auto high = query(address, kQueryColourValue);
  if (!high) return std::nullopt;
  const auto low = query(address, dali::gear::kQueryContentDtr0);
  if (!low) return std::nullopt;
  const auto value = static_cast<uint16_t>(*high << 8 | *low);
  if (value == kMirekMask) return std::nullopt;
  return value;
}

void GearScanner::read_details(GearInfo& gear) {
  gear.level = query(gear.address, dali::gear::kQueryActualLevel);
  gear.device_type = query(gear.address, dali::gear::kQueryDeviceType);
  const auto low = query(gear.address, dali::gear::kQueryGroups0To7);
  const auto high = query(gear.address, dali::gear::kQueryGroups8To15);
  if (low || high) {
    gear.groups =
        static_cast<uint16_t>(high.value_or(0) << 8 | low.value_or(0));
  }
  if (gear.device_type == dali::colour::kDeviceType && !gear.shared) {
    gear.colour_mirek =
        colour_value(gear.address, dali::colour::kValueColourTemperature);
  }
}

std::string colour_text(uint16_t mirek) {
  return fmt::format("{} K ({} mirek)", dali::colour::kelvin_from_mirek(mirek),
                     mirek);
}

void print_gear_table(const std::vector<GearInfo>& gear) {
  fmt::print("  {:>4}  {:<14}  {:<22}  {:<12}  {:<8}  {}\n", "Addr", "Level",
             "Device type", "Groups", "Colour", "Status");
  for (const auto& g : gear) {
    const std::string type =
        g.device_type ? fmt::format("{} ({})", device_type_name(*g.device_type),
                                    *g.device_type)
                      : "?";
    std::string status = g.status ? status_text(*g.status) : "?";
    if (g.shared) status = "SEVERAL GEAR ANSWER; " + status;
    const std::string colour =
        g.colour_mirek
            ? fmt::format("{} K",
                          dali::colour::kelvin_from_mirek(*g.colour_mirek))
            : "-";
    fmt::print("  {:>4}  {:<14}  {:<22}  {:<12}  {:<8}  {}\n", g.address,
               g.level ? level_text(*g.level) : "?", type,
               g.groups ? group_text(*g.groups) : "?", colour, status);
  }
}

}  // namespace kovra62386::cli
