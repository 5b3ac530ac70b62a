// `colour`: set the colour temperature of tunable white gear (device type
// 8) the way a tunable-white controller does: the value in mirek through
// DTR0/DTR1, SET TEMPORARY COLOUR TEMPERATURE, then ACTIVATE.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cctype>

#include "cli/arguments.h"
#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/dali_words.h"
#include "cli/gear_scanner.h"
#include "dali/dali_commands.h"

namespace kovra62386::cli {
namespace {

namespace tc = dali::colour;

// What lamps offer, with room to spare; anything outside is a typing error.
constexpr long kMinKelvin = 1000;
constexpr long kMaxKelvin = 20000;

long parse_kelvin(std::string text) {
  if (!text.empty() &&
      std::tolower(static_cast<unsigned char>(text.back())) == 'k') {
    text.pop_back();
  }
  const auto value = try_parse_number(text);
  if (!value || *value < kMinKelvin || *value > kMaxKelvin) {
    throw CliError(ExitCode::kUsage,
                   fmt::format("the colour temperature must be a whole number "
                               "of kelvin from {} to {} (e.g. 3000), not '{}'",
                               kMinKelvin, kMaxKelvin, text));
  }
  return *value;
}

// A short address must hold colour control gear; groups and broadcast reach
// whichever gear are there.
void require_colour_gear(GearScanner& scanner, const DaliAddress& address) {
  if (address.kind != DaliAddress::Kind::kShort) return;
  if (!scanner.query(address.index, dali::gear::kQueryControlGearPresent)) {
    throw CliError(
        ExitCode::kNoAnswer,
        fmt::format("no control gear answers at {}", address.text()));
  }
  const auto type = scanner.query(address.index, dali::gear::kQueryDeviceType);
  if (type && *type != tc::kDeviceType && *type != 0xFF) {
    throw CliError(
        ExitCode::kNoAnswer,
        fmt::format("{} is {} (device type {}), not colour control gear "
                    "(device type 8): it has no colour temperature",
                    address.text(), device_type_name(*type), *type));
  }
}

}  // namespace

ExitCode run_colour(const Context& context, const std::string& interface_name,
                    const std::string& address_text,
                    const std::string& kelvin_text) {
  const DaliAddress address = parse_address(address_text);
  const long kelvin = parse_kelvin(kelvin_text);
  const uint16_t mirek = tc::mirek_from_kelvin(static_cast<unsigned>(kelvin));

  const Session session = open_session();
  BusInterface bus(session, interface_name);
  GearScanner scanner(bus);
  require_colour_gear(scanner, address);

  const uint8_t target = address.command_byte();
  const std::vector<std::pair<uint8_t, uint8_t>> frames = {
      {dali::special::kDtr0, static_cast<uint8_t>(mirek & 0xFF)},
      {dali::special::kDtr1, static_cast<uint8_t>(mirek >> 8)},
      {dali::special::kEnableDeviceType, tc::kDeviceType},
      {target, tc::kSetTemporaryColourTemperature},
      {dali::special::kEnableDeviceType, tc::kDeviceType},
      {target, tc::kActivate},
  };
  std::vector<std::string> sent;
  for (const auto& [first, second] : frames) {
    scanner.command(first, second, address.index);
    sent.push_back(hex_bytes({first, second}));
  }
  // Read back what a single gear made of it: it keeps to its limits.
  std::optional<uint16_t> now;
  if (address.kind == DaliAddress::Kind::kShort) {
    now = scanner.colour_value(address.index, tc::kValueColourTemperature);
  }

  if (context.json) {
    nlohmann::json j;
    j["interface"] = interface_name;
    j["address"] = address.key();
    j["kelvin"] = kelvin;
    j["mirek"] = mirek;
    j["frames"] = sent;
    j["readback"] =
        now ? nlohmann::json{{"mirek", *now},
                             {"kelvin", tc::kelvin_from_mirek(*now)}}
            : nlohmann::json(nullptr);
    print_json(j);
  } else {
    fmt::print("{}: {} set to {} K ({} mirek); frames {}\n", interface_name,
               address.text(), kelvin, mirek, fmt::join(sent, ", "));
    if (now) {
      fmt::print("colour temperature now {}\n", colour_text(*now));
      if (*now != mirek) {
        fmt::print("note: the gear keeps to its colour temperature limits\n");
      }
    }
  }
  return ExitCode::kOk;
}

}  // namespace kovra62386::cli
