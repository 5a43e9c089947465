// A lower bound on the cost of a dynamic block.
//
// Building the dynamic codes costs more than the rest of a small block put
// together, and most small blocks go out stored or with the fixed codes. The
// bound below uses only the frequencies; when it already reaches the cheaper
// of the other two, the dynamic block cannot win (ties go to them) and its
// codes need not be built. Every term is a proven minimum of what
// DeflatePrepareBlock would compute, so the choice never changes.
#ifndef VARNFILE_CODEC_DYNAMIC_COST_BOUND_H_
#define VARNFILE_CODEC_DYNAMIC_COST_BOUND_H_

#include <cstdint>

#include "codec/huffman_codes.h"

namespace varnfile {

// Bytes of the dynamic block (data and header, as DeflatePrepareBlock prices
// them), at least. used[0..k) lists the symbols in use of the literal/length
// table (literalsUsed of them, literalsSent sent) followed by those of the
// distance table, counted from the first distance entry.
uint32_t DynamicCostAtLeast(const HuffmanWorkArea* area, const uint16_t* used,
                            uint32_t literalsUsed, uint32_t literalsSent, uint32_t distancesUsed,
                            uint32_t distancesSent, uint32_t* scratch);

}  // namespace varnfile

#endif  // VARNFILE_CODEC_DYNAMIC_COST_BOUND_H_
