// Why a device node could not be opened, in words a user can act on: the
// node, the reason, and for a refused permission who may open it and how
// to become one of them. `kovra62386 list` and the server's log show it, so
// that a node without access is never a silent absence. Every driver that
// opens a node uses it.
#pragma once

#include <string>

namespace kovra62386::sim::drivers {

// "PATH: REASON" for `error_number` (errno of the failed open); for EACCES
// and EPERM, with the node's owner, group and mode (looked up now).
std::string open_failure(const std::string& path, int error_number);

// The permission part alone, for a node of `owner`:`group` with `mode`
// (the permission bits).
std::string permission_denied(const std::string& path, unsigned mode,
                              const std::string& owner,
                              const std::string& group);

}  // namespace kovra62386::sim::drivers
