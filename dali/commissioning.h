// Random-address commissioning: gives every control gear without a short
// address one of the free short addresses, over any transport that carries
// one forward frame and reports the bus's response (the simulated bus
// directly, or an interface through the library).
//
// The search: TERMINATE, INITIALISE (gear without a short address),
// RANDOMISE, then COMPAREs with SEARCHADDRH/M/L for the lowest random
// address, PROGRAM SHORT ADDRESS and WITHDRAW, gear after gear, until
// COMPARE at 0xFFFFFF stays silent. On a real bus the
// time is the frames, so the search sends as few as it can: what COMPARE
// proved survives from one gear to the next (no gear below the last one
// found; at least one, or two when the answers collided, below a bound);
// each COMPARE asks where the lowest gear left is about as likely below as
// above, with the lower search-address bytes left as they are or at 0xFF,
// so that most need one byte sent; and when few gear are expected to be
// left, they are asked for their random address through QUERY RANDOM
// ADDRESS (H/M/L): one that answers alone is the last, given its address
// without a WITHDRAW or COMPAREs after it. Any backward frame or collision
// counts as "yes".
//
// VERIFY SHORT ADDRESS follows PROGRAM SHORT ADDRESS only where the check
// below cannot stand in for it (no unanswered COMPARE just below the
// address found, or without verify_unique). A gear that missed its address
// shows in the check as an address held by nobody, and gear without one
// are searched for again.
//
// Gear that drew the same random address answer as one and get the same
// short address. A collision at their address shows them; with verify_unique
// every new address is checked as well: one RANDOMISE of all gear found, then
// QUERY RANDOM ADDRESS (H/M/L) to each address, which gear sharing it answer
// with bytes that collide. Those draw again on their own (INITIALISE for that
// address, RANDOMISE) and are searched apart until each address is held by one
// gear; those that keep drawing alike all lose it. A gear found when no address
// is free goes without one. Each address is asked whether a gear holds it the
// first time it would be given.
//
// With `readdress` every gear loses its short address first and is then
// searched for and given a new one, so that a search cut short leaves no
// old address beside a new one; `allowed` limits the short addresses
// given.
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
  enum class Stage : uint8_t { Searching, Verifying, Done };
  Stage stage = Stage::Searching;
  unsigned assigned = 0;      // short addresses given so far
  uint8_t last_assigned = 0;  // the latest of them, when assigned > 0
  // Searching: about how many gear are still to be found, from how densely
  // the random addresses below the last one found were taken.
  unsigned estimated_left = 0;
  unsigned transactions = 0;
};

struct CommissioningOptions {
  // Check each new address for gear that shared a random address without
  // a collision (costs one RANDOMISE and three queries per gear).
  bool verify_unique = true;
  // Every gear, not only those without a short address.
  bool readdress = false;
  // The short addresses that may be given (bit n: address n).
  uint64_t allowed = ~uint64_t{0};
  std::function<void(const CommissioningProgress&)> progress;
};

struct CommissionedGear {
  uint8_t short_address = 0;
  uint32_t random_address = 0;  // as the gear holds it at the end
};

struct CommissioningResult {
  bool ok = true;
  std::string error;  // why it stopped, when !ok
  // Short addresses found held by gear that keep them. Each is asked the
  // first time it would be given, so only those up to the last given (or
  // all allowed ones, when gear were left without) are known.
  std::vector<uint8_t> already_used;
  std::vector<uint8_t> assigned;       // new short addresses, in order given
  std::vector<CommissionedGear> gear;  // the same, with random addresses
  // Found, but no allowed address was free (or they could not be told
  // apart): these gear hold no short address.
  unsigned left_without_address = 0;
  // Short addresses taken back from gear that kept drawing one random
  // address.
  std::vector<uint8_t> inseparable;
  unsigned transactions = 0;
};

CommissioningResult commission(const Transact& transact,
                               const CommissioningOptions& options = {});
CommissioningResult commission_devices(
    const DeviceTransact& transact, const CommissioningOptions& options = {});

}  // namespace kovra62386::dali
