// What the parts of a simulated control gear share: the yes/no answers of
// IEC 62386-102, the version of
// IEC 62386-207 and IEC 62386-209 they report and the number of banks.
#pragma once

#include <cstdint>
#include <optional>

#include "dali/dali_commands.h"

namespace kovra62386::dali {

inline constexpr uint8_t kExtendedVersion = 0x08;  // edition 2.0
inline constexpr uint8_t kLastBank = 1;

inline std::optional<uint8_t> yes_if(bool condition) {
  return condition ? std::optional<uint8_t>(kYes) : std::nullopt;
}

}  // namespace kovra62386::dali
