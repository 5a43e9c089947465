// Copying every record of one open file into another, through the target's
// item cache, so that each item is encoded under the target's method.
#ifndef VARNFILE_STORE_DUPLICATE_H_
#define VARNFILE_STORE_DUPLICATE_H_

#include "store/open_file.h"
#include "base/result_code.h"

namespace varnfile {

// Reads the source's records in file order (deleted items and end markers
// included), checks each against its CRC (267) and writes it at the target's
// matching record position: in place over a record the target already
// holds, appended at its end of data otherwise. The source's cursor does not
// move; the target's ends behind the last record copied. Reaching the
// source's end is success; on any failure the records before it stay copied.
ResultCode DuplicateItems(OpenFile* target, OpenFile* source);

}  // namespace varnfile

#endif  // VARNFILE_STORE_DUPLICATE_H_
