// Finds the control gear on a bus by short address and reads what the tool
// shows about each: level, device type, groups, status.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "cli/bus.h"

namespace kovra62386::cli {

struct GearInfo {
  int address = 0;
  bool shared = false;  // several gear answered at once on this address
  std::optional<uint8_t> level;
  std::optional<uint8_t> device_type;
  std::optional<uint16_t> groups;
  std::optional<uint8_t> status;
  std::optional<uint16_t> colour_mirek;  // tunable white gear only

  nlohmann::json to_json() const;
};

class GearScanner {
 public:
  // Called after each address with the addresses done (of 64) and the gear
  // found so far.
  using Progress = std::function<void(int done, int found)>;

  explicit GearScanner(BusInterface& bus) : bus_(bus) {}

  // One QUERY STATUS per short address, which also gives each gear's
  // status. Throws CliError when the interface stops transmitting, or on
  // Ctrl-C.
  std::vector<GearInfo> find_present(const Progress& progress = {});
  // The same for one short address: nullopt when no gear answers.
  std::optional<GearInfo> find_at(int address);
  // Fills in level, device type and groups of a present gear, and the
  // colour temperature of colour control gear: with the status, the floor
  // of a scan is one query per short address, four per gear and four
  // frames more per colour gear.
  void read_details(GearInfo& gear);

  // A 16-bit colour value (QUERY COLOUR VALUE with `selector` in DTR0):
  // its high byte is the answer, its low byte lands in DTR0. nullopt when
  // the gear does not answer or has no such value (MASK).
  std::optional<uint16_t> colour_value(int address, uint8_t selector);

  // Sends a query to a short address; nullopt when nobody answered (or
  // several did). Throws CliError(kNotSent) when the frame did not go out.
  std::optional<uint8_t> query(int address, uint8_t opcode);
  // Sends a frame that is not answered (a DTR, ENABLE DEVICE TYPE); throws
  // CliError(kNotSent) when it did not go out.
  void command(uint8_t address_byte, uint8_t second_byte, int address);

 private:
  BusInterface& bus_;
};

// "3000 K (333 mirek)".
std::string colour_text(uint16_t mirek);

// The table of `scan` and `tour`.
void print_gear_table(const std::vector<GearInfo>& gear);

}  // namespace kovra62386::cli
