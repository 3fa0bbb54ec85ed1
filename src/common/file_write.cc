// StagedFile and write_file_atomic: write a temporary (preferably unnamed) file beside the
// target, flush it, rename it over the target. Writing in place would leave a half-written
// file after a failure and pull pages out from under any process that has the old file
// mapped; a rename does neither.
#include "common/file_write.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
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

// Creates a fresh temporary file in `dir`, mode 0666 less the umask like any new file.
Expected<UniqueFd, std::string> create_temp(const std::string& dir, const std::string& base,
                                            TempFileOwner& owner) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string name = temp_name(dir, base);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      owner.own(std::move(name));
      return UniqueFd(fd);
    }
    if (errno != EEXIST) return unexpected(os_error_text(errno));
  }
  return unexpected(os_error_text(EEXIST));
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
// cannot make one; the caller then uses a named temporary file.
Expected<UniqueFd, std::string> create_unnamed(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (fd.valid()) return fd;
  // EISDIR: a kernel without O_TMPFILE; EOPNOTSUPP/EINVAL: a file system without it.
  if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL) return UniqueFd();
  return unexpected(os_error_text(errno));
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

}  // namespace

Expected<StagedFile, std::string> StagedFile::write(const std::string& path,
                                                    std::span<const uint8_t> bytes) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return unexpected(std::string(kNulByteText));
  }
  auto resolved = resolve_target(path);
  if (!resolved) return unexpected(std::move(resolved).error());
  std::string target = std::move(resolved).value();
  auto [dir, base] = split_path(target);

  auto unnamed = create_unnamed(dir);
  if (!unnamed) return unexpected(std::move(unnamed).error());
  if (unnamed->valid()) {
    UniqueFd fd = std::move(unnamed).value();
    if (auto written = write_all(fd.get(), bytes); !written) {
      return unexpected(std::move(written).error());
    }
    if (::fsync(fd.get()) != 0) return unexpected(os_error_text(errno));
    return StagedFile(std::move(fd), std::string(), std::move(target), std::move(dir),
                      std::move(base));
  }

  TempFileOwner temp;  // declared before the descriptor: closed first, then unlinked
  auto created = create_temp(dir, base, temp);
  if (!created) return unexpected(std::move(created).error());
  UniqueFd fd = std::move(created).value();

  if (auto written = write_all(fd.get(), bytes); !written) {
    return unexpected(std::move(written).error());
  }
  if (::fsync(fd.get()) != 0) return unexpected(os_error_text(errno));
  if (const int err = fd.close_checked(); err != 0) return unexpected(os_error_text(err));
  std::string temp_path = temp.path();
  temp.commit();  // from here the StagedFile owns the name
  return StagedFile(UniqueFd(), std::move(temp_path), std::move(target), std::move(dir),
                    std::move(base));
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : unnamed_(std::move(other.unnamed_)),
      temp_(std::exchange(other.temp_, std::string())),
      target_(std::move(other.target_)),
      dir_(std::move(other.dir_)),
      base_(std::move(other.base_)) {}

StagedFile::~StagedFile() {
  if (!temp_.empty()) (void)::unlink(temp_.c_str());
}

Expected<void, std::string> StagedFile::name() {
  if (!unnamed_.valid()) return {};
  int err = EEXIST;
  for (int attempt = 0; attempt < kTempAttempts && err == EEXIST; ++attempt) {
    std::string name = temp_name(dir_, base_);
    err = link_unnamed(unnamed_.get(), name);
    if (err == 0) temp_ = std::move(name);
  }
  if (err != 0) return unexpected(os_error_text(err));
  if (const int close_err = unnamed_.close_checked(); close_err != 0) {
    return unexpected(os_error_text(close_err));  // the destructor removes the name
  }
  return {};
}

Expected<void, std::string> StagedFile::commit() {
  if (auto named = name(); !named) return named;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    (void)::unlink(temp_.c_str());
    temp_.clear();
    return unexpected(os_error_text(err));
  }
  temp_.clear();
  return {};
}

Expected<void, std::string> StagedFile::sync() const { return sync_directory(dir_); }

Expected<void, std::string> write_file_atomic(const std::string& path,
                                              std::span<const uint8_t> bytes) {
  auto staged = StagedFile::write(path, bytes);
  if (!staged) return unexpected(std::move(staged).error());
  if (auto committed = staged->commit(); !committed) return committed;
  return staged->sync();
}

}  // namespace korvel
