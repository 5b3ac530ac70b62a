// Finds the control gear on a bus by short address and reads what the tool
// shows about each: level, device type, groups, status.
#ifndef KOVRA62386_TOOLS_CLI_GEAR_SCANNER_H
#define KOVRA62386_TOOLS_CLI_GEAR_SCANNER_H

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "bus_session.h"

namespace kovra62386::cli {

struct GearInfo {
  int address = 0;
  bool shared = false;  // several gear answered at once on this address
  std::optional<uint8_t> level;
  std::optional<uint8_t> device_type;
  std::optional<uint16_t> groups;
  std::optional<uint8_t> status;

  nlohmann::json to_json() const;
};

class GearScanner {
 public:
  // Called after each address with the addresses done (of 64) and the gear
  // found so far.
  using Progress = std::function<void(int done, int found)>;

  explicit GearScanner(BusInterface& bus) : bus_(bus) {}

  // One QUERY CONTROL GEAR PRESENT per short address. Throws CliError when
  // the interface stops transmitting, or on Ctrl-C.
  std::vector<GearInfo> find_present(const Progress& progress = {});
  // Fills in level, device type, groups and status of a present gear.
  void read_details(GearInfo& gear);

  // Sends a query to a short address; nullopt when nobody answered (or
  // several did). Throws CliError(kNotSent) when the frame did not go out.
  std::optional<uint8_t> query(int address, uint8_t opcode);

 private:
  BusInterface& bus_;
};

// The table of `scan` and `tour`.
void print_gear_table(const std::vector<GearInfo>& gear);

}  // namespace kovra62386::cli

#endif  // KOVRA62386_TOOLS_CLI_GEAR_SCANNER_H
