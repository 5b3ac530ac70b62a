#include "client/launcher/server_locator.h"

#include <utility>

namespace kovra62386 {
namespace {

constexpr const char* kHostValue = "Host";
constexpr const char* kPortValue = "Port";
constexpr const char* kInstallLocationValue = "InstallLocation";

bool ends_with_separator(std::string_view path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

// True when `path` ends with the file name `name` as a whole component.
bool ends_with_file_name(std::string_view path, std::string_view name) {
  if (name.empty() || !path.ends_with(name)) return false;
  const auto rest = path.substr(0, path.size() - name.size());
  return rest.empty() || ends_with_separator(rest);
}

}  // namespace

bool read_published_address(platform::Platform& platform, std::string& host,
                            uint16_t& port) {
  // Both values are read whatever the first read gave.
  auto published_host =
      platform.read_text(platform::Hive::CurrentUser, kHostValue);
  const auto published_port =
      platform.read_dword(platform::Hive::CurrentUser, kPortValue);
  if (!published_host || !published_port) return false;
  host = std::move(*published_host);
  port = static_cast<uint16_t>(*published_port & 0xffffu);
  return true;
}

void clear_published_address(platform::Platform& platform) {
  const char* const names[] = {kHostValue, kPortValue};
  platform.delete_values(platform::Hive::CurrentUser, names, 2);
}

std::string install_location_server_path(platform::Platform& platform) {
  const auto location =
      platform.read_text(platform::Hive::LocalMachine, kInstallLocationValue);
  if (!location) return {};
  return server_program_path(*location);
}

std::string process_directory_server_path(platform::Platform& platform) {
  const auto executable = platform.executable_path();
  if (executable.empty()) return {};
  return server_program_path(directory_of(executable));
}

bool launch_program(platform::Platform& platform, const std::string& path) {
  return platform.launch_program(path);
}

std::string directory_of(std::string_view path) {
  const auto separator = path.find_last_of("\\/");
  if (separator == std::string_view::npos) return {};
  return std::string(path.substr(0, separator));
}

std::string server_program_path(std::string_view p,
                                std::string_view program_name, char separator) {
  // Only the two exact spellings of the extension count; "Srv.Exe" is taken
  // for a directory.
  if (p.ends_with(".exe") || p.ends_with(".EXE") ||
      ends_with_file_name(p, program_name)) {
    return std::string(p);
  }
  std::string path(p);
  if (!ends_with_separator(p)) path += separator;
  path += program_name;
  return path;
}

}  // namespace kovra62386
