// The cursor of an open file and the two primitives that move it: one record
// step, and one move to the nearest live item (passing over deleted items,
// stopping at end markers). A valid cursor is 174, a record's position, or
// the end of data.
#ifndef VARNFILE_STORE_NAVIGATION_H_
#define VARNFILE_STORE_NAVIGATION_H_

#include <cstdint>

#include "store/open_file.h"
#include "base/result_code.h"
#include "store/file_format.h"

namespace varnfile {

enum StepDirection : uint32_t {
  StepToEnd = 0,    // StepPosition: the end of data; LocateItem: stay put
  StepBack = 1,     // the record before
  StepForward = 2,  // the record after
};

// The position one record away from `from`, or the end of data for
// StepToEnd; *out (if given) is set only on success. 257 from below 174, 269
// with nothing behind, 262 with nothing ahead.
ResultCode StepPosition(OpenFile* file, StepDirection dir, uint32_t from, uint32_t* out);

// Walks from `from` in direction dir (not at all for StepToEnd, which then
// walks forwards over deleted items) to the nearest item that is not
// deleted. Every position passed goes to *positionOut (if given), so a
// failed walk leaves it at the last position reached; the item's header goes
// to *headerOut (if given) on success. An end marker stops the walk with 262.
ResultCode LocateItem(OpenFile* file, StepDirection dir, uint32_t from, uint32_t* positionOut,
                      ItemHeader* headerOut);

}  // namespace varnfile

#endif  // VARNFILE_STORE_NAVIGATION_H_
