// The bridge's runtime logic that needs no broker and no bus: which frames
// make it read gear again and when, and how its options are read.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/bridge/bridge_options.h"
#include "cli/bridge/follower.h"
#include "cli/exit_codes.h"
#include "dali/dali_commands.h"

namespace kovra62386::cli::bridge {
namespace {

namespace gear = dali::gear;
using dali::Address;
using Timing = LevelChange::Timing;

std::vector<uint8_t> command(Address address, uint8_t opcode) {
  return {dali::address_byte(address, false), opcode};
}

TEST(FrameFollower, LevelChangingFramesNameTheirTargetAndTiming) {
  FrameFollower follower;
  const auto dapc = follower.observe(std::vector<uint8_t>{
      dali::address_byte(Address::short_address(7), true), 100});
  ASSERT_TRUE(dapc);
  EXPECT_EQ(dapc->target, Address::short_address(7));
  EXPECT_EQ(dapc->timing, Timing::Fade);
  // DAPC with MASK stops a fade where it is.
  EXPECT_EQ(
      follower
          .observe(std::vector<uint8_t>{
              dali::address_byte(Address::broadcast(), true), dali::kMaskLevel})
          ->timing,
      Timing::Now);
  const auto off = follower.observe(command(Address::group(3), gear::kOff));
  ASSERT_TRUE(off);
  EXPECT_EQ(off->target, Address::group(3));
  EXPECT_EQ(off->timing, Timing::Now);
  EXPECT_EQ(follower.observe(command(Address::broadcast(), gear::kUp))->timing,
            Timing::FadeRate);
  EXPECT_EQ(
      follower
          .observe(command(Address::short_address(1), gear::kGoToScene + 15))
          ->timing,
      Timing::Fade);
  EXPECT_FALSE(
      follower.observe(command(Address::short_address(1), gear::kQueryStatus)));
  EXPECT_FALSE(follower.observe(
      std::vector<uint8_t>{dali::special::kDtr0, gear::kRecallMaxLevel}));
  // Gear without a short address have no topic.
  EXPECT_FALSE(follower.observe(
      command(Address::broadcast_unaddressed(), gear::kRecallMaxLevel)));
}

TEST(FrameFollower, ActivateCountsOnlyRightAfterEnablingDeviceType8) {
  FrameFollower follower;
  const std::vector<uint8_t> enable{dali::special::kEnableDeviceType,
                                    dali::colour::kDeviceType};
  const auto activate =
      command(Address::short_address(2), dali::colour::kActivate);
  EXPECT_FALSE(follower.observe(activate));
  EXPECT_FALSE(follower.observe(enable));
  const auto change = follower.observe(activate);
  ASSERT_TRUE(change);
  EXPECT_TRUE(change->colour);
  // ENABLE DEVICE TYPE reaches one command only.
  follower.observe(enable);
  follower.observe(command(Address::short_address(2), gear::kQueryStatus));
  EXPECT_FALSE(follower.observe(activate));
  // Another device type's opcode 0xE2 is something else.
  follower.observe(std::vector<uint8_t>{dali::special::kEnableDeviceType, 6});
  EXPECT_FALSE(follower.observe(activate));
}

TEST(FrameFollower, KnowsWhichFramesAwaitAnAnswer) {
  FrameFollower follower;
  EXPECT_TRUE(follower.expects_answer(
      command(Address::short_address(4), gear::kQueryActualLevel)));
  EXPECT_FALSE(follower.expects_answer(std::vector<uint8_t>{
      dali::address_byte(Address::short_address(4), true), 0x90}));
  const auto colour_query =
      command(Address::short_address(4), dali::colour::kQueryColourValue);
  EXPECT_FALSE(follower.expects_answer(colour_query));
  follower.observe(std::vector<uint8_t>{dali::special::kEnableDeviceType,
                                        dali::colour::kDeviceType});
  EXPECT_TRUE(follower.expects_answer(colour_query));
  EXPECT_FALSE(follower.expects_answer(std::vector<uint8_t>{0xFF}));
}

// As the bus worker feeds the follower: the change first, then observe().
std::optional<IdentityChange> feed(FrameFollower& follower,
                                   const std::vector<uint8_t>& frame) {
  auto change = follower.identity_change(frame);
  follower.observe(frame);
  return change;
}

std::vector<uint8_t> dtr0(uint8_t value) {
  return {dali::special::kDtr0, value};
}

TEST(FrameFollower, GroupChangesAndResetNameTheGearReached) {
  FrameFollower follower;
  const auto add =
      feed(follower, command(Address::short_address(5), gear::kAddToGroup + 7));
  ASSERT_TRUE(add);
  EXPECT_EQ(add->target, Address::short_address(5));
  EXPECT_FALSE(add->new_address);
  EXPECT_EQ(
      feed(follower, command(Address::group(2), gear::kRemoveFromGroup + 15))
          ->target,
      Address::group(2));
  EXPECT_EQ(feed(follower, command(Address::broadcast(), gear::kReset))->target,
            Address::broadcast());
  // Neighbours of the group ranges, queries, DAPC with the same byte and
  // application extended commands change no identity.
  EXPECT_FALSE(feed(follower, command(Address::short_address(5),
                                      gear::kRemoveFromScene + 15)));
  EXPECT_FALSE(feed(
      follower, command(Address::short_address(5), gear::kQueryGroups0To7)));
  EXPECT_FALSE(feed(
      follower,
      std::vector<uint8_t>{dali::address_byte(Address::short_address(5), true),
                           gear::kAddToGroup}));
  feed(follower, std::vector<uint8_t>{dali::special::kEnableDeviceType,
                                      dali::colour::kDeviceType});
  EXPECT_FALSE(feed(
      follower, command(Address::short_address(5), dali::colour::kActivate)));
  EXPECT_FALSE(
      feed(follower, command(Address::broadcast_unaddressed(), gear::kReset)));
}

TEST(FrameFollower, SetShortAddressTakesTheNewAddressFromDtr0) {
  FrameFollower follower;
  const auto set = command(Address::short_address(5), gear::kSetShortAddress);
  feed(follower, dtr0(dali::short_address_data(20)));
  for (int twice = 0; twice < 2; ++twice) {
    const auto change = feed(follower, set);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->target, Address::short_address(5));
    EXPECT_EQ(change->new_address, 20);
  }
  // MASK takes the address away: only the gear reached is read again.
  feed(follower, dtr0(dali::kNoShortAddress));
  EXPECT_FALSE(feed(follower, set)->new_address);
  // A query of a colour value leaves its answer in DTR0.
  feed(follower, dtr0(dali::short_address_data(21)));
  feed(follower, std::vector<uint8_t>{dali::special::kEnableDeviceType,
                                      dali::colour::kDeviceType});
  feed(follower,
       command(Address::short_address(9), dali::colour::kQueryColourValue));
  const auto unknown = feed(follower, set);
  ASSERT_TRUE(unknown);
  EXPECT_FALSE(unknown->new_address);
  // Gear without an address given one: only the new address has a topic.
  feed(follower, dtr0(dali::short_address_data(33)));
  const auto given = feed(follower, command(Address::broadcast_unaddressed(),
                                            gear::kSetShortAddress));
  ASSERT_TRUE(given);
  EXPECT_FALSE(given->target);
  EXPECT_EQ(given->new_address, 33);
}

TEST(FrameFollower, ProgramShortAddressNamesTheAddressItGives) {
  FrameFollower follower;
  const auto change =
      feed(follower, std::vector<uint8_t>{dali::special::kProgramShortAddress,
                                          dali::short_address_data(63)});
  ASSERT_TRUE(change);
  EXPECT_FALSE(change->target);
  EXPECT_EQ(change->new_address, 63);
  // MASK names no gear; VERIFY SHORT ADDRESS only asks.
  EXPECT_FALSE(
      feed(follower, std::vector<uint8_t>{dali::special::kProgramShortAddress,
                                          dali::kNoShortAddress}));
  EXPECT_FALSE(
      feed(follower, std::vector<uint8_t>{dali::special::kVerifyShortAddress,
                                          dali::short_address_data(63)}));
}

TEST(FollowHelpers, GroupsReachOnlyPresentMembers) {
  std::array<uint16_t, 64> groups{};
  groups[1] = 1u << 3;
  groups[2] = 1u << 3 | 1u << 15;
  groups[9] = 1u << 3;
  const uint64_t present =
      (uint64_t{1} << 1) | (uint64_t{1} << 2) | (uint64_t{1} << 63);
  EXPECT_EQ(gear_reached(Address::group(3), groups, present),
            (uint64_t{1} << 1) | (uint64_t{1} << 2));
  EXPECT_EQ(gear_reached(Address::group(15), groups, present),
            uint64_t{1} << 2);
  EXPECT_EQ(gear_reached(Address::broadcast(), groups, present), present);
  EXPECT_EQ(gear_reached(Address::short_address(63), groups, present),
            uint64_t{1} << 63);
  EXPECT_EQ(gear_reached(Address::short_address(9), groups, present), 0u);
}

TEST(FollowHelpers, FadeTimesFollowTheSquareRootOfTwoSeries) {
  EXPECT_EQ(fade_time_duration(0).count(), 0);
  EXPECT_EQ(fade_time_duration(1).count(), 707);
  EXPECT_EQ(fade_time_duration(4).count(), 2000);
  EXPECT_EQ(fade_time_duration(15).count(), 90510);
  EXPECT_EQ(fade_time_duration(16).count(), 0);
}

TEST(RereadSchedule, KeepsTheLaterTimeAndHandsOutOnlyWhatIsDue) {
  RereadSchedule schedule;
  const auto t0 = FollowClock::now();
  using std::chrono::milliseconds;
  EXPECT_FALSE(schedule.next_due());
  schedule.add(0b0110, t0 + milliseconds(100));
  schedule.add(0b0100, t0 + milliseconds(500));  // faded again: later
  schedule.add(0b0010, t0 + milliseconds(50));   // earlier: ignored
  EXPECT_EQ(*schedule.next_due(), t0 + milliseconds(100));
  EXPECT_EQ(schedule.take_due(t0 + milliseconds(99)), 0u);
  EXPECT_EQ(schedule.take_due(t0 + milliseconds(100)), 0b0010u);
  EXPECT_EQ(*schedule.next_due(), t0 + milliseconds(500));
  EXPECT_EQ(schedule.take_due(t0 + milliseconds(1000)), 0b0100u);
  EXPECT_FALSE(schedule.next_due());
}

TEST(BridgeOptions, BrokerAddresses) {
  EXPECT_EQ(parse_broker("mqtt.local")->port, 1883);
  EXPECT_EQ(parse_broker("mqtt.local:8883")->host, "mqtt.local");
  EXPECT_EQ(parse_broker("mqtt.local:8883")->port, 8883);
  EXPECT_EQ(parse_broker("[::1]:1884")->host, "::1");
  EXPECT_EQ(parse_broker("[::1]")->port, 1883);
  for (const char* bad : {"", ":1883", "h:", "h:0", "h:65536", "h:12a", "::1",
                          "[::1]1883", "[]:1"}) {
    EXPECT_FALSE(parse_broker(bad)) << bad;
  }
}

class BridgeConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 ("bridge_config_" + std::to_string(process_id()));
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string write(const std::string& name, const std::string& text) {
    const auto path = directory_ / name;
    std::ofstream(path) << text;
    return path.string();
  }
  // Parses `bridge` with the words after it.
  BridgeArguments parse(std::vector<std::string> words) {
    CLI::App app;
    BridgeArguments arguments;
    add_bridge_command(app, arguments);
    words.insert(words.begin(), "bridge");
    std::reverse(words.begin(), words.end());
    app.parse(words);
    return arguments;
  }

  std::filesystem::path directory_;
};

TEST_F(BridgeConfig, FileGivesTheOptionsAndTheCommandLineWins) {
  const std::string config = write("bridge.conf",
                                   "broker = mqtt.example:1884\n"
                                   "node = hall\n"
                                   "prefix = site/dali\n"
                                   "no-discovery = true\n"
                                   "interface = [\"SIM-1\", \"SIM-2\"]\n");
  const BridgeArguments from_file = parse({"--config", config});
  EXPECT_EQ(from_file.broker, "mqtt.example:1884");
  EXPECT_EQ(from_file.node, "hall");
  EXPECT_EQ(from_file.prefix, "site/dali");
  EXPECT_TRUE(from_file.no_discovery);
  EXPECT_EQ(from_file.interfaces, (std::vector<std::string>{"SIM-1", "SIM-2"}));
  const BridgeArguments both =
      parse({"--config", config, "--node", "attic", "--interface", "SIM-3"});
  EXPECT_EQ(both.node, "attic");
  EXPECT_EQ(both.broker, "mqtt.example:1884");
  EXPECT_EQ(both.interfaces, std::vector<std::string>{"SIM-3"});
  // One line per interface, as a hand-written file has them.
  const BridgeArguments lines =
      parse({"--config", write("lines.conf",
                               "interface = SIM-1\ninterface = SIM-2\n"
                               "node = a\nnode = b\n")});
  EXPECT_EQ(lines.interfaces, (std::vector<std::string>{"SIM-1", "SIM-2"}));
  EXPECT_EQ(lines.node, "b");
}

TEST_F(BridgeConfig, PasswordFromItsFileAndNeverWithoutAUser) {
  BridgeArguments arguments;
  arguments.node = "hall";
  arguments.password_file = write("password", "s3cret\nsecond line\n");
  EXPECT_THROW(make_settings(arguments), CliError);
  arguments.username = "bridge";
  const BridgeSettings settings = make_settings(arguments);
  EXPECT_EQ(settings.password, "s3cret");
  // Unique per node and process.
  EXPECT_EQ(settings.client_id,
            "kovra62386-hall-" + std::to_string(process_id()));
  arguments.password_file = (directory_ / "missing").string();
  EXPECT_THROW(make_settings(arguments), CliError);
}

TEST_F(BridgeConfig, TopicLevelsAreChecked) {
  for (const auto& [node, prefix] :
       std::vector<std::pair<std::string, std::string>>{
           {"a/b", "p"}, {"a+", "p"}, {"n", "p/#"}, {"n", "p//q"}, {"n", ""}}) {
    BridgeArguments arguments;
    arguments.node = node;
    arguments.prefix = prefix;
    EXPECT_THROW(make_settings(arguments), CliError) << node << " " << prefix;
  }
}

}  // namespace
}  // namespace kovra62386::cli::bridge
