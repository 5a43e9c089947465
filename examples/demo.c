/* A first look at varnfile.
 *
 * Writes a transaction file of 30 orders, reads it forwards and backwards,
 * cancels (deletes) some orders and corrects others, closes the file, opens
 * it again to show what was kept, and removes it.
 *
 * Every call returns a result code, 0 for success; CHECK stops the demo on
 * anything else. The cursor of an open file stands on the current item:
 * reading an item moves it to the next one, while adding always appends at
 * the end and leaves the cursor where it is.
 */
#include <stdio.h>
#include <string.h>

#include "varnfile.h"

#define CHECK(call)                                                   \
  do {                                                                \
    uint16_t rc_ = (call);                                            \
    if (rc_ != VARNFILE_OK) {                                         \
      fprintf(stderr, "%s failed with result %u\n", #call, rc_);      \
      return 1;                                                       \
    }                                                                 \
  } while (0)

enum { CMD_ORDER = 1, CMD_CORRECTION = 2 };

/* Reads the item at the cursor and prints it; returns its result code. */
static uint16_t print_next(uint32_t file) {
  uint16_t cmd, extra, length = 100;
  uint32_t value;
  uint8_t text[101];
  uint16_t rc = VARNFileReadItem(file, &cmd, &extra, &value, &length, text);
  if (rc == VARNFILE_OK) {
    text[length] = '\0';
    printf("  cmd %u  order %2u  amount %5u  \"%s\"\n", cmd, extra, value, (char*)text);
  }
  return rc;
}

int main(void) {
  uint32_t file;
  char name[260];

  /* A new file gets an invented name in the given directory. */
  CHECK(VARNFileCreate(&file, ".", "TRN"));
  CHECK(VARNFileGetFileName(file, name, sizeof name));
  printf("created %s\n", name);
  CHECK(VARNFileSetCompression(file, VARNFILE_METHOD_NONE));

  /* Each item: a command id, a second id, a 32-bit value and some data. */
  for (uint16_t order = 1; order <= 30; order++) {
    char text[64];
    int length = snprintf(text, sizeof text, "%u x widget, size %c", order % 7 + 1, 'A' + order % 4);
    CHECK(VARNFileAddItem(file, CMD_ORDER, order, order * 125u, (uint16_t)length, (const uint8_t*)text));
  }

  /* Forwards from the first item: the cursor is still there after adding. */
  printf("the first three orders:\n");
  for (int i = 0; i < 3; i++) CHECK(print_next(file));

  /* Backwards from the end: step back, then read. */
  printf("the last three orders, newest first:\n");
  CHECK(VARNFileSeekToEnd(file, NULL));
  for (int i = 0; i < 3; i++) {
    uint32_t at;
    CHECK(VARNFileSkipPrev(file));
    CHECK(VARNFileGetPosition(file, &at));
    CHECK(print_next(file));
    CHECK(VARNFileSetPosition(file, at)); /* back onto the item just read */
  }

  /* Walk the orders again: cancel every fifth, and turn order 2 into a
   * correction with a new amount (its data stays). Changes act on the item
   * at the cursor and do not move it. */
  uint16_t cmd, extra, length;
  uint32_t value, order2 = 0;
  CHECK(VARNFileSetPosition(file, 0)); /* anything below 174 means the first item */
  while (VARNFileReadCmdID(file, &cmd, &extra, &value) == VARNFILE_OK) {
    if (extra == 2) {
      CHECK(VARNFileGetPosition(file, &order2));
      CHECK(VARNFileUpdateItem(file, CMD_CORRECTION, extra, value + 1, 0, NULL));
    }
    if (extra % 5 == 0) CHECK(VARNFileDeleteItem(file));
    if (VARNFileSkipNext(file) != VARNFILE_OK) break; /* 262: no further item */
  }
  CHECK(VARNFileClose(file));

  /* Open it again: reads pass over the deleted items, the changes were kept. */
  CHECK(VARNFileOpen(&file, name, 0));
  int live = 0;
  uint8_t data[100];
  for (;;) {
    length = sizeof data;
    uint16_t rc = VARNFileReadItem(file, &cmd, &extra, &value, &length, data);
    if (rc == VARNFILE_E_END_OF_FILE) break;
    CHECK(rc);
    live++;
  }
  printf("after reopening: %d of 30 orders are live; order 2 now reads:\n", live);
  CHECK(VARNFileSetPosition(file, order2));
  CHECK(print_next(file));

  CHECK(VARNFileClose(file));
  CHECK(VARNFileDelete(name, 0));
  printf("removed %s\n", name);
  return 0;
}
