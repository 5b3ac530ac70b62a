#include "transport/connection_base.h"

#include <memory>

#include "server/server_locator.h"

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

bool Kovra62386ConnectionBase::receive(Message&, int32_t) { return false; }

bool Kovra62386ConnectionBase::connect_or_start() {
  // Held (or, after the bounded wait, not) for the whole sequence; the
  // holder releases and closes it on every way out, exceptions included.
  // Without ownership the sequence still runs: a client must not hang
  // because another process died holding the mutex on a system that does
  // not report abandonment.
  const std::unique_ptr<platform::NamedMutexLock> start_lock =
      platform_.acquire_named_mutex(platform::start_mutex_name,
                                    start_mutex_timeout);

  host_ = "localhost";
  port_ = 42000;
  if (read_published_address(platform_, host_, port_) && connect()) {
    return true;
  }
  if (!start_from_install_location()) start_from_process_directory();
  // Tried whatever the starts answered: a server may have come up by other
  // means meanwhile.
  return connect();
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
  if (!launch_program(platform_, path)) return false;
  // Cleared after the launch, not before: values left by a server that died
  // must not count, and the new server's publication is the sign that it
  // accepts connections.
  clear_published_address(platform_);
  const auto started = platform_.now();
  for (;;) {
    if (read_published_address(platform_, host_, port_)) return true;
    platform_.sleep_for(publish_poll_interval);
    if (platform_.now() - started >= publish_timeout) return false;
  }
}

}  // namespace kovra62386
