// MappedFile: move-only owner of a read-only shared mapping of a whole file. It keeps no
// descriptor; unmapping rounds the address down to the page size and never fails visibly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/expected.h"

namespace korvel {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // Opens `path` read-only (close-on-exec), sizes it with fstat and maps it whole (length 1
  // for an empty file). The descriptor is closed before returning. Errors are the OS error
  // text ("{description} (os error N)"), or the NUL-byte text for a path holding a NUL.
  static Expected<MappedFile, std::string> open(const std::string& path);

  const uint8_t* data() const noexcept { return data_; }
  // The file size at opening (0 for an empty file even though one byte is mapped).
  size_t size() const noexcept { return size_; }
  std::span<const uint8_t> bytes() const noexcept { return {data_, size_}; }

 private:
  MappedFile(const uint8_t* data, size_t size, size_t mapped) noexcept
      : data_(data), size_(size), mapped_(mapped) {}
  void release() noexcept;

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;
};

// The system page size, queried once per process.
size_t page_size() noexcept;

}  // namespace korvel
