#include "simulator/simulated_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/dali_test_support.h"

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
  // Every gear says yes, each after its own delay: out of step, they
  // collide all the same.
  EXPECT_EQ(d.query(BC(), "QUERY CONTROL GEAR PRESENT"), -2);
  EXPECT_EQ(
      d.query(Address::broadcast_unaddressed(), "QUERY MISSING SHORT ADDRESS"),
      -2);
}

TEST(SimulatedBus, IdenticalAnswersCollideUnlessInStep) {
  // Three gear answer "yes"; the delays decide.
  auto gear = [](std::initializer_list<int> delays_us) {
    std::vector<GearConfig> all;
    for (int us : delays_us) {
      GearConfig c;
      c.answer_delay = std::chrono::microseconds(us);
      all.push_back(c);
    }
    return all;
  };
  const auto tolerance = std::chrono::duration_cast<std::chrono::microseconds>(
                             timing::kBitTolerance)
                             .count();
  {
    SimulatedBus bus(gear({6000, 6000 + static_cast<int>(tolerance)}));
    BusDriver d(bus);
    const BusResponse r = d.send(BC(), "QUERY CONTROL GEAR PRESENT");
    EXPECT_EQ(r, BusResponse::answered(0xFF));
    EXPECT_EQ(r.delay, std::chrono::microseconds(6000));
  }
  {
    SimulatedBus bus(gear({6000, 6000 + static_cast<int>(tolerance) + 1}));
    BusDriver d(bus);
    const BusResponse r = d.send(BC(), "QUERY CONTROL GEAR PRESENT");
    EXPECT_EQ(r, BusResponse::collision());
    // The garble lasts until the later frame ends.
    EXPECT_EQ(r.spread, std::chrono::microseconds(tolerance + 1));
  }
  // The other policies, whatever the delays.
  for (auto [policy, expected] :
       {std::pair{CollisionPolicy::SameByteIsValid, 0xFF},
        std::pair{CollisionPolicy::AnyTwoAnswersCollide, -2}}) {
    SimulatedBus bus(gear({5500, 10500}), policy);
    BusDriver d(bus);
    EXPECT_EQ(d.query(BC(), "QUERY CONTROL GEAR PRESENT"), expected);
  }
  // Without delays of their own, gear draw them from the seed: the same
  // seed, the same delays; all inside the window.
  const auto draws = [](uint64_t seed) {
    std::vector<std::chrono::microseconds> delays;
    for (const GearInfo& g : SimulatedBus(SimulatedBus::default_configuration(),
                                          kDefaultCollisionPolicy, seed)
                                 .gear()) {
      EXPECT_GE(g.answer_delay, timing::kAnswerDelay.min);
      EXPECT_LE(g.answer_delay, timing::kAnswerDelay.max);
      delays.push_back(g.answer_delay);
    }
    return delays;
  };
  EXPECT_EQ(draws(7), draws(7));
  EXPECT_NE(draws(7), draws(8));
}

TEST(SimulatedBus, PowerLossStopsTransmissionAndAppliesFailureLevel) {
  SimulatedBus bus;
  BusDriver d(bus);
  EXPECT_TRUE(bus.powered());
  bus.set_power(false, d.now());
  EXPECT_FALSE(bus.powered());
  const uint8_t frame[2] = {0x01, gear::kQueryActualLevel};
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
  const uint8_t frame[3] = {device::kBroadcast, device::kInstanceDevice,
                            device::op::kQueryDeviceStatus};
  EXPECT_EQ(bus.forward_frame(frame, 24, d.now()).kind, Kind::NoAnswer);
  EXPECT_EQ(bus.forward_frame(nullptr, 16, d.now()).kind, Kind::NoAnswer);
  EXPECT_TRUE(SimulatedBus::transmittable(16));
  EXPECT_TRUE(SimulatedBus::transmittable(24));
  EXPECT_FALSE(SimulatedBus::transmittable(8));
  EXPECT_FALSE(SimulatedBus::transmittable(40));
}

TEST(BusTiming, TableHoldsTheStandardsNumbers) {
  using std::chrono::microseconds;
  const auto us = [](std::chrono::nanoseconds d) {
    return static_cast<double>(d.count()) / 1000.0;
  };
  EXPECT_NEAR(us(timing::kBitTime), 1e6 / 1200, 0.01);  // 1200 bit/s
  EXPECT_NEAR(us(timing::forward_frame(16)), 17 * 833.333, 0.1);
  EXPECT_NEAR(us(timing::forward_frame(24)), 25 * 833.333, 0.1);
  EXPECT_NEAR(us(timing::kBackwardFrame), 9 * 833.333, 0.1);
  EXPECT_EQ(timing::kStopCondition, microseconds(2450));
  EXPECT_EQ(timing::kAnswerDelay.min, microseconds(5500));
  EXPECT_EQ(timing::kAnswerDelay.max, microseconds(10500));
  const std::array<std::pair<int, int>, 5> settling{{{13500, 14700},
                                                     {14900, 16100},
                                                     {16300, 17700},
                                                     {17900, 19300},
                                                     {19500, 21100}}};
  for (unsigned p = 1; p <= 5; ++p) {
    EXPECT_EQ(timing::forward_settling(p).min.count(), settling[p - 1].first);
    EXPECT_EQ(timing::forward_settling(p).max.count(), settling[p - 1].second);
  }
  EXPECT_EQ(timing::kSendTwicePriority, 1u);
  // The fastest a conforming bus answers 16-bit queries: 24.6 per second.
  EXPECT_NEAR(1e6 / us(timing::shortest_query_transaction()), 24.59, 0.01);

  // One transaction, from the start of its forward frame.
  const auto answered =
      transaction_timing(BusResponse::answered(1, microseconds(7000)), 16);
  EXPECT_NEAR(us(answered.echo), 14166.7 + 2450, 1);
  EXPECT_NEAR(us(answered.quiet), 14166.7 + 7000 + 7500, 1);
  EXPECT_NEAR(us(answered.completion), 14166.7 + 7000 + 7500 + 2450, 1);
  EXPECT_NEAR(us(answered.next_forward(3)), us(answered.quiet) + 16300, 1);
  const auto silent = transaction_timing(BusResponse::no_answer(), 16);
  EXPECT_NEAR(us(silent.completion), 14166.7 + 10500, 1);
  EXPECT_NEAR(us(transaction_duration(BusResponse::no_answer(), 16)),
              14166.7 + 13500, 1);
  EXPECT_EQ(transaction_duration(BusResponse::not_transmitted(), 16),
            std::chrono::nanoseconds(0));
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
  do {  // at least once, however fast the traffic ends
    bus.set_power(rounds % 2 == 0);
    bus.set_silent(9, rounds % 3 == 0);
    bus.force_collision_next_query();
    EXPECT_EQ(bus.gear().size(), 10u);
    ++rounds;
  } while (!done);
  traffic.join();
  bus.set_power(true);
  bus.set_silent(9, false);
  EXPECT_GT(rounds, 0u);
}

}  // namespace
}  // namespace kovra62386::dali
