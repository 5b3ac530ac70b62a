#include "dali/commissioning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "simulator/simulated_transport.h"
#include "support/dali_test_support.h"

namespace kovra62386::dali {
namespace {

using namespace testing;

// Every gear has a short address, and no two share one.
void expect_all_addressed_uniquely(const SimulatedBus& bus) {
  std::set<uint8_t> seen;
  for (const GearInfo& g : bus.gear()) {
    EXPECT_TRUE(g.state.has_short_address()) << "gear " << g.index;
    EXPECT_TRUE(seen.insert(g.state.short_address).second)
        << "address " << int(g.state.short_address) << " twice";
    EXPECT_EQ(g.state.initialisation, InitialisationState::Disabled);
  }
}

// A transport over `bus` that counts the frames sent (a frame sent twice is
// two) and the bus time they took.
struct Metered {
  SimulatedBus& bus;
  Clock::time_point now{};
  unsigned frames = 0;

  Transact transact() {
    return [this](uint8_t a, uint8_t b, bool twice) {
      const uint8_t frame[2] = {a, b};
      BusResponse r;
      for (int i = 0; i < (twice ? 2 : 1); ++i, ++frames) {
        r = bus.forward_frame(frame, 16, now);
        now += transaction_duration(r, 16);
      }
      return r;
    };
  }
};

// `count` gear without a short address, each with a generator of its own.
std::vector<GearConfig> fresh_gear(unsigned count) {
  std::vector<GearConfig> gear(count);
  for (unsigned i = 0; i < count; ++i) gear[i].seed = 7000 + i;
  return gear;
}

TEST(Commissioning, StopsAtOnceWhenNoGearIsWithoutAnAddress) {
  std::vector<GearConfig> gear(2);
  gear[0].short_address = 0;
  gear[1].short_address = 1;
  SimulatedBus bus(gear);
  const CommissioningResult r = commission(simulated_transport(bus));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.assigned.empty());
  // No address asked (none is to be given): TERMINATE, INITIALISE,
  // RANDOMISE, the search address, one COMPARE and TERMINATE.
  EXPECT_EQ(r.transactions, 8u);
}

TEST(Commissioning, ALoneGearTellsItsRandomAddress) {
  SimulatedBus bus(fresh_gear(1));
  const CommissioningResult r = commission(simulated_transport(bus));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.assigned, (std::vector<uint8_t>{0}));
  expect_all_addressed_uniquely(bus);
  // QUERY RANDOM ADDRESS instead of a search of some 40 frames, and one
  // address asked instead of a scan of 64.
  EXPECT_LE(r.transactions, 30u);
}

TEST(Commissioning, SixtyFourGearAtTheBusPace) {
  SimulatedBus bus(fresh_gear(64));
  Metered metered{bus};
  const CommissioningResult r = commission(metered.transact());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.assigned.size(), 64u);
  expect_all_addressed_uniquely(bus);
  // Restarting from the top for every gear, or sending every search-address
  // byte for every COMPARE, costs well over 52 frames and 1.6 s per gear.
  EXPECT_LE(metered.frames, 52u * 64u);
  EXPECT_LE(metered.now - Clock::time_point{},
            64 * std::chrono::milliseconds(1600));
}

TEST(Commissioning, SeparatesEightGearThatDrewOneRandomAddress) {
  // Where twins answer in step, only the check after the search sees them.
  for (CollisionPolicy policy :
       {CollisionPolicy::SameByteInStep, CollisionPolicy::SameByteIsValid}) {
    std::vector<GearConfig> gear = fresh_gear(64);
    for (unsigned i = 0; i < 8; ++i)
      gear[i * 8].first_random_address = 0x5A5A5A;
    SimulatedBus bus(gear, policy);
    const CommissioningResult r = commission(simulated_transport(bus));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.assigned.size(), 64u);
    expect_all_addressed_uniquely(bus);
  }
}

TEST(Commissioning, FindsGearThatJoinBelowWhatWasSearched) {
  // Half way through, a gear not yet found draws an address below every
  // gear found so far: the search must forget what it knew to find it.
  SimulatedBus bus(fresh_gear(16));
  CommissioningOptions options;
  bool moved = false;
  options.progress = [&](const CommissioningProgress& p) {
    if (moved || p.assigned != 8) return;
    for (const GearInfo& g : bus.gear()) {
      if (!g.state.has_short_address() &&
          g.state.initialisation == InitialisationState::Enabled) {
        bus.gear_object(g.index).set_random_address(0x000001);
        moved = true;
        return;
      }
    }
  };
  const CommissioningResult r = commission(simulated_transport(bus), options);
  ASSERT_TRUE(moved);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.assigned.size(), 16u);
  expect_all_addressed_uniquely(bus);
}

TEST(Commissioning, AddressesTheFreshGearOfTheDefaultBus) {
  SimulatedBus bus;
  const auto before = bus.gear();
  std::vector<CommissioningProgress> progress;
  CommissioningOptions options;
  options.progress = [&](const CommissioningProgress& p) {
    progress.push_back(p);
  };
  const CommissioningResult r = commission(simulated_transport(bus), options);
  ASSERT_TRUE(r.ok) << r.error;
  // The free addresses after 0, 1, 2, 5 and 9, lowest first.
  EXPECT_EQ(r.assigned, (std::vector<uint8_t>{3, 4, 6}));
  EXPECT_EQ(r.left_without_address, 0u);
  expect_all_addressed_uniquely(bus);
  // Addressed gear keep their address and level.
  const auto after = bus.gear();
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(after[i].state.short_address, before[i].state.short_address);
    EXPECT_EQ(after[i].state.actual_level, before[i].state.actual_level);
  }
  // Progress runs through the stages in order and ends with Done.
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front().stage, CommissioningProgress::Stage::Searching);
  // Only the addresses up to the last one given were asked.
  EXPECT_EQ(r.already_used, (std::vector<uint8_t>{0, 1, 2, 5}));
  EXPECT_EQ(progress.back().stage, CommissioningProgress::Stage::Done);
  EXPECT_EQ(progress.back().assigned, 3u);
  EXPECT_EQ(progress.back().transactions, r.transactions);
  for (size_t i = 1; i < progress.size(); ++i) {
    EXPECT_LE(progress[i - 1].stage, progress[i].stage);
  }
  // A second run finds nothing to do.
  const CommissioningResult again = commission(simulated_transport(bus));
  ASSERT_TRUE(again.ok);
  EXPECT_TRUE(again.assigned.empty());
}

// Four fresh gear, two of which draw the same random address first; the
// twins answer 1 ms apart.
std::vector<GearConfig> twins_bus() {
  std::vector<GearConfig> gear;
  GearConfig addressed;
  addressed.short_address = 0;
  gear.push_back(addressed);
  for (uint64_t seed = 11; seed <= 14; ++seed) {
    GearConfig c;
    c.seed = seed;
    if (seed <= 12) {
      c.first_random_address = 0x123456;
      c.answer_delay = std::chrono::microseconds(5500 + 1000 * (seed - 11));
    }
    gear.push_back(c);
  }
  return gear;
}

TEST(Commissioning, SeparatesGearThatDrewTheSameRandomAddress) {
  for (CollisionPolicy policy :
       {CollisionPolicy::SameByteInStep, CollisionPolicy::SameByteIsValid,
        CollisionPolicy::AnyTwoAnswersCollide}) {
    SimulatedBus bus(twins_bus(), policy);
    const CommissioningResult r = commission(simulated_transport(bus));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.assigned.size(), 4u);
    expect_all_addressed_uniquely(bus);
  }
}

TEST(Commissioning, WithoutVerificationTwinsShareAnAddress) {
  // Shows why the verification pass exists.
  SimulatedBus bus(twins_bus(), CollisionPolicy::SameByteIsValid);
  CommissioningOptions options;
  options.verify_unique = false;
  const CommissioningResult r = commission(simulated_transport(bus), options);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.assigned.size(), 3u);
  const auto gear = bus.gear();
  EXPECT_EQ(gear[1].state.short_address, gear[2].state.short_address);
}

TEST(Commissioning, ManualSearchStepByStep) {
  // The commands one by one, as a tool would send them, against two twins.
  SimulatedBus bus(twins_bus());
  BusDriver d(bus);
  d.special("TERMINATE");
  d.special("INITIALISE", 0xFF);
  d.special("RANDOMISE");
  auto search = [&](uint32_t v) {
    d.special("SEARCHADDRH", static_cast<uint8_t>(v >> 16));
    d.special("SEARCHADDRM", static_cast<uint8_t>(v >> 8));
    d.special("SEARCHADDRL", static_cast<uint8_t>(v));
  };
  search(0x123456);
  // Both twins say yes, 1 ms apart: the master sees a framing error, and
  // knows that more than one gear is at this random address.
  EXPECT_EQ(d.query(BC(), "COMPARE"), -2);
  // Both answer QUERY SHORT ADDRESS with the same MASK byte: again garbled.
  EXPECT_EQ(d.query(BC(), "QUERY SHORT ADDRESS"), -2);
  d.special("PROGRAM SHORT ADDRESS", short_address_data(7));
  EXPECT_EQ(d.query(BC(), "VERIFY SHORT ADDRESS", short_address_data(7)), -2);
  d.special("WITHDRAW");
  // Withdrawn gear no longer answer COMPARE but still obey PROGRAM SHORT
  // ADDRESS and QUERY SHORT ADDRESS at their search address.
  const auto gear = bus.gear(d.now());
  EXPECT_EQ(gear[1].state.initialisation, InitialisationState::Withdrawn);
  EXPECT_EQ(gear[2].state.initialisation, InitialisationState::Withdrawn);
  EXPECT_EQ(d.query(BC(), "QUERY SHORT ADDRESS"), -2);
  search(0x123455);
  EXPECT_EQ(d.query(BC(), "COMPARE"), -1);
  search(0xFFFFFF);
  EXPECT_EQ(d.query(BC(), "COMPARE"), -2);  // the two others remain
  // The twins, now both at 7, are told apart by randomising only them.
  d.special("TERMINATE");
  d.special("INITIALISE", short_address_data(7));
  d.special("RANDOMISE");
  const auto split = bus.gear(d.now());
  EXPECT_NE(split[1].state.random_address, split[2].state.random_address);
  EXPECT_EQ(split[3].state.initialisation, InitialisationState::Disabled);
}

TEST(Commissioning, StopsWhenTheBusLosesPower) {
  SimulatedBus bus;
  auto inner = simulated_transport(bus);
  unsigned count = 0;
  const CommissioningResult r =
      commission([&](uint8_t a, uint8_t b, bool twice) {
        if (++count == 100) bus.set_power(false);
        return inner(a, b, twice);
      });
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("not transmitted"), std::string::npos);
  EXPECT_EQ(r.transactions, 100u);
  EXPECT_FALSE(commission(Transact{}).ok);
}

TEST(Commissioning, AddressesEveryGearWhenAFrameIsLost) {
  // PROGRAM SHORT ADDRESS is not verified: a gear that missed it is
  // withdrawn without an address (the first gear found; the last, which is
  // not withdrawn), and only the check after the search sees it. A gear
  // that missed WITHDRAW answers every COMPARE from below the floor: the
  // search must not give address after address to nobody.
  const std::pair<uint8_t, unsigned> losses[] = {
      {special::kProgramShortAddress, 1},
      {special::kProgramShortAddress, 16},
      {special::kWithdraw, 3}};
  for (const auto& [command, lost] : losses) {
    SimulatedBus bus(fresh_gear(16));
    auto inner = simulated_transport(bus);
    unsigned seen = 0;
    const CommissioningResult r =
        commission([&](uint8_t a, uint8_t b, bool twice) {
          if (a == command && ++seen == lost) {
            return BusResponse::no_answer();  // lost on the bus
          }
          return inner(a, b, twice);
        });
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.assigned.size(), 16u) << int(command) << " " << lost;
    EXPECT_LT(*std::max_element(r.assigned.begin(), r.assigned.end()), 18)
        << int(command) << " " << lost;
    expect_all_addressed_uniquely(bus);
  }
}

TEST(Commissioning, ReportsGearLeftWhenNoAddressIsFree) {
  std::vector<GearConfig> gear(64);
  for (uint8_t a = 0; a < 64; ++a) gear[a].short_address = a;
  gear.emplace_back();  // one fresh gear too many
  SimulatedBus bus(gear);
  const CommissioningResult r = commission(simulated_transport(bus));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.assigned.empty());
  EXPECT_EQ(r.left_without_address, 1u);
}

// Gear on addresses 0-62 and two fresh gear that drew one random address;
// `one_generator`: the two draw alike for ever, and answer 1 ms apart.
std::vector<GearConfig> twins_beside_62_addressed(bool one_generator) {
  std::vector<GearConfig> gear(65);
  for (uint8_t a = 0; a < 63; ++a) gear[a].short_address = a;
  for (unsigned i = 63; i < 65; ++i) {
    gear[i].seed = one_generator ? 5 : i;
    gear[i].first_random_address = 0x424242;
    if (one_generator) {
      gear[i].answer_delay = std::chrono::microseconds(5500 + 1000 * (i - 63));
    }
  }
  return gear;
}

// How many gear hold each short address.
std::map<uint8_t, unsigned> holders(const SimulatedBus& bus) {
  std::map<uint8_t, unsigned> count;
  for (const GearInfo& g : bus.gear()) {
    if (g.state.has_short_address()) ++count[g.state.short_address];
  }
  return count;
}

TEST(Commissioning, TheSpareTwinGoesWithoutWhenNoAddressIsFree) {
  // The twins look like one gear and both take 63; once told apart, the
  // spare one must not keep it.
  SimulatedBus bus(twins_beside_62_addressed(false),
                   CollisionPolicy::SameByteIsValid);
  const CommissioningResult r = commission(simulated_transport(bus));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.assigned, (std::vector<uint8_t>{63}));
  EXPECT_EQ(r.left_without_address, 1u);
  const auto count = holders(bus);
  EXPECT_EQ(count.size(), 64u);
  for (const auto& [address, n] : count) EXPECT_EQ(n, 1u) << int(address);
}

TEST(Commissioning, TwinsThatAlwaysDrawAlikeLoseTheSharedAddress) {
  SimulatedBus bus(twins_beside_62_addressed(true));
  const CommissioningResult r = commission(simulated_transport(bus));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.inseparable, (std::vector<uint8_t>{63}));
  EXPECT_TRUE(r.assigned.empty());
  EXPECT_EQ(r.left_without_address, 2u);
  EXPECT_EQ(holders(bus).count(63), 0u);
}

// Bit n for each short address from `first` to `last`.
uint64_t addresses(unsigned first, unsigned last) {
  uint64_t set = 0;
  for (unsigned a = first; a <= last; ++a) set |= uint64_t{1} << a;
  return set;
}

TEST(Commissioning, ReaddressesEveryGearIntoTheAllowedAddresses) {
  std::vector<GearConfig> gear = fresh_gear(6);
  for (uint8_t i = 0; i < 3; ++i) gear[i].short_address = i;
  SimulatedBus bus(gear);
  CommissioningOptions options;
  options.readdress = true;
  options.allowed = addresses(20, 29);
  const CommissioningResult r = commission(simulated_transport(bus), options);
  ASSERT_TRUE(r.ok) << r.error;
  expect_all_addressed_uniquely(bus);
  ASSERT_EQ(r.gear.size(), 6u);
  // Each gear reported with the random address it holds at the end (drawn
  // again by the check for twins).
  for (const CommissionedGear& g : r.gear) {
    EXPECT_GE(g.short_address, 20);
    EXPECT_LE(g.short_address, 29);
    for (const GearInfo& info : bus.gear()) {
      if (info.state.short_address == g.short_address) {
        EXPECT_EQ(g.random_address, info.state.random_address);
      }
    }
  }
}

TEST(Commissioning, ReaddressingLeavesNoOldAddressBehind) {
  // Three addressed gear, two addresses to give among their own: the gear
  // left over must not keep an address another gear now holds.
  std::vector<GearConfig> gear = fresh_gear(3);
  for (uint8_t i = 0; i < 3; ++i) gear[i].short_address = 10 + i;
  SimulatedBus bus(gear);
  CommissioningOptions options;
  options.readdress = true;
  options.allowed = addresses(11, 12);
  const CommissioningResult r = commission(simulated_transport(bus), options);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.left_without_address, 1u);
  unsigned without = 0;
  for (const GearInfo& g : bus.gear()) {
    without += !g.state.has_short_address();
  }
  EXPECT_EQ(without, 1u);
}

TEST(Commissioning, ReaddressingCutShortLeavesNoAddressHeldTwice) {
  std::vector<GearConfig> gear = fresh_gear(6);
  for (uint8_t i = 0; i < 6; ++i) gear[i].short_address = i;
  SimulatedBus bus(gear);
  CommissioningOptions options;
  options.readdress = true;
  options.progress = [&](const CommissioningProgress& p) {
    if (p.assigned == 1) bus.set_power(false);
  };
  const CommissioningResult r = commission(simulated_transport(bus), options);
  EXPECT_FALSE(r.ok);
  for (const auto& [address, n] : holders(bus))
    EXPECT_EQ(n, 1u) << int(address);
}

TEST(Commissioning, AsksAndGivesOnlyTheAllowedAddresses) {
  std::vector<GearConfig> gear = fresh_gear(2);
  gear.emplace_back().short_address = 7;
  SimulatedBus bus(gear);
  CommissioningOptions options;
  options.allowed = addresses(7, 8);
  const CommissioningResult r = commission(simulated_transport(bus), options);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.already_used, (std::vector<uint8_t>{7}));
  EXPECT_EQ(r.assigned, (std::vector<uint8_t>{8}));
  EXPECT_EQ(r.left_without_address, 1u);
}

}  // namespace
}  // namespace kovra62386::dali
