#include "client/transport/connection_base.h"

#include <memory>

#include "client/launcher/server_locator.h"
#include "client/launcher/server_start.h"

namespace kovra62386 {

Kovra62386ConnectionBase::Kovra62386ConnectionBase(platform::Platform& platform)
    : platform_(platform) {}

Kovra62386ConnectionBase::~Kovra62386ConnectionBase() = default;

std::vector<Message> Kovra62386ConnectionBase::receive_all() {
  std::vector<Message> messages;
  Message scratch;
  while (receive(scratch, 0)) messages.push_back(scratch);
  return messages;
}

bool Kovra62386ConnectionBase::send(const Message&) { return false; }

bool Kovra62386ConnectionBase::send_bytes(std::span<const uint8_t> message) {
  return send(Message(message.begin(), message.end()));
}

bool Kovra62386ConnectionBase::receive(Message&, int32_t) { return false; }

bool Kovra62386ConnectionBase::connect_or_start() {
  const ServerStartSteps steps{
      [this] { return connect(); },
      [this] { return start_from_install_location(); },
      [this] { return start_from_process_directory(); }};
  return kovra62386::connect_or_start(platform_, steps, address_);
}

bool Kovra62386ConnectionBase::start_from_install_location() {
  const std::string path = install_location_server_path(platform_);
  if (path.empty()) return false;
  return start_server(path);
}

bool Kovra62386ConnectionBase::start_from_process_directory() {
  const std::string path = process_directory_server_path(platform_);
  if (path.empty()) return false;
  return start_server(path);
}

bool Kovra62386ConnectionBase::start_server(const std::string& path) {
  return kovra62386::start_server(platform_, path, address_);
}

}  // namespace kovra62386
