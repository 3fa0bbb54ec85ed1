// Whole-file writes that respect what is already at the path: staged files that replace their
// targets together or not at all (used by save() for the data file and the sidecar), and the
// one-file form of the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace korvel {

// Which file of a set failed, and the OS error text (or fixed text) of the failure.
struct CommitError {
  size_t file;
  std::string text;
};

class StagedFile;

// Puts every file of `files` in place, or none of them. The renamed files go first, in
// order, back to back, then the in-place files are written, then their directories are
// flushed. On a failure of a rename or an in-place write each file already renamed is put
// back: the previous file (kept reachable through an extra link until then) or, where there
// was none, no file. A failed directory flush comes after the set is complete and is only
// reported. Only a process killed between the renames, or an in-place write that fails
// after others succeeded, leaves a mixed set. Error: the index of the failing file and its
// text.
[[nodiscard]] Expected<void, CommitError> commit_together(std::span<StagedFile* const> files);

// A file written in full but not yet in place. What happens at commit depends on what is at
// the target (a symlink at the path is followed: its target is meant):
// - nothing, or a regular file: the bytes go to an unnamed file in the target's directory (a
//   named temporary file where the file system has no unnamed files), flushed to stable
//   storage, which commit renames over the target. A replaced file keeps its permission bits,
//   and its owner and group where the process may set them; a new file gets 0666 less the
//   umask. The rename detaches other hard links of the old file: they keep the old content.
// - a regular file in a directory where the process may not create files: the target is
//   written in place at commit, truncated first. This is the one case without atomic
//   replacement.
// - anything else (a FIFO, a device): never replaced, written in place at commit as a plain
//   open for writing would. Nothing to write to is refused with the system's own error: a
//   directory (EISDIR), a socket or a FIFO that no process reads (ENXIO, instead of blocking).
// Write permission is judged by opening the target for writing, as a plain open would.
// Destroying a StagedFile that was not committed removes its staging file; a process killed
// before commit leaves nothing behind when the staging file was unnamed.
class StagedFile {
 public:
  // Stages `bytes` for `path`. REQUIRES: when in_place(), `bytes` stay valid until the commit.
  // Error: the OS error text of the failing call, the NUL-byte text when `path` holds a NUL,
  // or the short-write text when write() makes no progress.
  [[nodiscard]] static Expected<StagedFile, std::string> write(const std::string& path,
                                                               std::span<const uint8_t> bytes);
  // The same for a file made of `pieces` written back to back, so that a file whose sections
  // already sit in separate buffers needs no second, contiguous image. REQUIRES: when
  // in_place(), the pieces' bytes stay valid until the commit (the list itself is copied).
  [[nodiscard]] static Expected<StagedFile, std::string> write(
      const std::string& path, std::span<const std::span<const uint8_t>> pieces);

  // True when the bytes are written into the target itself at commit.
  bool in_place() const noexcept { return in_place_; }

  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&&) = delete;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

 private:
  friend Expected<void, CommitError> commit_together(std::span<StagedFile* const> files);
  StagedFile() = default;

  [[nodiscard]] Expected<void, std::string> name();
  [[nodiscard]] Expected<void, std::string> replace();
  void roll_back() noexcept;
  void drop_backup() noexcept;
  [[nodiscard]] Expected<void, std::string> write_in_place();

  UniqueFd fd_;            // the unnamed staging file until named, or the target when in place
  std::string temp_;       // the named staging file; empty once renamed or moved from
  std::string backup_;     // a name of the replaced file until the whole set is committed
  bool replaced_ = false;  // renamed over the target and not yet final
  bool in_place_ = false;
  bool truncate_ = false;                          // in place over a regular file
  std::vector<std::span<const uint8_t>> pending_;  // in place: the pieces to write
  std::string target_;
  std::string dir_;
  std::string base_;
};

// StagedFile::write then commit_together for one file. Error: as StagedFile::write.
[[nodiscard]] Expected<void, std::string> write_file_atomic(const std::string& path,
                                                            std::span<const uint8_t> bytes);

// Test seam: when set, called with the target before each rename of a staged file over it;
// a nonzero result fails that rename with that errno value. Not thread-safe.
void set_rename_fault_for_testing(int (*fault)(const std::string& target));

}  // namespace korvel
