// IndexReader: header validation in its fixed order, section accessors, and the display
// texts of ReaderError and StorageError.
#include "mmap_reader/index_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "categorical/trait_dictionary.h"
#include "common/little_endian.h"

namespace korvel {
namespace {

std::string text_of(const InvalidMagic& e) {
  std::string s = "Invalid magic bytes: expected KRVX, found [";
  for (size_t i = 0; i < e.found.size(); ++i) {
    if (i > 0) s += ", ";
    s += std::to_string(e.found[i]);
  }
  return s + "]";
}
std::string text_of(const UnsupportedVersion& e) {
  return "Unsupported version: expected " + std::to_string(e.expected) + ", found " +
         std::to_string(e.found);
}
std::string text_of(const InvalidBitWidth& e) {
  return "Invalid bit-width mode: " + std::to_string(e.found) + " (expected 4, 8, or 16)";
}
std::string text_of(const TraitCountOutOfRange& e) {
  return "Trait count out of range: " + std::to_string(e.found) + " (expected 1-16)";
}
std::string text_of(const FileAccess& e) { return "File access failed: " + e.message; }
std::string text_of(const Truncated& e) {
  return "File truncated: expected at least " + std::to_string(e.expected) + " bytes, found " +
         std::to_string(e.found);
}
std::string text_of(const RecordCountExceeded& e) {
  return "Record count " + std::to_string(e.count) + " exceeds Phase 1 maximum of 4,294,967,295";
}
std::string text_of(const RecordIndexOutOfBounds& e) {
  return "Record index " + std::to_string(e.index) + " out of bounds (valid range: 0.." +
         std::to_string(e.count) + ")";
}
std::string text_of(const ReaderError& e) { return to_string(e); }

// The header checks after the minimum-size check, in their fixed order. `h` holds at
// least kHeaderSize bytes.
Expected<IndexHeader, StorageError> decode_header(const uint8_t* h) {
  InvalidMagic magic{};
  std::memcpy(magic.found.data(), h + kOffMagic, magic.found.size());
  if (magic.found != kMagic) return unexpected(StorageError(ReaderError(magic)));

  IndexHeader header;
  header.version = load_u16(h + kOffVersion);
  if (header.version != kFormatVersion) {
    return unexpected(
        StorageError(ReaderError(UnsupportedVersion{kFormatVersion, header.version})));
  }
  header.trait_count = load_u16(h + kOffTraitCount);
  if (header.trait_count < 1 || header.trait_count > kMaxTraits) {
    return unexpected(StorageError(ReaderError(TraitCountOutOfRange{header.trait_count})));
  }
  header.bit_width = h[kOffBitWidth];
  if (!is_valid_bit_width(header.bit_width)) {
    return unexpected(StorageError(ReaderError(InvalidBitWidth{header.bit_width})));
  }
  header.record_count = load_u64(h + kOffRecordCount);
  if (header.record_count > kMaxRecordCount) {
    return unexpected(StorageError(RecordCountExceeded{header.record_count}));
  }
  header.vector_dim = load_u16(h + kOffVectorDim);
  return header;
}

}  // namespace

std::string to_string(const ReaderError& e) {
  return std::visit([](const auto& v) { return text_of(v); }, e);
}

std::string to_string(const StorageError& e) {
  return std::visit([](const auto& v) { return text_of(v); }, e);
}

Expected<IndexReader, StorageError> IndexReader::open(const std::string& path) {
  auto mapped = MappedFile::open(path);
  if (!mapped) return unexpected(StorageError(FileAccess{std::move(mapped).error()}));
  // From here every early return drops `file`, which unmaps it.
  MappedFile file = std::move(mapped).value();

  const uint64_t size = file.size();
  if (size < kHeaderSize) return unexpected(StorageError(Truncated{kHeaderSize, size}));
  KORVEL_ASSIGN_OR_RETURN(const IndexHeader header, decode_header(file.data()));

  // T <= 16, w <= 16 and n < 2^32 were checked above, so the layout cannot overflow.
  const Layout layout =
      compute_layout(header.record_count, header.trait_count, header.bit_width, header.vector_dim);
  if (size < layout.total_size) {
    return unexpected(StorageError(Truncated{layout.total_size, size}));
  }
  return IndexReader(std::move(file), header, layout);
}

std::span<const uint8_t> IndexReader::code_planes() const noexcept {
  return {file_.data() + kHeaderSize, static_cast<size_t>(layout_.plane_bytes)};
}

Expected<std::span<const uint8_t>, StorageError> IndexReader::signature(uint64_t i) const {
  if (i >= header_.record_count) {
    return unexpected(StorageError(RecordIndexOutOfBounds{i, header_.record_count}));
  }
  return std::span<const uint8_t>(signature_ptr(i), static_cast<size_t>(layout_.signature_size));
}

Expected<std::optional<uint64_t>, StorageError> IndexReader::external_offset(uint64_t i) const {
  if (i >= header_.record_count) {
    return unexpected(StorageError(RecordIndexOutOfBounds{i, header_.record_count}));
  }
  const uint64_t v = raw_external_offset(i);
  if (v == kNoExternalOffset) return std::optional<uint64_t>();
  return std::optional<uint64_t>(v);
}

}  // namespace korvel
