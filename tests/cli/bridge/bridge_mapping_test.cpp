// The bridge's pure part: topics, Home Assistant payloads, discovery
// configs and the per-bus command queue. No broker, no bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/bridge/command_queue.h"
#include "cli/bridge/discovery.h"
#include "cli/bridge/light.h"
#include "cli/bridge/messages.h"
#include "cli/bridge/topics.h"
#include "dali/dali_commands.h"
#include "dali/device_commands.h"

namespace kovra62386::cli::bridge {
namespace {

using nlohmann::json;
namespace gear = dali::gear;
namespace special = dali::special;

const TopicScheme kTopics("site/kovra62386", "node1");

LightTarget short_target(uint8_t a) {
  return {dali::Address::short_address(a)};
}

GearFrame dapc(uint8_t a, uint8_t level) {
  return {dali::address_byte(dali::Address::short_address(a), true), level,
          false};
}
GearFrame cmd(uint8_t a, uint8_t opcode, bool twice = false) {
  return {dali::address_byte(dali::Address::short_address(a), false), opcode,
          twice};
}

LightCommand set(std::string_view payload, LightTarget target = short_target(5),
                 const SetContext& context = {}) {
  auto result = parse_light_set("t", target, payload, context);
  if (const auto* error = error_of(result)) ADD_FAILURE() << error->problem;
  return std::get<LightCommand>(result);
}

TEST(BridgeTopic, CommandTopicsParseBackToTheirTarget) {
  const auto gear63 = std::get<CommandTopic>(
      kTopics.parse_command(kTopics.gear_set("bus-a", 63)));
  EXPECT_EQ(gear63.interface_name, "bus-a");
  EXPECT_EQ(gear63.target.address, dali::Address::short_address(63));
  const auto group15 =
      std::get<CommandTopic>(kTopics.parse_command(kTopics.group_set("b", 15)));
  EXPECT_EQ(group15.target.address, dali::Address::group(15));
  const auto all =
      std::get<CommandTopic>(kTopics.parse_command(kTopics.broadcast_set("b")));
  EXPECT_EQ(all.target.address, dali::Address::broadcast());
  const auto send =
      std::get<CommandTopic>(kTopics.parse_command(kTopics.send("b")));
  EXPECT_EQ(send.kind, CommandTopic::Kind::Send);
  EXPECT_EQ(kTopics.gear_state("b", 7), "site/kovra62386/node1/b/gear/7/state");
}

TEST(BridgeTopic, OutOfRangeOrOddlyWrittenTargetsAreErrorsNamingTheTopic) {
  for (const std::string topic : {"site/kovra62386/node1/b/gear/64/set",
                                  "site/kovra62386/node1/b/group/16/set",
                                  "site/kovra62386/node1/b/gear/05/set",
                                  "site/kovra62386/node1/b/gear/-1/set",
                                  "site/kovra62386/node1/b/gear/x/set",
                                  "site/kovra62386/node1/b/gear/5/state",
                                  "site/kovra62386/node2/b/gear/5/set",
                                  "site/kovra62386/node1//gear/5/set",
                                  "site/kovra62386/node1/b/c/gear/5/set"}) {
    const auto result = kTopics.parse_command(topic);
    const BridgeError* error = error_of(result);
    ASSERT_NE(error, nullptr) << topic;
    EXPECT_EQ(error->topic, topic);
  }
}

TEST(BridgeLightSet, StateAndBrightnessBecomeDapcOffAndRecall) {
  EXPECT_EQ(set(R"({"state":"ON","brightness":200})").frames,
            std::vector<GearFrame>{dapc(5, 200)});
  EXPECT_EQ(set(R"({"state":"OFF"})").frames,
            std::vector<GearFrame>{cmd(5, gear::kOff)});
  EXPECT_EQ(set(R"({"state":"ON"})").frames,
            std::vector<GearFrame>{cmd(5, gear::kRecallMaxLevel)});
  SetContext edition2;
  edition2.has_last_active_level = true;
  EXPECT_EQ(set(R"({"state":"ON"})", short_target(5), edition2).frames,
            std::vector<GearFrame>{cmd(5, gear::kGoToLastActiveLevel)});
  SetContext lit;
  lit.known_on = true;  // ON to a lit gear must not jump to full
  const auto nothing_to_do =
      set(R"({"state":"ON","transition":2})", short_target(5), lit);
  EXPECT_TRUE(nothing_to_do.frames.empty());
  EXPECT_FALSE(nothing_to_do.level_only);
  const auto group = set(R"({"brightness":10})", {dali::Address::group(3)});
  EXPECT_EQ(group.frames.at(0).text(), "group 3: DAPC 10");
}

TEST(BridgeLightSet, ColorTempIsTheDeviceType8Sequence) {
  SetContext tc;
  tc.colour_temperature = true;
  const auto command =
      set(R"({"state":"ON","color_temp":370,"brightness":100})",
          short_target(5), tc);
  const std::vector<GearFrame> expected = {
      {special::kDtr0, 370 & 0xFF, false},
      {special::kDtr1, 370 >> 8, false},
      {special::kEnableDeviceType, dali::colour::kDeviceType, false},
      cmd(5, dali::colour::kSetTemporaryColourTemperature),
      {special::kEnableDeviceType, dali::colour::kDeviceType, false},
      cmd(5, dali::colour::kActivate),
      dapc(5, 100)};
  EXPECT_EQ(command.frames, expected);
  EXPECT_FALSE(command.level_only);
}

TEST(BridgeLightSet, TransitionSetsTheNearestFadeTimeAndRestoresTheGears) {
  EXPECT_EQ(nearest_fade_time(0.0), 0);
  EXPECT_EQ(nearest_fade_time(0.3), 0);
  EXPECT_EQ(nearest_fade_time(0.5), 1);  // 0.71 s is nearer than none
  EXPECT_EQ(nearest_fade_time(2.0), 4);
  EXPECT_EQ(nearest_fade_time(3.5), 6);  // 4 s, not 5.66 s
  EXPECT_EQ(nearest_fade_time(1000.0), 15);
  SetContext context;
  context.fade_time = 0;
  const std::vector<GearFrame> expected = {{special::kDtr0, 4, false},
                                           cmd(5, gear::kSetFadeTime, true),
                                           dapc(5, 50),
                                           {special::kDtr0, 0, false},
                                           cmd(5, gear::kSetFadeTime, true)};
  EXPECT_EQ(set(R"({"brightness":50,"transition":2})", short_target(5), context)
                .frames,
            expected);
  context.fade_time = 4;  // already so: nothing to set
  EXPECT_EQ(set(R"({"brightness":50,"transition":2})", short_target(5), context)
                .frames,
            std::vector<GearFrame>{dapc(5, 50)});
}

TEST(BridgeLightSet, BadPayloadsAreErrorsNamingTopicAndProblem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{", "not JSON"},
      {"[1]", "object"},
      {R"({"state":"on"})", "state"},
      {R"({"brightness":255})", "brightness"},
      {R"({"brightness":-1})", "brightness"},
      {R"({"brightness":12.5})", "brightness"},
      {R"({"brightness":"100"})", "brightness"},
      {R"({"color_temp":0})", "color_temp"},
      {R"({"color_temp":300})", "device type 8"},  // plain gear
      {R"({"state":"ON","transition":-1})", "transition"},
      {R"({"state":"ON","effect":"rainbow"})", "effect"},
      {R"({"state":"OFF","brightness":20})", "OFF"},
      {R"({})", "nothing to do"},
  };
  for (const auto& [payload, word] : cases) {
    const auto result =
        parse_light_set("p/n/b/gear/5/set", short_target(5), payload);
    const BridgeError* error = error_of(result);
    ASSERT_NE(error, nullptr) << payload;
    EXPECT_EQ(error->topic, "p/n/b/gear/5/set");
    EXPECT_NE(error->problem.find(word), std::string::npos) << error->problem;
  }
}

TEST(BridgeState, MaskOrUnansweredLevelIsNeverABrightness) {
  for (const std::optional<uint8_t> level :
       {std::optional<uint8_t>{}, std::optional<uint8_t>{255}}) {
    const json state = gear_state_payload({level, false, std::nullopt});
    EXPECT_TRUE(state["state"].is_null());
    EXPECT_FALSE(state.contains("brightness"));
  }
  EXPECT_EQ(gear_state_payload({0, false, std::nullopt}),
            json({{"state", "OFF"}, {"color_mode", "brightness"}}));
  const json tc = gear_state_payload({254, true, dali::colour::kMirekMask});
  EXPECT_EQ(tc["brightness"], 254);
  EXPECT_FALSE(tc.contains("color_temp"));
  EXPECT_EQ(gear_state_payload({254, true, 250})["color_temp"], 250);
}

TEST(BridgeState, GroupStateFollowsItsMembers) {
  const std::vector<GearState> mixed = {
      {0, false, {}}, {100, false, {}}, {255, false, {}}};
  EXPECT_EQ(group_state_payload(mixed)["brightness"], 100);
  const std::vector<GearState> off_or_unknown = {{0, false, {}},
                                                 {std::nullopt, false, {}}};
  EXPECT_TRUE(group_state_payload(off_or_unknown)["state"].is_null());
  const std::vector<GearState> off = {{0, false, {}}, {0, false, {}}};
  EXPECT_EQ(group_state_payload(off)["state"], "OFF");
  EXPECT_TRUE(group_state_payload({})["state"].is_null());
}

TEST(BridgeSend, RawFrameAndItsReply) {
  const auto request = std::get<SendRequest>(
      parse_send("t", R"({"id":"q1","data":"0bA0","bits":16,"twice":true})"));
  const std::vector<uint8_t> expected = {
      dali::address_byte(dali::Address::short_address(5), false),
      gear::kQueryActualLevel};
  EXPECT_EQ(request.bytes, expected);
  EXPECT_EQ(request.id, "q1");
  EXPECT_TRUE(request.send_twice);
  for (const char* bad :
       {R"({"data":"0BA0","bits":24})", R"({"data":"0BA"})", R"({"data":"zz"})",
        R"({"data":"000000000000"})", R"({"data":"0BA0","twice":"yes"})",
        R"({"id":"q"})", "0BA0"}) {
    EXPECT_NE(error_of(parse_send("t", bad)), nullptr) << bad;
  }
  EXPECT_EQ(reply_payload("q1", {SendStatus::answer, 200}),
            json({{"id", "q1"}, {"status", "answer"}, {"answer", 200}}));
  EXPECT_EQ(reply_payload("q2", {SendStatus::framing_error, 0}),
            json({{"id", "q2"}, {"status", "collision"}}));
}

TEST(BridgeMessages, AnErrorOnATopicThatIsNotUtf8StillBecomesText) {
  const std::string text =
      payload_text(error_payload({"p/n/\xff/send", "no such interface"}));
  EXPECT_NE(text.find("no such interface"), std::string::npos);
}

TEST(BridgeMessages, FramesAndDeviceEvents) {
  const uint8_t off[] = {dali::address_byte(dali::Address::broadcast(), false),
                         gear::kOff};
  const json frame = frame_payload("12:00:00.000", off);
  EXPECT_EQ(frame["data"], "FF00");
  EXPECT_EQ(frame["text"], "broadcast: OFF");
  EXPECT_FALSE(frame.contains("answer"));
  EXPECT_TRUE(
      frame_payload("t", off, std::optional<uint8_t>{})["answer"].is_null());
  using dali::device::InstanceType;
  EXPECT_EQ(
      device_event_payload(2, static_cast<uint8_t>(InstanceType::PushButton),
                           dali::device::button::kLongPressStart),
      json({{"instance", 2},
            {"type", "push_button"},
            {"event", "long_press_start"}}));
  EXPECT_EQ(
      device_event_payload(0, static_cast<uint8_t>(InstanceType::Occupancy),
                           dali::device::occupancy::kOccupied)["event"],
      "occupied");
  EXPECT_EQ(
      device_event_payload(1, static_cast<uint8_t>(InstanceType::LightSensor),
                           480)["value"],
      480);
}

TEST(BridgeDiscovery, UniqueIdsNeverCollideAndSurviveReaddressing) {
  GearIdentity gear{"bus", 5, 0x0A1B2C, 6, false, {}, {}};
  GearIdentity moved = gear;
  moved.short_address = 7;
  EXPECT_EQ(gear_unique_id("n", gear), gear_unique_id("n", moved));
  GearIdentity other_bus = gear;
  other_bus.interface_name = "bus2";
  GearIdentity unrandom = gear;
  unrandom.random_address.reset();
  // "a_b" + "c" and "a" + "b_c" must differ although both hold a '_'.
  GearIdentity left = gear, right = gear;
  left.interface_name = "c";
  right.interface_name = "b_c";
  const std::vector<std::string> ids = {
      gear_unique_id("n", gear),      gear_unique_id("m", gear),
      gear_unique_id("n", other_bus), gear_unique_id("n", unrandom),
      gear_unique_id("a_b", left),    gear_unique_id("a", right),
      group_unique_id("n", "bus", 5)};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(
        ids[i].find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"),
        std::string::npos);
    for (std::size_t k = i + 1; k < ids.size(); ++k) EXPECT_NE(ids[i], ids[k]);
  }
}

TEST(BridgeDiscovery, LightAndEventConfigs) {
  const GearIdentity tc{"bus", 5, std::nullopt, 8, true, 153, 370};
  const auto light = gear_discovery(kTopics, "homeassistant", tc);
  EXPECT_EQ(light.topic,
            "homeassistant/light/" + gear_unique_id("node1", tc) + "/config");
  EXPECT_EQ(light.config["schema"], "json");
  EXPECT_EQ(light.config["brightness_scale"], 254);
  EXPECT_EQ(light.config["command_topic"], kTopics.gear_set("bus", 5));
  EXPECT_EQ(light.config["supported_color_modes"], json::array({"color_temp"}));
  EXPECT_EQ(light.config["min_mireds"], 153);
  EXPECT_EQ(light.config["max_mireds"], 370);
  EXPECT_EQ(light.config["availability"],
            json::array({json{{"topic", kTopics.node_status()}},
                         json{{"topic", kTopics.interface_status("bus")}}}));
  const DeviceInstanceIdentity button{
      "bus", 3, std::nullopt, 1,
      static_cast<uint8_t>(dali::device::InstanceType::PushButton)};
  const auto event =
      device_instance_discovery(kTopics, "homeassistant", button);
  EXPECT_TRUE(event.topic.starts_with("homeassistant/event/"));
  EXPECT_EQ(event.config["state_topic"], kTopics.device_event("bus", 3));
  EXPECT_NE(
      event.config["value_template"].get<std::string>().find("instance == 1"),
      std::string::npos);
}

TEST(BridgeQueue, ANewerLevelReplacesTheWaitingOneForTheSameGear) {
  CommandQueue queue(4);
  for (int level = 1; level <= 100; ++level) {
    queue.push(set(R"({"brightness":)" + std::to_string(level) + "}"));
  }
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(std::get<LightCommand>(*queue.pop()).frames,
            std::vector<GearFrame>{dapc(5, 100)});
}

TEST(BridgeQueue, NothingIsReplacedAcrossACommandThatMayReachTheSameGear) {
  CommandQueue queue(8);
  queue.push(set(R"({"brightness":10})"));
  queue.push(
      set(R"({"brightness":20})", short_target(6)));  // other gear: no barrier
  EXPECT_EQ(queue.push(set(R"({"brightness":30})")),
            CommandQueue::Push::Replaced);
  queue.push(set(R"({"state":"OFF"})", {dali::Address::broadcast()}));
  EXPECT_EQ(queue.push(set(R"({"brightness":40})")),
            CommandQueue::Push::Queued);
  queue.push(SendRequest{"x", {0, 0}, false});
  EXPECT_EQ(queue.push(set(R"({"brightness":50})")),
            CommandQueue::Push::Queued);
  EXPECT_EQ(queue.size(), 6u);
}

TEST(BridgeQueue, TheBoundRefusesNewCommandsButStillCoalesces) {
  CommandQueue queue(2);
  queue.push(set(R"({"brightness":1})", short_target(1)));
  queue.push(set(R"({"brightness":2})", short_target(2)));
  EXPECT_EQ(queue.push(set(R"({"brightness":3})", short_target(3))),
            CommandQueue::Push::Full);
  EXPECT_EQ(queue.push(set(R"({"brightness":9})", short_target(2))),
            CommandQueue::Push::Replaced);
  EXPECT_EQ(queue.size(), 2u);
}

}  // namespace
}  // namespace kovra62386::cli::bridge
