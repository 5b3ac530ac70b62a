/*
 * c_example.c - the library from plain C: connect (starting the local
 * server when none runs), list the interfaces, open the first one, send a
 * DALI query to every control gear and print what the bus reports, then
 * close and disconnect.
 *
 * It includes nothing of the library but its public header.
 */
#include <stdio.h>
#include <string.h>

#include "kovra62386/dali_commands.h"
#include "kovra62386/kovra62386.h"

#if defined(_WIN32)
#include <windows.h>
static void pause_briefly(void) { Sleep(5); }
#else
#include <time.h>
static void pause_briefly(void) {
  struct timespec pause = {0, 5 * 1000 * 1000};
  nanosleep(&pause, NULL);
}
#endif

/* Polls for at most about two seconds, or until the interface has been
   quiet for a while after reporting something. */
static int print_reports(uint32_t handle) {
  int reports = 0;
  int quiet = 0;
  int tries;
  for (tries = 0; tries < 400 && quiet < 40; ++tries) {
    ReadFrameRecord record;
    int32_t result = KOVRA62386_read(handle, &record);
    if (result == KOVRA62386_READ_NOT_OPEN) {
      printf("the interface is no longer open\n");
      break;
    }
    if (result == KOVRA62386_READ_EMPTY) {
      if (reports > 0) ++quiet;
      pause_briefly();
      continue;
    }
    quiet = 0;
    ++reports;
    if (record.frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT) {
      printf("transmit report: status %u\n",
             (unsigned)record.transmit_report.status);
    } else if (record.frame_type == KOVRA62386_FRAME_BUS_EVENT &&
               record.sub_type == KOVRA62386_BUS_EVENT_BACKWARD) {
      printf("answer: 0x%02X\n", (unsigned)record.bus_event.data[0]);
    } else {
      printf("frame: type %u, sub-type %u\n", (unsigned)record.frame_type,
             (unsigned)record.sub_type);
    }
  }
  return reports;
}

int main(void) {
  EnumerationNode* list;
  EnumerationNode* node;
  WriteFrameRecord query;
  uint32_t handle;
  int reports;

  if (KOVRA62386_initialize() != 0) {
    fprintf(stderr, "cannot reach or start the local server\n");
    KOVRA62386_terminate();
    return 1;
  }

  list = KOVRA62386_enumerate();
  if (list == NULL) {
    fprintf(stderr, "the server lists no interface\n");
    KOVRA62386_terminate();
    return 1;
  }
  for (node = list; node != NULL; node = node->next) {
    printf("interface: %s\n", node->name);
  }
  handle = KOVRA62386_open(list->name);
  printf("opened %s as handle %u\n", list->name, (unsigned)handle);
  KOVRA62386_free_enumeration(list);
  if (handle == 0) {
    KOVRA62386_terminate();
    return 1;
  }

  /* Broadcast (address byte 0xFF) QUERY STATUS. */
  memset(&query, 0, sizeof query);
  query.frame_type = KOVRA62386_FRAME_TRANSMIT;
  query.frame.data[0] = 0xFF;
  query.frame.data[1] = KOVRA62386_DALI_GEAR_QUERY_STATUS;
  query.frame.bit_count = 16;
  query.frame.format = KOVRA62386_FORMAT_VARIABLE;
  KOVRA62386_write(handle, &query); /* always 2: the bus reports the rest */

  reports = print_reports(handle);
  KOVRA62386_close(handle);
  KOVRA62386_terminate();
  printf("%d reports\n", reports);
  return reports > 0 ? 0 : 1;
}
