// Random-address commissioning: gives every control gear without a short
// address one of the free short addresses, over any transport that carries
// one forward frame and reports the bus's response (the simulated bus
// directly, or an interface through the library).
//
// The search: TERMINATE, INITIALISE (gear without a short address),
// RANDOMISE, then repeatedly a binary search with SEARCHADDRH/M/L and
// COMPARE for the lowest random address, PROGRAM SHORT ADDRESS, VERIFY
// SHORT ADDRESS and WITHDRAW, until COMPARE at 0xFFFFFF stays silent. Any
// backward frame or collision counts as "yes".
//
// Gear that drew the same random address answer as one and get the same
// short address. So each new address is checked afterwards: INITIALISE for
// that short address alone, RANDOMISE, and search again; every gear found
// after the first gets an address of its own.
//
// Control devices have a search of their own with the same steps on 24-bit
// frames (IEC 62386-103) and short addresses apart from the gear's:
// commission_devices().
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dali/bus_response.h"

namespace kovra62386::dali {

// Sends one 16-bit forward frame (twice when `send_twice`) and returns the
// bus's response to it (for a frame sent twice, to the second). Any
// transport failure is reported as NotTransmitted.
using Transact =
    std::function<BusResponse(uint8_t address_byte, uint8_t data, bool twice)>;

// The same for a 24-bit frame to control devices.
using DeviceTransact =
    std::function<BusResponse(std::array<uint8_t, 3> frame, bool twice)>;

struct CommissioningProgress {
  enum class Stage : uint8_t { Scanning, Searching, Verifying, Done };
  Stage stage = Stage::Scanning;
  unsigned step = 0;      // Scanning: addresses probed (of 64)
  unsigned assigned = 0;  // short addresses given so far
  unsigned transactions = 0;
};

struct CommissioningOptions {
  // Check each new address for gear that shared a random address (costs
  // about one more search per gear).
  bool verify_unique = true;
  std::function<void(const CommissioningProgress&)> progress;
};

struct CommissioningResult {
  bool ok = true;
  std::string error;                  // why it stopped, when !ok
  std::vector<uint8_t> already_used;  // short addresses found in use
  std::vector<uint8_t> assigned;      // new short addresses, in order given
  unsigned left_without_address = 0;  // found, but all 64 addresses in use
  unsigned transactions = 0;
};

CommissioningResult commission(const Transact& transact,
                               const CommissioningOptions& options = {});
CommissioningResult commission_devices(
    const DeviceTransact& transact, const CommissioningOptions& options = {});

}  // namespace kovra62386::dali
