/* A C program linked against the shipped import library, as a MinGW user
   would build it: every call resolves to the decorated export and returns
   through the __stdcall convention. Needs no server. */
#include <stdio.h>

#include "kovra62386/kovra62386.h"

int main(void) {
  ReadFrameRecord record;
  WriteFrameRecord frame = {0};
  SendResult result;
  int failures = 0;
  if (KOVRA62386_enumerate() != NULL) ++failures;
  if (KOVRA62386_open("SIM-1") != 0) ++failures;
  if (KOVRA62386_read(7, &record) != KOVRA62386_READ_NOT_OPEN) ++failures;
  if (KOVRA62386_read(7, NULL) != KOVRA62386_READ_NOT_OPEN) ++failures;
  if (KOVRA62386_write(7, &frame) != 2) ++failures;
  result = KOVRA62386_send(7, &frame);
  if (result.status != KOVRA62386_SEND_NO_TRANSCEIVER || result.answer != 0)
    ++failures;
  if (KOVRA62386_start_transceiver(7, NULL, NULL) != 0) ++failures;
  if (KOVRA62386_stop_transceiver(7) != 0) ++failures;
  KOVRA62386_close(7);
  KOVRA62386_free_enumeration(NULL);
  KOVRA62386_terminate();
  printf("import library check: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
