/* A C program on the installed library: creates a memory file, adds an
   item, reads it back. Linked from a C-only project, statically too. */
#include <stdio.h>
#include <string.h>

#include "varnfile.h"

int main(void) {
  uint32_t handle = 0;
  uint16_t command = 0, extra = 0, length = 16;
  uint32_t value = 0;
  uint8_t data[16];
  uint16_t rc = VARNFileCreateEx(&handle, VARNFILE_NAME_EXACT, "MEMORY$", NULL, NULL, NULL, 0);
  if (rc == VARNFILE_OK) rc = VARNFileAddItem(handle, 7, 1, 42, 5, (const uint8_t*)"hello");
  if (rc == VARNFILE_OK) rc = VARNFileSetPosition(handle, VARNFILE_FIRST_ITEM_POSITION);
  if (rc == VARNFILE_OK) rc = VARNFileReadItem(handle, &command, &extra, &value, &length, data);
  if (rc != VARNFILE_OK || command != 7 || value != 42 || length != 5 || memcmp(data, "hello", 5) != 0) {
    fprintf(stderr, "C consumer: result %u\n", rc);
    return 1;
  }
  rc = VARNFileClose(handle);
  printf("C consumer: ok (%u)\n", rc);
  return rc == VARNFILE_OK ? 0 : 1;
}
