// The server's announcement in the registry: "Host", "Port" and
// "ProcessId" under HKEY_CURRENT_USER. Clients find a running server
// through the first two; tests find its process through the third.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kovra62386::sim {

uint32_t current_process_id();

// Writes ProcessId first and Port last, so that a client that sees a Port
// also finds the process id. False when a value could not be written.
bool publish_address(platform::Platform& platform, uint16_t port,
                     uint32_t process_id);

// Deletes the three values, but only while ProcessId still names
// `process_id`: a server started after this one keeps its announcement.
// True when they were deleted.
bool withdraw_address(platform::Platform& platform, uint32_t process_id);

}  // namespace kovra62386::sim
