#include "server/registry_publication.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kovra62386::sim {
namespace {

constexpr const char* kHostValue = "Host";
constexpr const char* kPortValue = "Port";
constexpr const char* kProcessIdValue = "ProcessId";

}  // namespace

uint32_t current_process_id() {
#if defined(_WIN32)
  return static_cast<uint32_t>(GetCurrentProcessId());
#else
  return static_cast<uint32_t>(getpid());
#endif
}

bool publish_address(platform::Platform& platform, uint16_t port,
                     uint32_t process_id) {
  using platform::Hive;
  return platform.write_dword(Hive::CurrentUser, kProcessIdValue, process_id) &&
         platform.write_text(Hive::CurrentUser, kHostValue, "127.0.0.1") &&
         platform.write_dword(Hive::CurrentUser, kPortValue, port);
}

bool withdraw_address(platform::Platform& platform, uint32_t process_id) {
  using platform::Hive;
  const auto published =
      platform.read_dword(Hive::CurrentUser, kProcessIdValue);
  if (!published || *published != process_id) return false;
  const char* const names[] = {kPortValue, kHostValue, kProcessIdValue};
  platform.delete_values(Hive::CurrentUser, names, 3);
  return true;
}

}  // namespace kovra62386::sim
