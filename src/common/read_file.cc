#include "common/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/os_error.h"
#include "common/unique_fd.h"

namespace korvel {

Expected<std::string, std::string> read_file_to_string(const std::string& path) {
  if (path.find('\0') != std::string::npos) return unexpected(std::string(kNulByteText));
  // Non-blocking open: a FIFO does not wait for a writer before it is refused below.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return unexpected(os_error_text(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return unexpected(os_error_text(errno));
  // Only a regular file has an end: a character device (/dev/zero) or a FIFO with a writer
  // would be read until memory runs out. Refused as mapping one is (ENODEV); a directory
  // keeps the error its read gives.
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return unexpected(os_error_text(ENODEV));
  std::string out;
  // The size is a hint (the file may change, or be a pipe); reads go on until end of file.
  out.resize(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096);
  size_t used = 0;
  while (true) {
    if (used == out.size()) out.resize(out.size() * 2);
    ssize_t n = ::read(fd.get(), out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(os_error_text(errno));
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  return out;
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    if (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t min_cp;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2, min_cp = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min_cp = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min_cp = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace korvel
