// Heap allocations of the whole process, counted by the replaced global
// operator new of allocation_counter.cpp. Only a program that has that file
// among its own sources counts (a static library would not pull it in).
#pragma once

#include <cstdint>

namespace kovra62386::bench {

// Every operator new of any thread since the program started.
uint64_t allocation_count();

}  // namespace kovra62386::bench
