#include "simulator/control_gear.h"

#include <gtest/gtest.h>

#include <set>

#include "support/dali_test_support.h"

namespace kovra62386::dali {
namespace {

using namespace testing;

// Two addressed gear and one without an address; all other variables at
// their defaults.
SimulatedBus small_bus() {
  GearConfig a0;
  a0.short_address = 0;
  a0.actual_level = 100;
  a0.physical_minimum = 20;
  a0.min_level = 20;
  GearConfig a1;
  a1.short_address = 1;
  a1.actual_level = 200;
  a1.seed = 7;
  GearConfig fresh;
  fresh.actual_level = 254;
  fresh.seed = 9;
  // Identical answers of several gear count as one here, as if they
  // answered in step: these tests are about the gear, not the bus.
  return SimulatedBus({a0, a1, fresh}, CollisionPolicy::SameByteIsValid);
}

class GearTest : public ::testing::Test {
 protected:
  SimulatedBus bus = small_bus();
  BusDriver d{bus};

  int level(uint8_t a) { return d.query(A(a), "QUERY ACTUAL LEVEL"); }
  void dtr0(uint8_t v) { d.special("DTR0", v); }
};

TEST_F(GearTest, ConfigurationTakesEffectOnlyWhenRepeatedWithin100ms) {
  const uint8_t set_max = find_command("SET MAX LEVEL")->code;
  dtr0(150);
  // Once: nothing.
  d.raw(0x01, set_max);
  d.advance(200ms);
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 254);
  // Twice but 101 ms apart: nothing.
  const uint8_t frame[2] = {0x01, set_max};
  const auto t0 = d.now();
  bus.forward_frame(frame, 16, t0);
  bus.forward_frame(frame, 16, t0 + 101ms);
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 254);
  // Twice with another frame in between, even one to other gear: nothing.
  d.raw(0x01, set_max);
  d.raw(address_byte(A(1), false), gear::kQueryStatus);
  d.raw(0x01, set_max);
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 254);
  // The same command through another address does not pair up either.
  d.raw(0x01, set_max);
  d.raw(0xFF, set_max);
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 254);
  // Twice back to back (about 28 ms apart): done, and exactly 100 ms is in.
  d.raw(0x01, set_max);
  d.raw(0x01, set_max);
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 150);
  EXPECT_EQ(level(0), 100);
  dtr0(120);
  const auto t1 = d.now();
  bus.forward_frame(frame, 16, t1);
  bus.forward_frame(frame, 16, t1 + 100ms);
  d.advance(100ms);
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 120);
  EXPECT_EQ(level(0), 100);
  // Queries and level commands need no repetition.
  d.raw(address_byte(A(0), false), gear::kRecallMaxLevel);  // once
  EXPECT_EQ(level(0), 120);
}

TEST_F(GearTest, SendTwiceSpecialCommands) {
  // INITIALISE once does not start initialisation: COMPARE stays silent.
  d.raw(special::kInitialise, special::kInitialiseAll);
  d.advance(200ms);
  d.special("SEARCHADDRH", 0xFF);
  EXPECT_EQ(d.query(BC(), "COMPARE"), -1);
  d.special("INITIALISE", 0x00);
  d.special("SEARCHADDRH", 0xFF);
  d.special("SEARCHADDRM", 0xFF);
  d.special("SEARCHADDRL", 0xFF);
  EXPECT_EQ(d.query(BC(), "COMPARE"), 0xFF);
}

TEST_F(GearTest, DtrDrivenConfiguration) {
  // STORE ACTUAL LEVEL IN DTR0 / QUERY CONTENT DTR0.
  d.send(A(1), "STORE ACTUAL LEVEL IN DTR0");
  EXPECT_EQ(d.query(A(1), "QUERY CONTENT DTR0"), 200);
  d.special("DTR1", 0x11);
  d.special("DTR2", 0x22);
  EXPECT_EQ(d.query(A(0), "QUERY CONTENT DTR1"), 0x11);
  EXPECT_EQ(d.query(A(1), "QUERY CONTENT DTR2"), 0x22);

  // Min level never goes below the physical minimum nor above max.
  dtr0(5);
  d.send(A(0), "STORE DTR AS MIN LEVEL");
  EXPECT_EQ(d.query(A(0), "QUERY MIN LEVEL"), 20);
  dtr0(90);
  d.send(A(0), "SET MAX LEVEL");
  dtr0(100);
  d.send(A(0), "SET MIN LEVEL");
  EXPECT_EQ(d.query(A(0), "QUERY MIN LEVEL"), 90);
  // Lowering max drags a brighter lamp down with it.
  EXPECT_EQ(level(0), 90);
  // Max never below min, never 255.
  dtr0(10);
  d.send(A(0), "SET MAX LEVEL");
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 90);
  dtr0(255);
  d.send(A(0), "SET MAX LEVEL");
  EXPECT_EQ(d.query(A(0), "QUERY MAX LEVEL"), 254);

  dtr0(77);
  d.send(A(1), "SET POWER ON LEVEL");
  dtr0(66);
  d.send(A(1), "SET SYSTEM FAILURE LEVEL");
  EXPECT_EQ(d.query(A(1), "QUERY POWER ON LEVEL"), 77);
  EXPECT_EQ(d.query(A(1), "QUERY SYSTEM FAILURE LEVEL"), 66);

  // Fade time clamps to 15, fade rate to 1-15; both in one query byte.
  dtr0(200);
  d.send(A(1), "SET FADE TIME");
  dtr0(0);
  d.send(A(1), "SET FADE RATE");
  EXPECT_EQ(d.query(A(1), "QUERY FADE TIME/FADE RATE"), 0xF1);
  dtr0(3);
  d.send(A(1), "SET FADE TIME");
  dtr0(9);
  d.send(A(1), "SET FADE RATE");
  EXPECT_EQ(d.query(A(1), "QUERY FADE TIME/FADE RATE"), 0x39);
}

TEST_F(GearTest, ScenesAndShortAddressFromDtr) {
  dtr0(42);
  d.send(A(1), "SET SCENE", 3);
  EXPECT_EQ(d.query(A(1), "QUERY SCENE LEVEL", 3), 42);
  EXPECT_EQ(d.query(A(1), "QUERY SCENE LEVEL", 4), 0xFF);  // MASK
  d.send(A(1), "GO TO SCENE", 3);
  EXPECT_EQ(level(1), 42);
  d.send(A(1), "GO TO SCENE", 4);  // MASK: no change
  EXPECT_EQ(level(1), 42);
  d.send(A(1), "REMOVE FROM SCENE", 3);
  EXPECT_EQ(d.query(A(1), "QUERY SCENE LEVEL", 3), 0xFF);

  // SET SHORT ADDRESS: 0AAAAAA1 moves, MASK removes, other forms ignored.
  dtr0(short_address_data(17));
  d.send(A(1), "SET SHORT ADDRESS");
  EXPECT_EQ(d.query(A(1), "QUERY CONTROL GEAR PRESENT"), -1);
  EXPECT_EQ(level(17), 42);
  dtr0(0x22);  // even: not an address form
  d.send(A(17), "SET SHORT ADDRESS");
  EXPECT_EQ(level(17), 42);
  dtr0(0xFF);
  d.send(A(17), "SET SHORT ADDRESS");
  EXPECT_EQ(level(17), -1);
  EXPECT_EQ(d.query(Address::broadcast_unaddressed(), "QUERY ACTUAL LEVEL"),
            -2);  // 42 and 254
}

TEST_F(GearTest, GroupAndBroadcastAddressing) {
  d.send(A(0), "ADD TO GROUP", 3);
  d.send(A(1), "ADD TO GROUP", 3);
  d.send(A(1), "ADD TO GROUP", 12);
  EXPECT_EQ(d.query(A(1), "QUERY GROUPS 0-7"), 0x08);
  EXPECT_EQ(d.query(A(1), "QUERY GROUPS 8-15"), 0x10);
  d.dapc(G(3), 150);
  EXPECT_EQ(level(0), 150);
  EXPECT_EQ(level(1), 150);
  EXPECT_EQ(bus.gear(d.now())[2].state.actual_level, 254);  // not a member
  d.send(G(12), "OFF");
  EXPECT_EQ(level(0), 150);
  EXPECT_EQ(level(1), 0);
  d.send(A(0), "REMOVE FROM GROUP", 3);
  d.send(G(3), "RECALL MIN LEVEL");
  EXPECT_EQ(level(0), 150);
  EXPECT_EQ(level(1), 1);
  // Broadcast reaches all; unaddressed broadcast only the fresh gear.
  d.dapc(Address::broadcast_unaddressed(), 60);
  EXPECT_EQ(bus.gear(d.now())[2].state.actual_level, 60);
  EXPECT_EQ(level(0), 150);
  d.dapc(BC(), 30);
  for (const GearInfo& g : bus.gear(d.now())) {
    EXPECT_EQ(g.state.actual_level, 30);
  }
  // A group query answered by two equal levels is one valid answer.
  EXPECT_EQ(d.query(G(3), "QUERY ACTUAL LEVEL"), 30);  // only gear 1 left
  d.send(A(0), "ADD TO GROUP", 4);
  d.send(A(1), "ADD TO GROUP", 4);
  EXPECT_EQ(d.query(G(4), "QUERY ACTUAL LEVEL"), 30);
}

TEST_F(GearTest, LevelInstructions) {
  // DAPC clamps to min/max and flags a limit error.
  d.dapc(A(0), 5);
  EXPECT_EQ(level(0), 20);
  EXPECT_EQ(d.query(A(0), "QUERY LIMIT ERROR"), 0xFF);
  d.dapc(A(0), 60);
  EXPECT_EQ(d.query(A(0), "QUERY LIMIT ERROR"), -1);
  d.dapc(A(0), 0);
  EXPECT_EQ(level(0), 0);
  EXPECT_EQ(d.query(A(0), "QUERY LAMP POWER ON"), -1);
  // Off: STEP UP and UP do nothing; ON AND STEP UP lights at min.
  d.send(A(0), "STEP UP");
  d.send(A(0), "UP");
  EXPECT_EQ(level(0), 0);
  d.send(A(0), "ON AND STEP UP");
  EXPECT_EQ(level(0), 20);
  d.send(A(0), "ON AND STEP UP");
  EXPECT_EQ(level(0), 21);
  d.send(A(0), "STEP DOWN");
  d.send(A(0), "STEP DOWN");  // at min: stays
  EXPECT_EQ(level(0), 20);
  d.send(A(0), "DOWN");  // never below min, never off
  d.advance(1s);
  EXPECT_EQ(level(0), 20);
  d.send(A(0), "STEP DOWN AND OFF");
  EXPECT_EQ(level(0), 0);
  d.send(A(0), "RECALL MAX LEVEL");
  EXPECT_EQ(level(0), 254);
  d.send(A(0), "STEP UP");  // at max: stays
  EXPECT_EQ(level(0), 254);
  d.send(A(0), "STEP DOWN AND OFF");
  EXPECT_EQ(level(0), 253);
  d.send(A(0), "OFF");
  d.send(A(0), "GO TO LAST ACTIVE LEVEL");
  EXPECT_EQ(level(0), 253);
  // UP at fade rate 7 (44.7 steps/s) for 200 ms: about 9 steps.
  d.dapc(A(0), 100);
  d.send(A(0), "UP");
  d.advance(300ms);
  EXPECT_EQ(level(0), 109);
  d.send(A(0), "DOWN");
  d.advance(300ms);
  EXPECT_EQ(level(0), 100);
}

TEST_F(GearTest, FadesFollowTheClock) {
  dtr0(4);  // 2.0 s
  d.send(A(1), "SET FADE TIME");
  const auto start = d.now();
  const uint8_t dapc[2] = {0x02, 100};
  bus.forward_frame(dapc, 16, start);
  const uint8_t status[2] = {0x03, gear::kQueryStatus};
  const uint8_t actual[2] = {0x03, gear::kQueryActualLevel};
  EXPECT_EQ(
      bus.forward_frame(status, 16, start + 1s).answer & kStatusFadeRunning,
      kStatusFadeRunning);
  EXPECT_EQ(bus.forward_frame(actual, 16, start + 1s).answer, 150);
  EXPECT_EQ(bus.forward_frame(actual, 16, start + 2s).answer, 100);
  EXPECT_EQ(
      bus.forward_frame(status, 16, start + 2s).answer & kStatusFadeRunning, 0);
  // DAPC MASK stops a fade where it is.
  const uint8_t up[2] = {0x02, 200};
  bus.forward_frame(up, 16, start + 3s);
  const uint8_t mask[2] = {0x02, 0xFF};
  bus.forward_frame(mask, 16, start + 3s + 500ms);
  EXPECT_EQ(bus.forward_frame(actual, 16, start + 10s).answer, 125);
  // A fade to off runs down to min and switches off at its end.
  const uint8_t off[2] = {0x02, 0};
  bus.forward_frame(off, 16, start + 20s);
  EXPECT_GT(bus.forward_frame(actual, 16, start + 21s).answer, 0);
  EXPECT_EQ(bus.forward_frame(actual, 16, start + 22s).answer, 0);
  EXPECT_EQ(fade_time_duration(0), Clock::duration::zero());
  EXPECT_NEAR(std::chrono::duration<double>(fade_time_duration(1)).count(),
              0.707, 0.001);
  EXPECT_NEAR(std::chrono::duration<double>(fade_time_duration(15)).count(),
              90.51, 0.01);
  EXPECT_NEAR(fade_rate_steps_per_second(1), 357.8, 0.1);
  EXPECT_NEAR(fade_rate_steps_per_second(15), 2.8, 0.01);
}

TEST_F(GearTest, QueryAnswers) {
  const int status0 = d.query(A(0), "QUERY STATUS");
  // Level 100, configuration untouched, addressed.
  EXPECT_EQ(status0, kStatusLampOn | kStatusResetState);
  EXPECT_EQ(d.query(A(0), "QUERY RESET STATE"), 0xFF);
  EXPECT_EQ(d.query(A(0), "QUERY VERSION NUMBER"), 0x08);
  EXPECT_EQ(d.query(A(0), "QUERY PHYSICAL MINIMUM"), 20);
  EXPECT_EQ(d.query(A(0), "QUERY DEVICE TYPE"), 6);
  EXPECT_EQ(d.query(A(0), "QUERY LAMP FAILURE"), -1);
  EXPECT_EQ(d.query(A(0), "QUERY MISSING SHORT ADDRESS"), -1);
  EXPECT_EQ(d.query(A(0), "QUERY POWER FAILURE"), -1);
  EXPECT_EQ(d.query(A(0), "QUERY LIGHT SOURCE TYPE"), 6);
  EXPECT_EQ(d.query(A(0), "QUERY RANDOM ADDRESS (H)"), 0xFF);
  EXPECT_EQ(d.query(A(0), "QUERY NEXT DEVICE TYPE"), -1);
  EXPECT_EQ(d.query(A(0), "QUERY MANUFACTURER SPECIFIC MODE"), -1);

  bus.gear_object(0).set_lamp_failure(true);
  EXPECT_EQ(d.query(A(0), "QUERY LAMP FAILURE"), 0xFF);
  EXPECT_EQ(d.query(A(0), "QUERY LAMP POWER ON"), -1);
  EXPECT_EQ(d.query(A(0), "QUERY STATUS"),
            kStatusLampFailure | kStatusResetState);
  bus.gear_object(0).set_lamp_failure(false);

  // Any configuration change leaves the reset state; RESET restores it.
  d.send(A(0), "ADD TO GROUP", 0);
  EXPECT_EQ(d.query(A(0), "QUERY RESET STATE"), -1);
  dtr0(50);
  d.send(A(0), "SET SCENE", 2);
  d.send(A(0), "RESET");
  EXPECT_EQ(d.query(A(0), "QUERY RESET STATE"), 0xFF);
  EXPECT_EQ(d.query(A(0), "QUERY GROUPS 0-7"), 0);
  EXPECT_EQ(d.query(A(0), "QUERY SCENE LEVEL", 2), 0xFF);
  EXPECT_EQ(level(0), 254);
  EXPECT_EQ(d.query(A(0), "QUERY CONTENT DTR0"), 50);  // DTRs survive RESET
  EXPECT_EQ(d.query(A(0), "QUERY FADE TIME/FADE RATE"), 0x07);

  // The unaddressed gear says so.
  const Address fresh = Address::broadcast_unaddressed();
  EXPECT_EQ(d.query(fresh, "QUERY STATUS"),
            kStatusLampOn | kStatusResetState | kStatusMissingShortAddress);

  // Memory bank 0, read through DTR1/DTR0; DTR0 advances with each read.
  d.special("DTR1", 0);
  dtr0(0);
  EXPECT_EQ(d.query(A(1), "READ MEMORY LOCATION"), 0x1A);  // last location
  EXPECT_EQ(d.query(A(1), "QUERY CONTENT DTR0"), 1);
  dtr0(0x1B);
  EXPECT_EQ(d.query(A(1), "READ MEMORY LOCATION"), -1);
  d.special("DTR1", 2);
  dtr0(0);
  EXPECT_EQ(d.query(A(1), "READ MEMORY LOCATION"), -1);  // no bank 2

  // Application extended commands need ENABLE DEVICE TYPE 6 just before.
  EXPECT_EQ(d.raw(0x03, led::kQueryExtendedVersionNumber).kind,
            BusResponse::Kind::NoAnswer);
  d.special("ENABLE DEVICE TYPE", 6);
  EXPECT_EQ(d.raw(0x03, led::kQueryExtendedVersionNumber),
            BusResponse::answered(0x08));
  EXPECT_EQ(d.raw(0x03, led::kQueryExtendedVersionNumber).kind,
            BusResponse::Kind::NoAnswer);
  d.special("ENABLE DEVICE TYPE", 8);
  EXPECT_EQ(d.raw(0x03, led::kQueryExtendedVersionNumber).kind,
            BusResponse::Kind::NoAnswer);
}

TEST_F(GearTest, InitialisationStateAndItsWindow) {
  auto search = [&](uint32_t v) {
    d.special("SEARCHADDRH", static_cast<uint8_t>(v >> 16));
    d.special("SEARCHADDRM", static_cast<uint8_t>(v >> 8));
    d.special("SEARCHADDRL", static_cast<uint8_t>(v));
  };
  // INITIALISE 0xFF: only the gear without a short address.
  d.special("INITIALISE", 0xFF);
  search(0xFFFFFF);
  EXPECT_EQ(d.query(BC(), "COMPARE"), 0xFF);
  EXPECT_EQ(d.query(BC(), "QUERY SHORT ADDRESS"), 0xFF);  // fresh: MASK
  EXPECT_EQ(d.query(BC(), "VERIFY SHORT ADDRESS", short_address_data(0)), -1);
  d.special("TERMINATE");
  EXPECT_EQ(d.query(BC(), "COMPARE"), -1);

  // INITIALISE by short address: only that gear.
  d.special("INITIALISE", short_address_data(1));
  EXPECT_EQ(d.query(BC(), "VERIFY SHORT ADDRESS", short_address_data(1)), 0xFF);
  EXPECT_EQ(d.query(BC(), "VERIFY SHORT ADDRESS", short_address_data(0)), -1);
  d.special("RANDOMISE");
  const GearState g1 = bus.gear(d.now())[1].state;
  EXPECT_NE(g1.random_address, kNoRandomAddress);
  EXPECT_EQ(bus.gear(d.now())[0].state.random_address, kNoRandomAddress);
  EXPECT_EQ(d.query(A(1), "QUERY RANDOM ADDRESS (H)"), g1.random_address >> 16);
  EXPECT_EQ(d.query(A(1), "QUERY RANDOM ADDRESS (M)"),
            (g1.random_address >> 8) & 0xFF);
  EXPECT_EQ(d.query(A(1), "QUERY RANDOM ADDRESS (L)"),
            g1.random_address & 0xFF);
  // COMPARE is yes exactly for random <= search.
  search(g1.random_address);
  EXPECT_EQ(d.query(BC(), "COMPARE"), 0xFF);
  EXPECT_EQ(d.query(BC(), "QUERY SHORT ADDRESS"), short_address_data(1));
  search(g1.random_address - 1);
  EXPECT_EQ(d.query(BC(), "COMPARE"), -1);
  // The window closes 15 minutes after INITIALISE.
  d.advance(14min);
  search(0xFFFFFF);
  EXPECT_EQ(d.query(BC(), "COMPARE"), 0xFF);
  d.advance(61s);
  EXPECT_EQ(d.query(BC(), "COMPARE"), -1);
  // Outside initialisation the search address and RANDOMISE are ignored.
  d.special("RANDOMISE");
  EXPECT_EQ(bus.gear(d.now())[1].state.random_address, g1.random_address);
  search(0);
  EXPECT_EQ(bus.gear(d.now())[1].state.search_address, 0xFFFFFFu);
}

TEST(ControlGear, RandomiseIsSeededAndReproducible) {
  auto randomise_once = [](uint64_t seed) {
    GearConfig c;
    c.seed = seed;
    SimulatedBus bus({c});
    BusDriver d(bus);
    d.special("INITIALISE", 0);
    d.special("RANDOMISE");
    return bus.gear(d.now())[0].state.random_address;
  };
  EXPECT_EQ(randomise_once(5), randomise_once(5));
  EXPECT_NE(randomise_once(5), randomise_once(6));
  EXPECT_LE(randomise_once(5), 0xFFFFFFu);
  // The default bus's fresh gear draw distinct addresses.
  SimulatedBus bus;
  BusDriver d(bus);
  d.special("INITIALISE", 0xFF);
  d.special("RANDOMISE");
  std::set<uint32_t> seen;
  for (const GearInfo& g : bus.gear(d.now())) {
    if (!g.state.has_short_address()) seen.insert(g.state.random_address);
  }
  EXPECT_EQ(seen.size(), 3u);
}

}  // namespace
}  // namespace kovra62386::dali
