#include "cli/bridge/bridge.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "cli/bridge/bus_worker.h"
#include "cli/bridge/messages.h"
#include "cli/bridge/mqtt_client.h"
#include "cli/bus.h"
#include "cli/interrupt.h"

namespace kovra62386::cli::bridge {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The enumeration is asked again after 1 s, then ever less often while
// nothing changes: new interfaces are rare, and an idle bridge sleeps.
constexpr std::chrono::seconds kListFirst{1};
constexpr std::chrono::seconds kListMost{60};
// With every interface named on the command line open, there is nothing to
// look for: a lost bus wakes the loop, and this bound is only a backstop.
constexpr std::chrono::hours kAllNamedOpenCheck{1};
// A bus lost soon after it opened is opened again ever later, up to this.
constexpr std::chrono::seconds kReopenMost{60};
constexpr std::chrono::seconds kShortLived{30};
// Payloads of commands are small JSON objects.
constexpr std::size_t kPayloadMost = 4096;
// Every retained topic the bridge ever published (state, status, configs):
// a bound far above 64 gear, 16 groups and their devices per bus.
constexpr std::size_t kRetainedMost = 1 << 16;
constexpr std::size_t kInterfacesMost = 256;
constexpr auto kOfflineAcknowledgement = 2s;

class Bridge final : public BridgeOutput {
 public:
  explicit Bridge(const BridgeSettings& settings)
      : settings_(settings), topics_(settings.prefix, settings.node) {}

  ExitCode run();

  void publish_retained(const std::string& topic,
                        std::string payload) override {
    remember_and_publish(topic, std::move(payload), false);
  }
  void publish_discovery(const std::string& topic,
                         std::string payload) override {
    if (settings_.discovery_prefix.empty()) return;
    remember_and_publish(topic, std::move(payload), true);
  }
  void publish_transient(const std::string& topic,
                         std::string payload) override {
    client_->publish(topic, payload, false);
  }
  void remove_retained(const std::string& topic) override {
    // Kept as empty: a broker that missed the removal while the bridge was
    // away gets it on connect, and Home Assistant's republish skips it.
    remember_and_publish(topic, std::string(), false);
  }

 private:
  struct Reopen {
    Clock::time_point not_before;
    std::chrono::seconds delay{1};
  };

  void remember_and_publish(const std::string& topic, std::string payload,
                            bool discovery);
  void on_connect();
  void on_message(std::string_view topic, std::string_view payload);
  void republish(bool discovery_only);
  // Opens what is listed and wanted, retires lost buses; true when any
  // bus came or went.
  bool supervise();
  // Whether interfaces were named and every one of them is open.
  bool all_named_open();
  std::shared_ptr<BusWorker> worker(const std::string& name);
  bool no_bus_open() {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    return workers_.empty();
  }

  const BridgeSettings settings_;
  const TopicScheme topics_;
  // Replaced only while no bus is open: the buses refer to it. The library
  // has one session at a time, so the old one goes first.
  std::unique_ptr<Session> session_ = std::make_unique<Session>(open_session());
  std::unique_ptr<MqttClient> client_;

  std::mutex retained_mutex_;
  std::map<std::string, std::string> retained_;
  std::set<std::string> discovery_topics_;

  std::mutex workers_mutex_;
  std::map<std::string, std::shared_ptr<BusWorker>> workers_;
  std::atomic<bool> bus_lost_{false};
  std::map<std::string, Reopen> reopen_;  // the supervising thread's
  std::map<std::string, Clock::time_point> opened_at_;
  std::set<std::string> reported_absent_;
};

void Bridge::remember_and_publish(const std::string& topic, std::string payload,
                                  bool discovery) {
  // Under the lock, so that a reconnect's republishing can never put an
  // older payload after a newer one.
  std::lock_guard<std::mutex> lock(retained_mutex_);
  if (retained_.size() < kRetainedMost || retained_.contains(topic)) {
    // What the topic holds now decides whether it is a config.
    if (discovery) {
      discovery_topics_.insert(topic);
    } else {
      discovery_topics_.erase(topic);
    }
    retained_[topic] = payload;
  }
  client_->publish(topic, payload, true);
}

void Bridge::republish(bool discovery_only) {
  std::lock_guard<std::mutex> lock(retained_mutex_);
  for (const auto& [topic, payload] : retained_) {
    if (discovery_only && !discovery_topics_.contains(topic)) continue;
    client_->publish(topic, payload, true);
  }
}

void Bridge::on_connect() {
  client_->subscribe(topics_.subscription_gear_set());
  client_->subscribe(topics_.subscription_group_set());
  client_->subscribe(topics_.subscription_broadcast_set());
  client_->subscribe(topics_.subscription_send());
  if (!settings_.discovery_prefix.empty()) {
    client_->subscribe(settings_.discovery_prefix + "/status");
  }
  client_->publish(topics_.node_status(), kOnline, true, 1);
  // From memory: a reconnect never rescans a bus.
  republish(false);
}

void Bridge::on_message(std::string_view topic, std::string_view payload) {
  if (!settings_.discovery_prefix.empty() &&
      topic == settings_.discovery_prefix + "/status") {
    if (payload == kOnline) republish(true);
    return;
  }
  const auto parsed = topics_.parse_command(topic);
  if (const BridgeError* error = error_of(parsed)) {
    // On the interface's error topic when the topic names one.
    const std::string head = settings_.prefix + "/" + settings_.node + "/";
    std::string error_topic = topics_.node_error();
    if (topic.starts_with(head)) {
      const std::string_view rest = topic.substr(head.size());
      const std::string_view level = rest.substr(0, rest.find('/'));
      if (level != rest && is_topic_level(level)) {
        error_topic = topics_.error(level);
      }
    }
    client_->publish(error_topic, payload_text(error_payload(*error)), false);
    return;
  }
  const CommandTopic& command = std::get<CommandTopic>(parsed);
  const std::string error_topic = topics_.error(command.interface_name);
  const auto fail = [&](std::string problem) {
    client_->publish(error_topic,
                     payload_text(error_payload(
                         BridgeError{std::string(topic), std::move(problem)})),
                     false);
  };
  if (payload.size() > kPayloadMost) {
    fail("the payload is larger than 4096 bytes");
    return;
  }
  const std::shared_ptr<BusWorker> bus = worker(command.interface_name);
  if (!bus || bus->finished()) {
    fail("interface '" + command.interface_name + "' is not open");
    return;
  }
  if (command.kind == CommandTopic::Kind::Send) {
    bus->submit_send(topic, payload);
  } else {
    bus->submit_set(topic, command.target, payload);
  }
}

std::shared_ptr<BusWorker> Bridge::worker(const std::string& name) {
  std::lock_guard<std::mutex> lock(workers_mutex_);
  const auto found = workers_.find(name);
  return found == workers_.end() ? nullptr : found->second;
}

bool Bridge::all_named_open() {
  if (settings_.interfaces.empty()) return false;
  std::lock_guard<std::mutex> lock(workers_mutex_);
  for (const std::string& name : settings_.interfaces) {
    const auto found = workers_.find(name);
    if (found == workers_.end() || found->second->finished()) return false;
  }
  return true;
}

bool Bridge::supervise() {
  bool changed = false;
  const auto now = Clock::now();
  // Lost buses go first; they are joined outside the lock.
  std::vector<std::shared_ptr<BusWorker>> retired;
  {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (!it->second->finished()) {
        ++it;
        continue;
      }
      Reopen& reopen = reopen_[it->first];
      const bool short_lived = now - opened_at_[it->first] < kShortLived;
      reopen.delay = short_lived ? std::min(reopen.delay * 2, kReopenMost)
                                 : std::chrono::seconds(1);
      reopen.not_before = now + reopen.delay;
      retired.push_back(std::move(it->second));
      it = workers_.erase(it);
      changed = true;
    }
  }
  retired.clear();

  std::vector<std::string> listed;
  try {
    if (session_) listed = session_->interfaces();
  } catch (const std::exception&) {
    // The server is away: try again later.
  }
  if (listed.empty() && no_bus_open()) {
    // A lost server does not come back on the same session: a new one
    // reaches the server again, or starts it as the first did.
    session_.reset();
    try {
      session_ = std::make_unique<Session>();
      listed = session_->interfaces();
    } catch (const std::exception&) {
      // Still away.
    }
  }
  const auto wanted = [&](const std::string& name) {
    return settings_.interfaces.empty() ||
           std::find(settings_.interfaces.begin(), settings_.interfaces.end(),
                     name) != settings_.interfaces.end();
  };
  for (const std::string& name : listed) {
    if (!wanted(name) || !is_topic_level(name)) continue;
    if (const auto r = reopen_.find(name);
        r != reopen_.end() && now < r->second.not_before) {
      continue;
    }
    std::lock_guard<std::mutex> lock(workers_mutex_);
    if (workers_.contains(name) || workers_.size() >= kInterfacesMost ||
        !session_) {
      continue;
    }
    BusWorkerSettings settings{&topics_, settings_.discovery_prefix};
    workers_[name] =
        std::make_shared<BusWorker>(*session_, name, settings, *this, [this] {
          bus_lost_ = true;
          Interrupt::wake();
        });
    opened_at_[name] = now;
    reported_absent_.erase(name);
    changed = true;
  }
  // Named interfaces the server does not list are offline.
  for (const std::string& name : settings_.interfaces) {
    if (std::find(listed.begin(), listed.end(), name) != listed.end()) continue;
    if (!worker(name) && reported_absent_.insert(name).second) {
      publish_retained(topics_.interface_status(name), kOffline);
    }
  }
  return changed;
}

ExitCode Bridge::run() {
  MqttClient::Options options;
  options.host = settings_.host;
  options.port = settings_.port;
  options.client_id = settings_.client_id;
  options.username = settings_.username;
  options.password = settings_.password;
  options.tls_ca = settings_.tls_ca;
  options.will_topic = topics_.node_status();
  options.will_payload = kOffline;
  try {
    client_ = std::make_unique<MqttClient>(
        options, [this] { on_connect(); },
        [this](std::string_view topic, std::string_view payload) {
          on_message(topic, payload);
        });
  } catch (const std::runtime_error& e) {
    throw CliError(ExitCode::kUsage, e.what());
  }
  client_->start();
  fmt::print(stderr, "Bridging to {}:{} as {}/{} (Ctrl-C to stop)\n",
             settings_.host, settings_.port, settings_.prefix, settings_.node);

  auto next_list = kListFirst;
  for (;;) {
    if (supervise()) next_list = kListFirst;
    auto wait = next_list;
    for (const auto& [name, reopen] : reopen_) {
      const auto left = std::chrono::ceil<std::chrono::seconds>(
          reopen.not_before - Clock::now());
      if (left > std::chrono::seconds(0)) wait = std::min(wait, left);
    }
    next_list = std::min(next_list * 2, kListMost);
    if (all_named_open()) wait = kAllNamedOpenCheck;
    if (Interrupt::wait(wait, [this] { return bus_lost_.exchange(false); })) {
      break;
    }
  }

  // Each bus publishes itself offline as it stops.
  {
    std::map<std::string, std::shared_ptr<BusWorker>> stopping;
    {
      std::lock_guard<std::mutex> lock(workers_mutex_);
      stopping.swap(workers_);
    }
  }
  client_->publish_confirmed(topics_.node_status(), kOffline, true,
                             kOfflineAcknowledgement);
  client_->stop();
  return ExitCode::kOk;
}

}  // namespace

ExitCode run_bridge(const BridgeArguments& arguments) {
  const BridgeSettings settings = make_settings(arguments);
  Bridge bridge(settings);
  return bridge.run();
}

}  // namespace kovra62386::cli::bridge
