#include "commissioner.h"

#include <fmt/format.h>

#include <chrono>
#include <thread>

#include "exit_codes.h"
#include "gear_scanner.h"
#include "interrupt.h"

namespace kovra62386::cli {
namespace {

// Special commands: the address byte names the command, the second byte is
// its data.
constexpr uint8_t kTerminate = 0xA1;
constexpr uint8_t kInitialise = 0xA5;
constexpr uint8_t kRandomise = 0xA7;
constexpr uint8_t kCompare = 0xA9;
constexpr uint8_t kWithdraw = 0xAB;
constexpr uint8_t kSearchAddress[3] = {0xB1, 0xB3, 0xB5};  // H, M, L
constexpr uint8_t kProgramShortAddress = 0xB7;
constexpr uint8_t kVerifyShortAddress = 0xB9;

constexpr uint8_t kOnlyUnaddressed = 0xFF;  // INITIALISE data
constexpr uint8_t kDeleteShortAddress = 0xFF;
constexpr uint32_t kHighestRandomAddress = 0xFFFFFF;
// Gear may take this long to pick a new random address after RANDOMISE.
constexpr auto kRandomiseSettling = std::chrono::milliseconds(100);
// Gear sharing one random address get new ones this many times at most.
constexpr int kMaxRerandomise = 8;

uint8_t short_address_data(int address) {
  return static_cast<uint8_t>((address & 0x3F) << 1 | 1);
}

}  // namespace

BusReply Commissioner::special(uint8_t command, uint8_t data, bool twice) {
  const BusReply reply = bus_.send(ForwardFrame{{command, data}, twice});
  if (!reply.transmitted()) {
    throw CliError(ExitCode::kNotSent,
                   fmt::format("commissioning stopped: frame {:02X} {:02X} "
                               "failed: {}",
                               command, data, reply.explain()));
  }
  return reply;
}

Commissioner::Result Commissioner::run() {
  GearScanner scanner(bus_);
  for (const auto& gear : scanner.find_present(scan_progress_)) {
    used_.insert(gear.address);
    result_.already_used.push_back(gear.address);
  }
  report_(fmt::format("{} short address{} in use", used_.size(),
                      used_.size() == 1 ? "" : "es"));
  try {
    search();
  } catch (...) {
    // Leave no gear in initialisation state, whatever went wrong.
    try {
      bus_.send(kTerminate, 0x00);
    } catch (...) {
    }
    throw;
  }
  special(kTerminate, 0x00);
  return result_;
}

void Commissioner::start_initialisation() {
  special(kRandomise, 0x00, true);
  // Gear answer COMPARE only once their new random address is in place.
  std::this_thread::sleep_for(kRandomiseSettling);
  search_bytes_[0] = search_bytes_[1] = search_bytes_[2] = -1;
}

void Commissioner::search() {
  special(kTerminate, 0x00);
  special(kInitialise, kOnlyUnaddressed, true);
  start_initialisation();
  int rerandomised = 0;
  int failed_verifications = 0;
  for (;;) {
    Interrupt::check();
    const auto random = find_lowest();
    if (!random) break;
    const auto address = lowest_free();
    if (!address) {
      // Count what is left: withdraw each remaining gear in turn.
      ++result_.left_unaddressed;
      report_(
          fmt::format("gear 0x{:06X}: no free short address left", *random));
      special(kWithdraw, 0x00);
      continue;
    }
    special(kProgramShortAddress, short_address_data(*address));
    const BusReply verify =
        special(kVerifyShortAddress, short_address_data(*address));
    if (verify.kind == ReplyKind::kCollision) {
      // Several gear drew the same random address and all took the short
      // address: take it back and let them draw again.
      special(kProgramShortAddress, kDeleteShortAddress);
      if (++rerandomised > kMaxRerandomise) {
        result_.problems.push_back(fmt::format(
            "several gear keep drawing random address 0x{:06X}", *random));
        break;
      }
      report_(
          fmt::format("several gear share random address 0x{:06X}; "
                      "drawing new random addresses",
                      *random));
      start_initialisation();
      continue;
    }
    if (!verify.answered()) {
      // Not taken: withdraw the gear so the search moves on.
      ++failed_verifications;
      result_.problems.push_back(fmt::format(
          "gear 0x{:06X} did not confirm short address {}", *random, *address));
      ++result_.left_unaddressed;
      special(kWithdraw, 0x00);
      if (failed_verifications > 64) break;
      continue;
    }
    special(kWithdraw, 0x00);
    used_.insert(*address);
    result_.assigned.push_back({*random, *address});
    report_(
        fmt::format("gear 0x{:06X} -> short address {}", *random, *address));
  }
}

std::optional<uint32_t> Commissioner::find_lowest() {
  set_search_address(kHighestRandomAddress);
  if (!compare()) return std::nullopt;
  uint32_t low = 0;
  uint32_t high = kHighestRandomAddress;
  while (low < high) {
    Interrupt::check();
    const uint32_t middle = low + (high - low) / 2;
    set_search_address(middle);
    if (compare()) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  set_search_address(low);
  return low;
}

void Commissioner::set_search_address(uint32_t address) {
  for (int i = 0; i < 3; ++i) {
    const int byte = static_cast<int>(address >> (16 - 8 * i) & 0xFF);
    if (search_bytes_[i] != byte) {
      special(kSearchAddress[i], static_cast<uint8_t>(byte));
      search_bytes_[i] = byte;
    }
  }
}

bool Commissioner::compare() {
  // A collision means several gear said yes at once: still a yes.
  return special(kCompare, 0x00).kind != ReplyKind::kNoAnswer;
}

std::optional<int> Commissioner::lowest_free() const {
  for (int address = 0; address < 64; ++address) {
    if (used_.count(address) == 0) return address;
  }
  return std::nullopt;
}

}  // namespace kovra62386::cli
