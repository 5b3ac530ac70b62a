/* Compiled as C11: the public headers must stand alone in C, layout checks
   included, and the generated command names must be plain C: a name that
   came out twice with two values would not compile under -Werror. */
#include "kovra62386/dali_commands.h"
#include "kovra62386/kovra62386.h"

int kovra62386_header_check_size(void) {
  return (int)(sizeof(ReadFrameRecord) + sizeof(WriteFrameRecord));
}

/* A few names against their values in IEC 62386-102, -103 and -209. */
_Static_assert(KOVRA62386_DALI_GEAR_QUERY_ACTUAL_LEVEL == 0xA0, "opcode");
_Static_assert(KOVRA62386_DALI_GEAR_GO_TO_SCENE + 15 == 0x1F, "scenes");
_Static_assert(KOVRA62386_DALI_SPECIAL_TERMINATE == 0xA1, "special");
_Static_assert(KOVRA62386_DALI_DEVICE_QUERY_DEVICE_STATUS == 0x30, "device");
_Static_assert(KOVRA62386_DALI_COLOUR_DEVICE_TYPE == 8, "device type");
