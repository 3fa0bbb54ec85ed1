#include "build/save.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "build/bulk_writer.h"
#include "common/file_write.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SaveIndex, AFailedSidecarReplacementLeavesThePreviousPair) {
  std::string tmpl = testing::TempDir() + "korvel_save_XXXXXX";
  const std::string dir = ::mkdtemp(tmpl.data());
  const std::string path = dir + "/i.korvix";
  auto first = BulkWriter::create({"a"}, 8);
  ASSERT_TRUE(first && first->save(path));
  const std::string data = read_all(path), meta = read_all(path + ".meta");

  auto second = BulkWriter::create({"b"}, 16);  // a different pair
  ASSERT_TRUE(second);
  set_rename_fault_for_testing(
      [](const std::string& target) { return target.ends_with(".meta") ? EIO : 0; });
  auto saved = second->save(path);
  set_rename_fault_for_testing(nullptr);
  ASSERT_FALSE(saved);
  EXPECT_EQ(to_string(saved.error()),
            "Failed to write metadata '" + path + ".meta': Input/output error (os error 5)");
  EXPECT_EQ(read_all(path), data);
  EXPECT_EQ(read_all(path + ".meta"), meta);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvel
