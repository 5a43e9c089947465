// Record access on top of the buffered byte layer. Two cursors live in the
// Store: readCursor, from which records are read one after another with
// their data decoded, and writeCursor, at which whole records or record
// headers are written. Neighbouring records are found by walking the chain
// forwards through the stored lengths or backwards through the trailers.
// Under a chained compression method the decoder is kept in step with
// readCursor by replaying the records since the last reset point.
//
// Every link followed is checked before use: a trailer's recordStart must
// lie at or after FirstItemPosition and before the position it was read
// behind, and a record must end within the end of data. A broken link is
// ResultReadFailed (277); walks and replays stop on it, they never loop.
#ifndef VARNFILE_STORE_RECORD_IO_H_
#define VARNFILE_STORE_RECORD_IO_H_

#include <cstdint>

#include "base/result_code.h"
#include "store/file_format.h"
#include "store/store.h"

namespace varnfile {

// A record in memory: the shape in which a record is read into, or written
// from, memory (the item cache keeps its items this way).
struct RecordView {
  ItemHeader header;
  uint32_t previousPosition;  // record before this one; 0 for the record at 174
  uint32_t nextPosition;      // position right behind this record
  uint8_t* data;              // header.length bytes of decoded item data
};

enum ListDirection : uint32_t {
  ListBackward = 1,  // towards the file header
  ListForward = 2,
};

// Finds up to count record positions next to from, in direction dir, and
// stores them in positions (room for count entries) in ascending file order;
// *found (if given) = how many. Forwards lists the records that follow the
// record at from; backwards lists the records that precede position from
// (which may be the end of data). Reaching either end of the file is not an
// error; a failed read or a broken link ends the walk with its code, with
// the positions found before it still reported.
ResultCode ListRecords(Store* store, ListDirection dir, uint32_t from, int32_t count,
                       int32_t* found, uint32_t* positions);

// Sets readCursor to position. Under a chained method the decoder is first
// brought to the state that reading the record at position needs (going
// back: reset at the nearest reset point, then replay). On failure readCursor
// is unchanged.
ResultCode SeekRecordRead(Store* store, uint32_t position);

// Sets writeCursor. Always 0.
ResultCode SetWriteCursor(Store* store, uint32_t position);

// Reads the header, previous and next positions of the record at readCursor
// into out (out->data is not touched); the cursor does not move. 262 when
// readCursor is at or behind the end of data.
ResultCode ReadRecordHeader(Store* store, RecordView* out);

// ReadRecordHeader for the record at position, wherever readCursor is (the
// cursor and the decoder stay as they are).
ResultCode ReadRecordHeaderAt(Store* store, uint32_t position, RecordView* out);

// Reads the whole record at readCursor into out and moves readCursor to the
// next record. out->data must have room for the record's length (as
// ReadRecordHeader reports it); it may be null only for a 0-length record.
// 262 at or behind the end of data; readCursor stays put on any failure.
ResultCode ReadRecord(Store* store, RecordView* out);

// The data of the record at position, whose header `view` holds (as
// ReadRecordHeader gave it), read in place where an uncompressed memory
// file holds it in one piece (BufferedPeek); null otherwise, and for an
// empty record. Nothing moves: the caller moves readCursor past the record
// with SeekRecordRead, or reads it with ReadRecord after all.
const uint8_t* RecordDataInPlace(Store* store, uint32_t position, const RecordView* view);

// Writes the 14 bytes of header at writeCursor (and into the one-entry
// header cache when it holds that record); the cursor does not move.
ResultCode RewriteRecordHeader(Store* store, const ItemHeader* header);

// Writes a whole record (header, stored data, trailer with no flags) at
// writeCursor from view, encoding the data under the file's method. Sets
// view->header.storedLength and view->nextPosition, moves writeCursor
// behind the record and extends endOfData if it grew. On failure the
// cursors keep their old values.
ResultCode WriteRecord(Store* store, RecordView* view);

}  // namespace varnfile

#endif  // VARNFILE_STORE_RECORD_IO_H_
