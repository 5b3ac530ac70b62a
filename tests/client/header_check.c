/* Compiled as C11: the public header must stand alone in C, layout checks
   included. */
#include "kovra62386/kovra62386.h"

int kovra62386_header_check_size(void) {
  return (int)(sizeof(ReadFrameRecord) + sizeof(WriteFrameRecord));
}
