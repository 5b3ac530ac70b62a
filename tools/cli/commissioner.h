// Random-address commissioning: gives every control gear without a short
// address the lowest free one, by the binary search of IEC 62386-102.
#ifndef KOVRA62386_TOOLS_CLI_COMMISSIONER_H
#define KOVRA62386_TOOLS_CLI_COMMISSIONER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bus_session.h"

namespace kovra62386::cli {

class Commissioner {
 public:
  struct Assignment {
    uint32_t random_address = 0;
    int short_address = 0;
  };
  struct Result {
    std::vector<int> already_used;  // short addresses present before
    std::vector<Assignment> assigned;
    int left_unaddressed = 0;  // gear found but not addressed (none free)
    std::vector<std::string> problems;
  };
  // Progress in words ("found gear 0x12AB34 -> short address 5").
  using Report = std::function<void(const std::string& message)>;
  // Called during the first pass over short addresses (done of 64).
  using ScanProgress = std::function<void(int done, int found)>;

  Commissioner(BusInterface& bus, Report report, ScanProgress scan_progress)
      : bus_(bus),
        report_(std::move(report)),
        scan_progress_(std::move(scan_progress)) {}

  // Runs the whole search. Throws CliError when the interface stops
  // transmitting or on Ctrl-C; the bus gets a TERMINATE on every path.
  Result run();

 private:
  void search();
  void start_initialisation();
  // The lowest random address still taking part, or nullopt when no gear
  // answers COMPARE any more.
  std::optional<uint32_t> find_lowest();
  void set_search_address(uint32_t address);
  bool compare();
  // Sends a special command; throws when the frame did not go out.
  BusReply special(uint8_t command, uint8_t data, bool twice = false);
  std::optional<int> lowest_free() const;

  BusInterface& bus_;
  Report report_;
  ScanProgress scan_progress_;
  std::set<int> used_;
  Result result_;
  int search_bytes_[3] = {-1, -1, -1};  // H, M, L as last sent
};

}  // namespace kovra62386::cli

#endif  // KOVRA62386_TOOLS_CLI_COMMISSIONER_H
