#include "mmap_reader/layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvel {
namespace {

TEST(Layout, SectionPositionsAndSizes) {
  struct Case {
    uint64_t n;
    uint16_t traits;
    uint8_t width;
    uint16_t dim;
    uint64_t blocks, signature_size, signature_start, offsets_start, total;
  };
  const Case cases[] = {
      {0, 1, 8, 128, 0, 16, 64, 64, 64},
      {64, 2, 8, 128, 1, 16, 192, 1216, 1728},
      {65, 2, 8, 128, 2, 16, 320, 1360, 1880},
      {3, 1, 8, 4, 1, 1, 128, 131, 155},
      {3, 1, 8, 0, 1, 0, 128, 128, 152},
      {100, 3, 8, 384, 2, 48, 448, 5248, 6048},
      {1, 16, 16, 9, 1, 2, 2112, 2114, 2122},
      {129, 5, 4, 8, 3, 1, 544, 673, 1705},
      {4294967295ull, 16, 16, 65535, 67108864, 8192, 137438953536ull, 35321811034176ull,
       35356170772536ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "n=" << c.n << " T=" << c.traits << " w=" << +c.width << " D=" << c.dim);
    const Layout l = compute_layout(c.n, c.traits, c.width, c.dim);
    EXPECT_EQ(l.blocks, c.blocks);
    EXPECT_EQ(l.plane_bytes, c.blocks * c.traits * c.width * 8);
    EXPECT_EQ(l.signature_size, c.signature_size);
    EXPECT_EQ(l.signature_start, c.signature_start);
    EXPECT_EQ(l.offsets_start, c.offsets_start);
    EXPECT_EQ(l.total_size, c.total);
  }
}

TEST(Layout, EncodeHeaderByteTable) {
  IndexHeader h;
  h.version = 0x0201;
  h.record_count = 0x1122334455667788ull;
  h.trait_count = 0x0A0B;
  h.vector_dim = 0x0C0D;
  h.bit_width = 16;
  std::vector<uint8_t> out(kHeaderSize, 0xEE);  // reserved bytes must be cleared
  encode_header(h, out.data());
  const std::vector<uint8_t> expected_prefix = {
      'K',  'R',  'V',  'X',  0x01, 0x02,              // magic, version
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // record_count (offset 6)
      0x0B, 0x0A, 0x0D, 0x0C, 16};                     // traits, dim, width
  for (size_t i = 0; i < expected_prefix.size(); ++i) EXPECT_EQ(out[i], expected_prefix[i]) << i;
  for (size_t i = kOffReserved; i < kHeaderSize; ++i) EXPECT_EQ(out[i], 0) << i;
}

}  // namespace
}  // namespace korvel
