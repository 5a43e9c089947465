// Opening, creating and closing the store behind an open file: the five
// open modes, the header of a new file, the checks a file must pass before
// it is used, the commit of a normal close and the discarding close.
#ifndef VARNFILE_STORE_STORE_OPEN_H_
#define VARNFILE_STORE_STORE_OPEN_H_

#include <cstdint>

#include "store/open_file.h"
#include "base/result_code.h"
#include "store/store.h"

namespace varnfile {

// Opens store in one of the five modes. name is the file for OpenReadOnly,
// OpenReadWrite, CreateNamed and DeleteByName ("MEMORY$" in any letter case
// is a memory file), and the directory for CreateUnique, for which
// extension, prefix, proc and procParam shape the invented name. method is
// the compression method of a file to be created; *methodOut (optional)
// receives the method in force after a successful open.
//
// Opening an existing file checks its header in this order: unreadable
// (263), wrong magic (264), version outside 264..272 (265), never closed
// (264), aged (266). DeleteByName opens nothing and fails with 274; its
// failure path removes the named disk file. Names over 259 bytes give 260.
//
// On failure the store is left closed and cleared with no stream open; a
// failed create removes the file it had made, never one it did not make,
// and a failed open of an existing file leaves it untouched.
ResultCode StoreOpen(IoState* state, Store* store, const char* extension, const char* prefix,
                     const char* name, NameSequenceProc proc, uint32_t procParam, OpenMode mode,
                     uint32_t method, uint32_t* methodOut);

// discard 0 commits: checks that the last record appended since the open
// ends at the end of data (261, then nothing more is written), marks it as
// a reset point under a chained method, flushes, and rewrites the header
// (version repaired, method in force, closed marker 1) unless the one on
// disk is already current. A file that was only read is not written at all.
// discard nonzero writes nothing and removes the file (a memory file simply
// vanishes). Either way the store ends cleared with streamHandle -1; the
// first failure is returned.
ResultCode StoreClose(Store* store, bool discard);

// Fills the header of a new file: magic, version 272, method, aging limit
// of 30 days, the final component of path (cut to 15 characters) and the
// current date and time as its stamp; everything else 0.
void BuildNewHeader(FileHeader* header, uint16_t method, const char* path, IoState* state);

}  // namespace varnfile

#endif  // VARNFILE_STORE_STORE_OPEN_H_
