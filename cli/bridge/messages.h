// The bridge's other payloads: raw frames on `send` and their `reply`,
// every bus frame on `frames`, control device events and errors.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bridge/topics.h"
#include "kovra62386/kovra62386.hpp"

namespace kovra62386::cli::bridge {

inline constexpr const char* kOnline = "online";
inline constexpr const char* kOffline = "offline";

// A raw forward frame from `send`: {"id": "...", "data": "0BA0", "bits":
// 16, "twice": false}. The id is echoed on `reply`; bits, when given, must
// match the data.
struct SendRequest {
  std::string id;
  std::vector<uint8_t> bytes;  // 1-5
  bool send_twice = false;

  WriteFrameRecord record() const { return raw_frame(bytes, send_twice); }
};

Result<SendRequest> parse_send(std::string_view topic,
                               std::string_view payload);

// {"id": ..., "status": "answer"|"no_answer"|"collision"|..., "answer": n}.
nlohmann::json reply_payload(std::string_view id, const SendOutcome& outcome);

// {"time": ..., "bits": 16, "data": "FF00", "text": "broadcast: OFF",
// "answer": n or null}; "answer" only for frames that were queries.
nlohmann::json frame_payload(
    std::string_view time, std::span<const uint8_t> bytes,
    std::optional<std::optional<uint8_t>> answer = std::nullopt);

// {"instance": k, "type": "push_button", "event": "short_press", ...} for
// an event from instance `instance` of type `instance_type`.
nlohmann::json device_event_payload(uint8_t instance, uint8_t instance_type,
                                    uint16_t info);
// "push_button", "occupancy_sensor", "light_sensor", "instance_type_9".
std::string instance_type_key(uint8_t instance_type);

// {"topic": ..., "error": ...}
nlohmann::json error_payload(const BridgeError& error);

// A payload as the text to publish. Strings from the broker may hold bytes
// that are not UTF-8 (a topic echoed in an error): they are replaced, so
// that writing a payload never throws.
std::string payload_text(const nlohmann::json& payload);

}  // namespace kovra62386::cli::bridge
