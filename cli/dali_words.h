// Words for DALI answers: device types, status bits, group masks and what the
// answer to a given query means.
#ifndef KOVRA62386_TOOLS_CLI_DALI_WORDS_H
#define KOVRA62386_TOOLS_CLI_DALI_WORDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kovra62386::cli {

// Opcodes (selector bit 1) the tool sends itself.
namespace opcode {
inline constexpr uint8_t kQueryStatus = 0x90;
inline constexpr uint8_t kQueryContentDtr0 = 0x98;
inline constexpr uint8_t kQueryControlGearPresent = 0x91;
inline constexpr uint8_t kQueryDeviceType = 0x99;
inline constexpr uint8_t kQueryActualLevel = 0xA0;
inline constexpr uint8_t kQueryMaxLevel = 0xA1;
inline constexpr uint8_t kQueryMinLevel = 0xA2;
inline constexpr uint8_t kQueryGroups0To7 = 0xC0;
inline constexpr uint8_t kQueryGroups8To15 = 0xC1;
// Special commands: the address byte is the command.
inline constexpr uint8_t kSetDtr0 = 0xA3;
inline constexpr uint8_t kSetDtr1 = 0xC3;
inline constexpr uint8_t kEnableDeviceType = 0xC1;
}  // namespace opcode

// "LED module" for 6; "device type 42" for unknown ones.
std::string device_type_name(uint8_t type);
// "lamp on, fade running"; "ok" when no bit of note is set.
std::string status_text(uint8_t status);
// Bits 0-15 of the mask as group numbers.
std::vector<int> group_list(uint16_t mask);
// "0, 3, 7" or "-".
std::string group_text(uint16_t mask);
// "254" or "MASK (unknown)" for 255.
std::string level_text(uint8_t level);

// What an answer byte means for the standard command `opcode`: "yes",
// "level 200", "device type 6 (LED module)", "groups 0-7: 0, 3". Empty when
// there is nothing to add to the number.
std::string answer_meaning(uint8_t opcode, uint8_t answer);
// What "no answer" means: "no" for yes/no queries, else empty.
bool is_yes_no_query(uint8_t opcode);

}  // namespace kovra62386::cli

#endif  // KOVRA62386_TOOLS_CLI_DALI_WORDS_H
