// The bridge's MQTT topic scheme: every topic it publishes, and the topics
// it takes commands on, parsed into a typed target with bounds checked.
//
//   {p}/{n}/status                     node online/offline (last will)
//   {p}/{n}/{i}/status                 interface online/offline
//   {p}/{n}/{i}/gear/{a}/state|set     short address 0-63
//   {p}/{n}/{i}/group/{g}/state|set    group 0-15
//   {p}/{n}/{i}/broadcast/set
//   {p}/{n}/{i}/device/{a}/event       control device events
//   {p}/{n}/{i}/frames                 every frame on the bus
//   {p}/{n}/{i}/send, .../reply        raw frames and their outcome
//   {p}/{n}/{i}/error                  what a bad command got instead
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "dali/dali_commands.h"

namespace kovra62386::cli::bridge {

// What a command got instead of a bus frame: the topic it came on and the
// problem, for {p}/{n}/{i}/error.
struct BridgeError {
  std::string topic;
  std::string problem;
};

// A value or the error that stands in for it. Nothing in the mapping throws
// past its functions: bad input from the broker is an error value.
template <class T>
using Result = std::variant<T, BridgeError>;

template <class T>
const BridgeError* error_of(const Result<T>& result) {
  return std::get_if<BridgeError>(&result);
}

// Gear, a group or broadcast on one interface.
struct LightTarget {
  dali::Address address;  // Short, Group or Broadcast
  friend bool operator==(const LightTarget&, const LightTarget&) = default;
};

// A topic the bridge takes commands on.
struct CommandTopic {
  enum class Kind : uint8_t { LightSet, Send };
  Kind kind = Kind::LightSet;
  std::string interface_name;
  LightTarget target;  // LightSet only
};

// A name that fits in one topic level and in no wildcard: not empty, no
// '/', '+', '#' or NUL.
bool is_topic_level(std::string_view name) noexcept;

class TopicScheme {
 public:
  // `prefix` may span several levels ("site/kovra62386"); `node` is one.
  TopicScheme(std::string prefix, std::string node);

  const std::string& prefix() const { return prefix_; }
  const std::string& node() const { return node_; }

  std::string node_status() const;
  std::string node_error() const;  // for commands naming no interface
  std::string interface_status(std::string_view interface_name) const;
  std::string gear_state(std::string_view interface_name,
                         uint8_t short_address) const;
  std::string gear_set(std::string_view interface_name,
                       uint8_t short_address) const;
  std::string group_state(std::string_view interface_name, uint8_t group) const;
  std::string group_set(std::string_view interface_name, uint8_t group) const;
  std::string broadcast_set(std::string_view interface_name) const;
  std::string light_set(std::string_view interface_name,
                        LightTarget target) const;
  std::string device_event(std::string_view interface_name,
                           uint8_t short_address) const;
  std::string frames(std::string_view interface_name) const;
  std::string send(std::string_view interface_name) const;
  std::string reply(std::string_view interface_name) const;
  std::string error(std::string_view interface_name) const;

  // What the bridge subscribes to: every interface's set and send topics.
  std::string subscription_gear_set() const;
  std::string subscription_group_set() const;
  std::string subscription_broadcast_set() const;
  std::string subscription_send() const;

  // An incoming topic as a command target; an error for a topic outside
  // the scheme, an address or group out of range, or a number that is not
  // written plainly (one spelling per gear: "5", never "05" or "+5").
  Result<CommandTopic> parse_command(std::string_view topic) const;

 private:
  std::string base(std::string_view interface_name) const;

  std::string prefix_;
  std::string node_;
};

}  // namespace kovra62386::cli::bridge
