// Memory banks, special commands with a stray data byte, and the device
// type 6 and 8 commands of the simulated gear.
#include <gtest/gtest.h>

#include "simulator/control_gear.h"
#include "support/dali_test_support.h"

namespace kovra62386::dali {
namespace {

using namespace testing;

// Short address 0: an LED module; 1: tunable white (2700-6500 K, 4000 K);
// a fresh gear without a short address.
SimulatedBus extension_bus() {
  GearConfig led;
  led.short_address = 0;
  led.actual_level = 100;
  GearConfig tw;
  tw.short_address = 1;
  tw.seed = 2;
  tw.colour_temperature = ColourTemperatureConfig{};
  GearConfig fresh;
  fresh.seed = 3;
  return SimulatedBus({led, tw, fresh});
}

class Extensions : public ::testing::Test {
 protected:
  SimulatedBus bus = extension_bus();
  BusDriver d{bus};

  void dtr(uint8_t dtr0, uint8_t dtr1) {
    d.special("DTR0", dtr0);
    d.special("DTR1", dtr1);
  }
  int dtr0(uint8_t a) { return d.query(A(a), "QUERY CONTENT DTR0"); }
  int read(uint8_t a) { return d.query(A(a), "READ MEMORY LOCATION"); }
  int write(uint8_t value) {
    return d.query(BC(), "WRITE MEMORY LOCATION", value);
  }
  // ENABLE DEVICE TYPE, then the command; the second frame of a send-twice
  // command follows at once.
  int extended(uint8_t a, uint8_t type, uint8_t opcode, bool twice = false) {
    d.special("ENABLE DEVICE TYPE", type);
    BusResponse r = d.raw(address_byte(A(a), false), opcode);
    if (twice) r = d.raw(address_byte(A(a), false), opcode);
    if (r.kind == BusResponse::Kind::Answer) return r.answer;
    return r.kind == BusResponse::Kind::Collision ? -2 : -1;
  }
  // A 16-bit colour value: the answer is its high byte, DTR0 its low byte.
  int colour_value(uint8_t a, uint8_t selector) {
    d.special("DTR0", selector);
    const int high =
        extended(a, colour::kDeviceType, colour::kQueryColourValue);
    return high < 0 ? high : high << 8 | dtr0(a);
  }
};

TEST_F(Extensions, ReadingMovesDtr0OnWheneverTheBankExists) {
  struct Case {
    uint8_t bank, location;
    int answer, dtr0_after;
  };
  const Case cases[] = {
      {0, 0x00, 0x1A, 0x01},  // bank 0: last location
      {0, 0x02, 0x01, 0x03},  // last bank: 1
      {0, 0x1B, -1, 0x1C},    // past the last location: no answer, moves on
      {0, 0xFF, -1, 0xFF},    // stops at 0xFF
      {1, 0x00, 0x10, 0x01},  // bank 1: last location
      {1, 0x02, 0xFF, 0x03},  // its lock byte: locked
      {1, 0x11, -1, 0x12},   {2, 0x05, -1, 0x05},  // no bank 2: DTR0 stays
  };
  for (const Case& c : cases) {
    dtr(c.location, c.bank);
    EXPECT_EQ(read(0), c.answer) << int(c.bank) << "/" << int(c.location);
    EXPECT_EQ(dtr0(0), c.dtr0_after) << int(c.bank) << "/" << int(c.location);
  }
}

TEST_F(Extensions, WritesNeedTheWriteEnableStateAndAnUnlockedBank) {
  dtr(0x02, 1);
  EXPECT_EQ(write(kBankUnlocked), -1);  // not enabled: nothing, DTR0 stays
  EXPECT_EQ(dtr0(0), 0x02);
  d.send(A(0), "ENABLE WRITE MEMORY");
  EXPECT_EQ(write(kBankUnlocked), kBankUnlocked);  // the lock byte
  EXPECT_EQ(write(0x12), 0x12);                    // location 3
  d.special("WRITE MEMORY LOCATION NO REPLY", 0x34);
  EXPECT_EQ(dtr0(0), 0x05);  // DTR queries keep the write-enable state
  EXPECT_EQ(write(0x56), 0x56);
  // Only the enabled gear wrote.
  EXPECT_EQ(bus.gear()[0].state.memory_bank1[3], 0x12);
  EXPECT_EQ(bus.gear()[0].state.memory_bank1[4], 0x34);
  EXPECT_EQ(bus.gear()[1].state.memory_bank1[3], 0xFF);
  // Any other command ends it, a read as well.
  d.special("DTR0", 0x03);
  EXPECT_EQ(read(0), 0x12);
  EXPECT_EQ(write(0x77), -1);
  EXPECT_EQ(bus.gear()[0].state.memory_bank1[4], 0x34);

  // Locked again: the content is neither written nor reset.
  d.send(A(0), "ENABLE WRITE MEMORY");
  dtr(0x02, 1);
  EXPECT_EQ(write(0x00), 0x00);
  EXPECT_EQ(write(0x99), -1);  // location 3 is locked now
  d.special("DTR0", 0);
  d.send(A(0), "RESET MEMORY BANK");
  EXPECT_EQ(bus.gear()[0].state.memory_bank1[3], 0x12);
  // Unlocked, RESET MEMORY BANK 1 clears it; bank 0 is never written.
  d.send(A(0), "ENABLE WRITE MEMORY");
  dtr(0x02, 1);
  write(kBankUnlocked);
  d.special("DTR0", 1);
  d.send(A(0), "RESET MEMORY BANK");
  EXPECT_EQ(bus.gear()[0].state.memory_bank1[3], 0xFF);
  d.send(A(0), "ENABLE WRITE MEMORY");
  dtr(0x03, 0);
  EXPECT_EQ(write(0x01), -1);
  EXPECT_EQ(dtr0(0), 0x04);
}

TEST_F(Extensions, CommandsWithoutDataNeedAZeroSecondByte) {
  for (const char* name : {"TERMINATE", "RANDOMISE", "COMPARE", "WITHDRAW",
                           "PING", "QUERY SHORT ADDRESS"}) {
    const Command* c = find_command(name);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(special_command_in(c->code, 0x00), c);
    EXPECT_EQ(special_command_in(c->code, 0x01), nullptr) << name;
    const uint8_t frame[2] = {c->code, 0x80};
    EXPECT_EQ(describe_forward_frame(frame, 16).find(name), std::string::npos);
  }
  // The fresh gear in initialisation, selected by the search address.
  d.special("INITIALISE", 0xFF);
  d.special("SEARCHADDRH", 0xFF);
  d.special("SEARCHADDRM", 0xFF);
  d.special("SEARCHADDRL", 0xFF);
  const uint32_t random = bus.gear()[2].state.random_address;
  d.raw(special::kRandomise, 0x01);  // twice, with a stray byte
  d.raw(special::kRandomise, 0x01);
  EXPECT_EQ(bus.gear()[2].state.random_address, random);
  EXPECT_EQ(d.raw(special::kCompare, 0x01).kind, BusResponse::Kind::NoAnswer);
  EXPECT_EQ(d.raw(special::kQueryShortAddress, 0x01).kind,
            BusResponse::Kind::NoAnswer);
  d.raw(special::kWithdraw, 0x01);
  d.raw(special::kTerminate, 0x01);
  EXPECT_EQ(d.raw(special::kCompare, 0x00), BusResponse::answered(0xFF));
  EXPECT_EQ(d.raw(special::kQueryShortAddress, 0x00),
            BusResponse::answered(kMask));
  d.raw(special::kTerminate, 0x00);
  EXPECT_EQ(d.raw(special::kCompare, 0x00).kind, BusResponse::Kind::NoAnswer);
}

TEST_F(Extensions, LedModuleAnswersItsQueriesAfterEnableDeviceType6) {
  using namespace led;
  struct Case {
    uint8_t opcode;
    int answer;
  };
  auto check = [&](std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
      EXPECT_EQ(extended(0, kDeviceType, c.opcode), c.answer)
          << std::hex << int(c.opcode);
    }
  };
  check({{kQueryGearType, 0x01},
         {kQueryDimmingCurve, 0},
         {kQueryPossibleOperatingModes, 0x04},
         {kQueryFeatures, 0x02},
         {kQueryFailureStatus, 0},
         {kQueryOpenCircuit, -1},
         {kQueryOperatingMode, 0x04},
         {kQueryFastFadeTime, 0},
         {kQueryMinFastFadeTime, 4},
         {kQueryExtendedVersionNumber, 0x08},
         {0xE5, -1}});  // reserved
  bus.gear_object(0).set_lamp_failure(true);
  check({{kQueryFailureStatus, 0x02}, {kQueryOpenCircuit, 0xFF}});
  bus.gear_object(0).set_lamp_failure(false);

  // Configuration: sent twice right after one ENABLE DEVICE TYPE 6.
  d.special("DTR0", 1);
  extended(0, kDeviceType, kSelectDimmingCurve);  // once: nothing
  check({{kQueryDimmingCurve, 0}});
  d.special("DTR0", 1);
  extended(0, kDeviceType, kSelectDimmingCurve, true);
  d.special("DTR0", 2);  // below the minimum
  extended(0, kDeviceType, kSetFastFadeTime, true);
  check({{kQueryDimmingCurve, 1},
         {kQueryOperatingMode, 0x14},
         {kQueryFastFadeTime, 4}});
  d.send(A(0), "RESET");
  check({{kQueryDimmingCurve, 0}, {kQueryFastFadeTime, 0}});
  // Without ENABLE DEVICE TYPE 6, or from other gear: no answer.
  EXPECT_EQ(d.raw(0x01, kQueryGearType).kind, BusResponse::Kind::NoAnswer);
  EXPECT_EQ(extended(1, kDeviceType, kQueryGearType), -1);
}

TEST_F(Extensions, TunableWhiteTakesItsColourTemperatureOnActivate) {
  using namespace colour;
  EXPECT_EQ(d.query(A(1), "QUERY DEVICE TYPE"), kDeviceType);
  EXPECT_EQ(extended(1, kDeviceType, kQueryColourTypeFeatures), 0x02);
  EXPECT_EQ(extended(1, kDeviceType, kQueryColourStatus), kColourTypeTc);
  EXPECT_EQ(extended(0, kDeviceType, kQueryColourStatus), -1);  // LED only
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 250);
  EXPECT_EQ(colour_value(1, kValuePhysicalCoolest), 153);
  EXPECT_EQ(colour_value(1, kValueWarmest), 370);
  EXPECT_EQ(colour_value(1, kValueTemporaryColourTemperature), 0xFFFF);
  EXPECT_EQ(colour_value(1, 0), 0xFFFF);  // x coordinate: not this gear's

  // 3000 K = 333 mirek, held as temporary until ACTIVATE.
  dtr(333 & 0xFF, 333 >> 8);
  extended(1, kDeviceType, kSetTemporaryColourTemperature);
  EXPECT_EQ(colour_value(1, kValueTemporaryColourTemperature), 333);
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 250);
  extended(1, kDeviceType, kActivate);
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 333);
  EXPECT_EQ(colour_value(1, kValueTemporaryColourTemperature), 0xFFFF);

  // A stored warmest limit of 300 mirek: 2000 K ends there, out of range.
  dtr(300 & 0xFF, 300 >> 8);
  d.special("DTR2", kLimitWarmest);
  extended(1, kDeviceType, kStoreColourTemperatureLimit, true);
  EXPECT_EQ(colour_value(1, kValueWarmest), 300);
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 300);  // pulled in
  dtr(500 & 0xFF, 500 >> 8);
  extended(1, kDeviceType, kSetTemporaryColourTemperature);
  extended(1, kDeviceType, kActivate);
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 300);
  EXPECT_EQ(extended(1, kDeviceType, kQueryColourStatus),
            kColourTypeTc | kStatusTcOutOfRange);
  extended(1, kDeviceType, kColourTemperatureStepCooler);
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 299);
  // RESET restores the limits, not the colour temperature.
  d.send(A(1), "RESET");
  EXPECT_EQ(colour_value(1, kValueWarmest), 370);
  EXPECT_EQ(colour_value(1, kValueColourTemperature), 299);
  EXPECT_EQ(mirek_from_kelvin(4000), 250);
  EXPECT_EQ(kelvin_from_mirek(333), 3003u);
}

}  // namespace
}  // namespace kovra62386::dali
