// IndexReader: read-only, zero-copy access to a data file through a validated mapping,
// and the error families of opening and reading it. Immutable after open(), so any number
// of threads may use the accessors at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "common/expected.h"
#include "common/little_endian.h"
#include "mmap_reader/layout.h"
#include "mmap_reader/mapped_file.h"

namespace korvel {

// Header validation failures.
struct InvalidMagic {
  std::array<uint8_t, 4> found;
};
struct UnsupportedVersion {
  uint16_t expected;
  uint16_t found;
};
struct InvalidBitWidth {
  uint8_t found;
};
struct TraitCountOutOfRange {
  uint16_t found;
};
using ReaderError =
    std::variant<InvalidMagic, UnsupportedVersion, InvalidBitWidth, TraitCountOutOfRange>;
std::string to_string(const ReaderError& e);

struct FileAccess {
  std::string message;
};
struct Truncated {
  uint64_t expected;
  uint64_t found;
};
struct RecordCountExceeded {
  uint64_t count;
};
struct RecordIndexOutOfBounds {
  uint64_t index;
  uint64_t count;
};
using StorageError =
    std::variant<FileAccess, Truncated, RecordCountExceeded, RecordIndexOutOfBounds, ReaderError>;
std::string to_string(const StorageError& e);

// How many records ahead a loop over scattered records prefetches their external offsets.
inline constexpr size_t kOffsetsAhead = 16;

class IndexReader {
 public:
  // Maps and validates `path`. Checks, in order: size >= 64 (Truncated), magic, version,
  // trait count 1..16, bit width 4/8/16 (Header errors), record count <= 2^32 - 1
  // (RecordCountExceeded), size >= the layout's total (Truncated). Open, fstat and mmap
  // failures are FileAccess with the OS error text. On failure nothing stays open or mapped.
  static Expected<IndexReader, StorageError> open(const std::string& path);

  uint64_t record_count() const noexcept { return header_.record_count; }
  uint16_t version() const noexcept { return header_.version; }
  uint16_t trait_count() const noexcept { return header_.trait_count; }
  uint16_t vector_dim() const noexcept { return header_.vector_dim; }
  uint8_t bit_width() const noexcept { return header_.bit_width; }
  const Layout& layout() const noexcept { return layout_; }
  size_t mapped_len() const noexcept { return file_.size(); }

  // The plane section [64, 64 + P): little-endian u64 words at 8-byte aligned addresses.
  std::span<const uint8_t> code_planes() const noexcept;
  // Signature of record i (B bytes), or RecordIndexOutOfBounds {i, n}.
  Expected<std::span<const uint8_t>, StorageError> signature(uint64_t i) const;
  // External offset of record i; nothing when it is kNoExternalOffset; or
  // RecordIndexOutOfBounds {i, n}.
  Expected<std::optional<uint64_t>, StorageError> external_offset(uint64_t i) const;

  // Unchecked forms for hot loops. REQUIRES: i < record_count().
  const uint8_t* signature_ptr(uint64_t i) const noexcept {
    return file_.data() + layout_.signature_start + i * layout_.signature_size;
  }
  uint64_t raw_external_offset(uint64_t i) const noexcept {
    return load_u64(file_.data() + layout_.offsets_start + i * 8);
  }
  // Starts loading record i's external offset, for a loop that reads many scattered ones.
  void prefetch_external_offset(uint64_t i) const noexcept {
    if (i < header_.record_count) __builtin_prefetch(file_.data() + layout_.offsets_start + i * 8);
  }

 private:
  IndexReader(MappedFile file, IndexHeader header, Layout layout) noexcept
      : file_(std::move(file)), header_(header), layout_(layout) {}

  MappedFile file_;
  IndexHeader header_;
  Layout layout_;
};

}  // namespace korvel
