// The on-disk layout of a transaction file: a 174-byte header, then records
// laid end to end, each an item header (14 bytes), the stored data, and a
// trailer (8 bytes) pointing back at the record's start. All integers are
// little-endian, unaligned and unpadded; fields are read and written with
// the little-endian helpers, never by copying structs.
#ifndef VARNFILE_STORE_FILE_FORMAT_H_
#define VARNFILE_STORE_FILE_FORMAT_H_

#include <cstdint>

#include "base/little_endian.h"

namespace varnfile {

// ---- file header ----

constexpr uint32_t FileHeaderSize = 174;
constexpr uint32_t FirstItemPosition = FileHeaderSize;
constexpr uint16_t CurrentFormatVersion = 272;
constexpr uint16_t OldestFormatVersion = 264;

// Byte offsets of the header fields.
constexpr uint32_t HeaderMagicOffset = 0;           // "KVRW"
constexpr uint32_t HeaderVersionOffset = 4;         // u16
constexpr uint32_t HeaderBaseNameOffset = 20;       // 16 bytes, NUL-terminated
constexpr uint32_t HeaderBaseNameSize = 16;
constexpr uint32_t HeaderStampDateOffset = 36;      // month, day, years since 1900
constexpr uint32_t HeaderStampTimeOffset = 39;      // hour, minute, second
constexpr uint32_t HeaderAgingDaysOffset = 42;      // u16
constexpr uint32_t HeaderAgingHoursOffset = 44;     // u8
constexpr uint32_t HeaderAgingMinutesOffset = 45;   // u8
constexpr uint32_t HeaderAgingSecondsOffset = 46;   // u8
constexpr uint32_t HeaderCompressionOffset = 47;    // u16
constexpr uint32_t HeaderFlagsOffset = 73;          // u32
constexpr uint32_t HeaderDescriptionOffset = 77;    // 65 bytes, NUL-terminated
constexpr uint32_t HeaderDescriptionSize = 65;
constexpr uint32_t HeaderClosedMarkerOffset = 142;  // u16
constexpr uint8_t HeaderMagic[4] = {'K', 'V', 'R', 'W'};

// The header is kept in memory as its exact 174-byte image: that image is
// what callers read and write whole, and reserved bytes survive untouched.
struct FileHeader {
  uint8_t bytes[FileHeaderSize];
};
static_assert(sizeof(FileHeader) == FileHeaderSize, "header image is packed");

// ---- item records ----

constexpr uint32_t ItemHeaderSize = 14;
constexpr uint32_t ItemTrailerSize = 8;
constexpr uint32_t RecordOverhead = ItemHeaderSize + ItemTrailerSize;  // 22
constexpr uint32_t MaxItemLength = 65535;

// Command identifiers from 0xFF00 up are the library's own.
constexpr uint16_t FirstReservedCommand = 0xFF00;
constexpr uint16_t EndMarkerCommand = 0xFF02;
constexpr uint16_t DeletedCommand = 0xFF04;

// Trailer flag: the record is the last one before a reset point of a
// chained compression method.
constexpr uint32_t TrailerResetPoint = 1;

// The item header, also the in-memory item descriptor.
struct ItemHeader {
  uint16_t commandId;
  uint16_t extraId;
  uint32_t extraValue;
  uint16_t length;        // data bytes as the caller gave them
  uint16_t storedLength;  // data bytes in the file (compressed size)
  uint16_t crc;           // ItemCrc of the data; 0: not checked
};

// Field-wise: the struct has padding, so it is never compared as bytes.
inline bool operator==(const ItemHeader& a, const ItemHeader& b) {
  return a.commandId == b.commandId && a.extraId == b.extraId && a.extraValue == b.extraValue &&
         a.length == b.length && a.storedLength == b.storedLength && a.crc == b.crc;
}
inline bool operator!=(const ItemHeader& a, const ItemHeader& b) { return !(a == b); }

struct ItemTrailer {
  uint32_t recordStart;   // position of this record's item header
  uint32_t trailerFlags;  // bit 0: TrailerResetPoint
};

inline void EncodeItemHeader(const ItemHeader& h, uint8_t out[ItemHeaderSize]) {
  StoreU16(out + 0, h.commandId);
  StoreU16(out + 2, h.extraId);
  StoreU32(out + 4, h.extraValue);
  StoreU16(out + 8, h.length);
  StoreU16(out + 10, h.storedLength);
  StoreU16(out + 12, h.crc);
}

inline ItemHeader DecodeItemHeader(const uint8_t in[ItemHeaderSize]) {
  ItemHeader h;
  h.commandId = LoadU16(in + 0);
  h.extraId = LoadU16(in + 2);
  h.extraValue = LoadU32(in + 4);
  h.length = LoadU16(in + 8);
  h.storedLength = LoadU16(in + 10);
  h.crc = LoadU16(in + 12);
  return h;
}

inline void EncodeItemTrailer(const ItemTrailer& t, uint8_t out[ItemTrailerSize]) {
  StoreU32(out + 0, t.recordStart);
  StoreU32(out + 4, t.trailerFlags);
}

inline ItemTrailer DecodeItemTrailer(const uint8_t in[ItemTrailerSize]) {
  return ItemTrailer{LoadU32(in + 0), LoadU32(in + 4)};
}

}  // namespace varnfile

#endif  // VARNFILE_STORE_FILE_FORMAT_H_
