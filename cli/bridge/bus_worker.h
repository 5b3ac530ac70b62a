// One bus on the broker: a thread that opens the interface, scans it once,
// then carries out the commands from the broker one at a time and follows
// what every client does on the bus, publishing state, events and frames.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/bridge/command_queue.h"
#include "cli/bridge/discovery.h"
#include "cli/bridge/follower.h"
#include "cli/bridge/light.h"
#include "cli/bridge/topics.h"
#include "cli/device_scanner.h"
#include "kovra62386/kovra62386.hpp"

namespace kovra62386::cli {
class GearScanner;
struct GearInfo;
}  // namespace kovra62386::cli

namespace kovra62386::cli::bridge {

// Where a bus's messages go. Called from the bus's thread and the
// network thread alike.
class BridgeOutput {
 public:
  virtual ~BridgeOutput() = default;
  // Retained: kept and published again on every connect.
  virtual void publish_retained(const std::string& topic,
                                std::string payload) = 0;
  // A discovery config: retained, and published again when Home Assistant
  // comes online. Ignored when discovery is off.
  virtual void publish_discovery(const std::string& topic,
                                 std::string payload) = 0;
  // Not retained: lost while the broker is away.
  virtual void publish_transient(const std::string& topic,
                                 std::string payload) = 0;
  // Clears a retained topic or discovery config with an empty retained
  // payload (Home Assistant then deletes the entity). What was kept for
  // it is dropped: a connect sends the empty payload, never the old one.
  virtual void remove_retained(const std::string& topic) = 0;
};

struct BusWorkerSettings {
  const TopicScheme* topics = nullptr;
  std::string discovery_prefix;  // empty: no discovery
};

class BusWorker {
 public:
  // Commands waiting for one bus; a slider's newest level replaces the
  // one waiting, anything else beyond this is refused.
  static constexpr std::size_t kQueueBound = 64;
  // Bus events waiting for the worker; the oldest go beyond it.
  static constexpr std::size_t kEventBound = 4096;

  // Starts the thread. `finished` runs on it when the bus is lost.
  BusWorker(const Session& session, std::string interface_name,
            BusWorkerSettings settings, BridgeOutput& output,
            std::function<void()> finished);
  ~BusWorker();  // stops the thread and waits for it
  BusWorker(const BusWorker&) = delete;
  BusWorker& operator=(const BusWorker&) = delete;

  const std::string& name() const { return name_; }
  bool finished() const { return finished_.load(); }

  // From the network thread: a `set` for a light of this bus, a raw frame
  // from `send`. What cannot be carried out goes to the bus's error topic.
  void submit_set(std::string_view topic, LightTarget target,
                  std::string_view payload);
  void submit_send(std::string_view topic, std::string_view payload);

 private:
  struct Gear {
    bool present = false;
    bool shared = false;  // several gear answer on this address
    GearState state;
    uint16_t groups = 0;
    std::optional<uint8_t> fade_time;
    bool last_active_level = false;
    std::optional<uint32_t> random_address;
    uint8_t device_type = 0;
    std::optional<uint16_t> coolest_mirek;
    std::optional<uint16_t> warmest_mirek;
  };
  struct Device {
    uint8_t address = 0;
    std::vector<std::optional<uint8_t>> instance_types;
  };
  struct Event {
    int32_t code = 0;
    std::array<uint8_t, 5> data{};
    unsigned bits = 0;
    int32_t bus_state = 0;
    std::string time;
  };
  struct PendingFrame {
    std::string time;
    std::vector<uint8_t> bytes;
    FollowClock::time_point flush_by;
  };

  void run();
  void serve(BusInterface& bus);
  bool scan(BusInterface& bus);
  // The rest of what the scan reads of a gear that answered.
  static Gear read_gear(GearScanner& scanner, GearInfo& info);
  // The discovery config of the gear on `address`; nullopt without
  // discovery or without a gear there. mutex_ held.
  std::optional<DiscoveryMessage> gear_config(unsigned address) const;
  void publish_scan_results();
  void on_bus_event(const TransceiverEvent& event);
  // Handles the bus events waiting; false once the interface is closed.
  bool drain_events();
  void handle_event(const Event& event);
  void publish_device_event(std::span<const uint8_t> bytes);
  void flush_pending_frame(std::optional<std::optional<uint8_t>> answer);
  void follow(const LevelChange& change);
  void follow_identity(const IdentityChange& change);
  // Whether commands wait in the queue (takes the lock).
  bool commands_waiting();
  void reread_due(BusInterface& bus);
  // Reads the gear due to be identified again as the scan does, and brings
  // their entities and those of their groups in line.
  void identify_due(BusInterface& bus);
  void execute(BusInterface& bus, BusCommand command);
  void publish_gear(uint8_t address);
  void publish_groups(uint16_t groups);
  void set_online(bool online);
  void report(const BridgeError& error);
  SetContext context_for(LightTarget target) const;          // mutex_ held
  uint64_t present_mask() const;                             // mutex_ held
  std::optional<FollowClock::time_point> next_wake() const;  // mutex_ held

  const Session& session_;
  const std::string name_;
  const BusWorkerSettings settings_;
  const TopicScheme& topics_;
  BridgeOutput& output_;
  const std::function<void()> on_finished_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  CommandQueue queue_{kQueueBound};
  std::deque<Event> events_;
  unsigned long dropped_events_ = 0;
  std::array<Gear, 64> gear_{};
  std::vector<Device> devices_;

  // The worker thread's own.
  FrameFollower follower_;
  RereadSchedule rereads_;
  RereadSchedule identifies_;
  std::optional<PendingFrame> pending_frame_;
  std::optional<InstanceTypeCache> instance_types_;  // on the open bus
  std::optional<bool> online_;
  bool scanned_ = false;
  std::optional<FollowClock::time_point> scan_retry_;
  std::chrono::seconds scan_backoff_{2};

  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: starts when the rest is ready
};

}  // namespace kovra62386::cli::bridge
