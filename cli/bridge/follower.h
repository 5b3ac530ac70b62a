// How the bridge follows a bus that other clients drive too: which forward
// frames change levels or what gear are (groups, short address), which gear
// they reach, and when to read those gear again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "dali/dali_commands.h"

namespace kovra62386::cli::bridge {

using FollowClock = std::chrono::steady_clock;

// A frame that may have changed the light output of the gear it reaches.
struct LevelChange {
  enum class Timing : uint8_t {
    Now,       // OFF, steps, stop fading: settled at once
    Fade,      // DAPC, recall, scenes: after the gear's fade time
    FadeRate,  // UP, DOWN: a 200 ms fade at the fade rate
  };
  dali::Address target;  // Short, Group or Broadcast
  Timing timing = Timing::Now;
  bool colour = false;  // device type 8 ACTIVATE: the colour moved too
};

// A frame that may have changed which gear answer on which short address,
// or their groups: those gear are to be identified again.
struct IdentityChange {
  // The gear the frame reaches (Short, Group or Broadcast), as they were.
  std::optional<dali::Address> target;
  // The short address a gear now has (SET SHORT ADDRESS, PROGRAM SHORT
  // ADDRESS).
  std::optional<uint8_t> new_address;
};

// Watches the 16-bit forward frames of one bus, in order. It keeps the last
// ENABLE DEVICE TYPE, since an application extended command means what
// that says, and DTR0, which SET SHORT ADDRESS takes its address from.
class FrameFollower {
 public:
  std::optional<LevelChange> observe(std::span<const uint8_t> frame);
  // Whether a gear may answer `frame` (a query): the frame's answer is
  // then worth waiting for. Call before observe() of the same frame.
  bool expects_answer(std::span<const uint8_t> frame) const;
  // Whether `frame` may change groups or short addresses (ADD TO GROUP,
  // REMOVE FROM GROUP, RESET, SET SHORT ADDRESS, PROGRAM SHORT ADDRESS).
  // Call before observe() of the same frame.
  std::optional<IdentityChange> identity_change(
      std::span<const uint8_t> frame) const;

 private:
  std::optional<uint8_t> enabled_device_type_;
  std::optional<uint8_t> dtr0_;  // nullopt: unknown
};

// The short addresses `target` reaches, as bit a of the result, among the
// gear in `present` with their group memberships (bit g: group g).
uint64_t gear_reached(dali::Address target,
                      const std::array<uint16_t, 64>& groups,
                      uint64_t present) noexcept;

// The fade time of fade time code 0-15 (IEC 62386-102: 0.5 s times the
// square root of 2 to the code; code 0 no fade).
std::chrono::milliseconds fade_time_duration(uint8_t code) noexcept;

// When each gear is next to be read. Bounded by the 64 short addresses: a
// gear due again before its read keeps the later time.
class RereadSchedule {
 public:
  void add(uint64_t gear, FollowClock::time_point due) noexcept;
  std::optional<FollowClock::time_point> next_due() const noexcept;
  // The gear due by `now`, no longer scheduled.
  uint64_t take_due(FollowClock::time_point now) noexcept;

 private:
  std::array<std::optional<FollowClock::time_point>, 64> due_{};
};

}  // namespace kovra62386::cli::bridge
