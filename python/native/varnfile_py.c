/* varnfile_py: batch reads for the Python package.
 *
 * Python pays for every foreign call it makes, so reading an item at a time
 * through ctypes costs far more than the library's own work. This helper
 * walks the items through the public C API in a loop and hands Python many
 * of them per call: a packed table of fixed-size entries and one buffer with
 * their data laid end to end.
 *
 * It uses nothing but the exports of varnfile.h; it keeps no state.
 */
#include <stdint.h>
#include <string.h>

#include "varnfile.h"

#define VARNFILE_PY_API __attribute__((visibility("default")))

/* One entry of the table: 20 bytes without padding, in host byte order. The
 * Python side unpacks it with the struct format "=IHHIII". */
typedef struct {
  uint32_t position;   /* where the item's record starts */
  uint16_t command;
  uint16_t extra;
  uint32_t value;
  uint32_t dataStart;  /* the item's data is data[dataStart, dataEnd) */
  uint32_t dataEnd;
} PyEntry;

_Static_assert(sizeof(PyEntry) == 20, "the Python side unpacks 20-byte entries");

/* Reads the live item at or behind the cursor into *entry and puts its
 * position in *at (also when it fails). Returns 0 and moves the cursor past
 * the item, 258 when its data does not fit the room left (nothing is stored,
 * the cursor stays on it), or the library's code. */
static uint16_t ReadOne(uint32_t handle, PyEntry* entry, uint8_t* data, uint32_t dataUsed,
                        uint32_t dataSize, uint32_t* at) {
  uint16_t command, extra, length;
  uint32_t value;
  uint16_t rc = VARNFileReadCmdIDEx(handle, &command, &extra, &value, &length);
  uint16_t prc = VARNFileGetPosition(handle, at);
  if (rc != VARNFILE_OK) return rc;
  if (prc != VARNFILE_OK) return prc;
  if (length > dataSize - dataUsed) return VARNFILE_E_BUFFER_TOO_SMALL;
  entry->position = *at;
  entry->dataStart = dataUsed;
  entry->dataEnd = dataUsed + length;
  return VARNFileReadItem(handle, &entry->command, &entry->extra, &entry->value, &length,
                          data + dataUsed);
}

/* Fills up to maxItems entries with live items, walking forwards from
 * *position (the item there included) or, with backwards set, from the item
 * before *position towards the first. Deleted items and end markers are
 * passed over.
 *
 * On return *count entries are filled, *dataUsed bytes of data hold their
 * data and *position is where the next call goes on. The result is 0 when the
 * table or the data buffer is full, 262 when the walk reached the end of the
 * file (forwards) or its first item (backwards), or the library's code of the
 * first failure, with *failedAt the position of the record that failed.
 *
 * dataSize must be at least 65,535 so that every item fits an empty buffer. */
VARNFILE_PY_API uint16_t varnfile_py_read(uint32_t handle, uint32_t backwards,
                                          uint32_t* position, uint32_t maxItems,
                                          PyEntry* entries, uint8_t* data, uint32_t dataSize,
                                          uint32_t* count, uint32_t* dataUsed,
                                          uint32_t* failedAt) {
  if (!position || !entries || !data || !count || !dataUsed || !failedAt ||
      dataSize < VARNFILE_MAX_ITEM_LENGTH)
    return VARNFILE_E_INVALID_ARGUMENT;
  *count = 0;
  *dataUsed = 0;
  *failedAt = *position;
  uint32_t end = 0;
  uint16_t rc = VARNFileSeekToEnd(handle, &end);
  uint32_t here = *position;
  while (rc == VARNFILE_OK && *count < maxItems) {
    *failedAt = here; /* a failed step names the item it started from */
    rc = VARNFileSetPosition(handle, here);
    if (rc != VARNFILE_OK) break;
    if (backwards) {
      rc = VARNFileSkipPrev(handle);
      if (rc == VARNFILE_E_NO_PREVIOUS) {
        rc = VARNFILE_E_END_OF_FILE;
        break;
      }
      if (rc == VARNFILE_E_END_OF_FILE) { /* an end marker: step back over it */
        rc = VARNFileGetPosition(handle, &here);
        continue;
      }
      if (rc != VARNFILE_OK) break;
    }
    PyEntry* entry = &entries[*count];
    uint32_t at = here;
    rc = ReadOne(handle, entry, data, *dataUsed, dataSize, &at);
    if (rc == VARNFILE_E_BUFFER_TOO_SMALL) { /* full: the next call starts here */
      here = backwards ? here : at;
      rc = VARNFILE_OK;
      break;
    }
    if (rc == VARNFILE_E_END_OF_FILE && !backwards && at < end) {
      rc = VARNFileSkipNext(handle); /* an end marker: pass over it */
      if (rc == VARNFILE_OK || rc == VARNFILE_E_END_OF_FILE)
        rc = VARNFileGetPosition(handle, &here);
      continue;
    }
    if (rc != VARNFILE_OK) {
      *failedAt = at;
      break;
    }
    *dataUsed = entry->dataEnd;
    ++*count;
    if (backwards)
      here = at;
    else
      rc = VARNFileGetPosition(handle, &here);
  }
  *position = here;
  return rc;
}
