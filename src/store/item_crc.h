// The CRC-16 that guards every item's data: CRC-16/X-25 (reflected CCITT
// polynomial 0x8408, initial value 0xFFFF, final complement), returned with
// its two bytes exchanged so that the X-25 value lands in the file high byte
// first. "123456789" gives 0x6E90; empty data gives 0.
#ifndef VARNFILE_STORE_ITEM_CRC_H_
#define VARNFILE_STORE_ITEM_CRC_H_

#include <cstdint>

namespace varnfile {

// data is not read when length is 0.
uint16_t ItemCrc(const uint8_t* data, uint32_t length);

// The same value from lookup tables alone, whatever the processor offers;
// ItemCrc takes a carry-less multiplication path for longer data where it
// can.
uint16_t ItemCrcPortable(const uint8_t* data, uint32_t length);

}  // namespace varnfile

#endif  // VARNFILE_STORE_ITEM_CRC_H_
