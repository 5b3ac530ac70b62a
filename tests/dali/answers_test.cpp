// The words for answers, as the CLI printed them before they moved into
// dali/: the CLI's output must not change.
#include "dali/answers.h"

#include <gtest/gtest.h>

#include "dali/dali_commands.h"

namespace kovra62386::dali {
namespace {

TEST(Answers, MeaningOfEachForm) {
  EXPECT_EQ(answer_meaning(gear::kQueryStatus, 0x14),
            "status: lamp on, fade running");
  EXPECT_EQ(answer_meaning(gear::kQueryStatus, 0x40),
            "status: lamp off, no short address");
  EXPECT_EQ(answer_meaning(gear::kQueryVersionNumber, 0x09), "version 2.1");
  EXPECT_EQ(answer_meaning(gear::kQueryDeviceType, 6),
            "device type: LED module");
  EXPECT_EQ(answer_meaning(gear::kQueryDeviceType, 0xFE),
            "device type: no further device type");
  EXPECT_EQ(answer_meaning(gear::kQueryPowerOnLevel, 0xFF),
            "power-on level MASK (unknown)");
  EXPECT_EQ(answer_meaning(gear::kQuerySystemFailureLevel, 7),
            "system-failure level 7");
  EXPECT_EQ(answer_meaning(gear::kQueryFadeTimeFadeRate, 0x37),
            "fade time 3, fade rate 7");
  EXPECT_EQ(answer_meaning(gear::kQueryGroups0To7, 0x89),
            "groups 0-7: 0, 3, 7");
  EXPECT_EQ(answer_meaning(gear::kQueryGroups8To15, 0x01), "groups 8-15: 8");
  EXPECT_EQ(answer_meaning(gear::kQuerySceneLevel + 15, 0xFF),
            "scene 15 level MASK (not in scene)");
  EXPECT_EQ(answer_meaning(gear::kQuerySceneLevel + 2, 100),
            "scene 2 level 100");
  // Yes/no queries: only YES has words; a number query has none.
  EXPECT_EQ(answer_meaning(gear::kQueryLampFailure, kYes), "yes");
  EXPECT_EQ(answer_meaning(gear::kQueryLampFailure, 0x00), "");
  EXPECT_EQ(answer_meaning(gear::kQueryContentDtr0, 0x12), "");
}

TEST(Answers, YesNoQueriesAreExactlyThoseOfTheOldList) {
  int count = 0;
  for (unsigned opcode = 0; opcode < 256; ++opcode) {
    if (is_yes_no_query(static_cast<uint8_t>(opcode))) ++count;
  }
  EXPECT_EQ(count, 9);
  EXPECT_TRUE(is_yes_no_query(gear::kQueryControlGearFailure));
  EXPECT_FALSE(is_yes_no_query(gear::kQueryStatus));
}

TEST(Answers, WordsForTypesAndGroups) {
  EXPECT_EQ(device_type_name(8), "colour control");
  EXPECT_EQ(device_type_name(42), "device type 42");
  EXPECT_EQ(device_type_name(0xFF), "several device types");
  EXPECT_EQ(group_text(0), "-");
  EXPECT_EQ(group_text(0x8001), "0, 15");
  EXPECT_EQ(status_text(0xFB),
            "lamp off, gear failure, lamp failure, "
            "limit error, fade running, reset state, "
            "no short address, power cycle seen");
}

}  // namespace
}  // namespace kovra62386::dali
