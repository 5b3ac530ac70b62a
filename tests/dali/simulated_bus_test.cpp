#include "tools/dali/simulated_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/dali/dali_test_support.h"

namespace kovra62386::dali {
namespace {

using namespace testing;
using Kind = BusResponse::Kind;

TEST(SimulatedBus, DefaultConfigurationAnswersAsConfigured) {
  SimulatedBus bus;
  BusDriver d(bus);
  const auto gear = bus.gear(d.now());
  ASSERT_EQ(gear.size(), 10u);
  int unaddressed = 0;
  for (const GearInfo& g : gear) {
    if (!g.state.has_short_address()) {
      ++unaddressed;
      continue;
    }
    const uint8_t a = g.state.short_address;
    EXPECT_EQ(d.query(A(a), "QUERY CONTROL GEAR PRESENT"), 0xFF);
    EXPECT_EQ(d.query(A(a), "QUERY ACTUAL LEVEL"), g.state.actual_level);
    EXPECT_EQ(d.query(A(a), "QUERY GROUPS 0-7"), g.state.groups & 0xFF);
    EXPECT_EQ(d.query(A(a), "QUERY GROUPS 8-15"), g.state.groups >> 8);
    EXPECT_EQ(d.query(A(a), "QUERY DEVICE TYPE"), a >= 10 ? 8 : 6);
  }
  EXPECT_EQ(unaddressed, 3);
  EXPECT_EQ(d.query(A(3), "QUERY CONTROL GEAR PRESENT"), -1);
  // The levels differ, so the answers of several gear collide.
  EXPECT_EQ(d.query(BC(), "QUERY ACTUAL LEVEL"), -2);
  // Every gear says yes: identical bytes make one valid answer.
  EXPECT_EQ(d.query(BC(), "QUERY CONTROL GEAR PRESENT"), 0xFF);
  EXPECT_EQ(
      d.query(Address::broadcast_unaddressed(), "QUERY MISSING SHORT ADDRESS"),
      0xFF);
}

TEST(SimulatedBus, StrictPolicyReportsAnyTwoAnswersAsCollision) {
  SimulatedBus bus(SimulatedBus::default_configuration(),
                   CollisionPolicy::AnyTwoAnswersCollide);
  BusDriver d(bus);
  EXPECT_EQ(d.query(BC(), "QUERY CONTROL GEAR PRESENT"), -2);
  EXPECT_EQ(d.query(A(0), "QUERY CONTROL GEAR PRESENT"), 0xFF);
}

TEST(SimulatedBus, PowerLossStopsTransmissionAndAppliesFailureLevel) {
  SimulatedBus bus;
  BusDriver d(bus);
  EXPECT_TRUE(bus.powered());
  bus.set_power(false, d.now());
  EXPECT_FALSE(bus.powered());
  const uint8_t frame[2] = {0x01, 0xA0};
  EXPECT_EQ(bus.forward_frame(frame, 16, d.now()).kind, Kind::NotTransmitted);
  // Gear that were not told anything fall to their system failure level;
  // gear 9 keeps its level (system failure level MASK).
  EXPECT_EQ(bus.gear_at(1)->state.actual_level, 254);
  EXPECT_EQ(bus.gear_at(2)->state.actual_level, 254);
  EXPECT_EQ(bus.gear_at(9)->state.actual_level, 85);
  bus.set_power(true, d.now());
  EXPECT_EQ(d.query(A(1), "QUERY ACTUAL LEVEL"), 254);
}

TEST(SimulatedBus, PowerCycleOfGearRestoresPowerOnLevel) {
  SimulatedBus bus;
  BusDriver d(bus);
  d.dapc(BC(), 50);
  bus.power_cycle_gear(d.now());
  EXPECT_EQ(d.query(A(9), "QUERY ACTUAL LEVEL"), 100);
  EXPECT_EQ(d.query(A(0), "QUERY ACTUAL LEVEL"), 254);
  EXPECT_EQ(d.query(A(0), "QUERY POWER FAILURE"), 0xFF);
  EXPECT_EQ(d.query(A(0), "QUERY STATUS") & kStatusPowerCycleSeen,
            kStatusPowerCycleSeen);
  d.send(A(0), "OFF");
  EXPECT_EQ(d.query(A(0), "QUERY POWER FAILURE"), -1);
}

TEST(SimulatedBus, SilentGearObeysButNeverAnswers) {
  SimulatedBus bus;
  BusDriver d(bus);
  EXPECT_TRUE(bus.set_silent(5, true));
  EXPECT_FALSE(bus.set_silent(33, true));
  EXPECT_EQ(d.query(A(5), "QUERY CONTROL GEAR PRESENT"), -1);
  d.dapc(A(5), 120);
  EXPECT_EQ(bus.gear_at(5)->state.actual_level, 120);
  EXPECT_TRUE(bus.gear_at(5)->silent);
  // Group 2 holds 5 and 9; only 9 is heard.
  EXPECT_EQ(d.query(G(2), "QUERY ACTUAL LEVEL"), 85);
  bus.set_silent(5, false);
  EXPECT_EQ(d.query(A(5), "QUERY ACTUAL LEVEL"), 120);
}

TEST(SimulatedBus, ForcedCollisionHitsOnlyTheNextQuery) {
  SimulatedBus bus;
  BusDriver d(bus);
  bus.force_collision_next_query();
  EXPECT_EQ(d.send(A(0), "OFF").kind, Kind::NoAnswer);  // not a query
  EXPECT_EQ(d.query(A(0), "QUERY ACTUAL LEVEL"), -2);
  EXPECT_EQ(d.query(A(0), "QUERY ACTUAL LEVEL"), 0);
  // Even a query nobody answers collides.
  bus.force_collision_next_query();
  EXPECT_EQ(d.query(A(40), "QUERY STATUS"), -2);
}

TEST(SimulatedBus, TwentyFourBitFramesFindNoControlDevice) {
  // Gear alone: 24-bit frames are for control devices only.
  SimulatedBus bus(SimulatedBus::default_configuration());
  BusDriver d(bus);
  const uint8_t frame[3] = {0xFF, 0xFE, 0x30};
  EXPECT_EQ(bus.forward_frame(frame, 24, d.now()).kind, Kind::NoAnswer);
  EXPECT_EQ(bus.forward_frame(nullptr, 16, d.now()).kind, Kind::NoAnswer);
  EXPECT_TRUE(SimulatedBus::transmittable(16));
  EXPECT_TRUE(SimulatedBus::transmittable(24));
  EXPECT_FALSE(SimulatedBus::transmittable(8));
  EXPECT_FALSE(SimulatedBus::transmittable(40));
}

TEST(SimulatedBus, TransactionTimingKeepsTheBusLimits) {
  using std::chrono::microseconds;
  const auto answered = transaction_timing(BusResponse::answered(1), 16);
  EXPECT_NEAR(answered.echo.count(), 14167, 5);
  EXPECT_NEAR(answered.completion.count(), 14167 + 7000 + 9167, 5);
  const auto silent = transaction_timing(BusResponse::no_answer(), 16);
  EXPECT_NEAR(silent.completion.count(), 14167 + 10500, 5);
  EXPECT_NEAR(silent.bus_free.count(), 14167 + 13500, 5);
  // A query transaction lasts 27-41 ms whatever its outcome.
  for (const BusResponse& r :
       {BusResponse::answered(0), BusResponse::no_answer(),
        BusResponse::collision()}) {
    const auto total = transaction_duration(r, 16);
    EXPECT_GE(total, microseconds(27000));
    EXPECT_LE(total, microseconds(41000));
  }
  // The answer lies inside the backward window.
  const auto delay =
      answered.completion - answered.echo - timing::kBackwardFrame;
  EXPECT_GE(delay, timing::kBackwardWindowMin);
  EXPECT_LE(delay, timing::kBackwardWindowMax);
  EXPECT_EQ(transaction_duration(BusResponse::not_transmitted(), 16),
            microseconds(0));
  EXPECT_NEAR(transaction_timing(BusResponse::no_answer(), 24).echo.count(),
              20833, 5);
}

TEST(SimulatedBus, FaultsAndInspectionMayRunBesideTraffic) {
  // The server injects faults and lists gear from other threads than the
  // one that transmits.
  SimulatedBus bus;
  std::atomic<bool> done{false};
  std::atomic<unsigned> rounds{0};
  std::thread traffic([&] {
    BusDriver d(bus);
    // Goes on until the faults have run beside it, however the threads
    // are scheduled.
    for (int i = 0; i < 2000 || rounds.load() < 10; ++i) {
      d.dapc(BC(), static_cast<uint8_t>(i % 200 + 1));
      d.query(A(5), "QUERY ACTUAL LEVEL");
    }
    done = true;
  });
  while (!done) {
    bus.set_power(rounds % 2 == 0);
    bus.set_silent(9, rounds % 3 == 0);
    bus.force_collision_next_query();
    EXPECT_EQ(bus.gear().size(), 10u);
    ++rounds;
  }
  traffic.join();
  bus.set_power(true);
  bus.set_silent(9, false);
  EXPECT_GT(rounds, 0u);
}

}  // namespace
}  // namespace kovra62386::dali
