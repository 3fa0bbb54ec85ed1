// StagedFile, commit_together and write_file_atomic. A regular file is replaced by renaming a
// flushed staging file over it: writing in place would leave a half-written file after a
// failure and pull pages out from under any process that has the old file mapped; a rename
// does neither. Everything else at a path is written as a plain open would write it.
#include "common/file_write.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "common/os_error.h"
#include "common/unique_fd.h"

namespace korvel {
namespace {

constexpr size_t kMaxWriteChunk = 2147483647;
constexpr size_t kTempBaseChars = 64;  // keeps temporary names well under NAME_MAX
constexpr int kTempAttempts = 100;
constexpr int kMaxSymlinkHops = 40;  // the kernel's own limit before ELOOP

// Owner of a temporary file's name: unlinks it on destruction unless committed.
class TempFileOwner {
 public:
  TempFileOwner() = default;
  TempFileOwner(const TempFileOwner&) = delete;
  TempFileOwner& operator=(const TempFileOwner&) = delete;
  ~TempFileOwner() {
    if (!path_.empty()) (void)::unlink(path_.c_str());
  }
  void own(std::string path) { path_ = std::move(path); }
  void commit() noexcept { path_.clear(); }
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

// The file to replace: `path`, or the file its chain of symlinks ends at, so that renaming
// over it keeps the links. A dangling link resolves to the file it names, which is then
// created, as opening through the link would.
Expected<std::string, std::string> resolve_target(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops <= kMaxSymlinkHops; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
    std::vector<char> buf(PATH_MAX);
    const ssize_t len = ::readlink(target.c_str(), buf.data(), buf.size());
    if (len < 0) return unexpected(os_error_text(errno));
    if (static_cast<size_t>(len) == buf.size()) return unexpected(os_error_text(ENAMETOOLONG));
    std::string link(buf.data(), static_cast<size_t>(len));
    if (link.empty() || link[0] != '/') {
      const size_t slash = target.rfind('/');
      if (slash != std::string::npos) link = target.substr(0, slash + 1) + link;
    }
    target = std::move(link);
  }
  return unexpected(os_error_text(ELOOP));
}

// Splits `path` into its directory ("." when it has none) and its last component.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string temp_name(const std::string& dir, const std::string& base) {
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return dir + "/." + base.substr(0, kTempBaseChars) + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(n);
}

// Creates a fresh temporary file in `dir` with `mode` (less the umask). Error: an errno value.
Expected<UniqueFd, int> create_temp(const std::string& dir, const std::string& base, mode_t mode,
                                    TempFileOwner& owner) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string name = temp_name(dir, base);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      owner.own(std::move(name));
      return UniqueFd(fd);
    }
    if (errno != EEXIST) return unexpected(errno);
  }
  return unexpected(EEXIST);
}

Expected<void, std::string> write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const size_t chunk = std::min(bytes.size(), kMaxWriteChunk);
    const ssize_t written = ::write(fd, bytes.data(), chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return unexpected(os_error_text(errno));
    }
    if (written == 0) return unexpected(std::string(kShortWriteText));
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return {};
}

// Makes the rename durable. The new content is already in place, so only real I/O errors
// are reported: a file system without directory fsync (EINVAL) and a directory we may not
// open for reading (EACCES) cannot be flushed and are not failures of the write.
Expected<void, std::string> sync_directory(const std::string& dir) {
  UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dfd.valid()) {
    if (errno == EACCES) return {};
    return unexpected(os_error_text(errno));
  }
  if (::fsync(dfd.get()) != 0 && errno != EINVAL) return unexpected(os_error_text(errno));
  return {};
}

// An unnamed file in `dir` (O_TMPFILE): if the process dies before commit, nothing is left
// behind. Returns an invalid descriptor, without error, when the file system or kernel
// cannot make one; the caller then uses a named temporary file. Error: an errno value.
Expected<UniqueFd, int> create_unnamed(const std::string& dir, mode_t mode) {
  UniqueFd fd(::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
  if (fd.valid()) return fd;
  // EISDIR: a kernel without O_TMPFILE; EOPNOTSUPP/EINVAL: a file system without it.
  if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL) return UniqueFd();
  return unexpected(errno);
}

// Gives the unnamed file behind `fd` the name `name`: through /proc, or with AT_EMPTY_PATH
// where /proc is not mounted (that needs privileges). Returns 0 or an errno value.
int link_unnamed(int fd, const std::string& name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  return errno;
}

// Gives a staging file the owner, group and permission bits of the file it replaces. The
// owner is kept where the process may set it, else at least the group where it may; the
// bits are set last because a change of owner clears the set-user-ID and set-group-ID bits.
Expected<void, std::string> copy_attributes(int fd, const struct stat& old) {
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) return unexpected(os_error_text(errno));
  return {};
}

// How creating a staging file fails where the process may write the target but may not
// create files in its directory.
bool cannot_create_in_directory(int err) { return err == EACCES || err == EPERM; }

int (*g_rename_fault)(const std::string& target) = nullptr;

int rename_staged(const std::string& from, const std::string& to) {
  if (g_rename_fault != nullptr) {
    if (const int err = g_rename_fault(to); err != 0) return err;
  }
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

Expected<void, std::string> write_all(int fd, std::span<const std::span<const uint8_t>> pieces) {
  for (std::span<const uint8_t> piece : pieces) KORVEL_TRY(write_all(fd, piece));
  return {};
}

}  // namespace

Expected<StagedFile, std::string> StagedFile::write(const std::string& path,
                                                    std::span<const uint8_t> bytes) {
  const std::span<const uint8_t> pieces[] = {bytes};
  return write(path, pieces);
}

Expected<StagedFile, std::string> StagedFile::write(
    const std::string& path, std::span<const std::span<const uint8_t>> pieces) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return unexpected(std::string(kNulByteText));
  }
  auto resolved = resolve_target(path);
  if (!resolved) return unexpected(std::move(resolved).error());
  StagedFile f;
  f.target_ = std::move(resolved).value();
  std::tie(f.dir_, f.base_) = split_path(f.target_);

  // Opening the target for writing judges the permission exactly as a plain open would. It
  // must not block on a FIFO without a reader (that fails with ENXIO instead); the writes
  // into a FIFO or device block as usual.
  UniqueFd existing(::open(f.target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat old {};
  if (existing.valid()) {
    const int flags = ::fcntl(existing.get(), F_GETFL);
    if (flags < 0 || ::fcntl(existing.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ::fstat(existing.get(), &old) != 0) {
      return unexpected(os_error_text(errno));
    }
    if (!S_ISREG(old.st_mode)) {  // a FIFO or a device is written, never replaced
      f.fd_ = std::move(existing);
      f.in_place_ = true;
      f.pending_.assign(pieces.begin(), pieces.end());
      return f;
    }
  } else if (errno != ENOENT) {
    return unexpected(os_error_text(errno));
  }
  const bool replaces = existing.valid();
  // A replacement stays private to its owner until it has the old file's attributes.
  const mode_t mode = replaces ? 0600 : 0666;

  TempFileOwner temp;  // declared before the descriptor: closed first, then unlinked
  UniqueFd fd;
  int create_err = 0;
  if (auto unnamed = create_unnamed(f.dir_, mode); !unnamed) {
    create_err = unnamed.error();
  } else if (unnamed->valid()) {
    fd = std::move(unnamed).value();
  } else if (auto created = create_temp(f.dir_, f.base_, mode, temp); !created) {
    create_err = created.error();
  } else {
    fd = std::move(created).value();
  }
  if (create_err != 0) {
    if (replaces && cannot_create_in_directory(create_err)) {
      f.fd_ = std::move(existing);
      f.in_place_ = true;
      f.truncate_ = true;
      f.pending_.assign(pieces.begin(), pieces.end());
      return f;
    }
    return unexpected(os_error_text(create_err));
  }
  if (replaces) KORVEL_TRY(copy_attributes(fd.get(), old));
  KORVEL_TRY(write_all(fd.get(), pieces));
  if (::fsync(fd.get()) != 0) return unexpected(os_error_text(errno));
  if (temp.path().empty()) {
    f.fd_ = std::move(fd);  // unnamed until commit
    return f;
  }
  if (const int err = fd.close_checked(); err != 0) return unexpected(os_error_text(err));
  f.temp_ = temp.path();
  temp.commit();  // from here the StagedFile owns the name
  return f;
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      temp_(std::exchange(other.temp_, std::string())),
      backup_(std::exchange(other.backup_, std::string())),
      replaced_(std::exchange(other.replaced_, false)),
      in_place_(other.in_place_),
      truncate_(other.truncate_),
      pending_(std::move(other.pending_)),
      target_(std::move(other.target_)),
      dir_(std::move(other.dir_)),
      base_(std::move(other.base_)) {}

// Removes the staging file of a file never committed, and puts back the previous file of a
// commit cut short by an exception.
StagedFile::~StagedFile() { roll_back(); }

Expected<void, std::string> StagedFile::name() {
  if (in_place_ || !fd_.valid()) return {};
  int err = EEXIST;
  for (int attempt = 0; attempt < kTempAttempts && err == EEXIST; ++attempt) {
    std::string name = temp_name(dir_, base_);
    err = link_unnamed(fd_.get(), name);
    if (err == 0) temp_ = std::move(name);
  }
  if (err != 0) return unexpected(os_error_text(err));
  if (const int close_err = fd_.close_checked(); close_err != 0) {
    return unexpected(os_error_text(close_err));  // the destructor removes the name
  }
  return {};
}

Expected<void, std::string> StagedFile::replace() {
  // The file being replaced stays reachable until the whole set is in place: through a
  // second link, or renamed aside where the file system or the process cannot link it.
  std::string backup = temp_name(dir_, base_);
  bool aside = false;
  if (::link(target_.c_str(), backup.c_str()) != 0) {
    if (errno == ENOENT) {
      backup.clear();  // nothing to replace
    } else if (::rename(target_.c_str(), backup.c_str()) == 0) {
      aside = true;
    } else {
      const int err = errno;
      (void)::unlink(temp_.c_str());
      temp_.clear();
      return unexpected(os_error_text(err));
    }
  }
  if (const int err = rename_staged(temp_, target_); err != 0) {
    if (aside) {
      (void)::rename(backup.c_str(), target_.c_str());
    } else if (!backup.empty()) {
      (void)::unlink(backup.c_str());
    }
    (void)::unlink(temp_.c_str());
    temp_.clear();
    return unexpected(os_error_text(err));
  }
  temp_.clear();
  backup_ = std::move(backup);
  replaced_ = true;
  return {};
}

void StagedFile::roll_back() noexcept {
  if (!temp_.empty()) {
    (void)::unlink(temp_.c_str());
    temp_.clear();
  }
  if (!replaced_) return;
  replaced_ = false;
  if (backup_.empty()) {
    (void)::unlink(target_.c_str());
  } else {
    (void)::rename(backup_.c_str(), target_.c_str());
    backup_.clear();
  }
}

void StagedFile::drop_backup() noexcept {
  if (!backup_.empty()) (void)::unlink(backup_.c_str());
  backup_.clear();
  replaced_ = false;
}

Expected<void, std::string> StagedFile::write_in_place() {
  if (truncate_ && ::ftruncate(fd_.get(), 0) != 0) return unexpected(os_error_text(errno));
  KORVEL_TRY(write_all(fd_.get(), pending_));
  if (truncate_ && ::fsync(fd_.get()) != 0) return unexpected(os_error_text(errno));
  if (const int err = fd_.close_checked(); err != 0) return unexpected(os_error_text(err));
  return {};
}

Expected<void, CommitError> commit_together(std::span<StagedFile* const> files) {
  for (size_t i = 0; i < files.size(); ++i) {
    if (auto named = files[i]->name(); !named) {
      return unexpected(CommitError{i, std::move(named).error()});
    }
  }
  // From the first rename on, a failure puts back every file already replaced and removes
  // every staging file.
  auto fail = [&](size_t i, std::string text) {
    for (size_t j = files.size(); j-- > 0;) files[j]->roll_back();
    return unexpected(CommitError{i, std::move(text)});
  };
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i]->in_place_) continue;
    if (auto replaced = files[i]->replace(); !replaced) return fail(i, std::move(replaced).error());
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (!files[i]->in_place_) continue;
    if (auto w = files[i]->write_in_place(); !w) return fail(i, std::move(w).error());
  }
  // The previous files are let go before the directories are flushed, so that a process
  // killed during the (slow) flush leaves no extra link behind. The new set is complete and
  // consistent by then: a failed flush is reported but not rolled back.
  for (StagedFile* f : files) f->drop_backup();
  const std::string* synced = nullptr;
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i]->in_place_ || (synced != nullptr && *synced == files[i]->dir_)) continue;
    if (auto s = sync_directory(files[i]->dir_); !s) {
      return unexpected(CommitError{i, std::move(s).error()});
    }
    synced = &files[i]->dir_;
  }
  return {};
}

Expected<void, std::string> write_file_atomic(const std::string& path,
                                              std::span<const uint8_t> bytes) {
  auto staged = StagedFile::write(path, bytes);
  if (!staged) return unexpected(std::move(staged).error());
  StagedFile* const one[] = {&*staged};
  if (auto committed = commit_together(one); !committed) {
    return unexpected(std::move(committed).error().text);
  }
  return {};
}

void set_rename_fault_for_testing(int (*fault)(const std::string& target)) {
  g_rename_fault = fault;
}

}  // namespace korvel
