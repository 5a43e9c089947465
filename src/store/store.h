// The record behind one open transaction file: its stream, its in-memory
// header, its buffers, cursors and codec state. Embedded in the OpenFile;
// all zero (streamHandle -1) while no file is open. The stream fields (the
// library's IoState, streamHandle, isMemory, fileName) come first, from
// StreamFile, so that the stream layer works on a store without knowing it.
#ifndef VARNFILE_STORE_STORE_H_
#define VARNFILE_STORE_STORE_H_

#include <cstdint>

#include "base/result_code.h"
#include "codec/codec_state.h"
#include "io/stream.h"
#include "store/file_format.h"

namespace varnfile {

struct DecoderCheckpoints;

enum class OpenMode : uint32_t {
  OpenReadOnly = 0,
  OpenReadWrite = 1,
  CreateNamed = 2,
  CreateUnique = 3,
  DeleteByName = 4,
};

constexpr uint32_t DefaultBufferSize = 1024;

// The header of the record at headerCachePosition, with its neighbours.
struct CachedRecordHeader {
  ItemHeader header;
  uint32_t previousPosition;
  uint32_t nextPosition;
};

struct Store : StreamFile {
  uint32_t method;          // CompressionMethod in force
  bool opened;              // an open or create has fully succeeded
  bool headerChanged;       // set by StorePutHeader
  uint32_t endAtOpen;       // end of data when opened (174 for a new file)
  uint32_t endOfData;       // includes bytes still in the write buffer
  uint32_t streamPos;       // stream position as last moved by the store
  // Length of the file on the stream: what endOfData holds less what is
  // still in the write buffer. A failed write may leave bytes behind it;
  // tailDirty is then set until they are cut off again.
  uint32_t streamEnd;
  bool tailDirty;
  bool streamWritten;       // this session has written to the stream

  uint32_t readBufferSize;
  uint32_t readBufferCapacity;
  uint32_t readBufferLength;
  uint32_t readBufferStart;
  uint32_t readCursor;
  uint32_t headerCachePosition;  // 0: none
  uint8_t* readBuffer;
  // A memory file is read in place instead: memoryView is the chunk of its
  // stream that the last read looked up, holding memoryViewLength bytes from
  // memoryViewStart (null: none). Chunks stay put until the stream closes.
  const uint8_t* memoryView;
  uint32_t memoryViewStart;
  uint32_t memoryViewLength;
  DecoderState decoder;
  // Set after a failed read or seek under a chained method: the decoder may
  // have gone past readCursor, so the next seek starts it afresh.
  bool decoderLost;
  DecoderCheckpoints* checkpoints;  // saved decoder states; null until the first

  uint32_t writeBufferSize;
  uint32_t writeBufferCapacity;
  uint32_t writeBufferLength;
  uint32_t writeBufferStart;
  uint32_t writeCursor;
  uint8_t* writeBuffer;
  EncoderState encoder;
  // Set when the encoder starts afresh behind a last record that may not be
  // marked as the reset point it needs (at an open for update, or when a
  // chained item entered the encoder but not the file and the mark failed);
  // the next append marks it first.
  bool resetPending;

  uint32_t scratchSizeA;
  uint32_t scratchSizeB;
  uint8_t* scratchA;
  uint8_t* scratchB;

  FileHeader header;
  CachedRecordHeader cachedRecordHeader;
};

// *out (if given) = endOfData. Always 0.
ResultCode StoreEndOfData(Store* store, uint32_t* out);
// Copies the header image, with the compression field showing the method in
// force. Always 0.
ResultCode StoreGetHeader(Store* store, FileHeader* out);
// Replaces the header image and marks it changed. Always 0.
ResultCode StorePutHeader(Store* store, const FileHeader* in);

}  // namespace varnfile

#endif  // VARNFILE_STORE_STORE_H_
