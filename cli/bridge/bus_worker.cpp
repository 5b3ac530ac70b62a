#include "cli/bridge/bus_worker.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>
#include <utility>

#include "cli/bridge/discovery.h"
#include "cli/bridge/messages.h"
#include "cli/bus.h"
#include "cli/device_scanner.h"
#include "cli/exit_codes.h"
#include "cli/gear_scanner.h"
#include "dali/device_commands.h"

namespace kovra62386::cli::bridge {
namespace {

using namespace std::chrono_literals;
namespace gear = dali::gear;
namespace device = dali::device;

// A frame that may be answered waits this long for its answer before it
// goes out on `frames` without one.
constexpr auto kAnswerWait = 500ms;
// Read a gear again this long after its fade should have ended; while it
// still fades, this often.
constexpr auto kSettleMargin = 100ms;
constexpr auto kFadePoll = 250ms;
// UP and DOWN fade for 200 ms.
constexpr auto kFadeRateTime = 200ms;
// After bus power returns, the gear go to their power-on level.
constexpr auto kPowerOnSettle = 1s;
// A gear whose groups or address another client changed is identified
// again this long after the last such frame: the change takes the second
// of two frames, and a client often sends several changes in a row.
constexpr auto kIdentifySettle = 500ms;
constexpr std::chrono::seconds kScanBackoffMost{60};
// IEC 62386-102 edition 2 answers QUERY VERSION NUMBER with 2.0 (8) or
// later; it knows GO TO LAST ACTIVE LEVEL.
constexpr uint8_t kEdition2Version = 8;

std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch())
                          .count() %
                      1000;
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z",
                     fmt::gmtime(std::chrono::system_clock::to_time_t(now)),
                     millis);
}

bool has_bit(uint64_t mask, unsigned bit) { return ((mask >> bit) & 1u) != 0; }

}  // namespace

BusWorker::BusWorker(const Session& session, std::string interface_name,
                     BusWorkerSettings settings, BridgeOutput& output,
                     std::function<void()> finished)
    : session_(session),
      name_(std::move(interface_name)),
      settings_(std::move(settings)),
      topics_(*settings_.topics),
      output_(output),
      on_finished_(std::move(finished)) {
  thread_ = std::thread([this] { run(); });
}

BusWorker::~BusWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BusWorker::submit_set(std::string_view topic, LightTarget target,
                           std::string_view payload) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto parsed = parse_light_set(topic, target, payload, context_for(target));
  if (const BridgeError* error = error_of(parsed)) {
    const BridgeError copy = *error;
    lock.unlock();
    report(copy);
    return;
  }
  auto& command = std::get<LightCommand>(parsed);
  if (command.frames.empty()) return;  // ON to a gear that is on
  if (queue_.push(std::move(command)) == CommandQueue::Push::Full) {
    lock.unlock();
    report({std::string(topic), "too many commands waiting for this bus"});
    return;
  }
  lock.unlock();
  wake_.notify_all();
}

void BusWorker::submit_send(std::string_view topic, std::string_view payload) {
  auto parsed = parse_send(topic, payload);
  if (const BridgeError* error = error_of(parsed)) {
    report(*error);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.push(std::move(std::get<SendRequest>(parsed))) ==
        CommandQueue::Push::Full) {
      report({std::string(topic), "too many commands waiting for this bus"});
      return;
    }
  }
  wake_.notify_all();
}

SetContext BusWorker::context_for(LightTarget target) const {
  const std::array<uint16_t, 64> groups = [this] {
    std::array<uint16_t, 64> g{};
    for (unsigned a = 0; a < 64; ++a) g[a] = gear_[a].groups;
    return g;
  }();
  const uint64_t reached = gear_reached(target.address, groups, present_mask());
  SetContext context;
  if (reached == 0) return context;
  context.has_last_active_level = true;
  context.known_on = true;
  context.colour_temperature = target.address.kind != dali::AddressKind::Short;
  bool first = true;
  for (unsigned a = 0; a < 64; ++a) {
    if (!has_bit(reached, a)) continue;
    const Gear& g = gear_[a];
    context.has_last_active_level &= g.last_active_level;
    context.known_on &= g.state.level && *g.state.level != dali::kMaskLevel &&
                        *g.state.level > 0;
    if (target.address.kind == dali::AddressKind::Short) {
      context.colour_temperature = g.state.colour_temperature;
    }
    // The fade time to restore after a transition: only one all share.
    if (first) {
      context.fade_time = g.fade_time;
      first = false;
    } else if (context.fade_time != g.fade_time) {
      context.fade_time.reset();
    }
  }
  return context;
}

uint64_t BusWorker::present_mask() const {
  uint64_t mask = 0;
  for (unsigned a = 0; a < 64; ++a) {
    if (gear_[a].present && !gear_[a].shared) mask |= uint64_t{1} << a;
  }
  return mask;
}

void BusWorker::report(const BridgeError& error) {
  output_.publish_transient(topics_.error(name_),
                            payload_text(error_payload(error)));
}

void BusWorker::set_online(bool online) {
  if (online_ == online) return;
  online_ = online;
  output_.publish_retained(topics_.interface_status(name_),
                           online ? kOnline : kOffline);
}

void BusWorker::on_bus_event(const TransceiverEvent& event) {
  Event copy;
  copy.code = event.code;
  copy.time = utc_now();
  if (event.code == KOVRA62386_EVENT_BUS_STATE) {
    copy.bus_state = event.payload.bus_state;
  } else {
    const BusEvent& bus = event.payload.record.bus_event;
    copy.bits = std::min<unsigned>(bus.bit_count, 8 * copy.data.size());
    std::copy_n(bus.data, copy.data.size(), copy.data.begin());
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_.size() >= kEventBound) {
      events_.pop_front();
      ++dropped_events_;
    }
    events_.push_back(std::move(copy));
  }
  wake_.notify_all();
}

void BusWorker::run() {
  try {
    BusInterface bus(session_, name_, [this](const TransceiverEvent& event) {
      on_bus_event(event);
    });
    serve(bus);
  } catch (const CliError& e) {
    if (e.code() != ExitCode::kInterrupted) {
      fmt::print(stderr, "kovra62386 bridge: {}: {}\n", name_, e.what());
    }
  } catch (const std::exception& e) {
    fmt::print(stderr, "kovra62386 bridge: {}: {}\n", name_, e.what());
  }
  instance_types_.reset();  // it held the bus, now closed
  flush_pending_frame(std::nullopt);
  online_.reset();
  set_online(false);
  finished_ = true;
  if (on_finished_) on_finished_();
}

std::optional<FollowClock::time_point> BusWorker::next_wake() const {
  std::optional<FollowClock::time_point> next = rereads_.next_due();
  const auto earlier = [&](std::optional<FollowClock::time_point> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  earlier(identifies_.next_due());
  if (pending_frame_) earlier(pending_frame_->flush_by);
  if (!scanned_) earlier(scan_retry_);
  return next;
}

void BusWorker::serve(BusInterface& bus) {
  instance_types_.emplace(bus);
  const auto state = bus.bus_state(std::chrono::milliseconds(300));
  set_online(!state || (*state != BusState::power_lost &&
                        *state != BusState::system_failure));
  scan_retry_ = FollowClock::now();
  for (;;) {
    std::optional<BusCommand> command;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto ready = [&] {
        return stop_ || !events_.empty() || (scanned_ && !queue_.empty());
      };
      if (const auto deadline = next_wake()) {
        wake_.wait_until(lock, *deadline, ready);
      } else {
        wake_.wait(lock, ready);
      }
      if (stop_) return;
      if (scanned_) command = queue_.pop();
    }
    if (!drain_events()) return;
    const auto now = FollowClock::now();
    if (!scanned_ && scan_retry_ && now >= *scan_retry_) {
      if (!scan(bus)) return;
      continue;
    }
    if (command) execute(bus, std::move(*command));
    // A read-back waits while commands do: what it would read is stale once
    // a newer command for the gear goes out, and a slider's last value
    // should not queue behind it.
    if (!commands_waiting()) reread_due(bus);
    if (!commands_waiting()) identify_due(bus);
    if (pending_frame_ && FollowClock::now() >= pending_frame_->flush_by) {
      flush_pending_frame(std::nullopt);
    }
  }
}

bool BusWorker::scan(BusInterface& bus) {
  std::array<Gear, 64> found{};
  std::vector<Device> devices;
  const auto keep_up = [&](int, int) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) throw CliError(ExitCode::kInterrupted, "stopping");
    }
    if (!drain_events()) {
      throw CliError(ExitCode::kNoServer, "the interface closed");
    }
  };
  try {
    GearScanner scanner(bus);
    for (GearInfo& info : scanner.find_present(keep_up)) {
      found[static_cast<unsigned>(info.address)] = read_gear(scanner, info);
      keep_up(0, 0);
    }
    // An interface that sends no 24-bit frame has no control devices to
    // bridge; its gear still are.
    const ControlDeviceScan scan = find_control_devices(bus, keep_up);
    for (const ControlDeviceInfo& info : scan.devices) {
      if (info.shared) continue;
      devices.push_back(
          {static_cast<uint8_t>(info.address), info.instance_types});
    }
  } catch (const CliError& e) {
    if (e.code() == ExitCode::kInterrupted || e.code() == ExitCode::kNoServer) {
      return false;
    }
    // Not sent: most often no bus power. Tried again after a while, or
    // when the power returns.
    fmt::print(stderr, "kovra62386 bridge: {}: scan failed: {}\n", name_,
               e.what());
    scan_retry_ = FollowClock::now() + scan_backoff_;
    scan_backoff_ = std::min(scan_backoff_ * 2, kScanBackoffMost);
    return true;
  }
  for (const Device& d : devices) {
    for (std::size_t k = 0; k < d.instance_types.size(); ++k) {
      instance_types_->remember(d.address, static_cast<uint8_t>(k),
                                d.instance_types[k]);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gear_ = found;
    devices_ = std::move(devices);
  }
  scanned_ = true;
  scan_retry_.reset();
  publish_scan_results();
  return true;
}

BusWorker::Gear BusWorker::read_gear(GearScanner& scanner, GearInfo& info) {
  scanner.read_details(info);
  Gear g;
  const auto a = info.address;
  g.present = true;
  g.shared = info.shared;
  g.state.level = info.level;
  g.groups = info.groups.value_or(0);
  g.device_type = info.device_type.value_or(0);
  if (const auto fade = scanner.query(a, gear::kQueryFadeTimeFadeRate)) {
    g.fade_time = static_cast<uint8_t>(*fade >> 4);
  }
  const auto version = scanner.query(a, gear::kQueryVersionNumber);
  g.last_active_level = version && *version >= kEdition2Version;
  const auto high = scanner.query(a, gear::kQueryRandomAddressH);
  const auto middle = scanner.query(a, gear::kQueryRandomAddressM);
  const auto low = scanner.query(a, gear::kQueryRandomAddressL);
  if (high && middle && low && !info.shared) {
    const uint32_t random =
        static_cast<uint32_t>(*high) << 16 | *middle << 8 | *low;
    if (random != 0xFFFFFF) g.random_address = random;
  }
  if (info.colour_mirek) {
    g.state.colour_temperature = true;
    g.state.mirek = info.colour_mirek;
    g.coolest_mirek =
        scanner.colour_value(a, dali::colour::kValuePhysicalCoolest);
    g.warmest_mirek =
        scanner.colour_value(a, dali::colour::kValuePhysicalWarmest);
  }
  return g;
}

std::optional<DiscoveryMessage> BusWorker::gear_config(unsigned a) const {
  const Gear& g = gear_[a & 0x3F];
  if (settings_.discovery_prefix.empty() || !g.present || g.shared) {
    return std::nullopt;
  }
  GearIdentity identity;
  identity.interface_name = name_;
  identity.short_address = static_cast<uint8_t>(a & 0x3F);
  identity.random_address = g.random_address;
  identity.device_type = g.device_type;
  identity.colour_temperature = g.state.colour_temperature;
  identity.physical_coolest_mirek = g.coolest_mirek;
  identity.physical_warmest_mirek = g.warmest_mirek;
  return gear_discovery(topics_, settings_.discovery_prefix, identity);
}

void BusWorker::publish_scan_results() {
  uint16_t groups_in_use = 0;
  std::vector<DiscoveryMessage> configs;
  std::vector<uint8_t> addresses;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string_view prefix = settings_.discovery_prefix;
    for (unsigned a = 0; a < 64; ++a) {
      const Gear& g = gear_[a];
      if (!g.present || g.shared) continue;
      addresses.push_back(static_cast<uint8_t>(a));
      groups_in_use |= g.groups;
      if (auto config = gear_config(a)) configs.push_back(std::move(*config));
    }
    if (!prefix.empty()) {
      for (uint8_t group = 0; group < 16; ++group) {
        if ((groups_in_use >> group) & 1u) {
          configs.push_back(group_discovery(topics_, prefix, name_, group));
        }
      }
      for (const Device& d : devices_) {
        for (std::size_t k = 0; k < d.instance_types.size(); ++k) {
          if (!d.instance_types[k]) continue;
          DeviceInstanceIdentity identity;
          identity.interface_name = name_;
          identity.short_address = d.address;
          identity.instance = static_cast<uint8_t>(k);
          identity.instance_type = *d.instance_types[k];
          configs.push_back(
              device_instance_discovery(topics_, prefix, identity));
        }
      }
    }
  }
  for (const auto& message : configs) {
    output_.publish_discovery(message.topic, payload_text(message.config));
  }
  for (const uint8_t a : addresses) publish_gear(a);
  publish_groups(groups_in_use);
}

bool BusWorker::drain_events() {
  std::deque<Event> events;
  unsigned long dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events.swap(events_);
    dropped = std::exchange(dropped_events_, 0);
  }
  if (dropped > 0) {
    fmt::print(stderr, "kovra62386 bridge: {}: {} bus events lost\n", name_,
               dropped);
  }
  bool open = true;
  for (const Event& event : events) {
    if (event.code == KOVRA62386_EVENT_CLOSED) {
      open = false;
      continue;
    }
    handle_event(event);
  }
  return open;
}

void BusWorker::handle_event(const Event& event) {
  switch (event.code) {
    case KOVRA62386_EVENT_FORWARD_FRAME: {
      flush_pending_frame(std::nullopt);
      const std::span<const uint8_t> bytes(event.data.data(),
                                           (event.bits + 7) / 8);
      bool may_answer = false;
      if (event.bits == 16) {
        may_answer = follower_.expects_answer(bytes);
        if (const auto change = follower_.identity_change(bytes)) {
          follow_identity(*change);
        }
        if (const auto change = follower_.observe(bytes)) follow(*change);
      } else if (event.bits == 24) {
        if (device::is_event_frame(bytes.data())) {
          publish_device_event(bytes);
        } else {
          may_answer = true;  // most device commands are queries
        }
      }
      if (may_answer) {
        pending_frame_ = PendingFrame{event.time,
                                      {bytes.begin(), bytes.end()},
                                      FollowClock::now() + kAnswerWait};
      } else {
        output_.publish_transient(
            topics_.frames(name_),
            payload_text(frame_payload(event.time, bytes)));
      }
      break;
    }
    case KOVRA62386_EVENT_BACKWARD_FRAME:
      if (pending_frame_) {
        flush_pending_frame(std::optional<uint8_t>(event.data[0]));
      }
      break;
    case KOVRA62386_EVENT_NO_ANSWER:
    case KOVRA62386_EVENT_FRAME_ERROR:
      if (pending_frame_) {
        flush_pending_frame(
            std::optional<std::optional<uint8_t>>(std::optional<uint8_t>()));
      }
      break;
    case KOVRA62386_EVENT_BUS_STATE:
      switch (static_cast<BusState>(event.bus_state)) {
        case BusState::power_lost:
        case BusState::system_failure:
          set_online(false);
          break;
        case BusState::ok:
          if (online_ == false) {
            set_online(true);
            uint64_t present = 0;
            {
              std::lock_guard<std::mutex> lock(mutex_);
              present = present_mask();
            }
            rereads_.add(present, FollowClock::now() + kPowerOnSettle);
            if (!scanned_) scan_retry_ = FollowClock::now();
          }
          break;
        case BusState::power_return:
          break;
      }
      break;
    default:
      break;
  }
}

void BusWorker::publish_device_event(std::span<const uint8_t> bytes) {
  const auto decoded = device::decode_event(bytes.data());
  if (!decoded) return;
  const device::EventSource& source = decoded->source;
  std::optional<uint8_t> instance;
  std::optional<uint8_t> type;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(
        devices_.begin(), devices_.end(),
        [&](const Device& d) { return d.address == source.short_address; });
    const auto* types =
        found == devices_.end() ? nullptr : &found->instance_types;
    if (source.scheme == device::EventScheme::Device) {
      type = source.instance_type;
      for (std::size_t k = 0; types != nullptr && k < types->size(); ++k) {
        if ((*types)[k] == type) {
          instance = static_cast<uint8_t>(k);
          break;
        }
      }
    } else if (source.scheme != device::EventScheme::DeviceInstance) {
      return;  // names no device: only on `frames`
    }
  }
  if (source.scheme == device::EventScheme::DeviceInstance) {
    instance = source.instance_number;
    // As `monitor` names it: from the scan, else asked once.
    if (instance_types_) {
      type = (*instance_types_)(source.short_address, *instance);
    }
  }
  nlohmann::json payload = device_event_payload(
      instance.value_or(0), type.value_or(0), decoded->info);
  if (!instance) payload["instance"] = nullptr;
  output_.publish_transient(topics_.device_event(name_, source.short_address),
                            payload_text(payload));
}

void BusWorker::flush_pending_frame(
    std::optional<std::optional<uint8_t>> answer) {
  if (!pending_frame_) return;
  const PendingFrame frame = std::move(*pending_frame_);
  pending_frame_.reset();
  output_.publish_transient(
      topics_.frames(name_),
      payload_text(frame_payload(frame.time, frame.bytes,
                                 answer ? answer
                                        : std::optional<std::optional<uint8_t>>(
                                              std::optional<uint8_t>()))));
}

void BusWorker::follow(const LevelChange& change) {
  uint64_t reached = 0;
  std::chrono::milliseconds fade{0};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::array<uint16_t, 64> groups{};
    for (unsigned a = 0; a < 64; ++a) groups[a] = gear_[a].groups;
    reached = gear_reached(change.target, groups, present_mask());
    for (unsigned a = 0; a < 64; ++a) {
      if (has_bit(reached, a)) {
        fade =
            std::max(fade, fade_time_duration(gear_[a].fade_time.value_or(0)));
      }
    }
  }
  std::chrono::milliseconds wait{0};
  switch (change.timing) {
    case LevelChange::Timing::Now:
      break;
    case LevelChange::Timing::Fade:
      wait = fade;
      break;
    case LevelChange::Timing::FadeRate:
      wait = kFadeRateTime;
      break;
  }
  rereads_.add(reached, FollowClock::now() + wait + kSettleMargin);
}

void BusWorker::follow_identity(const IdentityChange& change) {
  uint64_t addresses = 0;
  if (change.target) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Gear the bridge has no entity for yet (several on one address) count
    // too: what the frame did may have changed that.
    std::array<uint16_t, 64> groups{};
    uint64_t known = 0;
    for (unsigned a = 0; a < 64; ++a) {
      groups[a] = gear_[a].groups;
      if (gear_[a].present) known |= uint64_t{1} << a;
    }
    addresses = change.target->kind == dali::AddressKind::Short
                    ? uint64_t{1} << (change.target->number & 0x3F)
                    : gear_reached(*change.target, groups, known);
  }
  if (change.new_address)
    addresses |= uint64_t{1} << (*change.new_address & 0x3F);
  identifies_.add(addresses, FollowClock::now() + kIdentifySettle);
}

bool BusWorker::commands_waiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return scanned_ && !queue_.empty();
}

void BusWorker::reread_due(BusInterface& bus) {
  const uint64_t due = rereads_.take_due(FollowClock::now());
  if (due == 0) return;
  GearScanner scanner(bus);
  uint16_t groups = 0;
  for (unsigned a = 0; a < 64; ++a) {
    if (!has_bit(due, a)) continue;
    if (commands_waiting()) {
      // The rest are read after the commands.
      rereads_.add(due & (~uint64_t{0} << a), FollowClock::now());
      break;
    }
    bool gone = false;
    const bool colour = [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      // Identified again meanwhile: no entity left to publish to.
      gone = !gear_[a].present || gear_[a].shared;
      return gear_[a].state.colour_temperature;
    }();
    if (gone) continue;
    std::optional<uint8_t> level;
    std::optional<uint16_t> mirek;
    try {
      const int address = static_cast<int>(a);
      const auto status = scanner.query(address, gear::kQueryStatus);
      if (status && (*status & dali::kStatusFadeRunning) != 0) {
        rereads_.add(uint64_t{1} << a, FollowClock::now() + kFadePoll);
        continue;
      }
      level = scanner.query(address, gear::kQueryActualLevel);
      if (colour) {
        mirek = scanner.colour_value(address,
                                     dali::colour::kValueColourTemperature);
      }
    } catch (const CliError& e) {
      if (e.code() == ExitCode::kInterrupted) return;
      // Not sent: the state is unknown until the next change.
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gear_[a].state.level = level;
      if (colour) gear_[a].state.mirek = mirek;
      groups |= gear_[a].groups;
    }
    publish_gear(static_cast<uint8_t>(a));
  }
  publish_groups(groups);
}

void BusWorker::identify_due(BusInterface& bus) {
  const uint64_t due = identifies_.take_due(FollowClock::now());
  // Before the scan there is nothing to correct: the scan reads them all.
  if (due == 0 || !scanned_) return;
  GearScanner scanner(bus);
  std::array<Gear, 64> found{};
  uint64_t read = 0;
  for (unsigned a = 0; a < 64; ++a) {
    if (!has_bit(due, a)) continue;
    if (commands_waiting()) {
      identifies_.add(due & (~uint64_t{0} << a), FollowClock::now());
      break;
    }
    try {
      if (auto info = scanner.find_at(static_cast<int>(a))) {
        found[a] = read_gear(scanner, *info);
      }
      read |= uint64_t{1} << a;
    } catch (const CliError& e) {
      if (e.code() == ExitCode::kInterrupted) return;
      // Not sent: an unanswered query proves nothing, so the entity stays
      // as it is until the next change.
    }
  }
  if (read == 0) return;

  std::vector<std::string> removed;
  std::vector<DiscoveryMessage> configs;
  std::vector<uint8_t> states;
  uint16_t groups_changed = 0;
  uint16_t groups_in_use = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto in_use = [this] {
      uint16_t groups = 0;
      for (const Gear& g : gear_) {
        if (g.present && !g.shared) groups |= g.groups;
      }
      return groups;
    };
    const uint16_t groups_before = in_use();
    std::vector<std::string> old_configs;
    for (unsigned a = 0; a < 64; ++a) {
      if (!has_bit(read, a)) continue;
      const bool had_entity = gear_[a].present && !gear_[a].shared;
      if (had_entity) groups_changed |= gear_[a].groups;
      if (auto old = gear_config(a)) old_configs.push_back(old->topic);
      gear_[a] = found[a];
      if (gear_[a].present && !gear_[a].shared) {
        groups_changed |= gear_[a].groups;
        if (auto config = gear_config(a)) configs.push_back(std::move(*config));
        states.push_back(static_cast<uint8_t>(a));
      } else if (had_entity) {
        removed.push_back(topics_.gear_state(name_, static_cast<uint8_t>(a)));
      }
    }
    // A gear that moved keeps its entity when it has a random address: the
    // config topic names that, and the new config replaces the old one.
    std::set<std::string> current;
    for (unsigned a = 0; a < 64; ++a) {
      if (auto config = gear_config(a))
        current.insert(std::move(config->topic));
    }
    for (std::string& topic : old_configs) {
      if (!current.contains(topic)) removed.push_back(std::move(topic));
    }
    groups_in_use = in_use();
    const auto added = static_cast<uint16_t>(groups_in_use & ~groups_before);
    const auto dropped = static_cast<uint16_t>(groups_before & ~groups_in_use);
    const std::string_view prefix = settings_.discovery_prefix;
    for (unsigned g = 0; g < 16; ++g) {
      const auto group = static_cast<uint8_t>(g);
      if (((added | dropped) >> g & 1u) == 0) continue;
      if (!prefix.empty()) {
        DiscoveryMessage config =
            group_discovery(topics_, prefix, name_, group);
        if ((added >> g) & 1u) {
          configs.push_back(std::move(config));
        } else {
          removed.push_back(std::move(config.topic));
        }
      }
      if ((dropped >> g) & 1u) {
        removed.push_back(topics_.group_state(name_, group));
      }
    }
  }
  for (const std::string& topic : removed) output_.remove_retained(topic);
  for (const auto& message : configs) {
    output_.publish_discovery(message.topic, payload_text(message.config));
  }
  for (const uint8_t a : states) publish_gear(a);
  publish_groups(static_cast<uint16_t>(groups_changed & groups_in_use));
}

void BusWorker::execute(BusInterface& bus, BusCommand command) {
  if (auto* light = std::get_if<LightCommand>(&command)) {
    for (const GearFrame& frame : light->frames) {
      const BusReply reply = bus.send(frame.record());
      if (!reply.transmitted()) {
        report({topics_.light_set(name_, light->target),
                "not sent: " + reply.explain()});
        return;
      }
    }
    return;
  }
  const auto& request = std::get<SendRequest>(command);
  const BusReply reply = bus.send(request.record());
  output_.publish_transient(topics_.reply(name_),
                            payload_text(reply_payload(request.id, reply)));
}

void BusWorker::publish_gear(uint8_t address) {
  GearState state;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state = gear_[address & 0x3F].state;
  }
  output_.publish_retained(topics_.gear_state(name_, address),
                           payload_text(gear_state_payload(state)));
}

void BusWorker::publish_groups(uint16_t groups) {
  for (uint8_t group = 0; group < 16; ++group) {
    if (((groups >> group) & 1u) == 0) continue;
    std::vector<GearState> members;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Gear& g : gear_) {
        if (g.present && !g.shared && ((g.groups >> group) & 1u)) {
          members.push_back(g.state);
        }
      }
    }
    if (members.empty()) continue;
    output_.publish_retained(topics_.group_state(name_, group),
                             payload_text(group_state_payload(members)));
  }
}

}  // namespace kovra62386::cli::bridge
