// The commands waiting for one bus. Bounded: when the bus is slower than
// the broker, the newest level for a light replaces the older one still
// waiting, so a slider dragged in a dashboard sends its last value and not
// a backlog; anything else beyond the bound is refused, never kept.
//
// A plain data structure: the bus worker that owns it locks around it.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <variant>

#include "cli/bridge/light.h"
#include "cli/bridge/messages.h"

namespace kovra62386::cli::bridge {

// A light command, or a raw frame from `send` (which may reach any gear,
// so nothing is coalesced across it).
using BusCommand = std::variant<LightCommand, SendRequest>;

class CommandQueue {
 public:
  enum class Push { Queued, Replaced, Full };

  explicit CommandQueue(std::size_t bound) : bound_(bound) {}

  // A level-only command replaces the newest waiting command that reaches
  // the same gear when that one is a level-only command for the same
  // target: nothing waiting between them can then be reordered past it.
  Push push(BusCommand command);
  std::optional<BusCommand> pop();

  std::size_t size() const { return waiting_.size(); }
  bool empty() const { return waiting_.empty(); }
  std::size_t bound() const { return bound_; }

 private:
  std::size_t bound_;
  std::deque<BusCommand> waiting_;
};

// Whether a command to `a` may change gear that a command to `b` reaches:
// two different short addresses never do; a group may hold any gear.
bool may_overlap(LightTarget a, LightTarget b) noexcept;

}  // namespace kovra62386::cli::bridge
