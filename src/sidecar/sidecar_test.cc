// Sidecar writer and parser: exact writer text, every parser message with its position,
// the lenient corners of the accepted language, and a seeded write -> read round trip.
#include "sidecar/sidecar.h"

#include <gtest/gtest.h>

#include <random>

namespace korvel {
namespace {

using Entries = std::vector<std::pair<std::string, uint16_t>>;

IndexMetadata make(std::vector<std::string> schema, std::vector<Entries> dicts,
                   std::vector<uint64_t> doc_ids) {
  IndexMetadata m{std::move(schema), {}, std::move(doc_ids)};
  for (const Entries& entries : dicts) {
    TraitDictionary& d = m.dicts.emplace_back();
    for (const auto& [value, code] : entries) d.insert_with_code(value, code);
  }
  return m;
}

std::string wrap(std::string_view schema, std::string_view dicts, std::string_view doc_ids) {
  return "{\"schema\":[" + std::string(schema) + "],\"dicts\":[" + std::string(dicts) +
         "],\"doc_ids\":[" + std::string(doc_ids) + "]}";
}

TEST(SidecarWriter, ExactText) {
  TraitDictionary shuffled;  // inserted out of code order
  shuffled.insert_with_code("z", 2);
  shuffled.insert_with_code("x", 0);
  shuffled.insert_with_code("y", 1);
  IndexMetadata sorted{{"t"}, {shuffled}, {}};
  struct Case {
    IndexMetadata metadata;
    std::string text;
  } cases[] = {
      {make({"color", "size"}, {{{"red", 0}, {"blue", 1}}, {{"S", 0}, {"XL", 1}}},
            {1001, 1002, 1003}),
       R"({"schema":["color","size"],"dicts":[{"red":0,"blue":1},{"S":0,"XL":1}],)"
       R"("doc_ids":[1001,1002,1003]})"},
      {make({"color", "size"}, {{}, {}}, {}),
       R"({"schema":["color","size"],"dicts":[{},{}],"doc_ids":[]})"},
      {make({}, {}, {}), R"({"schema":[],"dicts":[],"doc_ids":[]})"},
      {make({"a\"b\\c"}, {{{"\t\n\r", 65535}, {"", 0}}}, {0, 18446744073709551615u}),
       R"({"schema":["a\"b\\c"],"dicts":[{"":0,"\t\n\r":65535}],)"
       R"("doc_ids":[0,18446744073709551615]})"},
      {sorted, R"({"schema":["t"],"dicts":[{"x":0,"y":1,"z":2}],"doc_ids":[]})"},
  };
  for (const Case& c : cases) EXPECT_EQ(serialize_metadata(c.metadata), c.text);
}

TEST(SidecarWriter, EscapesOnlyFiveCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"\t\n\r\"\\", R"(\t\n\r\"\\)"},
      {"\x01\x0b\x0c\x1f\x7f", "\x01\x0b\x0c\x1f\x7f"},
      {"café 日本", "café 日本"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {R"(\u00e9)", R"(\\u00e9)"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(escape_json_string(in), out) << in;
}

TEST(SidecarParse, AcceptedTexts) {
  struct Case {
    std::string text;
    IndexMetadata expected;
  } cases[] = {
      {R"({"schema":["color","size"],"dicts":[{"red":0,"blue":1},{"S":0,"XL":1}],)"
       R"("doc_ids":[1001,1002,1003]})",
       make({"color", "size"}, {{{"red", 0}, {"blue", 1}}, {{"S", 0}, {"XL", 1}}},
            {1001, 1002, 1003})},
      // Keys in any order, unknown keys ignored.
      {R"({"doc_ids":[7],"extra":{"x":["y"]},"dicts":[{"v":3}],"schema":["t"],"n":1})",
       make({"t"}, {{{"v", 3}}}, {7})},
      // Unicode white space around the object.
      {"\xE3\x80\x80\xC2\xA0\n " + wrap(R"("a")", "{}", "1") + "\xE2\x80\xA9 \xC2\x85\t",
       make({"a"}, {{}}, {1})},
      {wrap(" ", "\xE2\x80\x8A", "\n"), make({}, {}, {})},
      {wrap(R"("a",,"b",)", "", ""), make({"a", "b"}, {}, {})},
      {wrap(R"("a" "b")", "", ""), make({"a", "b"}, {}, {})},
      {wrap("\n\"a\"\n,\n\"b\"\n", "", ""), make({"a", "b"}, {}, {})},
      {wrap(R"("][","}{")", R"({"][":1,"}{":2})", ""),
       make({"][", "}{"}, {{{"][", 1}, {"}{", 2}}}, {})},
      {wrap(R"("q\"x","b\\s","\n\r\t","\/","\u00e9","café")", "", ""),
       make({"q\"x", "b\\s", "\n\r\t", R"(\/)", R"(\u00e9)", "café"}, {}, {})},
      {wrap("", R"({"k" 7},{"k"::7},{"k": : 07},{"k":1,"k":2},{"a":0065535})", ""),
       make({}, {{{"k", 7}}, {{"k", 7}}, {{"k", 7}}, {{"k", 2}}, {{"a", 65535}}}, {})},
      {wrap("", "\n{},,{ \"a\":1\"b\":2\n,\"\\u00e9\":3 }\n", ""),
       make({}, {{}, {{"a", 1}, {"b", 2}, {R"(\u00e9)", 3}}}, {})},
      {wrap("", "", "1, 2,,+3 ,"), make({}, {}, {1, 2, 3})},
      {wrap("", "",
            "18446744073709551615,0,00042,\xC2\xA0 7\t,\xE3\x80\x80"
            "8"),
       make({}, {}, {18446744073709551615u, 0, 42, 7, 8})},
  };
  for (const Case& c : cases) {
    auto parsed = parse_metadata(c.text);
    ASSERT_TRUE(parsed) << c.text << " -> " << parsed.error();
    EXPECT_EQ(*parsed, c.expected) << c.text;
  }
}

TEST(SidecarParse, FailureMessages) {
  const std::string kNotObject = "Invalid metadata format: not a JSON object";
  const std::pair<std::string, std::string> cases[] = {
      {"", kNotObject},
      {" \t\r\n\xE3\x80\x80", kNotObject},
      {"[]", kNotObject},
      {"{", kNotObject},
      {"\xEF\xBB\xBF" + wrap("", "", ""), kNotObject},  // byte-order mark
      {"x" + wrap("", "", ""), kNotObject},
      {wrap("", "", "") + "\n;", kNotObject},
      {"{}", "Missing 'schema' field"},
      {R"({ "schema": ["a"], "dicts": [{}], "doc_ids": [] })", "Missing 'schema' field"},
      {R"({"schema":["a"})", "Malformed schema array"},
      {R"({"schema":["]"})", "Malformed schema array"},
      {wrap(R"("a",b)", "", ""), "Expected '\"' at position 4"},
      {wrap("\"a\",\t\"b\"", "", ""), "Expected '\"' at position 4"},
      {wrap("\"a\"\r\"b\"", "", ""), "Expected '\"' at position 3"},
      {wrap("\"a\"\xC2\xA0\"b\"", "", ""), "Expected '\"' at position 3"},
      {wrap("\xE3\x80\x80 x", "", ""), "Expected '\"' at position 0"},
      // Schema is checked first wherever its key appears.
      {R"({"dicts":[5],"schema":[x]})", "Expected '\"' at position 0"},
      {R"({"schema":["a"],"doc_ids":[]})", "Missing 'dicts' field"},
      {R"({"schema":["a"],"dicts" :[],"doc_ids":[]})", "Missing 'dicts' field"},
      {R"({"schema":[],"dicts":[{}})", "Malformed dicts array"},
      {wrap("", "{},[]", ""), "Expected '{' at position 3"},
      {wrap("", " \t 5", ""), "Expected '{' at position 0"},
      {wrap("", R"({"a":1)", ""), "Malformed dict object"},
      {wrap("", R"({"k":-1})", ""), "Invalid number '' for key 'k'"},
      {wrap("", R"({"k":})", ""), "Invalid number '' for key 'k'"},
      {wrap("", R"({"k":70000})", ""), "Invalid number '70000' for key 'k'"},
      {wrap("", R"({"k":65536})", ""), "Invalid number '65536' for key 'k'"},
      {wrap("", R"({"k\n":x})", ""), "Invalid number '' for key 'k\n'"},
      {wrap("", R"({"k":1.5})", ""), "Expected '\"' for key at position 5"},
      {wrap("", R"({"a":1},{b:2})", ""), "Expected '\"' for key at position 0"},
      {wrap("", "{ \xE3\x80\x80\"a\":1 x}", ""), "Expected '\"' for key at position 6"},
      {R"({"schema":[],"dicts":[]})", "Missing 'doc_ids' field"},
      {R"({"schema":[],"dicts":[],"doc_ids":[1})", "Malformed doc_ids array"},
      {wrap("", "", "1 2"), "Invalid u64 value '1 2'"},
      {wrap("", "", "18446744073709551616"), "Invalid u64 value '18446744073709551616'"},
      {wrap("", "", "1,-1"), "Invalid u64 value '-1'"},
      {wrap("", "", "+"), "Invalid u64 value '+'"},
      {wrap("", "", "++1"), "Invalid u64 value '++1'"},
      {wrap("", "", "+ 1"), "Invalid u64 value '+ 1'"},
      {wrap("", "", "0x10"), "Invalid u64 value '0x10'"},
      {wrap("", "", "1.0"), "Invalid u64 value '1.0'"},
      {wrap("", "", "\"7\""), "Invalid u64 value '\"7\"'"},
      {wrap("", "", "12 ,\xC2\xA0 3a \xE2\x80\xA8"), "Invalid u64 value '3a'"},
  };
  for (const auto& [text, message] : cases) {
    auto parsed = parse_metadata(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error(), message) << text;
  }
}

TEST(SidecarBracket, FindsPartner) {
  struct Case {
    std::string text;
    size_t open;
    std::optional<size_t> expected;
  } cases[] = {
      {"[]", 0, 1},
      {"[[a][b]]", 0, 7},
      {"[[a][b]]", 1, 3},
      {"x{y}z", 1, 3},
      {R"(["]"])", 0, 4},    // bracket inside a string
      {R"(["\"]"])", 0, 6},  // escaped quote keeps the string open
      {R"({"a\\"})", 0, 6},  // escaped backslash closes it
      {R"([\])", 0, 2},      // a backslash outside strings is plain
      {"[{]", 0, 2},         // the other kind is not counted
      {"{[}", 0, 2},
      {"[[]", 0, std::nullopt},
      {R"(["])", 0, std::nullopt},
      {R"(["\)", 0, std::nullopt},  // escape at the very end
      {"a", 0, std::nullopt},
      {"[]", 5, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find_matching_bracket(c.text, c.open), c.expected) << c.text << " @" << c.open;
  }
}

// Every backslash the writer emits starts one of its five escapes, and the control
// characters it escapes never appear raw.
bool uses_only_writer_escapes(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\t' || text[i] == '\n' || text[i] == '\r') return false;
    if (text[i] != '\\') continue;
    if (i + 1 >= text.size() ||
        std::string_view("tnr\"\\").find(text[i + 1]) == std::string_view::npos) {
      return false;
    }
    ++i;
  }
  return true;
}

TEST(SidecarRoundTrip, RandomMetadataParsesBackEqual) {
  const std::string alphabet[] = {"\"",
                                  "\\",
                                  "\t",
                                  "\n",
                                  "\r",
                                  "[",
                                  "]",
                                  "{",
                                  "}",
                                  ",",
                                  ":",
                                  " ",
                                  "café",
                                  "日本",
                                  "\x01",
                                  "\x1f",
                                  "\x7f",
                                  std::string(1, '\0'),
                                  "a",
                                  "Z",
                                  "0",
                                  "\\u0041",
                                  "\xC2\xA0",
                                  "\xE3\x80\x80",
                                  "\"schema\":[",
                                  "\"dicts\":[",
                                  "\"doc_ids\":[",
                                  "+"};
  std::mt19937_64 rng(0x5eedcafe);
  auto pick = [&](uint64_t n) { return rng() % n; };
  auto random_string = [&] {
    std::string s;
    for (uint64_t n = pick(7); n > 0; --n) s += alphabet[pick(std::size(alphabet))];
    return s;
  };
  for (int iteration = 0; iteration < 500; ++iteration) {
    IndexMetadata m;
    for (uint64_t n = pick(17); n > 0; --n) m.schema.push_back(random_string());
    for (uint64_t n = pick(5); n > 0; --n) {
      TraitDictionary& d = m.dicts.emplace_back();
      const bool sequential = pick(2) == 0;
      for (uint64_t e = pick(30); e > 0; --e) {
        const auto code = static_cast<uint16_t>(sequential ? d.size() : pick(65536));
        d.insert_with_code(random_string(), code);
      }
    }
    for (uint64_t n = pick(40); n > 0; --n) {
      const uint64_t choice = pick(4);
      m.doc_ids.push_back(choice == 0 ? 0 : choice == 1 ? UINT64_MAX : rng() >> pick(64));
    }
    const std::string text = serialize_metadata(m);
    ASSERT_TRUE(uses_only_writer_escapes(text)) << text;
    auto parsed = parse_metadata(text);
    ASSERT_TRUE(parsed) << text << " -> " << parsed.error();
    ASSERT_EQ(*parsed, m) << text;
  }
}

}  // namespace
}  // namespace korvel
