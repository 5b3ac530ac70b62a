#include "cli/bridge/follower.h"

#include <cmath>
#include <utility>

namespace kovra62386::cli::bridge {
namespace {

namespace gear = dali::gear;

std::optional<LevelChange::Timing> timing_of(uint8_t opcode) {
  using Timing = LevelChange::Timing;
  if (dali::number_in(opcode, gear::kGoToScene)) return Timing::Fade;
  switch (opcode) {
    case gear::kOff:
    case gear::kStepUp:
    case gear::kStepDown:
    case gear::kStepDownAndOff:
    case gear::kOnAndStepUp:
      return Timing::Now;
    case gear::kUp:
    case gear::kDown:
      return Timing::FadeRate;
    case gear::kRecallMaxLevel:
    case gear::kRecallMinLevel:
    case gear::kGoToLastActiveLevel:
    case gear::kReset:
      return Timing::Fade;
    default:
      return std::nullopt;
  }
}

// Whether gear may have changed their DTR0 on `frame` otherwise than the
// DTR0 command sets it: it is unknown from then on.
bool clobbers_dtr0(std::span<const uint8_t> frame,
                   const dali::DecodedAddress& decoded) {
  if (decoded.address.kind == dali::AddressKind::Special) {
    // Writing memory moves DTR0 on to the next location.
    return frame[0] == dali::special::kWriteMemoryLocation ||
           frame[0] == dali::special::kWriteMemoryLocationNoReply;
  }
  if (decoded.address.kind == dali::AddressKind::Reserved ||
      !decoded.selector) {
    return false;
  }
  // Application extended commands (QUERY COLOUR VALUE among them) may
  // leave an answer in DTR0.
  return frame[1] >= dali::kFirstExtendedOpcode ||
         frame[1] == gear::kStoreActualLevelInDtr0 ||
         frame[1] == gear::kReadMemoryLocation;
}

}  // namespace

bool FrameFollower::expects_answer(std::span<const uint8_t> frame) const {
  if (frame.size() != 2) return false;
  const dali::DecodedAddress decoded = dali::decode_address_byte(frame[0]);
  if (decoded.address.kind == dali::AddressKind::Special) {
    const dali::Command* special = dali::special_command_in(frame[0], frame[1]);
    return special != nullptr && special->query;
  }
  if (decoded.address.kind == dali::AddressKind::Reserved ||
      !decoded.selector) {
    return false;
  }
  if (frame[1] >= dali::kFirstExtendedOpcode) {
    if (!enabled_device_type_) return false;
    const dali::ExtendedCommand* extended =
        dali::find_extended_command(*enabled_device_type_, frame[1]);
    return extended != nullptr && extended->query;
  }
  const dali::Command* command = dali::find_standard_command(frame[1]);
  return command != nullptr && command->query;
}

std::optional<LevelChange> FrameFollower::observe(
    std::span<const uint8_t> frame) {
  if (frame.size() != 2) return std::nullopt;
  // ENABLE DEVICE TYPE reaches only the command right after it.
  const std::optional<uint8_t> enabled =
      std::exchange(enabled_device_type_, std::nullopt);
  const dali::DecodedAddress decoded = dali::decode_address_byte(frame[0]);
  const dali::Address address = decoded.address;
  if (clobbers_dtr0(frame, decoded)) dtr0_.reset();
  if (address.kind == dali::AddressKind::Special) {
    if (frame[0] == dali::special::kEnableDeviceType) {
      enabled_device_type_ = frame[1];
    } else if (frame[0] == dali::special::kDtr0) {
      dtr0_ = frame[1];
    }
    return std::nullopt;
  }
  // Gear without a short address have no topic to follow.
  if (address.kind != dali::AddressKind::Short &&
      address.kind != dali::AddressKind::Group &&
      address.kind != dali::AddressKind::Broadcast) {
    return std::nullopt;
  }
  if (!decoded.selector) {
    // DAPC; MASK stops a fade where it is.
    return LevelChange{address,
                       frame[1] == dali::kMaskLevel ? LevelChange::Timing::Now
                                                    : LevelChange::Timing::Fade,
                       false};
  }
  if (frame[1] >= dali::kFirstExtendedOpcode) {
    if (enabled == dali::colour::kDeviceType &&
        frame[1] == dali::colour::kActivate) {
      return LevelChange{address, LevelChange::Timing::Fade, true};
    }
    return std::nullopt;
  }
  if (const auto timing = timing_of(frame[1])) {
    return LevelChange{address, *timing, false};
  }
  return std::nullopt;
}

std::optional<IdentityChange> FrameFollower::identity_change(
    std::span<const uint8_t> frame) const {
  if (frame.size() != 2) return std::nullopt;
  const dali::DecodedAddress decoded = dali::decode_address_byte(frame[0]);
  const dali::Address address = decoded.address;
  if (address.kind == dali::AddressKind::Special) {
    if (frame[0] != dali::special::kProgramShortAddress) return std::nullopt;
    // Which gear commissioning selected is not in the frame, nor whether it
    // had a short address before: it gives addresses to gear without one,
    // so the new address is what matters. MASK takes the address of a gear
    // the frame does not name: its entity stays until the bridge restarts.
    const auto given = dali::short_address_from_data(frame[1]);
    if (!given) return std::nullopt;
    return IdentityChange{std::nullopt, given};
  }
  if (address.kind == dali::AddressKind::Reserved || !decoded.selector ||
      frame[1] >= dali::kFirstExtendedOpcode) {
    return std::nullopt;
  }
  const uint8_t opcode = frame[1];
  const auto dtr0_address = [&]() -> std::optional<uint8_t> {
    return dtr0_ ? dali::short_address_from_data(*dtr0_) : std::nullopt;
  };
  // Gear without a short address have no topic; one given to them has.
  if (address.kind == dali::AddressKind::BroadcastUnaddressed) {
    if (opcode != gear::kSetShortAddress || !dtr0_address()) {
      return std::nullopt;
    }
    return IdentityChange{std::nullopt, dtr0_address()};
  }
  if (dali::number_in(opcode, gear::kAddToGroup) ||
      dali::number_in(opcode, gear::kRemoveFromGroup) ||
      opcode == gear::kReset) {
    return IdentityChange{address, std::nullopt};
  }
  if (opcode == gear::kSetShortAddress) {
    // DTR0 MASK takes the short address away; an unknown DTR0 leaves only
    // the gear reached to read.
    return IdentityChange{address, dtr0_address()};
  }
  return std::nullopt;
}

uint64_t gear_reached(dali::Address target,
                      const std::array<uint16_t, 64>& groups,
                      uint64_t present) noexcept {
  switch (target.kind) {
    case dali::AddressKind::Short:
      return present & (uint64_t{1} << (target.number & 0x3F));
    case dali::AddressKind::Broadcast:
      return present;
    case dali::AddressKind::Group: {
      uint64_t reached = 0;
      for (unsigned a = 0; a < 64; ++a) {
        if ((groups[a] >> (target.number & 0x0F)) & 1u) {
          reached |= uint64_t{1} << a;
        }
      }
      return reached & present;
    }
    default:
      return 0;
  }
}

std::chrono::milliseconds fade_time_duration(uint8_t code) noexcept {
  if (code == 0 || code > 15) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(
      std::lround(500.0 * std::sqrt(std::pow(2.0, code))));
}

void RereadSchedule::add(uint64_t gear, FollowClock::time_point due) noexcept {
  for (unsigned a = 0; a < 64; ++a) {
    if (((gear >> a) & 1u) == 0) continue;
    if (!due_[a] || *due_[a] < due) due_[a] = due;
  }
}

std::optional<FollowClock::time_point> RereadSchedule::next_due()
    const noexcept {
  std::optional<FollowClock::time_point> next;
  for (const auto& due : due_) {
    if (due && (!next || *due < *next)) next = due;
  }
  return next;
}

uint64_t RereadSchedule::take_due(FollowClock::time_point now) noexcept {
  uint64_t taken = 0;
  for (unsigned a = 0; a < 64; ++a) {
    if (due_[a] && *due_[a] <= now) {
      taken |= uint64_t{1} << a;
      due_[a].reset();
    }
  }
  return taken;
}

}  // namespace kovra62386::cli::bridge
