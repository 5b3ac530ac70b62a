// The memory banks of one control gear (IEC 62386-102): bank 0 read-only,
// bank 1 the writable OEM bank behind its lock byte.
#include <algorithm>

#include "simulator/control_gear.h"
#include "simulator/gear_answers.h"

namespace kovra62386::dali {
namespace {

constexpr uint8_t kBank0LastLocation = 0x1A;

}  // namespace

bool ControlGear::bank_exists(uint8_t bank) const noexcept {
  return bank <= kLastBank;
}

std::optional<uint8_t> ControlGear::memory_byte(uint8_t bank,
                                                uint8_t location) const {
  if (bank == 1) {
    if (location > kBank1LastLocation) return std::nullopt;
    return state_.memory_bank1[location];
  }
  if (bank != 0 || location > kBank0LastLocation) return std::nullopt;
  // Bank 0: last location, reserved, last bank, GTIN (6), firmware version
  // (2), identification number (8), hardware version (2), versions of
  // 101/102/103, control devices and gear in the unit, index of this one.
  const uint64_t id = identification_;
  auto id_byte = [&](int i) {
    return static_cast<uint8_t>(id >> (56 - 8 * i));
  };
  const uint8_t bank0[kBank0LastLocation + 1] = {kBank0LastLocation,
                                                 0xFF,
                                                 kLastBank,
                                                 0,
                                                 0,
                                                 0,
                                                 0,
                                                 0,
                                                 0,
                                                 1,
                                                 0,
                                                 id_byte(0),
                                                 id_byte(1),
                                                 id_byte(2),
                                                 id_byte(3),
                                                 id_byte(4),
                                                 id_byte(5),
                                                 id_byte(6),
                                                 id_byte(7),
                                                 1,
                                                 0,
                                                 0x08,
                                                 0x08,
                                                 0xFF,
                                                 0,
                                                 1,
                                                 0};
  return bank0[location];
}

std::optional<uint8_t> ControlGear::read_memory() {
  // DTR0 moves on whenever the bank exists, even past its last location,
  // and stops at 0xFF.
  if (!bank_exists(state_.dtr1)) return std::nullopt;
  const auto value = memory_byte(state_.dtr1, state_.dtr0);
  if (state_.dtr0 < 0xFF) ++state_.dtr0;
  return value;
}

std::optional<uint8_t> ControlGear::write_memory(uint8_t data) {
  GearState& s = state_;
  if (!s.write_enabled || !bank_exists(s.dtr1)) return std::nullopt;
  std::optional<uint8_t> written;
  // Bank 0 is read-only; in bank 1 the lock byte is always writable and
  // the locations after it only while it holds 0x55.
  const uint8_t location = s.dtr0;
  if (s.dtr1 == 1 && location >= kBankLockLocation &&
      location <= kBank1LastLocation &&
      (location == kBankLockLocation ||
       s.memory_bank1[kBankLockLocation] == kBankUnlocked)) {
    s.memory_bank1[location] = data;
    written = data;
  }
  if (s.dtr0 < 0xFF) ++s.dtr0;
  return written;
}

void ControlGear::reset_memory_bank(uint8_t which) {
  // 0: every bank but bank 0; locked banks keep their content.
  if (which > kLastBank) return;
  auto& bank1 = state_.memory_bank1;
  if (bank1[kBankLockLocation] != kBankUnlocked) return;
  std::fill(bank1.begin() + kBankLockLocation + 1, bank1.end(), uint8_t{0xFF});
}

}  // namespace kovra62386::dali
