// What an answer of IEC 62386-102 control gear says, in words: device
// types, status bits, group masks and the answer to a given query. The
// words come from dali/gear_commands.def, which the Python module's answer
// decoding is generated from as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kovra62386::dali {

// How the answer of a query reads (DALI_ANSWER in dali/gear_commands.def).
enum class AnswerForm : uint8_t {
  Number,        // nothing to add to the number
  YesNo,         // YES (0xFF) or no answer
  Status,        // the QUERY STATUS bits
  Version,       // major.minor
  DeviceType,    // a device type number
  Level,         // an arc power level, MASK unknown
  FadeTimeRate,  // fade time (high nibble) and fade rate (low nibble)
  GroupsLow,     // groups 0-7, one bit each
  GroupsHigh,    // groups 8-15, one bit each
  SceneLevel,    // a scene's level, MASK not in the scene
};

// The form of the answer to the standard command `opcode` and the words
// that name it ("actual level"); Number and "" for the others.
struct AnswerWords {
  AnswerForm form = AnswerForm::Number;
  const char* words = "";
};
AnswerWords answer_words(uint8_t opcode) noexcept;

// "LED module" for 6; "device type 42" for unknown ones.
std::string device_type_name(uint8_t type);
// "lamp on, fade running"; "lamp off" first when bit 2 is clear.
std::string status_text(uint8_t status);
// Bits 0-15 of the mask as group numbers.
std::vector<int> group_list(uint16_t mask);
// "0, 3, 7" or "-".
std::string group_text(uint16_t mask);
// "254" or "MASK (unknown)" for 255.
std::string level_text(uint8_t level);

// What an answer byte means for the standard command `opcode`: "yes",
// "actual level 200", "device type: LED module", "groups 0-7: 0, 3".
// Empty when there is nothing to add to the number.
std::string answer_meaning(uint8_t opcode, uint8_t answer);
// Whether no answer means "no": the yes/no queries.
bool is_yes_no_query(uint8_t opcode);

}  // namespace kovra62386::dali
