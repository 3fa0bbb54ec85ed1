// Atomic whole-file replacement used by save() for the data file and the sidecar: staged
// files committed together, or one file at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace korvel {

// A file written in full beside its target but not yet in place: an unnamed file in the
// directory of the target (a named temporary file where the file system has no unnamed
// files), flushed to stable storage. commit() names it and renames it over the target;
// sync() then flushes the directory. Destroying a StagedFile that was not committed removes
// it, and a process killed before commit leaves nothing behind when the file was unnamed.
// Staging every file of a set before committing any of them means that a write failure (a
// full disk, a file size limit) leaves the whole previous set untouched; naming them all
// first, then committing them, then syncing keeps their renames back to back.
class StagedFile {
 public:
  // Stages `bytes` for `path` (a symlink at `path` is followed: its target is replaced).
  // Error: as write_file_atomic.
  [[nodiscard]] static Expected<StagedFile, std::string> write(const std::string& path,
                                                               std::span<const uint8_t> bytes);
  // Gives an unnamed file its temporary name (commit() does it when not done before).
  // Error: the OS error text of the link or the close.
  [[nodiscard]] Expected<void, std::string> name();
  // Renames the file over the target. Error: the OS error text of the naming or of the
  // rename (the temporary file is then removed).
  [[nodiscard]] Expected<void, std::string> commit();
  // Flushes the target's directory, making a commit durable. Error: its OS error text.
  [[nodiscard]] Expected<void, std::string> sync() const;

  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&&) = delete;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

 private:
  StagedFile(UniqueFd unnamed, std::string temp, std::string target, std::string dir,
             std::string base)
      : unnamed_(std::move(unnamed)),
        temp_(std::move(temp)),
        target_(std::move(target)),
        dir_(std::move(dir)),
        base_(std::move(base)) {}
  UniqueFd unnamed_;  // the unnamed file until commit() links it
  std::string temp_;  // the named temporary file; empty once committed or moved from
  std::string target_;
  std::string dir_;
  std::string base_;
};

// Writes `bytes` to a new temporary file in the directory of `path` (created with mode 0666
// less the umask, close-on-exec), flushes it to stable storage, renames it over `path` and
// flushes the directory. On any failure the temporary file is removed and whatever was at
// `path` is unchanged. A symlink at `path` is followed: its target is replaced.
// Error: the OS error text of the failing call, the NUL-byte text when `path` holds a NUL,
// or the short-write text when write() makes no progress.
Expected<void, std::string> write_file_atomic(const std::string& path,
                                              std::span<const uint8_t> bytes);

}  // namespace korvel
