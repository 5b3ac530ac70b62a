// The wrapper's generated kovra62386/dali_commands.hpp against the table it
// was generated from: every name there has the value of the same entry
// here, so a generator that drops or mangles an entry fails to compile.
#include <gtest/gtest.h>

#include "dali/dali_commands.h"
#include "dali/device_commands.h"
#include "kovra62386/dali_commands.hpp"

namespace {

#define DALI_GEAR(id, name, code, parameter, twice, answer) \
  static_assert(kovra62386::gear::k##id == code);
#define DALI_SPECIAL(id, name, code, parameter, twice, answer) \
  static_assert(kovra62386::special::k##id == code);
#define DALI_LED(id, name, code, twice, answer) \
  static_assert(kovra62386::led::k##id == code);
#define DALI_COLOUR(id, name, code, twice, answer) \
  static_assert(kovra62386::colour::k##id == code);
#define DALI_EXTENDED(ns, device_type) \
  static_assert(kovra62386::ns::kDeviceType == device_type);
#include "dali/gear_commands.def"

#define DALI_DEVICE(id, name, code, target, twice, answer) \
  static_assert(kovra62386::device::op::k##id == code);
#define DALI_DEVICE_SPECIAL(id, name, code, parameter) \
  static_assert(kovra62386::device::special::k##id == code);
#include "dali/device_commands.def"

TEST(GeneratedNames, WrapperAndLibraryShareTheTable) {
  // The static_asserts above do the work; one value as the run's witness.
  EXPECT_EQ(kovra62386::gear::kQueryActualLevel,
            kovra62386::dali::gear::kQueryActualLevel);
}

}  // namespace
