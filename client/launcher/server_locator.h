// Where the local server publishes that it is up, where its installer
// recorded its location, how its path is formed, and how it is started.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kovra62386 {

// True when both "Host" (text) and "Port" (DWORD, low 16 bits used) were
// read; only then are host and port written.
bool read_published_address(platform::Platform& platform, std::string& host,
                            uint16_t& port);

// Deletes "Host" and "Port"; reports nothing.
void clear_published_address(platform::Platform& platform);

// The server program's path from "InstallLocation", or empty.
std::string install_location_server_path(platform::Platform& platform);

// The server program's path in the directory of the process's executable,
// or empty.
std::string process_directory_server_path(platform::Platform& platform);

bool launch_program(platform::Platform& platform, const std::string& path);

// Text before the last '\\' or '/', or empty when there is none.
std::string directory_of(std::string_view path);

// p unchanged when it already names the program (ends with ".exe" or
// ".EXE", case-sensitive, or has program_name as its last component);
// otherwise p, a separator unless p ends with '\\' or '/', and program_name.
std::string server_program_path(
    std::string_view p,
    std::string_view program_name = platform::kServerProgramName,
    char separator = platform::kPathSeparator);

}  // namespace kovra62386
