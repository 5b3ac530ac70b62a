#include "server/drivers/device_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kovra62386::sim::drivers {
namespace {

// getpwuid_r / getgrgid_r need a buffer; names are short.
constexpr std::size_t kNameBuffer = 4096;

std::string user_name(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(kNameBuffer);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr) {
    return entry.pw_name;
  }
  return std::to_string(uid);
}

std::string group_name(gid_t gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kNameBuffer);
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr) {
    return entry.gr_name;
  }
  return std::to_string(gid);
}

}  // namespace

std::string permission_denied(const std::string& path, unsigned mode,
                              const std::string& owner,
                              const std::string& group) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
  std::string text = path + ": permission denied (the node is " + owner + ":" +
                     group + ", mode " + octal +
                     "; this user needs read and write access";
  if ((mode & 060u) == 060u) {
    text += ": add the user to group " + group + ", then log in again";
  }
  return text + ")";
}

std::string open_failure(const std::string& path, int error_number) {
  if (error_number == EACCES || error_number == EPERM) {
    struct stat node {};
    if (::stat(path.c_str(), &node) == 0) {
      return permission_denied(path, static_cast<unsigned>(node.st_mode),
                               user_name(node.st_uid), group_name(node.st_gid));
    }
  }
  return path + ": " + std::strerror(error_number);
}

}  // namespace kovra62386::sim::drivers
