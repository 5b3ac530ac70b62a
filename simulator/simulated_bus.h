// SimulatedBus: one DALI bus with virtual control gear, driven by forward
// frames and the time stamps the caller passes in. No sockets, no threads
// of its own; every public function takes the bus's mutex, so the server
// may call faults from one thread and frames from another.
//
// Several gear answering at once: the bus is wired-AND. Each gear starts
// its backward frame after an answer delay of its own (5.5-10.5 ms after
// the forward frame, drawn per gear from the bus's seed unless configured),
// so two answers overlap out of step and the master sees a framing error,
// even when their bytes agree. Only identical answers that start within a
// bit's tolerance of each other superpose into one valid frame. That is
// the default policy (SameByteInStep); the old lenient one (identical
// bytes always superpose) and the strictest one (any two answers collide)
// are options.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dali/bus_response.h"
#include "dali/bus_timing.h"
#include "simulator/control_device.h"
#include "simulator/control_gear.h"

namespace kovra62386::dali {

enum class CollisionPolicy : uint8_t {
  // Identical answers that start within a bit's tolerance superpose; all
  // others collide (the default: true to a real bus).
  SameByteInStep,
  // Identical answers superpose whenever they start.
  SameByteIsValid,
  // More than one answering gear is a collision.
  AnyTwoAnswersCollide,
};
inline constexpr CollisionPolicy kDefaultCollisionPolicy =
    CollisionPolicy::SameByteInStep;
// The seed of the answer delays when none is given.
inline constexpr uint64_t kDefaultSeed = 1;

struct GearInfo {
  size_t index = 0;  // position on the bus, stable for its lifetime
  bool silent = false;
  timing::microseconds answer_delay{};
  GearState state;
};

struct ControlDeviceInfo {
  size_t index = 0;  // position among the control devices
  ControlDeviceState state;
};

// A control device named by its short address, or by its position among
// the bus's control devices (for one without a short address).
struct DeviceSelector {
  std::optional<uint8_t> short_address;
  size_t index = 0;
};

class SimulatedBus {
 public:
  // Short addresses 0, 1, 2, 5 and 9 with different levels and groups, and
  // three gear without a short address (distinct random addresses) for
  // commissioning; then tunable white gear (device type 8) on 10 and 11.
  static std::vector<GearConfig> default_configuration();

  // A push-button device with four buttons at short address 7, an
  // occupancy sensor at 12, a light sensor at 13 (these name their device
  // in events), and a combined occupancy and light sensor without a short
  // address. Control devices have short addresses of their own, apart
  // from the gear's.
  static std::vector<ControlDeviceConfig> default_control_devices();

  SimulatedBus();  // default_configuration(), default_control_devices()
  // Gear and devices without an answer delay of their own draw one from
  // `seed`, in bus order (gear first).
  explicit SimulatedBus(std::vector<GearConfig> gear,
                        CollisionPolicy policy = kDefaultCollisionPolicy,
                        uint64_t seed = kDefaultSeed);
  SimulatedBus(std::vector<GearConfig> gear,
               std::vector<ControlDeviceConfig> devices,
               CollisionPolicy policy = kDefaultCollisionPolicy,
               uint64_t seed = kDefaultSeed);

  // Frames the bus transmits: 16 bits (control gear) and 24 bits (control
  // devices). Others should be refused by the caller.
  static bool transmittable(unsigned bit_count) noexcept {
    return bit_count == 16 || bit_count == 24;
  }

  // Transmits one forward frame at `now` and collects the answers. `data`
  // holds (bit_count + 7) / 8 bytes. A frame sent twice is two calls.
  BusResponse forward_frame(const uint8_t* data, unsigned bit_count,
                            Clock::time_point now);

  // Bus power. Losing it sends every gear to its system failure level;
  // while it is down frames are NotTransmitted.
  void set_power(bool on, Clock::time_point now = Clock::now());
  bool powered() const;

  // Mains off and on for every gear: power-on levels, power cycle seen.
  void power_cycle_gear(Clock::time_point now = Clock::now());

  // A gear that still obeys but whose answers never reach the bus. Returns
  // false when no gear has that short address.
  bool set_silent(uint8_t short_address, bool silent);
  // The next query frame (a command that may be answered) is reported as a
  // collision whatever the gear answer.
  void force_collision_next_query();

  // Inspection: every gear in bus order, fades advanced to `now`.
  std::vector<GearInfo> gear(Clock::time_point now = Clock::now()) const;
  size_t gear_count() const;
  // The first gear with this short address.
  std::optional<GearInfo> gear_at(uint8_t short_address,
                                  Clock::time_point now = Clock::now()) const;

  // Direct access for tests (set_random_address, set_lamp_failure). Not for
  // use while another thread drives the bus.
  ControlGear& gear_object(size_t index) { return gear_.at(index).gear; }

  CollisionPolicy collision_policy() const;

  // ---- Control devices ----
  std::vector<ControlDeviceInfo> control_devices() const;
  // Runs `act` (a person's hand: press, occupancy, light) on the selected
  // device and returns its error text; empty on success.
  std::string act_on_device(
      const DeviceSelector& selector,
      const std::function<std::string(ControlDevice&)>& act);
  // When a device next wants the bus or has a timer of its own to run.
  std::optional<Clock::time_point> next_device_due() const;
  // The event frame that goes out next by `now`: of the frames due, the one
  // of the highest priority (lowest number), then the oldest, provided
  // `accept` takes it (an empty one takes any). It is on the bus once
  // returned (gear and devices have seen it). nullopt when none is due, it
  // was not accepted, or the bus has no power.
  std::optional<DeviceFrame> take_device_frame(
      Clock::time_point now,
      const std::function<bool(const DeviceFrame&)>& accept = {});

  // A lamp that fails or is repaired. False when no gear has that address.
  bool set_lamp_failure(uint8_t short_address, bool failed);

 private:
  struct Slot {
    ControlGear gear;
    timing::microseconds answer_delay;
    bool silent = false;
  };

  // One backward frame: its byte and when it started.
  struct Heard {
    uint8_t byte;
    timing::microseconds delay;
  };

  // A 24-bit frame to the control devices.
  BusResponse device_frame(const uint8_t* data, Clock::time_point now);
  // What the bus reports for the answers of one frame, gear's or devices'
  // alike; a forced collision takes any answer, or a query's silence.
  BusResponse resolve(const std::vector<Heard>& answers, bool query);

  mutable std::mutex mutex_;
  mutable std::vector<Slot> gear_;
  std::vector<ControlDevice> devices_;
  std::vector<timing::microseconds> device_delays_;  // as devices_
  CollisionPolicy policy_;
  bool powered_ = true;
  bool force_collision_ = false;
};

}  // namespace kovra62386::dali
