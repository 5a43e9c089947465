// Carry-less multiplication folding for the item CRC, where the processor
// has it (x86-64 PCLMULQDQ). The CRC-16 register, kept in the low half of
// a 32-bit register, behaves as a 32-bit CRC whose polynomial is the
// CRC-16 polynomial times x^16; folding reduces any whole number of 16-byte
// blocks to 16 bytes with the same remainder, which the table-driven code
// then finishes.
#ifndef VARNFILE_STORE_ITEM_CRC_FOLD_H_
#define VARNFILE_STORE_ITEM_CRC_FOLD_H_

#include <cstdint>

namespace varnfile {

// True when CrcFold may be called on this processor.
bool CrcFoldAvailable();

// Folds blocks (at least 4) 16-byte blocks of data, with the CRC register
// crc mixed into the first bytes, into 16 bytes at out. A table-driven CRC
// of out started from a zero register then equals the CRC of the data
// started from crc.
void CrcFold(uint32_t crc, const uint8_t* data, uint32_t blocks, uint8_t out[16]);

}  // namespace varnfile

#endif  // VARNFILE_STORE_ITEM_CRC_FOLD_H_
