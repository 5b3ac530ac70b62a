/* Lists the server's interfaces; the library starts the server. */
#include <kovra62386/kovra62386.h>
#include <stdio.h>

int main(void) {
  EnumerationNode* list;
  EnumerationNode* node;
  int count = 0;
  if (KOVRA62386_initialize() != 0) {
    fprintf(stderr, "no server\n");
    return 1;
  }
  list = KOVRA62386_enumerate();
  for (node = list; node != NULL; node = node->next, ++count) {
    printf("%s\n", node->name);
  }
  KOVRA62386_free_enumeration(list);
  KOVRA62386_terminate();
  return count > 0 ? 0 : 1;
}
