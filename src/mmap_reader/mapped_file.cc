// MappedFile: open + fstat + mmap of a whole file, and the page-rounded munmap that
// releases it.
#include "mmap_reader/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/os_error.h"
#include "common/unique_fd.h"

namespace korvel {

size_t page_size() noexcept {
  // Function-local static: initialised once, thread-safe.
  static const size_t size = [] {
    const long v = ::sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<size_t>(v) : size_t{4096};
  }();
  return size;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() noexcept {
  if (data_ == nullptr) return;
  // mmap returns a page-aligned address, so the rounding is a no-op in practice; it keeps
  // munmap's alignment requirement satisfied whatever address the owner holds.
  const auto addr = reinterpret_cast<uintptr_t>(data_);
  const uintptr_t base = addr & ~(uintptr_t{page_size()} - 1);
  size_t len = mapped_ + (addr - base);
  if (len == 0) len = 1;
  (void)::munmap(reinterpret_cast<void*>(base), len);
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

Expected<MappedFile, std::string> MappedFile::open(const std::string& path) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return unexpected(std::string(kNulByteText));
  }
  // Non-blocking, so that a FIFO at the path fails (it cannot be mapped) instead of
  // waiting forever for a writer; for regular files the flag changes nothing.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return unexpected(os_error_text(errno));

  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return unexpected(os_error_text(errno));
  // A device may well be mappable (/dev/zero is), but its size says nothing about its
  // content; only a regular file is an index. ENODEV, as mmap gives for a FIFO.
  if (!S_ISREG(st.st_mode)) return unexpected(os_error_text(ENODEV));
  const auto size = static_cast<size_t>(st.st_size);

  // mmap rejects length 0; an empty file is mapped with one byte that is never read.
  const size_t mapped = size == 0 ? 1 : size;
  void* addr = ::mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) return unexpected(os_error_text(errno));
  return MappedFile(static_cast<const uint8_t*>(addr), size, mapped);
}

}  // namespace korvel
