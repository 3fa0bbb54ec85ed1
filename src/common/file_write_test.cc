#include "common/file_write.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = testing::TempDir() + "korvel_write_XXXXXX";
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names in the directory, to see that no temporary file is left behind.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
};

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(WriteFileAtomic, WritesAndReplacesWholeContent) {
  TempDir dir;
  const std::string path = dir.file("data.korvix");
  std::vector<uint8_t> big(1 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + 7);
  ASSERT_TRUE(write_file_atomic(path, big));
  EXPECT_EQ(read_all(path), std::string(big.begin(), big.end()));
  ASSERT_TRUE(write_file_atomic(path, bytes_of("short")));
  EXPECT_EQ(read_all(path), "short");
  ASSERT_TRUE(write_file_atomic(path, {}));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"data.korvix"});
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(WriteFileAtomic, NewFilesFollowTheUmaskReplacedFilesKeepTheirAttributes) {
  TempDir dir;
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    ScopedUmask scoped(mask);
    const std::string fresh = dir.file("new"), kept = dir.file("existing");
    ASSERT_TRUE(write_file_atomic(fresh, bytes_of("x")));
    EXPECT_EQ(mode_of(fresh) & 07777, 0666 & ~mask) << "umask " << std::oct << mask;
    for (mode_t old : {mode_t{0600}, mode_t{0640}, mode_t{0664}}) {
      std::ofstream(kept) << "old";
      ::chmod(kept.c_str(), old);
      ASSERT_TRUE(write_file_atomic(kept, bytes_of("x")));
      EXPECT_EQ(mode_of(kept) & 07777, old) << "umask " << std::oct << mask;
      ::unlink(kept.c_str());
    }
    ::unlink(fresh.c_str());
  }
  // Owner and group are kept where the process may set them (root may).
  const std::string owned = dir.file("owned");
  std::ofstream(owned) << "old";
  if (::geteuid() == 0 && ::chown(owned.c_str(), 65534, 65534) == 0) {
    ASSERT_TRUE(write_file_atomic(owned, bytes_of("new")));
    struct stat st;
    ASSERT_EQ(::stat(owned.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  // The rename detaches other hard links: they keep the old content.
  const std::string linked = dir.file("linked");
  ASSERT_TRUE(write_file_atomic(owned, bytes_of("before")));
  ASSERT_EQ(::link(owned.c_str(), linked.c_str()), 0);
  ASSERT_TRUE(write_file_atomic(owned, bytes_of("after")));
  EXPECT_EQ(read_all(owned), "after");
  EXPECT_EQ(read_all(linked), "before");
}

TEST(WriteFileAtomic, FailuresLeaveOldFileAndNoTemporary) {
  TempDir dir;
  EXPECT_EQ(write_file_atomic(dir.file("no/such/dir/f"), bytes_of("x")).error(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(write_file_atomic(std::string("a\0b", 3), bytes_of("x")).error(),
            "file name contained an unexpected NUL byte");

  // A directory is refused by the open, before anything is written.
  fs::create_directory(dir.file("sub"));
  std::ofstream(dir.file("sub/keep")) << "kept";
  auto r = write_file_atomic(dir.file("sub"), bytes_of("x"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Is a directory (os error 21)");
  EXPECT_EQ(read_all(dir.file("sub/keep")), "kept");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"sub"});
}

// Runs `body` without root's permission override: in a child process switched to the user
// nobody when the tests run as root. Returns the body's failure text, empty when it passed.
std::string run_unprivileged(const std::string& dir, std::string (*body)(const std::string&)) {
  if (::geteuid() != 0) return body(dir);
  if (::chown(dir.c_str(), 65534, 65534) != 0) return "chown: " + std::to_string(errno);
  int fds[2];
  if (::pipe(fds) != 0) return "pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string out = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? body(dir) : "setuid";
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

TEST(WriteFileAtomic, WritePermissionIsJudgedAsAPlainOpen) {
  TempDir dir;
  auto body = [](const std::string& d) -> std::string {
    const std::string read_only = d + "/ro", writable = d + "/rw", sub = d + "/sub";
    std::ofstream(read_only) << "old";
    std::ofstream(writable) << "old content";
    ::chmod(read_only.c_str(), 0444);
    ::mkdir(sub.c_str(), 0755);
    // A file the process may not write is refused and stays as it was.
    auto r = write_file_atomic(read_only, bytes_of("new"));
    if (r || r.error() != "Permission denied (os error 13)") return "read-only file replaced";
    if (read_all(read_only) != "old") return "read-only file changed";
    // A writable file in a directory where no file can be created is written in place.
    struct stat before, after;
    ::stat(writable.c_str(), &before);
    ::chmod(d.c_str(), 0555);
    r = write_file_atomic(writable, bytes_of("new"));
    auto fresh = write_file_atomic(d + "/fresh", bytes_of("x"));
    ::chmod(d.c_str(), 0755);
    ::stat(writable.c_str(), &after);
    if (!r) return "in place: " + r.error();
    if (read_all(writable) != "new" || before.st_ino != after.st_ino) return "not in place";
    if (fresh || fresh.error() != "Permission denied (os error 13)") return "created in ro dir";
    return "";
  };
  EXPECT_EQ(run_unprivileged(dir.path(), body), "");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"ro", "rw", "sub"}));
}

TEST(WriteFileAtomic, OtherKindsAreWrittenInPlaceOrRefusedNeverReplaced) {
  TempDir dir;
  // A FIFO without a reader fails at once instead of blocking; with one, it carries the bytes.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(write_file_atomic(fifo, bytes_of("x")).error(),
            "No such device or address (os error 6)");
  UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());
  ASSERT_TRUE(write_file_atomic(fifo, bytes_of("through")));
  char buf[16] = {};
  EXPECT_EQ(::read(reader.get(), buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf), "through");
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));
  // A device (through a link, as a caller might name it) swallows the bytes and stays.
  fs::create_symlink("/dev/null", dir.file("null"));
  const mode_t null_mode = mode_of("/dev/null");
  ASSERT_TRUE(write_file_atomic(dir.file("null"), bytes_of("gone")));
  EXPECT_TRUE(S_ISCHR(mode_of("/dev/null")));
  EXPECT_EQ(mode_of("/dev/null"), null_mode);
  // A socket cannot be opened for writing.
  const std::string sock_path = dir.file("sock");
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, sock_path.c_str(), sizeof addr.sun_path - 1);
  if (sock_path.size() < sizeof addr.sun_path &&
      ::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    EXPECT_EQ(write_file_atomic(sock_path, bytes_of("x")).error(),
              "No such device or address (os error 6)");
    EXPECT_TRUE(S_ISSOCK(mode_of(sock_path)));
  }
  for (const auto& name : dir.names()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST(WriteFileAtomic, MappingOfOldFileStaysReadable) {
  TempDir dir;
  const std::string path = dir.file("mapped.korvix");
  const std::string old_content(3 * 4096 + 5, 'o');
  ASSERT_TRUE(write_file_atomic(path, bytes_of(old_content)));
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  void* map = ::mmap(nullptr, old_content.size(), PROT_READ, MAP_SHARED, fd.get(), 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_TRUE(write_file_atomic(path, bytes_of("tiny")));
  // Writing in place would truncate the mapped file and this read would fault.
  EXPECT_EQ(std::string(static_cast<const char*>(map), old_content.size()), old_content);
  EXPECT_EQ(read_all(path), "tiny");
  ::munmap(map, old_content.size());
}

TEST(WriteFileAtomic, SymlinkTargetIsReplacedAndLinkKept) {
  TempDir dir;
  fs::create_directory(dir.file("real"));
  const std::string target = dir.file("real/target.korvix");
  std::ofstream(target) << "old";
  fs::create_symlink("real/target.korvix", dir.file("link.korvix"));
  ASSERT_TRUE(write_file_atomic(dir.file("link.korvix"), bytes_of("via link")));
  EXPECT_TRUE(fs::is_symlink(dir.file("link.korvix")));
  EXPECT_EQ(read_all(target), "via link");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"link.korvix", "real"}));
  EXPECT_EQ(fs::directory_iterator(dir.file("real"))->path().filename(), "target.korvix");

  // A chain ending in a missing file creates that file, as opening through it would.
  fs::create_symlink("link.korvix", dir.file("chain"));
  fs::create_symlink(dir.file("real/new.korvix"), dir.file("dangling"));
  ASSERT_TRUE(write_file_atomic(dir.file("chain"), bytes_of("chained")));
  ASSERT_TRUE(write_file_atomic(dir.file("dangling"), bytes_of("created")));
  EXPECT_EQ(read_all(target), "chained");
  EXPECT_EQ(read_all(dir.file("real/new.korvix")), "created");
  EXPECT_TRUE(fs::is_symlink(dir.file("chain")));
  EXPECT_TRUE(fs::is_symlink(dir.file("dangling")));

  fs::create_symlink("loop", dir.file("loop"));
  EXPECT_EQ(write_file_atomic(dir.file("loop"), bytes_of("x")).error(),
            "Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(dir.names(),
            (std::vector<std::string>{"chain", "dangling", "link.korvix", "loop", "real"}));
}

TEST(StagedFile, NothingReplacedUntilCommitAndNothingLeftWhenDropped) {
  TempDir dir;
  const std::string a = dir.file("a"), b = dir.file("b");
  std::ofstream(a) << "old a";
  std::ofstream(b) << "old b";
  {
    auto staged_a = StagedFile::write(a, bytes_of("new a"));
    auto staged_b = StagedFile::write(b, bytes_of("new b"));
    ASSERT_TRUE(staged_a && staged_b);
    EXPECT_EQ(read_all(a), "old a");
    EXPECT_EQ(read_all(b), "old b");
    StagedFile moved = std::move(*staged_a);
    StagedFile* const one[] = {&moved};
    ASSERT_TRUE(commit_together(one));
    EXPECT_EQ(read_all(a), "new a");
  }  // b was never committed: its temporary goes, the old file stays
  EXPECT_EQ(read_all(b), "old b");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"a", "b"}));
}

int fail_sidecar_rename(const std::string& target) { return target.ends_with(".meta") ? EIO : 0; }
int fail_every_rename(const std::string&) { return EIO; }

TEST(CommitTogether, AFailedReplacementPutsThePreviousPairBack) {
  TempDir dir;
  const std::string data = dir.file("i.korvix"), meta = data + ".meta";
  for (bool existed : {true, false}) {
    for (auto fault : {fail_sidecar_rename, fail_every_rename}) {
      ::unlink(data.c_str());
      ::unlink(meta.c_str());
      if (existed) {
        std::ofstream(data) << "old data";
        std::ofstream(meta) << "old meta";
      }
      auto staged_data = StagedFile::write(data, bytes_of("new data"));
      auto staged_meta = StagedFile::write(meta, bytes_of("new meta"));
      ASSERT_TRUE(staged_data && staged_meta);
      StagedFile* const pair[] = {&*staged_data, &*staged_meta};
      set_rename_fault_for_testing(fault);
      auto r = commit_together(pair);
      set_rename_fault_for_testing(nullptr);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().file, fault == fail_sidecar_rename ? 1u : 0u);
      EXPECT_EQ(r.error().text, "Input/output error (os error 5)");
      if (existed) {
        EXPECT_EQ(read_all(data), "old data");
        EXPECT_EQ(read_all(meta), "old meta");
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"i.korvix", "i.korvix.meta"}));
      } else {
        EXPECT_TRUE(dir.names().empty());
      }
    }
  }
  auto staged_data = StagedFile::write(data, bytes_of("new data"));
  auto staged_meta = StagedFile::write(meta, bytes_of("new meta"));
  ASSERT_TRUE(staged_data && staged_meta);
  StagedFile* const pair[] = {&*staged_data, &*staged_meta};
  ASSERT_TRUE(commit_together(pair));
  EXPECT_EQ(read_all(data) + read_all(meta), "new datanew meta");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"i.korvix", "i.korvix.meta"}));
}

TEST(StagedFile, ProcessDyingBeforeCommitLeavesNothing) {
  TempDir dir;
  UniqueFd probe(::open(dir.path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (!probe.valid()) GTEST_SKIP() << "no unnamed files on this file system";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto staged = StagedFile::write(dir.file("f"), bytes_of("never committed"));
    ::_exit(staged ? 0 : 1);  // no destructor runs, as when the process is killed
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(dir.names().empty());
}

TEST(WriteFileAtomic, RelativePathInCurrentDirectory) {
  TempDir dir;
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  auto r = write_file_atomic("plain", bytes_of("here"));
  fs::current_path(cwd);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(read_all(dir.file("plain")), "here");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"plain"});
}

}  // namespace
}  // namespace korvel
