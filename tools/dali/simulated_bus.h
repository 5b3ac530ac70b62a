// SimulatedBus: one DALI bus with virtual control gear, driven by forward
// frames and the time stamps the caller passes in. No sockets, no threads
// of its own; every public function takes the bus's mutex, so the server
// may call faults from one thread and frames from another.
//
// Several gear answering at once: the bus is wired-AND, and identical
// Manchester frames sent together superpose into one valid frame. So when
// every answering gear sends the same byte (many "yes" answers to COMPARE)
// the bus reports that byte; different bytes give a collision. Gear that
// share a random address therefore look like one gear to COMPARE and QUERY
// SHORT ADDRESS; a commissioning tool finds them by re-initialising one
// short address, randomising and searching again. The stricter policy
// (any two answers collide, as on buses where gear answer at different
// moments of the backward window) is available as an option.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/dali/control_device.h"
#include "tools/dali/control_gear.h"

namespace kovra62386::dali {

struct BusResponse {
  enum class Kind : uint8_t {
    NoAnswer,        // sent; no backward frame within the window
    Answer,          // sent; one valid backward frame, `answer`
    Collision,       // sent; backward frames collided (framing error)
    NotTransmitted,  // the bus has no power; the frame never went out
  };
  Kind kind = Kind::NoAnswer;
  uint8_t answer = 0;  // only for Answer

  static constexpr BusResponse no_answer() { return {Kind::NoAnswer, 0}; }
  static constexpr BusResponse answered(uint8_t byte) {
    return {Kind::Answer, byte};
  }
  static constexpr BusResponse collision() { return {Kind::Collision, 0}; }
  static constexpr BusResponse not_transmitted() {
    return {Kind::NotTransmitted, 0};
  }
  friend bool operator==(const BusResponse&, const BusResponse&) = default;
};

enum class CollisionPolicy : uint8_t {
  SameByteIsValid,       // identical answers superpose (default)
  AnyTwoAnswersCollide,  // more than one answering gear is a collision
};

// IEC 62386-101 timing at 1200 bit/s, for the server's real-time mode.
namespace timing {
using std::chrono::microseconds;
inline constexpr std::chrono::nanoseconds kBitTime{833'333};
// Start bit plus the data bits: 17 bit times (14.2 ms) for 16 bits.
constexpr microseconds forward_frame(unsigned bit_count) noexcept {
  return std::chrono::duration_cast<microseconds>(kBitTime * (1 + bit_count));
}
// The backward frame starts 5.5-10.5 ms after the forward frame; the
// simulated gear always answer after 7 ms.
inline constexpr microseconds kBackwardWindowMin{5'500};
inline constexpr microseconds kBackwardWindowMax{10'500};
inline constexpr microseconds kBackwardDelay{7'000};
// Start bit, 8 data bits and 2 stop bits: 11 bit times (9.2 ms).
inline constexpr microseconds kBackwardFrame{9'167};
// Least time from the end of a forward frame to the next forward frame,
// and from a backward frame to the next forward frame.
inline constexpr microseconds kForwardToForward{13'500};
inline constexpr microseconds kBackwardToForward{2'400};
}  // namespace timing

// When the parts of one transaction happen, measured from the start of the
// forward frame.
struct TransactionTiming {
  std::chrono::microseconds echo;        // forward frame complete
  std::chrono::microseconds completion;  // answer received / window closed
  std::chrono::microseconds bus_free;    // the next forward frame may start
};
// A 16-bit query answered: echo 14.2 ms, completion 30.3 ms, free 32.7 ms.
// Unanswered: completion 24.7 ms (window closed), free 27.7 ms. Not
// transmitted: all zero.
TransactionTiming transaction_timing(const BusResponse& response,
                                     unsigned bit_count) noexcept;
// The bus time one transaction takes (its bus_free).
inline std::chrono::microseconds transaction_duration(
    const BusResponse& response, unsigned bit_count) noexcept {
  return transaction_timing(response, bit_count).bus_free;
}

struct GearInfo {
  size_t index = 0;  // position on the bus, stable for its lifetime
  bool silent = false;
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
  explicit SimulatedBus(
      std::vector<GearConfig> gear,
      CollisionPolicy policy = CollisionPolicy::SameByteIsValid);
  SimulatedBus(std::vector<GearConfig> gear,
               std::vector<ControlDeviceConfig> devices,
               CollisionPolicy policy = CollisionPolicy::SameByteIsValid);

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
    bool silent = false;
  };

  // A 24-bit frame to the control devices.
  BusResponse device_frame(const uint8_t* data, Clock::time_point now);
  // What the bus reports for the answers of one frame.
  BusResponse resolve(const std::vector<uint8_t>& answers) const;

  mutable std::mutex mutex_;
  mutable std::vector<Slot> gear_;
  std::vector<ControlDevice> devices_;
  CollisionPolicy policy_;
  bool powered_ = true;
  bool force_collision_ = false;
};

}  // namespace kovra62386::dali
