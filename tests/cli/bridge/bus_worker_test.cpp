// One bus of the bridge against the simulated server (instant mode, port
// 42000 in the test's own namespace): what it publishes after its scan,
// how it follows other clients, and what bad commands get. The broker is
// replaced by a recorder; the broker end to end is tested elsewhere.
#if !defined(_WIN32)
#include "cli/bridge/bus_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.hpp"
#include "server/control_channel.h"
#include "server/server_core.h"
#include "support/scoped_registry_root.h"

namespace kovra62386::cli::bridge {
namespace {

using nlohmann::json;
using std::chrono::seconds;

struct Message {
  std::string topic;
  std::string payload;
  bool retained = false;
};

class Recorder final : public BridgeOutput {
 public:
  void publish_retained(const std::string& topic,
                        std::string payload) override {
    record(topic, std::move(payload), true);
  }
  void publish_discovery(const std::string& topic,
                         std::string payload) override {
    record(topic, std::move(payload), true);
  }
  void publish_transient(const std::string& topic,
                         std::string payload) override {
    record(topic, std::move(payload), false);
  }
  void remove_retained(const std::string& topic) override {
    record(topic, "", true);
  }

  std::size_t mark() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  // The first message from `from` on that satisfies `match`.
  std::optional<Message> wait_for(
      std::size_t from, const std::function<bool(const Message&)>& match,
      seconds limit = seconds(30)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Message> found;
    changed_.wait_for(lock, limit, [&] {
      for (std::size_t k = from; k < messages_.size(); ++k) {
        if (match(messages_[k])) {
          found = messages_[k];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::optional<Message> wait_for_topic(std::size_t from,
                                        const std::string& topic) const {
    return wait_for(from, [&](const Message& m) { return m.topic == topic; });
  }
  std::vector<Message> since(std::size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {messages_.begin() + static_cast<std::ptrdiff_t>(from),
            messages_.end()};
  }

 private:
  void record(const std::string& topic, std::string payload, bool retained) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back({topic, std::move(payload), retained});
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Message> messages_;
};

const TopicScheme kTopics("kovra62386", "node");
const std::string kBase = "kovra62386/node/SIM-1/";

class BusWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ServerOptions options;
    options.port = KOVRA62386_SERVER_PORT;
    options.real_timing = false;
    options.publish = true;
    server_ = std::make_unique<sim::ServerCore>(options);
    ASSERT_TRUE(server_->start()) << "port 42000 is taken";
    session_.emplace();
    worker_ = std::make_unique<BusWorker>(
        *session_, "SIM-1", BusWorkerSettings{&kTopics, "homeassistant"},
        recorder_, [] {});
    // The last thing the scan publishes is the groups' state.
    ASSERT_TRUE(recorder_.wait_for_topic(0, kBase + "group/15/state"))
        << "no scan results";
  }
  void TearDown() override {
    worker_.reset();
    session_.reset();
    if (server_) server_->stop();
  }

  json payload_of(const std::optional<Message>& message) {
    return message ? json::parse(message->payload) : json();
  }

  testing::ScopedRegistryRoot registry_;
  std::unique_ptr<sim::ServerCore> server_;
  std::optional<Session> session_;
  Recorder recorder_;
  std::unique_ptr<BusWorker> worker_;
};

TEST_F(BusWorkerTest, ScanPublishesEveryGearOnceWithDiscovery) {
  std::set<std::string> states;
  std::set<std::string> configs;
  for (const Message& m : recorder_.since(0)) {
    if (m.topic.ends_with("/state") &&
        m.topic.find("/gear/") != std::string::npos) {
      EXPECT_TRUE(states.insert(m.topic).second) << "twice: " << m.topic;
    }
    if (m.topic.starts_with("homeassistant/")) configs.insert(m.topic);
  }
  std::set<std::string> expected;
  for (int a : {0, 1, 2, 5, 9, 10, 11}) {
    expected.insert(kBase + "gear/" + std::to_string(a) + "/state");
  }
  EXPECT_EQ(states, expected);
  EXPECT_TRUE(configs.contains(
      "homeassistant/light/kovra62386_node_SIM-1_gear_a10/config"));
  EXPECT_TRUE(configs.contains(
      "homeassistant/event/kovra62386_node_SIM-1_device_a7_i2/config"));
  const json off =
      payload_of(recorder_.wait_for_topic(0, kBase + "gear/2/state"));
  EXPECT_EQ(off["state"], "OFF");
  EXPECT_FALSE(off.contains("brightness"));
  const json tunable =
      payload_of(recorder_.wait_for_topic(0, kBase + "gear/10/state"));
  EXPECT_EQ(tunable["color_mode"], "color_temp");
  EXPECT_EQ(tunable["color_temp"], 333);
  EXPECT_EQ(recorder_.wait_for_topic(0, kBase + "status")->payload, "online");
}

TEST_F(BusWorkerTest, AnotherClientsLevelIsReadBackForExactlyThatGear) {
  const std::size_t from = recorder_.mark();
  const Interface other = session_->open("SIM-1");
  other.write(forward_frame(
      dali::address_byte(dali::Address::short_address(1), true), 42));
  const auto state = recorder_.wait_for(from, [](const Message& m) {
    return m.topic == kBase + "gear/1/state" &&
           json::parse(m.payload).value("brightness", 0) == 42;
  });
  ASSERT_TRUE(state) << "gear 1 not followed";
  // Its groups follow; no other gear is read again.
  EXPECT_TRUE(recorder_.wait_for_topic(from, kBase + "group/1/state"));
  for (const Message& m : recorder_.since(from)) {
    if (m.topic.find("/gear/") != std::string::npos) {
      EXPECT_EQ(m.topic, kBase + "gear/1/state");
    }
  }
}

TEST_F(BusWorkerTest, AnotherClientsGroupAndAddressChangesReachTheEntities) {
  const Interface other = session_->open("SIM-1");
  const auto twice = [&](dali::Address address, uint8_t opcode) {
    const auto frame =
        forward_frame(dali::address_byte(address, false), opcode);
    other.write(frame);
    other.write(frame);
  };
  const std::string config = "homeassistant/light/kovra62386_node_SIM-1_";
  // Group 7 is in use by no gear yet.
  std::size_t from = recorder_.mark();
  twice(dali::Address::short_address(5), dali::gear::kAddToGroup + 7);
  EXPECT_TRUE(recorder_.wait_for_topic(from, config + "group_7/config"));
  EXPECT_TRUE(recorder_.wait_for_topic(from, kBase + "group/7/state"));

  from = recorder_.mark();
  other.write(
      forward_frame(dali::special::kDtr0, dali::short_address_data(20)));
  twice(dali::Address::short_address(5), dali::gear::kSetShortAddress);
  const auto moved = recorder_.wait_for(from, [&](const Message& m) {
    return m.topic == config + "gear_a20/config" && !m.payload.empty();
  });
  ASSERT_TRUE(moved) << "no entity at the new address";
  EXPECT_EQ(json::parse(moved->payload)["state_topic"],
            kBase + "gear/20/state");
  EXPECT_TRUE(recorder_.wait_for(from, [&](const Message& m) {
    return m.topic == config + "gear_a5/config" && m.payload.empty();
  })) << "the old entity stays";
  EXPECT_TRUE(recorder_.wait_for(from, [&](const Message& m) {
    return m.topic == kBase + "gear/5/state" && m.payload.empty();
  }));
  // Group 7 still has its member, now on 20: it stays.
  for (const Message& m : recorder_.since(from)) {
    EXPECT_NE(m.topic, config + "group_7/config") << "removed: " << m.payload;
  }
}

TEST_F(BusWorkerTest, SetsEndAtTheLastLevelAndBadOnesSendNothing) {
  std::size_t from = recorder_.mark();
  const std::string topic = kBase + "gear/5/set";
  for (int level = 1; level <= 150; ++level) {
    worker_->submit_set(topic, {dali::Address::short_address(5)},
                        json{{"brightness", level}}.dump());
  }
  EXPECT_TRUE(recorder_.wait_for(from, [](const Message& m) {
    return m.topic == kBase + "gear/5/state" &&
           json::parse(m.payload).value("brightness", 0) == 150;
  })) << "the last level did not arrive";

  from = recorder_.mark();
  worker_->submit_set(topic, {dali::Address::short_address(5)},
                      R"({"brightness": "full"})");
  const json error =
      payload_of(recorder_.wait_for_topic(from, kBase + "error"));
  EXPECT_EQ(error["topic"], topic);
  // A raw query behind it: by its reply the bad set would have gone out.
  worker_->submit_send(kBase + "send", R"({"id": "q", "data": "0BA0"})");
  const json reply =
      payload_of(recorder_.wait_for_topic(from, kBase + "reply"));
  EXPECT_EQ(reply, (json{{"id", "q"}, {"status", "answer"}, {"answer", 150}}));
  // (Queries of the follower may still read gear 5 back.)
  for (const Message& m : recorder_.since(from)) {
    if (m.topic == kBase + "frames") {
      EXPECT_EQ(json::parse(m.payload)["text"].get<std::string>().find("DAPC"),
                std::string::npos)
          << m.payload;
    }
  }
}

TEST_F(BusWorkerTest, ButtonsBecomeEventsAndPowerSetsTheStatus) {
  sim::ControlChannel channel(*server_, registry_.path() + "/control");
  std::size_t from = recorder_.mark();
  channel.execute("press SIM-1 7 2");
  const json event =
      payload_of(recorder_.wait_for_topic(from, kBase + "device/7/event"));
  EXPECT_EQ(event["instance"], 2);
  EXPECT_EQ(event["type"], "push_button");
  EXPECT_EQ(event["event"], "pressed");

  // An occupancy sensor names its type, not its instance: the scan does.
  from = recorder_.mark();
  channel.execute("occupancy SIM-1 12 on");
  const json occupied =
      payload_of(recorder_.wait_for_topic(from, kBase + "device/12/event"));
  EXPECT_EQ(occupied["type"], "occupancy_sensor");
  EXPECT_EQ(occupied["instance"], 0);
  EXPECT_EQ(occupied["event"], "occupied");

  from = recorder_.mark();
  channel.execute("power SIM-1 off");
  EXPECT_EQ(recorder_.wait_for_topic(from, kBase + "status")->payload,
            "offline");
  from = recorder_.mark();
  channel.execute("power SIM-1 on");
  EXPECT_EQ(recorder_.wait_for_topic(from, kBase + "status")->payload,
            "online");
}

}  // namespace
}  // namespace kovra62386::cli::bridge
#endif
