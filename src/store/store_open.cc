#include "store/store_open.h"

#include <cstring>

#include "store/block_codec.h"
#include "io/clock.h"
#include "io/paths.h"
#include "io/stream.h"
#include "io/unique_name.h"
#include "store/buffered_io.h"

namespace varnfile {

namespace {

constexpr uint32_t NewFileAgingDays = 30;
// The smallest end of data that holds a record.
constexpr uint32_t FirstRecordEnd = FirstItemPosition + RecordOverhead;  // 196

void ClearStore(Store* store) {
  memset(store, 0, sizeof *store);
  store->streamHandle = -1;
}

// Creates the directory part of a file name when it is missing.
ResultCode PrepareDirectoryOf(const char* name) {
  char directory[MaxPathLength + 1];
  memcpy(directory, name, strlen(name) + 1);
  if (SplitPath(directory, nullptr, 0) == 0 || directory[0] == '\0') return ResultOk;
  if (CheckAccess(directory, 0) == ResultOk) return ResultOk;
  return MakeDirectories(directory);
}

// Creates a directory given for invented names when it is missing.
ResultCode PrepareDirectory(const char* name) {
  char directory[MaxPathLength + 1];
  memcpy(directory, name, strlen(name) + 1);
  SplitPath(directory, nullptr, 1);
  if (CheckAccess(directory, 0) == ResultOk) return ResultOk;
  return MakeDirectories(directory);
}

// Reads the header of an existing file and checks it, in this order:
// readable, magic, version, properly closed, not aged.
ResultCode ReadAndCheckHeader(Store* store) {
  if (StreamReadBytes(store, store->header.bytes, FileHeaderSize, nullptr) != ResultOk) {
    return ResultHeaderUnreadable;
  }
  const uint8_t* h = store->header.bytes;
  if (memcmp(h + HeaderMagicOffset, HeaderMagic, sizeof HeaderMagic) != 0) {
    return ResultNotTransactionFile;
  }
  uint16_t version = LoadU16(h + HeaderVersionOffset);
  if (version < OldestFormatVersion || version > CurrentFormatVersion) return ResultBadVersion;
  if (LoadU16(h + HeaderClosedMarkerOffset) == 0) return ResultNotTransactionFile;
  const DateStamp stampDate = {h[HeaderStampDateOffset], h[HeaderStampDateOffset + 1],
                               h[HeaderStampDateOffset + 2]};
  const TimeStamp stampTime = {h[HeaderStampTimeOffset], h[HeaderStampTimeOffset + 1],
                               h[HeaderStampTimeOffset + 2]};
  const AgingLimit limit = {LoadU16(h + HeaderAgingDaysOffset), h[HeaderAgingHoursOffset],
                            h[HeaderAgingMinutesOffset], h[HeaderAgingSecondsOffset]};
  if (IsAged(store->state, &stampDate, &stampTime, &limit)) return ResultAged;
  return ResultOk;
}

ResultCode OpenExisting(Store* store, const char* name, OpenMode mode) {
  StreamAccess access =
      mode == OpenMode::OpenReadWrite ? StreamAccess::StreamUpdate : StreamAccess::StreamRead;
  ResultCode rc = StreamOpen(store, name, access);
  if (rc != ResultOk) return rc;
  rc = ReadAndCheckHeader(store);
  if (rc != ResultOk) return rc;
  uint32_t length = 0;
  rc = StreamSeek(store, 0, 2, &length);
  if (rc != ResultOk) return rc;
  store->endAtOpen = length;
  store->method = LoadU16(store->header.bytes + HeaderCompressionOffset);
  store->endOfData = length;
  store->streamPos = length;
  store->streamEnd = length;
  store->readCursor = FirstItemPosition;
  store->writeCursor = FirstItemPosition;
  // A session killed before its close left its chain without the reset
  // point that the close puts behind it. This session's encoder starts
  // afresh, so its first append marks the last record first (a record
  // marked already is left as it is).
  store->resetPending = mode == OpenMode::OpenReadWrite && IsChainedMethod(store->method);
  return ResultOk;
}

ResultCode CreateFile(Store* store, const char* extension, const char* prefix, const char* name,
                      NameSequenceProc proc, uint32_t procParam, OpenMode mode, uint32_t method) {
  ResultCode rc;
  if (mode == OpenMode::CreateNamed) {
    if (!store->isMemory) {
      rc = PrepareDirectoryOf(name);
      if (rc != ResultOk) return rc;
    }
    rc = StreamOpen(store, name, StreamAccess::StreamCreate);
    if (rc != ResultOk) return rc;
  } else {
    // Every length is checked before a directory is made.
    rc = CheckUniqueNameLimits(name, extension, prefix);
    if (rc != ResultOk) return rc;
    if (name != nullptr && name[0] != '\0') {
      rc = PrepareDirectory(name);
      if (rc != ResultOk) return rc;
    }
    int32_t descriptor = -1;
    rc = CreateUniqueFile(store->state, name, extension, prefix, proc, procParam, store->fileName,
                          &descriptor);
    if (rc != ResultOk) return rc;
    store->streamHandle = descriptor;
  }
  BuildNewHeader(&store->header, static_cast<uint16_t>(method), store->fileName, store->state);
  rc = StreamWriteBytes(store, store->header.bytes, FileHeaderSize);
  if (rc != ResultOk) return rc;
  store->endAtOpen = FirstItemPosition;
  store->endOfData = FirstItemPosition;
  store->streamPos = FirstItemPosition;
  store->streamEnd = FirstItemPosition;
  store->readCursor = FirstItemPosition;
  store->writeCursor = FirstItemPosition;
  store->method = method;
  return ResultOk;
}

// The commit of a normal close. Records appended since the open must end
// exactly at the end of data; under a chained method the last of them
// becomes a reset point, so that the next session's chain starts fresh.
ResultCode Commit(Store* store) {
  ResultCode rc;
  if (store->endAtOpen < store->endOfData && store->endOfData >= FirstRecordEnd) {
    uint8_t trailerBytes[ItemTrailerSize];
    uint32_t trailerPosition = store->endOfData - ItemTrailerSize;
    rc = BufferedRead(store, trailerBytes, trailerPosition, ItemTrailerSize, 1);
    if (rc != ResultOk) return rc;
    ItemTrailer trailer = DecodeItemTrailer(trailerBytes);
    // A start outside the records cannot begin the last record.
    if (trailer.recordStart < FirstItemPosition ||
        trailer.recordStart > store->endOfData - RecordOverhead) {
      return ResultEndInconsistent;
    }
    uint8_t headerBytes[ItemHeaderSize];
    rc = BufferedRead(store, headerBytes, trailer.recordStart, ItemHeaderSize, 1);
    if (rc != ResultOk) return rc;
    ItemHeader last = DecodeItemHeader(headerBytes);
    if (static_cast<uint64_t>(trailer.recordStart) + last.storedLength + RecordOverhead !=
        store->endOfData) {
      return ResultEndInconsistent;
    }
    if (IsChainedMethod(store->method) && (trailer.trailerFlags & TrailerResetPoint) == 0) {
      trailer.trailerFlags |= TrailerResetPoint;
      EncodeItemTrailer(trailer, trailerBytes);
      rc = BufferedWrite(store, trailerBytes, trailerPosition, ItemTrailerSize);
      if (rc != ResultOk) return rc;
    }
  }
  // Until every record is on the stream and nothing torn lies behind them,
  // the header keeps saying what it said: a new file stays unclosed, so it
  // is refused (264) and recovered rather than read short.
  rc = FlushWriteBuffer(store, 1);
  if (rc == ResultOk) rc = CutStreamTail(store);
  if (rc != ResultOk) return rc;

  uint8_t* h = store->header.bytes;
  bool current = !store->headerChanged && LoadU16(h + HeaderClosedMarkerOffset) != 0 &&
                 LoadU16(h + HeaderCompressionOffset) == store->method;
  // What this session wrote is lost with a file that no name leads to any
  // more (another program removed or replaced it): that is no success.
  if (current && !store->streamWritten) return ResultOk;
  rc = StreamCheckLinked(store);
  if (rc != ResultOk || current) return rc;
  uint16_t version = LoadU16(h + HeaderVersionOffset);
  if (version < OldestFormatVersion || version > CurrentFormatVersion) {
    StoreU16(h + HeaderVersionOffset, CurrentFormatVersion);
  }
  StoreU16(h + HeaderCompressionOffset, static_cast<uint16_t>(store->method));
  StoreU16(h + HeaderClosedMarkerOffset, 1);
  return WriteThrough(store, h, 0, FileHeaderSize);
}

}  // namespace

void BuildNewHeader(FileHeader* header, uint16_t method, const char* path, IoState* state) {
  uint8_t* h = header->bytes;
  memset(h, 0, FileHeaderSize);
  memcpy(h + HeaderMagicOffset, HeaderMagic, sizeof HeaderMagic);
  StoreU16(h + HeaderVersionOffset, CurrentFormatVersion);
  StoreU16(h + HeaderCompressionOffset, method);
  StoreU16(h + HeaderAgingDaysOffset, NewFileAgingDays);

  char directory[MaxPathLength + 1];
  char name[MaxPathLength + 1];
  size_t length = strnlen(path, MaxPathLength);
  memcpy(directory, path, length);
  directory[length] = '\0';
  name[0] = '\0';
  SplitPath(directory, name, 0);
  size_t nameLength = strnlen(name, HeaderBaseNameSize - 1);
  memcpy(h + HeaderBaseNameOffset, name, nameLength);  // the rest stays 0

  DateStamp date;
  TimeStamp time;
  ReadClock(state, &date, &time);
  h[HeaderStampDateOffset] = date.month;
  h[HeaderStampDateOffset + 1] = date.day;
  h[HeaderStampDateOffset + 2] = date.year;
  h[HeaderStampTimeOffset] = time.hour;
  h[HeaderStampTimeOffset + 1] = time.minute;
  h[HeaderStampTimeOffset + 2] = time.second;
}

ResultCode StoreOpen(IoState* state, Store* store, const char* extension, const char* prefix,
                     const char* name, NameSequenceProc proc, uint32_t procParam, OpenMode mode,
                     uint32_t method, uint32_t* methodOut) {
  ClearStore(store);
  store->state = state;
  store->readBufferSize = DefaultBufferSize;
  store->writeBufferSize = DefaultBufferSize;

  // Only invented names may come without a name (the current directory).
  if (name == nullptr && mode != OpenMode::CreateUnique) return ResultInvalidArgument;
  if (name != nullptr && PathTooLong(name)) return ResultInvalidArgument;
  if (mode != OpenMode::CreateUnique) store->isMemory = IsMemoryName(name);
  if (name != nullptr) memcpy(store->fileName, name, strlen(name) + 1);

  ResultCode rc;
  switch (mode) {
    case OpenMode::OpenReadOnly:
    case OpenMode::OpenReadWrite:
      rc = OpenExisting(store, name, mode);
      break;
    case OpenMode::CreateNamed:
    case OpenMode::CreateUnique:
      rc = CreateFile(store, extension, prefix, name, proc, procParam, mode, method);
      break;
    case OpenMode::DeleteByName:
      rc = ResultOpenFailed;  // its failure path below removes the file
      break;
    default:
      rc = ResultInvalidArgument;
      break;
  }
  if (rc == ResultOk) {
    store->opened = true;
    if (methodOut != nullptr) *methodOut = store->method;
    return ResultOk;
  }
  // A failed create throws away the file it made. One whose stream never
  // opened made no file: fileName then holds a name it was given (for
  // invented names, the directory), which must stay. Only the delete mode
  // removes by name without an open stream.
  bool isCreate = mode == OpenMode::CreateNamed || mode == OpenMode::CreateUnique;
  bool discard = (isCreate && store->streamHandle != -1) || mode == OpenMode::DeleteByName;
  StoreClose(store, discard);
  return rc;
}

ResultCode StoreClose(Store* store, bool discard) {
  ResultCode result = ResultOk;
  if (store->streamHandle == -1) {
    if (discard && !store->isMemory && store->fileName[0] != '\0') {
      result = RemoveFileByName(store->fileName);
    }
  } else {
    if (store->opened && !discard) result = Commit(store);
    // A discarding close writes nothing: buffered bytes and header are
    // dropped with the file.
    ResultCode closed = StreamClose(store, discard);
    if (result == ResultOk) result = closed;
  }
  ReleaseBuffers(store);
  SetCompressionMethod(store, MethodNone);
  ClearStore(store);
  return result;
}

}  // namespace varnfile
