// Header encoding for the data file; the byte table is in layout.h.
#include "mmap_reader/layout.h"

#include <cstring>

#include "common/little_endian.h"

namespace korvel {

void encode_header(const IndexHeader& header, uint8_t* out) noexcept {
  std::memcpy(out + kOffMagic, kMagic.data(), kMagic.size());
  store_u16(out + kOffVersion, header.version);
  store_u64(out + kOffRecordCount, header.record_count);
  store_u16(out + kOffTraitCount, header.trait_count);
  store_u16(out + kOffVectorDim, header.vector_dim);
  out[kOffBitWidth] = header.bit_width;
  std::memset(out + kOffReserved, 0, kHeaderSize - kOffReserved);
}

}  // namespace korvel
