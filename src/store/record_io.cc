// Record reading and writing on top of the buffered byte layer.
//
// Link checks (every position taken from the file is checked before use):
//  - a trailer read behind position p names recordStart r: r must lie at or
//    after FirstItemPosition and leave room for a whole record before p
//    (r + RecordOverhead <= p); anything else is a broken link -> 277;
//  - a record at q with storedLength s must end within the end of data
//    (q + 22 + s <= endOfData); otherwise -> 277;
//  - under MethodNone a record's storedLength must equal its length, since
//    its data is read straight into length bytes; otherwise -> 277;
//  - a replay that steps over its target (the target is not on the chain),
//    or that passes two records in a row whose trailers do not lead back
//    to them -> 277.
// Reaching the start or the end of the chain is not an error: listings stop
// there. Every walk moves strictly towards one end, so none can loop.
#include "store/record_io.h"

#include <cstring>

#include "base/test_hooks.h"
#include "io/stream.h"
#include "store/block_codec.h"
#include "store/buffered_io.h"
#include "store/decoder_checkpoints.h"

namespace varnfile {

namespace {

// The smallest position behind which a record can end.
constexpr uint32_t FirstRecordEnd = FirstItemPosition + RecordOverhead;  // 196
static_assert(FirstRecordEnd == 196, "a record takes at least 22 bytes");

// True when a trailer read behind position `behind` may point at recordStart.
inline bool ValidBackLink(uint32_t recordStart, uint32_t behind) {
  return recordStart >= FirstItemPosition &&
         static_cast<uint64_t>(recordStart) + RecordOverhead <= behind;
}

// True when a record at position with storedLength ends within the data.
inline bool EndsWithinData(const Store* store, uint32_t position, uint32_t storedLength) {
  return static_cast<uint64_t>(position) + RecordOverhead + storedLength <= store->endOfData;
}

ResultCode ReadTrailerBehind(Store* store, uint32_t position, uint32_t direct,
                             ItemTrailer* out) {
  uint8_t bytes[ItemTrailerSize];
  ResultCode rc = BufferedRead(store, bytes, position - ItemTrailerSize, ItemTrailerSize, direct);
  if (rc != ResultOk) return rc;
  *out = DecodeItemTrailer(bytes);
  return ResultOk;
}

ResultCode ReadHeaderAt(Store* store, uint32_t position, uint32_t direct, ItemHeader* out) {
  uint8_t bytes[ItemHeaderSize];
  ResultCode rc = BufferedRead(store, bytes, position, ItemHeaderSize, direct);
  if (rc != ResultOk) return rc;
  *out = DecodeItemHeader(bytes);
  return ResultOk;
}

// Resets the decoder of the file's method: the next record it decodes is
// the first after a reset point.
inline ResultCode ResetDecoder(Store* store) {
  ResultCode rc = DecompressItem(store, nullptr, nullptr, nullptr);
  if (rc == ResultOk) CheckpointsAfterReset(store);
  return rc;
}

// Makes the record that ends at the end of data a reset point, so that a
// reader resets its decoder behind it just as the encoder was reset.
ResultCode MarkLastRecordResetPoint(Store* store) {
  if (store->endOfData < FirstRecordEnd) return ResultOk;
  uint32_t at = store->endOfData - ItemTrailerSize;
  uint8_t bytes[ItemTrailerSize];
  ResultCode rc = BufferedRead(store, bytes, at, ItemTrailerSize, 1);
  if (rc != ResultOk) return rc;
  ItemTrailer trailer = DecodeItemTrailer(bytes);
  if ((trailer.trailerFlags & TrailerResetPoint) != 0) return ResultOk;
  trailer.trailerFlags |= TrailerResetPoint;
  EncodeItemTrailer(trailer, bytes);
  rc = BufferedWrite(store, bytes, at, ItemTrailerSize);
  if (rc != ResultOk) return rc;
  CheckpointsChainEnded(store, trailer.recordStart);
  // A decoder that has already gone past that record decoded it without
  // the reset behind it; reset it now, as reading on would have done.
  bool decoderExists =
      store->decoder.inflate != nullptr || store->decoder.predictorTableAllocated;
  if (store->readCursor >= store->endOfData && decoderExists) ResetDecoder(store);
  return ResultOk;
}

}  // namespace

ResultCode ListRecords(Store* store, ListDirection dir, uint32_t from, int32_t count,
                       int32_t* found, uint32_t* positions) {
  if (found != nullptr) *found = 0;
  if (count <= 0) return ResultOk;
  uint32_t p = from < store->endOfData ? from : store->endOfData;
  uint32_t direct = count == 1 ? 1 : 0;
  int32_t n = 0;
  ResultCode rc = ResultOk;
  if (dir == ListBackward) {
    while (n < count && p >= FirstRecordEnd) {
      ItemTrailer trailer;
      rc = ReadTrailerBehind(store, p, direct, &trailer);
      if (rc != ResultOk) break;
      if (!ValidBackLink(trailer.recordStart, p)) {
        rc = ResultReadFailed;
        break;
      }
      p = trailer.recordStart;
      n++;
      positions[count - n] = p;
    }
    if (n < count && n > 0) {
      std::memmove(positions, positions + (count - n), static_cast<size_t>(n) * sizeof(uint32_t));
    }
  } else if (dir == ListForward) {
    if (p < FirstItemPosition) return ResultReadFailed;  // not a record position
    while (n < count && p < store->endOfData) {
      ItemHeader header;
      rc = ReadHeaderAt(store, p, direct, &header);
      if (rc != ResultOk) break;
      if (!EndsWithinData(store, p, header.storedLength)) {
        rc = ResultReadFailed;
        break;
      }
      p += RecordOverhead + header.storedLength;
      if (p >= store->endOfData) break;
      positions[n] = p;
      n++;
    }
  } else {
    return ResultInvalidArgument;
  }
  if (found != nullptr) *found = n;
  return rc;
}

namespace {

// Looking back from position towards `from` (a record start before it), the
// first record after the last reset point on the way, or 0 when the chain
// has none there (or a link on the way cannot be followed: the caller then
// replays from `from` as if there were none).
uint32_t ResetPointAfter(Store* store, uint32_t from, uint32_t position) {
  uint32_t p = position;
  while (p > from && p >= FirstRecordEnd) {
    ItemTrailer trailer;
    if (ReadTrailerBehind(store, p, 0, &trailer) != ResultOk) return 0;
    if (!ValidBackLink(trailer.recordStart, p)) return 0;
    if ((trailer.trailerFlags & TrailerResetPoint) != 0) {
      if (p != position) return p;  // the replay from p shows that position is a record
      // Nothing would be replayed: the record named must end right here.
      ItemHeader header;
      if (ReadHeaderAt(store, trailer.recordStart, 0, &header) != ResultOk) return 0;
      return trailer.recordStart + RecordOverhead + header.storedLength == p ? p : 0;
    }
    p = trailer.recordStart;
  }
  return 0;
}

// SeekRecordRead under a chained method; `lost`: the decoder's state does
// not match readCursor, so it restarts as for a move backwards.
ResultCode SeekChain(Store* store, uint32_t position, bool lost) {
  uint32_t q = store->readCursor;
  // The nearest saved decoder state at or before the target: decoding can
  // resume there instead of at the reset point.
  bool anchorIsLocal = false;
  uint32_t anchor = FindCheckpoint(store, position, &anchorIsLocal);
  bool backward = q > position || lost;
  uint32_t records = 0;
  if (backward) {
    // Going back: find the nearest reset point or checkpoint at or before
    // position, then start the decoder there.
    q = position;
    bool linked = true;
    while (q >= FirstRecordEnd && q != anchor) {
      ItemTrailer trailer;
      ResultCode rc = ReadTrailerBehind(store, q, 0, &trailer);
      if (rc != ResultOk) return rc;
      // A link that cannot be followed, or one that passes the checkpoint
      // (which lies on the chain): a trailer on the way is damaged.
      if (!ValidBackLink(trailer.recordStart, q) || trailer.recordStart < anchor) {
        linked = false;
        break;
      }
      if ((trailer.trailerFlags & TrailerResetPoint) != 0) {
        // Nothing is replayed up to the target, so nothing else would show
        // that it is a record: the record named must end right there.
        if (records == 0) {
          ItemHeader header;
          rc = ReadHeaderAt(store, trailer.recordStart, 0, &header);
          linked = rc == ResultOk &&
                   trailer.recordStart + RecordOverhead + header.storedLength == q;
        }
        break;
      }
      q = trailer.recordStart;
      records++;
    }
    // Only the first record starts before the end of any record.
    if (q < FirstRecordEnd && q != FirstItemPosition && q != anchor) linked = false;
    if (!linked) {
      // The records behind the damage are still framed by their headers,
      // and a replay resets at the reset points it passes: decode forwards
      // from the checkpoint before the target, or from the first record.
      // The replay shows whether the target is a record.
      q = anchor != 0 ? anchor : FirstItemPosition;
      records = 0;
    }
    bool restore = anchor != 0 && q == anchor;
    ResultCode rc = restore ? RestoreCheckpoint(store, anchor) : ResetDecoder(store);
    if (rc != ResultOk) return rc;
    if (!restore) anchorIsLocal = false;
  } else if (anchor > q) {
    // Going forwards past a checkpoint: skip the records before it.
    ResultCode rc = RestoreCheckpoint(store, anchor);
    if (rc != ResultOk) return rc;
    q = anchor;
  } else if (uint32_t reset = ResetPointAfter(store, q, position); reset != 0) {
    // Going forwards past a reset point (a file appended to over several
    // opens): nothing before it matters, start the decoder afresh there.
    ResultCode rc = ResetDecoder(store);
    if (rc != ResultOk) return rc;
    q = reset;
  }
  CheckpointsBeginReplay(store, records, backward && !anchorIsLocal);
  // Replay: decode every record from q up to the target. Only the
  // decoder's history matters here, but the data is kept where there is
  // room: a walk backwards reads these records next.
  bool previousFramed = true;  // q is a record start (first, checkpoint or reset point)
  while (q < position) {
    ItemHeader header;
    ResultCode rc = ReadHeaderAt(store, q, 0, &header);
    if (rc != ResultOk) return rc;
    if (!EndsWithinData(store, q, header.storedLength)) return ResultReadFailed;
    uint8_t* kept = KeptRecordArea(store, header.length);
    uint8_t* stored = nullptr;
    uint8_t* data = nullptr;
    // A 0-length or kept record needs no second buffer; keep it as it is
    // rather than releasing it.
    uint32_t dataSize = header.length != 0 && kept == nullptr ? header.length : store->scratchSizeB;
    rc = GetScratchBuffers(store, header.storedLength + ItemTrailerSize, dataSize, &stored, &data);
    if (rc != ResultOk) return rc;
    rc = BufferedRead(store, stored, q + ItemHeaderSize, header.storedLength + ItemTrailerSize, 0);
    if (rc != ResultOk) return rc;
    TestHookCount(TestCounter::RecordsReplayed);
    // A record whose trailer does not lead back to it is read on (its
    // link alone may be damaged), but not two in a row: bytes that frame
    // no records, such as a stretch of zeros, would replay as thousands of
    // empty ones.
    const bool framed = LoadU32(stored + header.storedLength) == q;
    if (!framed && !previousFramed) return ResultReadFailed;
    previousFramed = framed;
    CheckpointsBeforeDecode(store, q, true);
    uint32_t flags = LoadU32(stored + header.storedLength + 4);
    bool resetPoint = (flags & TrailerResetPoint) != 0;
    if (kept != nullptr || !resetPoint) {
      uint8_t none = 0;
      uint8_t* into = kept != nullptr ? kept : data;
      rc = DecompressItem(store, &header, stored, header.length != 0 ? into : &none);
      if (rc == ResultOk && kept != nullptr) KeepDecodedRecord(store, q, header);
    }
    // Nothing behind a reset point depends on its record: reset (when the
    // record was not decoded to be kept, instead of decoding it).
    if (rc == ResultOk && resetPoint) rc = ResetDecoder(store);
    if (rc != ResultOk) return rc;
    q += RecordOverhead + header.storedLength;
  }
  if (q != position) return ResultReadFailed;  // the target is not on the chain
  store->readCursor = position;
  return ResultOk;
}

}  // namespace

ResultCode SeekRecordRead(Store* store, uint32_t position) {
  // Without a chain, or already there (the decoder is in step with the
  // cursor), nothing needs decoding.
  if (!IsChainedMethod(store->method) ||
      (position == store->readCursor && !store->decoderLost)) {
    store->readCursor = position;
    return ResultOk;
  }
  // Until this seek succeeds the decoder's state is unknown.
  bool lost = store->decoderLost;
  store->decoderLost = true;
  ResultCode rc = SeekChain(store, position, lost);
  if (rc == ResultOk) store->decoderLost = false;
  return rc;
}

ResultCode SetWriteCursor(Store* store, uint32_t position) {
  store->writeCursor = position;
  return ResultOk;
}

ResultCode ReadRecordHeader(Store* store, RecordView* out) {
  return ReadRecordHeaderAt(store, store->readCursor, out);
}

ResultCode ReadRecordHeaderAt(Store* store, uint32_t at, RecordView* out) {
  if (at >= store->endOfData) return ResultEndOfFile;
  if (store->headerCachePosition != at || at == 0) {
    CachedRecordHeader entry;
    bool linked = true;
    if (at > FirstItemPosition) {
      // The preceding record's trailer and this header in one read.
      uint8_t bytes[RecordOverhead];
      ResultCode rc = BufferedRead(store, bytes, at - ItemTrailerSize, RecordOverhead, 0);
      if (rc != ResultOk) return rc;
      ItemTrailer trailer = DecodeItemTrailer(bytes);
      linked = ValidBackLink(trailer.recordStart, at);
      entry.previousPosition = linked ? trailer.recordStart : 0;
      entry.header = DecodeItemHeader(bytes + ItemTrailerSize);
    } else if (at == FirstItemPosition) {
      ResultCode rc = ReadHeaderAt(store, at, 0, &entry.header);
      if (rc != ResultOk) return rc;
      entry.previousPosition = 0;
    } else {
      return ResultReadFailed;  // inside the file header: no record here
    }
    if (!EndsWithinData(store, at, entry.header.storedLength)) return ResultReadFailed;
    entry.nextPosition = at + RecordOverhead + entry.header.storedLength;
    if (!linked) {
      // The trailer before cannot be followed: it is damaged, or no record
      // starts here because the one before has a wrong length. A record
      // whose own trailer leads back to it is whole, and is read; the
      // records before it are out of reach from it (previous position 0).
      ItemTrailer own;
      ResultCode rc = ReadTrailerBehind(store, entry.nextPosition, 0, &own);
      if (rc != ResultOk) return rc;
      if (own.recordStart != at) return ResultReadFailed;
    }
    store->cachedRecordHeader = entry;
    store->headerCachePosition = at;
  }
  out->header = store->cachedRecordHeader.header;
  out->previousPosition = store->cachedRecordHeader.previousPosition;
  out->nextPosition = store->cachedRecordHeader.nextPosition;
  return ResultOk;
}

ResultCode ReadRecord(Store* store, RecordView* out) {
  ResultCode rc = ReadRecordHeader(store, out);
  if (rc != ResultOk) return rc;
  const ItemHeader& header = out->header;
  if (header.length != 0 && out->data == nullptr) return ResultInvalidArgument;
  uint32_t dataAt = store->readCursor + ItemHeaderSize;
  if (store->method == MethodNone) {
    // Stored bytes are the data itself; they must fit the data area.
    if (header.storedLength != header.length) return ResultReadFailed;
    rc = BufferedRead(store, out->data, dataAt, header.storedLength, 0);
    if (rc != ResultOk) return rc;
  } else {
    uint8_t* stored = nullptr;
    rc = GetScratchBuffers(store, header.storedLength + ItemTrailerSize, store->scratchSizeB,
                           &stored, nullptr);
    if (rc != ResultOk) return rc;
    rc = BufferedRead(store, stored, dataAt, header.storedLength + ItemTrailerSize, 0);
    if (rc != ResultOk) return rc;
    CheckpointsBeforeDecode(store, store->readCursor, false);
    uint8_t none = 0;
    rc = DecompressItem(store, &header, stored, out->data != nullptr ? out->data : &none);
    uint32_t flags = LoadU32(stored + header.storedLength + 4);
    if (rc == ResultOk && (flags & TrailerResetPoint) != 0) rc = ResetDecoder(store);
    if (rc != ResultOk) {
      // The decoder may be part-way through this record while the cursor
      // stays before it.
      if (IsChainedMethod(store->method)) store->decoderLost = true;
      return rc;
    }
  }
  store->readCursor = out->nextPosition;
  return ResultOk;
}

const uint8_t* RecordDataInPlace(Store* store, uint32_t position, const RecordView* view) {
  const ItemHeader& header = view->header;
  // Stored bytes that are not the data itself, or not as many, are left to
  // ReadRecord, which decodes them or reports the damage.
  if (store->method != MethodNone || header.length == 0 ||
      header.storedLength != header.length) {
    return nullptr;
  }
  return BufferedPeek(store, position + ItemHeaderSize, header.length);
}

namespace {

// Keeps the one-entry header cache true to the file when the record at
// `at` gets a new header. The next position follows from the stored length,
// which a caller rewriting in place keeps.
void NoteRewrittenHeader(Store* store, uint32_t at, const ItemHeader* header) {
  if (store->headerCachePosition == at && at != 0) {
    store->cachedRecordHeader.header = *header;
    store->cachedRecordHeader.nextPosition = at + RecordOverhead + header->storedLength;
  }
}

}  // namespace

ResultCode RewriteRecordHeader(Store* store, const ItemHeader* header) {
  uint32_t at = store->writeCursor;
  NoteRewrittenHeader(store, at, header);
  uint8_t bytes[ItemHeaderSize];
  EncodeItemHeader(*header, bytes);
  return BufferedWrite(store, bytes, at, ItemHeaderSize);
}

ResultCode WriteRecord(Store* store, RecordView* view) {
  uint32_t at = store->writeCursor;
  uint32_t length = view->header.length;
  if (length != 0 && view->data == nullptr) return ResultInvalidArgument;
  view->header.storedLength = static_cast<uint16_t>(length);
  view->nextPosition = 0;
  // The record must end within what the stream can address. Under a
  // chained method this is settled before the encoder sees the item, which
  // would otherwise enter the chain's history without reaching the file:
  // the item's largest possible stored form must fit. Other methods are
  // checked below with the exact stored length.
  const uint64_t limit = StreamEndLimit(store);
  if (IsChainedMethod(store->method)) {
    // An empty item stores nothing and never reaches the encoder.
    uint32_t worst = length == 0 ? 0 : CompressedCapacity(store->method, length);
    if (worst > MaxItemLength) worst = MaxItemLength;
    if (at + uint64_t{RecordOverhead} + worst > limit) return ResultWriteFailed;
  }
  if (store->resetPending) {
    // A failed append left the encoder reset but the last record unmarked:
    // mark it before anything new enters the chain.
    ResultCode rc = MarkLastRecordResetPoint(store);
    if (rc != ResultOk) return rc;
    store->resetPending = false;
  }
  // The whole record (header, stored data, trailer) is built in one area
  // and handed to the byte layer at once, so that it reaches the file in
  // one write: a crash leaves the old record or the new one, never a new
  // header over old data.
  uint32_t capacity = store->method != MethodNone ? CompressedCapacity(store->method, length) : length;
  uint8_t* record = nullptr;
  ResultCode rc =
      GetScratchBuffers(store, RecordOverhead + capacity, store->scratchSizeB, &record, nullptr);
  if (rc != ResultOk) return rc;
  uint8_t* stored = record + ItemHeaderSize;
  if (store->method != MethodNone) {
    uint8_t none = 0;
    rc = CompressItem(store, &view->header, view->data != nullptr ? view->data : &none, stored);
    if (rc == ResultInvalidArgument && IsChainedMethod(store->method)) {
      // The refused item already entered the encoder's history and the
      // encoder was reset: end the chain at the last record so that readers
      // reset there too. When that mark cannot be made now, the next append
      // makes it first; the refusal stays the answer.
      if (MarkLastRecordResetPoint(store) != ResultOk) store->resetPending = true;
    }
    if (rc != ResultOk) return rc;
  } else if (length != 0) {
    std::memcpy(stored, view->data, length);
  }
  uint32_t storedLength = view->header.storedLength;
  if (at + uint64_t{RecordOverhead} + storedLength > limit) {
    rc = ResultWriteFailed;
  } else {
    EncodeItemHeader(view->header, record);
    EncodeItemTrailer(ItemTrailer{at, 0}, stored + storedLength);
    rc = BufferedWrite(store, record, at, RecordOverhead + storedLength);
  }
  if (rc != ResultOk) {
    if (IsChainedMethod(store->method)) {
      // The item entered the encoder's history but not the file: start the
      // chain afresh behind the last record, as for a refused item.
      ResetEncoder(store);
      if (MarkLastRecordResetPoint(store) != ResultOk) store->resetPending = true;
    }
    return rc;
  }
  NoteRewrittenHeader(store, at, &view->header);
  store->writeCursor = at + RecordOverhead + storedLength;
  view->nextPosition = store->writeCursor;
  if (store->endOfData < store->writeCursor) store->endOfData = store->writeCursor;
  return ResultOk;
}

}  // namespace varnfile
