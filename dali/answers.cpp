#include "dali/answers.h"

#include <iterator>

#include "dali/dali_commands.h"

namespace kovra62386::dali {
namespace {

struct AnswerEntry {
  uint8_t opcode;
  AnswerWords words;
};
constexpr AnswerEntry kAnswers[] = {
#define DALI_ANSWER(id, form, words) {gear::k##id, {AnswerForm::form, words}},
#include "dali/gear_commands.def"
};

struct DeviceTypeName {
  uint8_t type;
  const char* name;
};
constexpr DeviceTypeName kDeviceTypes[] = {
#define DALI_DEVICE_TYPE(number, words) {number, words},
#include "dali/gear_commands.def"
};

// In bit order, bit 0 first.
constexpr const char* kStatusBits[] = {
#define DALI_STATUS_BIT(id, bit, words) words,
#include "dali/gear_commands.def"
};
static_assert(std::size(kStatusBits) == 8);

// The entry whose opcodes include `opcode` (a scene query covers 16).
const AnswerEntry* find_answer(uint8_t opcode) {
  for (const AnswerEntry& a : kAnswers) {
    const Command* c = find_standard_command(a.opcode);
    if (c != nullptr && number_in(opcode, a.opcode).value_or(16) < c->span())
      return &a;
  }
  return nullptr;
}

std::string join(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) {
    if (!text.empty()) text += ", ";
    text += w;
  }
  return text;
}

}  // namespace

AnswerWords answer_words(uint8_t opcode) noexcept {
  const AnswerEntry* a = find_answer(opcode);
  return a == nullptr ? AnswerWords{} : a->words;
}

std::string device_type_name(uint8_t type) {
  for (const DeviceTypeName& d : kDeviceTypes) {
    if (d.type == type) return d.name;
  }
  return "device type " + std::to_string(type);
}

std::string status_text(uint8_t status) {
  std::vector<std::string> words;
  if ((status & 0x04) == 0) words.emplace_back("lamp off");
  for (int bit = 0; bit < 8; ++bit) {
    if ((status >> bit & 1) != 0) words.emplace_back(kStatusBits[bit]);
  }
  return join(words);
}

std::vector<int> group_list(uint16_t mask) {
  std::vector<int> groups;
  for (int g = 0; g < 16; ++g) {
    if ((mask >> g & 1) != 0) groups.push_back(g);
  }
  return groups;
}

std::string group_text(uint16_t mask) {
  std::vector<std::string> words;
  for (int g : group_list(mask)) words.push_back(std::to_string(g));
  return words.empty() ? "-" : join(words);
}

std::string level_text(uint8_t level) {
  if (level == kMaskLevel) return "MASK (unknown)";
  return std::to_string(level);
}

bool is_yes_no_query(uint8_t opcode) {
  return answer_words(opcode).form == AnswerForm::YesNo;
}

std::string answer_meaning(uint8_t opcode, uint8_t answer) {
  const AnswerEntry* entry = find_answer(opcode);
  if (entry == nullptr) return "";
  const AnswerWords a = entry->words;
  const std::string words = a.words;
  switch (a.form) {
    case AnswerForm::Number:
      break;
    case AnswerForm::YesNo:
      return answer == kYes ? "yes" : "";
    case AnswerForm::Status:
      return words + ": " + status_text(answer);
    case AnswerForm::Version:
      return words + " " + std::to_string(answer >> 2) + "." +
             std::to_string(answer & 0x03);
    case AnswerForm::DeviceType:
      return words + ": " + device_type_name(answer);
    case AnswerForm::Level:
      return words + " " + level_text(answer);
    case AnswerForm::FadeTimeRate:
      return "fade time " + std::to_string(answer >> 4) + ", fade rate " +
             std::to_string(answer & 0x0F);
    case AnswerForm::GroupsLow:
      return words + ": " + group_text(answer);
    case AnswerForm::GroupsHigh:
      return words + ": " + group_text(static_cast<uint16_t>(answer << 8));
    case AnswerForm::SceneLevel:
      return words + " " + std::to_string(opcode - entry->opcode) + " level " +
             (answer == kMaskLevel ? std::string("MASK (not in scene)")
                                   : std::to_string(answer));
  }
  return "";
}

}  // namespace kovra62386::dali
