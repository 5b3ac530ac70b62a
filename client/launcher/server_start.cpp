#include "client/launcher/server_start.h"

#include <memory>

#include "client/launcher/server_locator.h"

namespace kovra62386 {

bool connect_or_start(platform::Platform& platform,
                      const ServerStartSteps& steps,
                      PublishedAddress& address) {
  // Held (or, after the bounded wait, not) for the whole sequence; the
  // holder releases and closes it on every way out, exceptions included.
  // Without ownership the sequence still runs: a client must not hang
  // because another process died holding the mutex on a system that does
  // not report abandonment.
  const std::unique_ptr<platform::NamedMutexLock> start_lock =
      platform.acquire_named_mutex(platform::kStartMutexName,
                                   kStartMutexTimeout);

  address = PublishedAddress{};
  if (read_published_address(platform, address.host, address.port) &&
      steps.connect()) {
    return true;
  }
  if (!steps.start_from_install_location()) {
    steps.start_from_process_directory();
  }
  // Tried whatever the starts answered: a server may have come up by other
  // means meanwhile.
  return steps.connect();
}

bool start_server(platform::Platform& platform, const std::string& path,
                  PublishedAddress& address) {
  if (!launch_program(platform, path)) return false;
  // Cleared after the launch, not before: values left by a server that died
  // must not count, and the new server's publication is the sign that it
  // accepts connections.
  clear_published_address(platform);
  const auto started = platform.now();
  for (;;) {
    if (read_published_address(platform, address.host, address.port)) {
      return true;
    }
    platform.sleep_for(kPublishPollInterval);
    if (platform.now() - started >= kPublishTimeout) return false;
  }
}

}  // namespace kovra62386
