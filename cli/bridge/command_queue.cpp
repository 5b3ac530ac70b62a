#include "cli/bridge/command_queue.h"

namespace kovra62386::cli::bridge {

bool may_overlap(LightTarget a, LightTarget b) noexcept {
  const bool both_short = a.address.kind == dali::AddressKind::Short &&
                          b.address.kind == dali::AddressKind::Short;
  return !both_short || a.address.number == b.address.number;
}

CommandQueue::Push CommandQueue::push(BusCommand command) {
  const auto* light = std::get_if<LightCommand>(&command);
  if (light != nullptr && light->level_only) {
    for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
      const auto* older = std::get_if<LightCommand>(&*it);
      if (older == nullptr) break;  // a raw frame may have reached the gear
      if (!may_overlap(older->target, light->target)) continue;
      if (older->level_only && older->target == light->target) {
        *it = std::move(command);
        return Push::Replaced;
      }
      break;
    }
  }
  if (waiting_.size() >= bound_) return Push::Full;
  waiting_.push_back(std::move(command));
  return Push::Queued;
}

std::optional<BusCommand> CommandQueue::pop() {
  if (waiting_.empty()) return std::nullopt;
  BusCommand command = std::move(waiting_.front());
  waiting_.pop_front();
  return command;
}

}  // namespace kovra62386::cli::bridge
