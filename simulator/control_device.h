// One virtual IEC 62386-103 control device (an input device) with its
// instances: push buttons (-301), occupancy sensors (-303), light sensors
// (-304). It answers 24-bit commands as a real device would and sends event
// messages by itself when a person acts on it.
//
// Like ControlGear it has no timer: every call passes the time, and the
// device's own timing (long press, repeats, a scheduled release) is worked
// out from those time stamps. The bus asks next_due() when it should look
// again and take_event() for the frames that are due.
//
// Simplifications, all deliberate:
//  - Instance groups, event priority and the event filter are kept and
//    obeyed; feature addressing, memory banks beyond the DTRs, quiescent
//    timing, application controllers and power notification events are not
//    simulated (their commands are accepted or ignored as the standard
//    allows for a device without them).
//  - An occupancy sensor reports "occupied" and "vacant" when told, without
//    hold, report or dead-time timers; a light sensor reports every change
//    of its 10-bit value.
//  - Events while the instance is disabled, filtered out, or the device is
//    in quiescent mode are dropped, as on a real device.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "dali/device_commands.h"
#include "simulator/control_gear.h"

namespace kovra62386::dali {

// One instance as configured (its number is its position in the device).
struct InstanceConfig {
  device::InstanceType type = device::InstanceType::PushButton;
  bool enabled = true;        // instanceActive: events may be sent
  uint32_t event_filter = 0;  // 0: the type's default
  device::EventScheme event_scheme = device::EventScheme::Instance;
  uint8_t event_priority = 4;     // 2-5
  uint8_t primary_group = kMask;  // instance groups 0-31 or MASK
  uint8_t group1 = kMask;
  uint8_t group2 = kMask;
};

// Everything that describes a control device in an installation; a loader
// fills it, the default installation is built from it.
struct ControlDeviceConfig {
  uint8_t short_address = kNoShortAddress;
  uint32_t device_groups = 0;  // bit g: member of device group g (0-31)
  uint32_t random_address = kNoRandomAddress;
  std::vector<InstanceConfig> instances;  // at most 32
  uint64_t seed = 1;  // RANDOMISE draws from a generator seeded with this
  // When set, the first RANDOMISE gives this value (two devices with the
  // same value collide in a commissioning search).
  std::optional<uint32_t> first_random_address;
  // When the device answers after a forward frame; drawn by the bus when
  // unset.
  std::optional<std::chrono::microseconds> answer_delay;
};

// The type's event filter after reset: what a person's hand should show.
uint32_t default_event_filter(device::InstanceType type) noexcept;

// A frame the device wants to send, and from when.
struct DeviceFrame {
  std::array<uint8_t, 3> bytes{};
  uint8_t priority = 4;  // 2-5
  Clock::time_point due{};
};

// The variables of one instance, copied out for inspection.
struct InstanceState {
  device::InstanceType type = device::InstanceType::PushButton;
  bool enabled = true;
  uint32_t event_filter = 0;
  device::EventScheme event_scheme = device::EventScheme::Instance;
  uint8_t event_priority = 4;
  uint8_t primary_group = kMask, group1 = kMask, group2 = kMask;
  uint16_t value = 0;  // button: 0/1; occupancy: bits as the event info;
                       // light: 0-1023
  bool held = false;   // a push button held down
  bool long_press = false;
};

struct ControlDeviceState {
  uint8_t short_address = kNoShortAddress;
  uint32_t random_address = kNoRandomAddress;
  uint32_t search_address = kNoRandomAddress;
  uint32_t device_groups = 0;
  uint8_t dtr0 = 0, dtr1 = 0, dtr2 = 0;
  uint8_t operating_mode = 0;
  bool power_cycle_seen = false;
  bool quiescent = false;
  InitialisationState initialisation = InitialisationState::Disabled;
  std::vector<InstanceState> instances;

  bool has_short_address() const noexcept {
    return short_address != kNoShortAddress;
  }
  uint8_t status() const noexcept;  // the QUERY DEVICE STATUS byte
};

class ControlDevice {
 public:
  // Push-button timing (IEC 62386-301 defaults).
  static constexpr std::chrono::milliseconds kShortPressLimit{500};
  static constexpr std::chrono::milliseconds kRepeatInterval{160};
  // Frames waiting to go out; the oldest is dropped beyond this.
  static constexpr std::size_t kMaxPendingFrames = 64;

  explicit ControlDevice(const ControlDeviceConfig& config = {});

  // A 24-bit command frame (three bytes). Returns the answer byte.
  std::optional<uint8_t> receive(const uint8_t* frame, Clock::time_point now);
  // Any other forward frame on the bus: cancels a pending send-twice.
  void foreign_frame() noexcept { pending_.reset(); }

  // ---- A person's hand. Each returns an error text, empty on success. ----
  // Presses a push button; with `hold`, releases it that much later.
  std::string press(uint8_t instance, Clock::time_point now,
                    std::optional<Clock::duration> hold = std::nullopt);
  std::string release(uint8_t instance, Clock::time_point now);
  std::string set_occupied(uint8_t instance, bool occupied,
                           Clock::time_point now);
  // Illuminance in the sensor's units, clamped to 0-1023.
  std::string set_illuminance(uint8_t instance, unsigned value,
                              Clock::time_point now);

  // The bus lost power: frames not yet sent are lost, buttons come up.
  void bus_power_lost();
  // Power returned: power cycle seen, initialisation ends.
  void bus_power_returned();

  // When the device next has something to do (a frame due or a timer of
  // its own); nullopt when idle.
  std::optional<Clock::time_point> next_due() const;
  // The oldest frame due by `now`, after running the device's timers up to
  // then; nullopt when none.
  std::optional<DeviceFrame> take_event(Clock::time_point now);
  // A frame taken that lost arbitration: first in line again.
  void put_back(const DeviceFrame& frame) { outbox_.push_front(frame); }

  ControlDeviceState state() const;
  std::size_t instance_count() const { return state_.instances.size(); }

 private:
  struct Instance {
    InstanceState state;
    Clock::time_point pressed_at{};
    std::optional<Clock::time_point> release_at;
    Clock::time_point next_repeat{};
    uint32_t latch = 0;  // input value bytes after the first, for LATCH
  };
  struct Frame {
    uint8_t address, instance, opcode;
    Clock::time_point at;
  };

  bool addressed(uint8_t address_byte) const noexcept;
  bool selects(const Instance& instance, uint8_t number,
               uint8_t instance_byte) const noexcept;
  std::optional<uint8_t> special(uint8_t command, uint8_t data,
                                 Clock::time_point now);
  std::optional<uint8_t> device_command(uint8_t opcode);
  std::optional<uint8_t> instance_command(Instance& instance, uint8_t opcode);
  bool accepts_twice(const uint8_t* frame, Clock::time_point now);
  bool initialising(Clock::time_point now);
  void reset();
  uint32_t draw_random();

  std::string check_instance(uint8_t instance, device::InstanceType type) const;
  void run_timers(Clock::time_point now);
  void let_go(uint8_t number, Clock::time_point at);
  void emit(uint8_t number, uint16_t info, uint32_t filter_bit,
            Clock::time_point at);
  uint8_t input_value(const Instance& instance, uint32_t& latch) const;

  ControlDeviceState state_;
  std::vector<Instance> instances_;
  std::deque<DeviceFrame> outbox_;
  std::optional<Frame> pending_;
  Clock::time_point initialised_at_{};
  uint64_t rng_;
  std::optional<uint32_t> first_random_;
};

}  // namespace kovra62386::dali
