#include "common/file_write.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

TEST(WriteFileAtomic, PermissionsFollowTheUmask) {
  TempDir dir;
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    ScopedUmask scoped(mask);
    for (const char* name : {"new", "existing"}) {
      const std::string path = dir.file(name);
      if (std::string(name) == "existing") {
        std::ofstream(path) << "old";
        ::chmod(path.c_str(), 0600);
      }
      ASSERT_TRUE(write_file_atomic(path, bytes_of("x")));
      struct stat st;
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << name << " umask " << std::oct << mask;
      ::unlink(path.c_str());
    }
  }
}

TEST(WriteFileAtomic, FailuresLeaveOldFileAndNoTemporary) {
  TempDir dir;
  EXPECT_EQ(write_file_atomic(dir.file("no/such/dir/f"), bytes_of("x")).error(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(write_file_atomic(std::string("a\0b", 3), bytes_of("x")).error(),
            "file name contained an unexpected NUL byte");

  // Replacing a non-empty directory fails at the rename, after the data was written.
  fs::create_directory(dir.file("sub"));
  std::ofstream(dir.file("sub/keep")) << "kept";
  auto r = write_file_atomic(dir.file("sub"), bytes_of("x"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Is a directory (os error 21)");
  EXPECT_EQ(read_all(dir.file("sub/keep")), "kept");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"sub"});

  const std::string path = dir.file("old.korvix");
  std::ofstream(path) << "old content";
  if (::geteuid() != 0) {  // root ignores directory permissions
    ::chmod(dir.path().c_str(), 0555);
    r = write_file_atomic(path, bytes_of("new"));
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Permission denied (os error 13)");
    EXPECT_EQ(read_all(path), "old content");
  }
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"old.korvix", "sub"}));
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
    ASSERT_TRUE(moved.commit());
    EXPECT_EQ(read_all(a), "new a");
  }  // b was never committed: its temporary goes, the old file stays
  EXPECT_EQ(read_all(b), "old b");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"a", "b"}));

  // A rename that fails removes the temporary too.
  fs::create_directory(dir.file("d"));
  std::ofstream(dir.file("d/keep")) << "kept";
  auto staged = StagedFile::write(dir.file("d"), bytes_of("x"));
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->commit().error(), "Is a directory (os error 21)");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"a", "b", "d"}));
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
