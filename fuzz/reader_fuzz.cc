// libFuzzer target for the data-file reader: any bytes, given as a file, must open or fail
// cleanly; a file that opens must keep every accessor inside its mapping for every record.
// The input goes into one in-memory file that is opened by its /proc path each run.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mmap_reader/index_reader.h"

namespace {

int input_file() {
  static const int fd = [] {
    const int made = memfd_create("reader_fuzz", MFD_CLOEXEC);
    if (made < 0) std::abort();
    return made;
  }();
  return fd;
}

void write_input(const uint8_t* data, size_t size) {
  const int fd = input_file();
  if (ftruncate(fd, 0) != 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  write_input(data, size);
  static const std::string path = "/proc/self/fd/" + std::to_string(input_file());
  auto opened = korvel::IndexReader::open(path);
  if (!opened) {
    (void)korvel::to_string(opened.error());
    return 0;
  }
  const korvel::IndexReader& reader = *opened;
  const korvel::Layout& layout = reader.layout();
  if (reader.mapped_len() != size || layout.total_size > size) std::abort();

  // Reads every byte a query can reach, so ASan reports a section placed past the mapping.
  unsigned sum = 0;
  for (uint8_t b : reader.code_planes()) sum += b;
  const uint64_t n = reader.record_count();
  for (uint64_t i = 0; i < n; ++i) {
    auto sig = reader.signature(i);
    if (!sig || sig->size() != layout.signature_size) std::abort();
    for (uint8_t b : *sig) sum += b;
    auto offset = reader.external_offset(i);
    if (!offset) std::abort();
    if (offset->has_value() && **offset == korvel::kNoExternalOffset) std::abort();
  }
  if (reader.signature(n) || reader.external_offset(n)) std::abort();
  if (reader.signature(~uint64_t{0}) || reader.external_offset(~uint64_t{0})) std::abort();
  // Keeps the reads from being optimised away.
  __asm__ volatile("" : : "g"(sum) : "memory");
  return 0;
}
