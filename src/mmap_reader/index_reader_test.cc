#include "mmap_reader/index_reader.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "build/compile.h"
#include "categorical/plane_packing.h"
#include "categorical/test_plane_codes.h"
#include "common/check.h"
#include "common/file_write.h"
#include "common/little_endian.h"
#include "vector/signature.h"

namespace korvel {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = testing::TempDir() + "korvel_reader_XXXXXX";
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good());
}

// A header with the given fields, written byte by byte here rather than by encode_header.
std::vector<uint8_t> header_bytes(uint64_t n, uint16_t traits, uint8_t width, uint16_t dim,
                                  uint16_t version = 1) {
  std::vector<uint8_t> h(64, 0);
  h[0] = 'K', h[1] = 'R', h[2] = 'V', h[3] = 'X';
  h[4] = static_cast<uint8_t>(version), h[5] = static_cast<uint8_t>(version >> 8);
  for (int i = 0; i < 8; ++i) h[6 + i] = static_cast<uint8_t>(n >> (8 * i));
  h[14] = static_cast<uint8_t>(traits), h[15] = static_cast<uint8_t>(traits >> 8);
  h[16] = static_cast<uint8_t>(dim), h[17] = static_cast<uint8_t>(dim >> 8);
  h[18] = width;
  return h;
}

std::vector<uint8_t> sized(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

std::string open_error(const std::string& path) {
  auto r = IndexReader::open(path);
  return r ? std::string("<opened>") : to_string(r.error());
}

size_t open_fd_count() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

bool is_mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

TEST(IndexReaderOpen, RejectsEachBrokenHeaderWithItsText) {
  TempDir dir;
  const auto valid = sized(header_bytes(100, 3, 8, 384), 6048);
  auto with = [](std::vector<uint8_t> b, size_t off, std::vector<uint8_t> patch) {
    std::copy(patch.begin(), patch.end(), b.begin() + static_cast<long>(off));
    return b;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "File truncated: expected at least 64 bytes, found 0"},
      {"63 bytes, bad magic", std::vector<uint8_t>(63, 'x'),
       "File truncated: expected at least 64 bytes, found 63"},
      {"64 zero bytes", std::vector<uint8_t>(64, 0),
       "Invalid magic bytes: expected KRVX, found [0, 0, 0, 0]"},
      {"lower-case magic", with(valid, 0, {'k', 'r', 'v', 'x'}),
       "Invalid magic bytes: expected KRVX, found [107, 114, 118, 120]"},
      {"version 2", with(valid, 4, {2, 0}), "Unsupported version: expected 1, found 2"},
      {"version 256", with(valid, 4, {0, 1}), "Unsupported version: expected 1, found 256"},
      {"version 2 and trait count 0", with(with(valid, 4, {2, 0}), 14, {0, 0}),
       "Unsupported version: expected 1, found 2"},
      {"trait count 0", with(valid, 14, {0, 0}), "Trait count out of range: 0 (expected 1-16)"},
      {"trait count 17", with(valid, 14, {17, 0}), "Trait count out of range: 17 (expected 1-16)"},
      {"trait count 257", with(valid, 14, {1, 1}), "Trait count out of range: 257 (expected 1-16)"},
      {"trait count 0 and bit width 12", with(with(valid, 14, {0, 0}), 18, {12}),
       "Trait count out of range: 0 (expected 1-16)"},
      {"bit width 12", with(valid, 18, {12}), "Invalid bit-width mode: 12 (expected 4, 8, or 16)"},
      {"bit width 0", with(valid, 18, {0}), "Invalid bit-width mode: 0 (expected 4, 8, or 16)"},
      {"bit width 12 and count 2^32", with(with(valid, 18, {12}), 6, {0, 0, 0, 0, 1, 0, 0, 0}),
       "Invalid bit-width mode: 12 (expected 4, 8, or 16)"},
      {"record count 2^32", with(valid, 6, {0, 0, 0, 0, 1, 0, 0, 0}),
       "Record count 4294967296 exceeds Phase 1 maximum of 4,294,967,295"},
      {"record count 2^64-1", with(valid, 6, std::vector<uint8_t>(8, 0xFF)),
       "Record count 18446744073709551615 exceeds Phase 1 maximum of 4,294,967,295"},
      {"record count 2^32-1 passes the ceiling", sized(header_bytes(4294967295ull, 1, 8, 0), 64),
       "File truncated: expected at least 38654705720 bytes, found 64"},
      {"largest layout", sized(header_bytes(4294967295ull, 16, 16, 65535), 64),
       "File truncated: expected at least 35356170772536 bytes, found 64"},
      {"one byte short", sized(valid, 6047),
       "File truncated: expected at least 6048 bytes, found 6047"},
      {"header only for 100 records", sized(valid, 64),
       "File truncated: expected at least 6048 bytes, found 64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("f.korvix");
    write_bytes(path, c.bytes);
    EXPECT_EQ(open_error(path), c.text);
  }
}

TEST(IndexReaderOpen, AcceptsEveryValidHeaderValue) {
  TempDir dir;
  struct Case {
    uint64_t n;
    uint16_t traits;
    uint8_t width;
    uint16_t dim;
    size_t extra;
  };
  const Case cases[] = {{100, 3, 8, 384, 0}, {100, 3, 8, 384, 1}, {0, 1, 8, 0, 0},
                        {5, 1, 4, 7, 0},     {5, 16, 16, 9, 0},   {65, 16, 4, 65535, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " T=" << c.traits << " w=" << +c.width
                                    << " D=" << c.dim << " extra=" << c.extra);
    const Layout l = compute_layout(c.n, c.traits, c.width, c.dim);
    auto bytes = sized(header_bytes(c.n, c.traits, c.width, c.dim), l.total_size + c.extra);
    for (size_t i = 19; i < 64; ++i) bytes[i] = static_cast<uint8_t>(i);  // reserved: ignored
    const std::string path = dir.file("ok.korvix");
    write_bytes(path, bytes);
    auto r = IndexReader::open(path);
    ASSERT_TRUE(r) << to_string(r.error());
    EXPECT_EQ(r->record_count(), c.n);
    EXPECT_EQ(r->version(), 1);
    EXPECT_EQ(r->trait_count(), c.traits);
    EXPECT_EQ(r->bit_width(), c.width);
    EXPECT_EQ(r->vector_dim(), c.dim);
    EXPECT_EQ(r->mapped_len(), bytes.size());
    EXPECT_EQ(r->code_planes().size(), l.plane_bytes);
    if (c.n > 0) {
      EXPECT_EQ(static_cast<uint64_t>(r->signature_ptr(0) - r->code_planes().data()),
                l.plane_bytes);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r->code_planes().data()) % 8, 0u);
  }
}

TEST(IndexReaderOpen, FileAccessErrors) {
  TempDir dir;
  EXPECT_EQ(open_error(dir.file("missing.korvix")),
            "File access failed: No such file or directory (os error 2)");
  EXPECT_EQ(open_error(std::string("bad\0name", 8)),
            "File access failed: file name contained an unexpected NUL byte");
  // A directory opens read-only but cannot be mapped.
  EXPECT_EQ(open_error(dir.file("")), "File access failed: No such device (os error 19)");
  // /dev/zero can be mapped, but no device is an index file.
  EXPECT_EQ(open_error("/dev/zero"), "File access failed: No such device (os error 19)");
}

TEST(IndexReaderAccessors, HeaderOnlyFileHasNoRecords) {
  TempDir dir;
  const std::string path = dir.file("empty.korvix");
  write_bytes(path, header_bytes(0, 2, 8, 16));
  auto r = IndexReader::open(path);
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_TRUE(r->code_planes().empty());
  for (uint64_t i : {uint64_t{0}, uint64_t{1}, ~uint64_t{0}}) {
    const std::string text =
        "Record index " + std::to_string(i) + " out of bounds (valid range: 0..0)";
    auto sig = r->signature(i);
    ASSERT_FALSE(sig);
    EXPECT_EQ(to_string(sig.error()), text);
    auto off = r->external_offset(i);
    ASSERT_FALSE(off);
    EXPECT_EQ(to_string(off.error()), text);
  }
}

TEST(IndexReaderAccessors, ReadsSignaturesAndUnalignedOffsets) {
  TempDir dir;
  // n = 3, T = 1, w = 8, D = 12: planes at 64..127, 2-byte signatures at 128, offsets at 134.
  auto bytes = sized(header_bytes(3, 1, 8, 12), 158);
  for (int k = 0; k < 8; ++k) bytes[64 + 8 * k] = static_cast<uint8_t>(k + 1);
  const uint8_t sigs[] = {0x01, 0x0F, 0xAA, 0x05, 0xFF, 0x0F};
  std::copy(std::begin(sigs), std::end(sigs), bytes.begin() + 128);
  store_u64(&bytes[134], 0);
  store_u64(&bytes[142], kNoExternalOffset);
  store_u64(&bytes[150], 0x0102030405060708ull);
  const std::string path = dir.file("three.korvix");
  write_bytes(path, bytes);

  auto r = IndexReader::open(path);
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_EQ(r->code_planes().data()[0], 1);
  EXPECT_EQ(r->code_planes().data()[56], 8);
  for (uint64_t i = 0; i < 3; ++i) {
    auto sig = r->signature(i);
    ASSERT_TRUE(sig);
    EXPECT_EQ(std::vector<uint8_t>(sig->begin(), sig->end()),
              std::vector<uint8_t>(sigs + 2 * i, sigs + 2 * i + 2));
    EXPECT_EQ(r->signature_ptr(i), sig->data());
  }
  EXPECT_EQ(*r->external_offset(0), std::optional<uint64_t>(0));
  EXPECT_EQ(*r->external_offset(1), std::nullopt);
  EXPECT_EQ(*r->external_offset(2), std::optional<uint64_t>(0x0102030405060708ull));
  EXPECT_EQ(r->raw_external_offset(1), kNoExternalOffset);
  EXPECT_EQ(to_string(r->signature(3).error()), "Record index 3 out of bounds (valid range: 0..3)");
  EXPECT_EQ(to_string(r->external_offset(3).error()),
            "Record index 3 out of bounds (valid range: 0..3)");
}

// One header field broken at a time, then two at once: the earlier check always wins, and a
// truncation at any length reports the right minimum.
TEST(IndexReaderCorruption, EarliestCheckWins) {
  TempDir dir;
  const std::string path = dir.file("c.korvix");
  const auto valid = sized(header_bytes(100, 3, 8, 384), 6048);
  struct Breaker {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
    std::string text;
  };
  // In the order the reader checks them.
  const std::vector<Breaker> breakers = {
      {"short", [](auto& b) { b.resize(63); },
       "File truncated: expected at least 64 bytes, found 63"},
      {"magic", [](auto& b) { b[3] = 'Y'; },
       "Invalid magic bytes: expected KRVX, found [75, 82, 86, 89]"},
      {"version", [](auto& b) { b[4] = 0; }, "Unsupported version: expected 1, found 0"},
      {"traits", [](auto& b) { b[14] = 17; }, "Trait count out of range: 17 (expected 1-16)"},
      {"width", [](auto& b) { b[18] = 7; }, "Invalid bit-width mode: 7 (expected 4, 8, or 16)"},
      {"count", [](auto& b) { b[10] = 1; },
       "Record count 4294967396 exceeds Phase 1 maximum of 4,294,967,295"},
      {"size", [](auto& b) { b.resize(6000); },
       "File truncated: expected at least 6048 bytes, found 6000"},
  };
  for (size_t a = 0; a < breakers.size(); ++a) {
    for (size_t b = a; b < breakers.size(); ++b) {
      SCOPED_TRACE(std::string(breakers[a].name) + " + " + breakers[b].name);
      auto bytes = valid;
      // Header edits first, then truncations, so each breaker sees a full header.
      breakers[b].apply(bytes);
      if (a != b) breakers[a].apply(bytes);
      write_bytes(path, bytes);
      EXPECT_EQ(open_error(path), breakers[a].text);
    }
  }

  std::vector<size_t> lengths = {0, 1, 63, 64, 65, 447, 448, 6046, 6047, 6048, 6049};
  std::mt19937 rng(20240601);
  for (int i = 0; i < 40; ++i)
    lengths.push_back(std::uniform_int_distribution<size_t>(0, 6100)(rng));
  for (const size_t len : lengths) {
    write_bytes(path, sized(valid, len));
    const std::string text = open_error(path);
    if (len < 64) {
      EXPECT_EQ(text, "File truncated: expected at least 64 bytes, found " + std::to_string(len));
    } else if (len < 6048) {
      EXPECT_EQ(text, "File truncated: expected at least 6048 bytes, found " + std::to_string(len));
    } else {
      EXPECT_EQ(text, "<opened>");
    }
  }
}

// A compiled file with two blocks (the last one partial), embeddings and offsets.
std::vector<uint8_t> small_compiled_image() {
  BuildState s;
  s.trait_count = 3;
  s.vector_dim = 13;
  s.dicts.resize(3);
  for (size_t i = 0; i < 70; ++i) {
    BufferedRecord r;
    uint16_t codes[3];
    for (uint16_t t = 0; t < 3; ++t) {
      r.values.push_back(std::to_string((i * (t + 1)) % 5));
      codes[t] = *s.dicts[t].assign_token(r.values.back(), 8);
    }
    if (i % 4 != 0) r.embedding.emplace(13, i % 3 == 0 ? -1.0f : 1.0f);
    r.external_offset = i % 5 == 0 ? kNoExternalOffset : 52 * i;
    append_record(s, std::move(r), codes);
  }
  auto image = compile_index(s);
  KORVEL_CHECK(image.has_value(), "compile_index failed");
  return std::move(image).value();
}

// Copies everything an opened reader hands out (the sanitizer checks each copied range
// against the mapping); the sections must also fit the file.
void read_every_accessor(const IndexReader& reader) {
  ASSERT_LE(reader.layout().total_size, reader.mapped_len());
  const std::span<const uint8_t> planes = reader.code_planes();
  std::vector<uint8_t> copy(planes.begin(), planes.end());
  for (uint64_t i = 0; i < reader.record_count(); ++i) {
    auto sig = reader.signature(i);
    ASSERT_TRUE(sig);
    ASSERT_EQ(sig->size(), reader.layout().signature_size);
    copy.assign(sig->begin(), sig->end());
    ASSERT_TRUE(reader.external_offset(i));
  }
  EXPECT_FALSE(reader.signature(reader.record_count()));
  EXPECT_FALSE(reader.external_offset(reader.record_count()));
}

TEST(IndexReaderCorruption, EveryTruncationIsReported) {
  TempDir dir;
  const std::string path = dir.file("t.korvix");
  const std::vector<uint8_t> image = small_compiled_image();
  const size_t size = image.size();
  for (size_t len = 0; len <= size; ++len) {
    SCOPED_TRACE(len);
    write_bytes(path, std::vector<uint8_t>(image.begin(), image.begin() + len));
    auto reader = IndexReader::open(path);
    if (len == size) {
      ASSERT_TRUE(reader) << to_string(reader.error());
      read_every_accessor(*reader);
      continue;
    }
    ASSERT_FALSE(reader);
    const size_t expected = len < kHeaderSize ? kHeaderSize : size;
    EXPECT_EQ(to_string(reader.error()), "File truncated: expected at least " +
                                             std::to_string(expected) + " bytes, found " +
                                             std::to_string(len));
  }
}

// Each header byte set to several values: the file is refused with a header or size error,
// or it opens with sections that fit and accessors that work.
TEST(IndexReaderCorruption, EveryHeaderByteChangeOpensCleanlyOrFails) {
  TempDir dir;
  const std::string path = dir.file("h.korvix");
  const std::vector<uint8_t> image = small_compiled_image();
  size_t opened = 0;
  for (size_t pos = 0; pos < kHeaderSize; ++pos) {
    const uint8_t x = image[pos];
    for (const uint8_t value :
         {uint8_t{0x00}, uint8_t{0xFF}, uint8_t(x ^ 0x01), uint8_t(x ^ 0x80)}) {
      SCOPED_TRACE(testing::Message() << "byte " << pos << " = " << int{value});
      std::vector<uint8_t> bytes = image;
      bytes[pos] = value;
      write_bytes(path, bytes);
      auto reader = IndexReader::open(path);
      if (!reader) {
        EXPECT_FALSE(to_string(reader.error()).empty());
        continue;
      }
      ++opened;
      read_every_accessor(*reader);
    }
  }
  // The reserved bytes alone give 45 * 4 readable files; smaller counts and dimensions more.
  EXPECT_GE(opened, 180u);
}

// compile -> write -> open -> accessors, for random builds.
TEST(IndexReaderRoundTrip, AccessorsReturnWhatWasCompiled) {
  TempDir dir;
  const std::string path = dir.file("rt.korvix");
  std::mt19937_64 rng(99);
  for (int iter = 0; iter < 25; ++iter) {
    BuildState s;
    s.trait_count = static_cast<uint16_t>(1 + rng() % 16);
    s.vector_dim = static_cast<uint16_t>(rng() % 3 == 0 ? 0 : rng() % 200);
    s.dicts.resize(s.trait_count);
    const size_t n = rng() % 150;
    SCOPED_TRACE(testing::Message()
                 << "T=" << s.trait_count << " D=" << s.vector_dim << " n=" << n);
    for (size_t i = 0; i < n; ++i) {
      BufferedRecord r;
      std::vector<uint16_t> codes;
      for (uint16_t t = 0; t < s.trait_count; ++t) {
        r.values.push_back(std::to_string(rng() % 256));
        auto code = s.dicts[t].assign_token(r.values.back(), 8);
        ASSERT_TRUE(code);
        codes.push_back(*code);
      }
      if (rng() % 3 != 0) {
        r.embedding.emplace(s.vector_dim);
        for (float& f : *r.embedding) f = static_cast<float>(static_cast<int>(rng() % 5) - 2);
      }
      r.external_offset = rng() % 4 == 0 ? kNoExternalOffset : rng() % 1000;
      append_record(s, std::move(r), codes);
    }
    auto image = compile_index(s);
    ASSERT_TRUE(image);
    ASSERT_TRUE(write_file_atomic(path, *image));
    auto reader = IndexReader::open(path);
    ASSERT_TRUE(reader) << to_string(reader.error());
    ASSERT_EQ(reader->record_count(), n);
    ASSERT_EQ(reader->mapped_len(), image->size());
    const std::span<const uint8_t> planes = reader->code_planes();
    const size_t words_per_block = s.trait_count * 8u;
    std::vector<uint64_t> block(words_per_block);
    for (size_t i = 0; i < n; ++i) {
      const BufferedRecord& r = s.records[i];
      for (size_t w = 0; w < words_per_block; ++w) {
        block[w] = load_u64(planes.data() + 8 * ((i / 64) * words_per_block + w));
      }
      for (uint16_t t = 0; t < s.trait_count; ++t) {
        ASSERT_EQ(unpack_code(block.data(), t, 8, static_cast<unsigned>(i % 64)),
                  *s.dicts[t].lookup(r.values[t]));
      }
      const std::vector<uint8_t> expected =
          r.embedding ? compute_signature(*r.embedding)
                      : std::vector<uint8_t>(signature_bytes(s.vector_dim), 0);
      auto sig = reader->signature(i);
      ASSERT_TRUE(sig);
      ASSERT_EQ(std::vector<uint8_t>(sig->begin(), sig->end()), expected);
      auto off = reader->external_offset(i);
      ASSERT_TRUE(off);
      if (r.external_offset == kNoExternalOffset) {
        ASSERT_EQ(*off, std::nullopt);
      } else {
        ASSERT_EQ(*off, std::optional<uint64_t>(r.external_offset));
      }
    }
    EXPECT_FALSE(reader->signature(n));
  }
}

TEST(IndexReaderResources, NoDescriptorOrMappingOutlivesTheReader) {
  TempDir dir;
  const std::string good = dir.file("good.korvix");
  const std::string bad = dir.file("bad.korvix");
  write_bytes(good, sized(header_bytes(100, 3, 8, 384), 6048));
  write_bytes(bad, sized(header_bytes(100, 3, 8, 384), 6047));
  const size_t fds_before = open_fd_count();
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(IndexReader::open(bad));
    EXPECT_FALSE(IndexReader::open(dir.file("missing")));
    EXPECT_FALSE(IndexReader::open(dir.file("")));
  }
  EXPECT_FALSE(is_mapped(bad));
  {
    auto r = IndexReader::open(good);
    ASSERT_TRUE(r);
    EXPECT_EQ(open_fd_count(), fds_before) << "the reader keeps no descriptor";
    EXPECT_TRUE(is_mapped(good));
    IndexReader moved = std::move(r).value();
    EXPECT_EQ(moved.record_count(), 100u);
    EXPECT_TRUE(is_mapped(good));
  }
  EXPECT_FALSE(is_mapped(good));
  EXPECT_EQ(open_fd_count(), fds_before);
}

}  // namespace
}  // namespace korvel
