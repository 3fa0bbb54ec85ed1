#include "common/read_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace korvel {
namespace {

TEST(ReadFile, WholeContentAndErrors) {
  const std::string path = ::testing::TempDir() + "read_file_test.bin";
  std::string content(100000, 'x');
  content[5] = '\0';
  content += "\xff";
  std::ofstream(path, std::ios::binary) << content;
  auto r = read_file_to_string(path);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, content);
  std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
  EXPECT_EQ(*read_file_to_string(path), "");
  std::remove(path.c_str());
  EXPECT_EQ(read_file_to_string(path).error(), "No such file or directory (os error 2)");
  EXPECT_EQ(read_file_to_string(std::string("a\0b", 3)).error(),
            "file name contained an unexpected NUL byte");
  EXPECT_EQ(read_file_to_string("/").error(), "Is a directory (os error 21)");
  // Devices have no end (or no content): refused before any read.
  for (const char* device : {"/dev/zero", "/dev/urandom", "/dev/full", "/dev/null"}) {
    EXPECT_EQ(read_file_to_string(device).error(), "No such device (os error 19)") << device;
  }
}

TEST(Utf8, AcceptsWellFormedRejectsTheRest) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii text, longer than eight bytes", true},
      {"caf\xc3\xa9", true},
      {"\xe6\x97\xa5\xe6\x9c\xac", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF
      {"\xef\xbb\xbf{}", true},    // byte-order mark is valid UTF-8
      {"\xff", false},
      {"\xc3", false},  // truncated
      {"abcdefgh\xc3", false},
      {"\xc0\xaf", false},          // overlong '/'
      {"\xe0\x80\xaf", false},      // overlong
      {"\xed\xa0\x80", false},      // surrogate U+D800
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\x80", false},              // lone continuation
      {"\xe6\x97\x41", false},      // bad continuation
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text;
}

}  // namespace
}  // namespace korvel
