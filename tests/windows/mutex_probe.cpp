// Tries the start-up mutex for 300 ms; exit code 0 when owned, 1 when not.
#include <chrono>

#include "platform/platform.h"

int main() {
  auto lock = kovra62386::platform::system_platform().acquire_named_mutex(
      kovra62386::platform::kStartMutexName, std::chrono::milliseconds(300));
  return lock && lock->owned() ? 0 : 1;
}
