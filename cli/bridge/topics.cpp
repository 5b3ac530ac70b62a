#include "cli/bridge/topics.h"

#include <charconv>
#include <optional>
#include <vector>

namespace kovra62386::cli::bridge {
namespace {

std::vector<std::string_view> split_levels(std::string_view topic) {
  std::vector<std::string_view> levels;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = topic.find('/', start);
    levels.push_back(topic.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return levels;
}

// A plain decimal number up to `max`: digits only, no leading zero.
std::optional<uint8_t> plain_number(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) {
    return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

}  // namespace

bool is_topic_level(std::string_view name) noexcept {
  return !name.empty() && name.find_first_of(std::string_view("/+#\0", 4)) ==
                              std::string_view::npos;
}

TopicScheme::TopicScheme(std::string prefix, std::string node)
    : prefix_(std::move(prefix)), node_(std::move(node)) {}

std::string TopicScheme::node_status() const {
  return prefix_ + "/" + node_ + "/status";
}
std::string TopicScheme::node_error() const {
  return prefix_ + "/" + node_ + "/error";
}

std::string TopicScheme::base(std::string_view interface_name) const {
  return prefix_ + "/" + node_ + "/" + std::string(interface_name);
}

std::string TopicScheme::interface_status(std::string_view i) const {
  return base(i) + "/status";
}
std::string TopicScheme::gear_state(std::string_view i, uint8_t a) const {
  return base(i) + "/gear/" + std::to_string(a) + "/state";
}
std::string TopicScheme::gear_set(std::string_view i, uint8_t a) const {
  return base(i) + "/gear/" + std::to_string(a) + "/set";
}
std::string TopicScheme::group_state(std::string_view i, uint8_t g) const {
  return base(i) + "/group/" + std::to_string(g) + "/state";
}
std::string TopicScheme::group_set(std::string_view i, uint8_t g) const {
  return base(i) + "/group/" + std::to_string(g) + "/set";
}
std::string TopicScheme::broadcast_set(std::string_view i) const {
  return base(i) + "/broadcast/set";
}
std::string TopicScheme::light_set(std::string_view i,
                                   LightTarget target) const {
  switch (target.address.kind) {
    case dali::AddressKind::Short:
      return gear_set(i, target.address.number);
    case dali::AddressKind::Group:
      return group_set(i, target.address.number);
    default:
      return broadcast_set(i);
  }
}
std::string TopicScheme::device_event(std::string_view i, uint8_t a) const {
  return base(i) + "/device/" + std::to_string(a) + "/event";
}
std::string TopicScheme::frames(std::string_view i) const {
  return base(i) + "/frames";
}
std::string TopicScheme::send(std::string_view i) const {
  return base(i) + "/send";
}
std::string TopicScheme::reply(std::string_view i) const {
  return base(i) + "/reply";
}
std::string TopicScheme::error(std::string_view i) const {
  return base(i) + "/error";
}

std::string TopicScheme::subscription_gear_set() const {
  return base("+") + "/gear/+/set";
}
std::string TopicScheme::subscription_group_set() const {
  return base("+") + "/group/+/set";
}
std::string TopicScheme::subscription_broadcast_set() const {
  return base("+") + "/broadcast/set";
}
std::string TopicScheme::subscription_send() const {
  return base("+") + "/send";
}

Result<CommandTopic> TopicScheme::parse_command(std::string_view topic) const {
  const auto fail = [&](std::string problem) {
    return BridgeError{std::string(topic), std::move(problem)};
  };
  const std::string head = prefix_ + "/" + node_ + "/";
  if (!topic.starts_with(head)) return fail("not a topic of this node");
  const auto levels = split_levels(topic.substr(head.size()));
  if (!is_topic_level(levels.front())) {
    return fail("the interface name must be one topic level");
  }
  CommandTopic command;
  command.interface_name = std::string(levels.front());
  if (levels.size() == 2 && levels[1] == "send") {
    command.kind = CommandTopic::Kind::Send;
    return command;
  }
  if (levels.size() == 3 && levels[1] == "broadcast" && levels[2] == "set") {
    command.target.address = dali::Address::broadcast();
    return command;
  }
  if (levels.size() == 4 && levels[3] == "set") {
    if (levels[1] == "gear") {
      const auto a = plain_number(levels[2], 63);
      if (!a) return fail("the short address must be a number from 0 to 63");
      command.target.address = dali::Address::short_address(*a);
      return command;
    }
    if (levels[1] == "group") {
      const auto g = plain_number(levels[2], 15);
      if (!g) return fail("the group must be a number from 0 to 15");
      command.target.address = dali::Address::group(*g);
      return command;
    }
  }
  return fail(
      "not a command topic (gear/A/set, group/G/set, broadcast/set or send)");
}

}  // namespace kovra62386::cli::bridge
