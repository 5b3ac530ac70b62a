#include "server/registry_publication.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kovra62386::sim {
namespace {

constexpr const char* host_value = "Host";
constexpr const char* port_value = "Port";
constexpr const char* process_id_value = "ProcessId";

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
  return platform.write_dword(Hive::CurrentUser, process_id_value,
                              process_id) &&
         platform.write_text(Hive::CurrentUser, host_value, "127.0.0.1") &&
         platform.write_dword(Hive::CurrentUser, port_value, port);
}

bool withdraw_address(platform::Platform& platform, uint32_t process_id) {
  using platform::Hive;
  const auto published =
      platform.read_dword(Hive::CurrentUser, process_id_value);
  if (!published || *published != process_id) return false;
  const char* const names[] = {port_value, host_value, process_id_value};
  platform.delete_values(Hive::CurrentUser, names, 3);
  return true;
}

}  // namespace kovra62386::sim
