// Writer and parser of the metadata sidecar. The parser locates each of the three arrays by a
// fixed byte pattern and reads it with its own small rules; every string and number is read
// straight out of the input through string_views, so only decoded names and keys allocate.
#include "sidecar/sidecar.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvel {
namespace {

constexpr std::string_view kSchemaPattern = "\"schema\":[";
constexpr std::string_view kDictsPattern = "\"dicts\":[";
constexpr std::string_view kDocIdsPattern = "\"doc_ids\":[";

using ParseResult = Expected<void, std::string>;

Unexpected<std::string> fail(std::string message) { return unexpected(std::move(message)); }

unsigned char byte_at(std::string_view s, size_t i) { return static_cast<unsigned char>(s[i]); }

bool is_ascii_space(unsigned char b) { return (b >= 0x09 && b <= 0x0D) || b == 0x20; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Position of the first byte at or after `pos` equal to a, b or c; text.size() or more when
// there is none. Sixteen bytes at a time where SSE2 is available (every x86-64 processor):
// the identifier list of a large index is megabytes without a single byte of interest.
size_t find_any_of(std::string_view text, size_t pos, char a, char b, char c) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a);
  const __m128i vb = _mm_set1_epi8(b);
  const __m128i vc = _mm_set1_epi8(c);
  for (; pos + 16 <= text.size(); pos += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
                                      _mm_cmpeq_epi8(v, vc));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return pos + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; pos < text.size(); ++pos) {
    const char x = text[pos];
    if (x == a || x == b || x == c) return pos;
  }
  return pos;
}

size_t count_commas(std::string_view text) {
  size_t total = 0;
  size_t pos = 0;
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  while (pos + 16 <= text.size()) {
    // Byte lanes count matches (a match is -1, subtracted) for at most 255 blocks before
    // they are summed, so no lane can wrap.
    const size_t blocks = std::min((text.size() - pos) / 16, size_t{255});
    __m128i lanes = _mm_setzero_si128();
    for (size_t i = 0; i < blocks; ++i, pos += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, comma));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    total += static_cast<size_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; pos < text.size(); ++pos) total += text[pos] == ',' ? 1 : 0;
  return total;
}

// Byte length of the Unicode white space character that `s` starts with, or 0. The
// multi-byte ones are U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000 in UTF-8.
size_t space_at_front(std::string_view s) {
  if (s.empty()) return 0;
  const unsigned char b0 = byte_at(s, 0);
  if (is_ascii_space(b0)) return 1;
  if (b0 == 0xC2) {
    return s.size() >= 2 && (byte_at(s, 1) == 0x85 || byte_at(s, 1) == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  const unsigned char b1 = byte_at(s, 1);
  const unsigned char b2 = byte_at(s, 2);
  switch (b0) {
    case 0xE1:
      return b1 == 0x9A && b2 == 0x80 ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {
        return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      }
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;
    case 0xE3:
      return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// Byte length of the Unicode white space character that `s` ends with, or 0.
size_t space_at_back(std::string_view s) {
  const size_t n = s.size();
  if (n == 0) return 0;
  if (is_ascii_space(byte_at(s, n - 1))) return 1;
  if (n >= 2 && space_at_front(s.substr(n - 2)) == 2) return 2;
  if (n >= 3 && space_at_front(s.substr(n - 3)) == 3) return 3;
  return 0;
}

std::string_view trim_space(std::string_view s) {
  while (size_t k = space_at_front(s)) s.remove_prefix(k);
  while (size_t k = space_at_back(s)) s.remove_suffix(k);
  return s;
}

void append_escaped(std::string& out, std::string_view s) {
  size_t run_start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char replacement;
    switch (s[i]) {
      case '\t':
        replacement = 't';
        break;
      case '\n':
        replacement = 'n';
        break;
      case '\r':
        replacement = 'r';
        break;
      case '"':
        replacement = '"';
        break;
      case '\\':
        replacement = '\\';
        break;
      default:
        continue;
    }
    out.append(s.data() + run_start, i - run_start);
    out.push_back('\\');
    out.push_back(replacement);
    run_start = i + 1;
  }
  out.append(s.data() + run_start, s.size() - run_start);
}

template <class Unsigned>
void append_decimal(std::string& out, Unsigned value) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

size_t decimal_length(uint64_t value) {
  size_t length = 1;
  for (uint64_t power = 10; value >= power; power *= 10) {
    if (++length == 20) break;  // 10^20 does not fit 64 bits
  }
  return length;
}

// Reads the string whose opening quote is at `pos`. On success the decoded bytes are in
// `out` and `pos` is just past the closing quote; false when the text ends first. Inside
// parse_metadata that cannot happen (the enclosing bracket was matched under the same
// string rules), so the "Unterminated" messages are a guard, not a reachable outcome.
bool read_string(std::string_view text, size_t& pos, std::string& out) {
  ++pos;
  size_t run_start = pos;
  while (pos < text.size()) {
    pos = find_any_of(text, pos, '"', '\\', '\\');
    if (pos >= text.size()) return false;
    if (text[pos] == '"') {
      out.append(text.data() + run_start, pos - run_start);
      ++pos;
      return true;
    }
    if (pos + 1 >= text.size()) return false;
    out.append(text.data() + run_start, pos - run_start);
    const char escaped = text[pos + 1];
    switch (escaped) {
      case '"':
      case '\\':
        out.push_back(escaped);
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      default:
        // Unknown escapes (\u included) are kept verbatim, both bytes.
        out.push_back('\\');
        out.push_back(escaped);
        break;
    }
    pos += 2;
    run_start = pos;
  }
  return false;
}

// The trimmed text strictly inside the array that follows the first occurrence of `pattern`.
Expected<std::string_view, std::string> locate_array(std::string_view text,
                                                     std::string_view pattern,
                                                     const char* missing_message,
                                                     const char* malformed_message) {
  const size_t found = text.find(pattern);
  if (found == std::string_view::npos) return fail(missing_message);
  const size_t open = found + pattern.size() - 1;
  const std::optional<size_t> close = find_matching_bracket(text, open);
  if (!close) return fail(malformed_message);
  return trim_space(text.substr(open + 1, *close - open - 1));
}

bool is_separator(char c) { return c == '\n' || c == ' ' || c == ','; }

// The element loop shared by the schema, dictionary-array and object rules: separators are
// skipped, and `element(pos)` parses the element starting at `pos`, leaving `pos` after it.
template <class Element>
ParseResult for_each_element(std::string_view inner, Element&& element) {
  size_t pos = 0;
  while (pos < inner.size()) {
    if (is_separator(inner[pos])) {
      ++pos;
      continue;
    }
    KORVEL_TRY(element(pos));
  }
  return {};
}

ParseResult parse_schema(std::string_view inner, std::vector<std::string>& schema) {
  return for_each_element(inner, [&](size_t& pos) -> ParseResult {
    if (inner[pos] != '"') return fail("Expected '\"' at position " + std::to_string(pos));
    if (!read_string(inner, pos, schema.emplace_back())) return fail("Unterminated string");
    return {};
  });
}

ParseResult parse_object(std::string_view inner, TraitDictionary& dict) {
  std::string key;
  return for_each_element(inner, [&](size_t& pos) -> ParseResult {
    if (inner[pos] != '"') {
      return fail("Expected '\"' for key at position " + std::to_string(pos));
    }
    key.clear();
    if (!read_string(inner, pos, key)) return fail("Unterminated key string");
    while (pos < inner.size() && (inner[pos] == ':' || inner[pos] == ' ')) ++pos;
    const size_t digits_start = pos;
    while (pos < inner.size() && is_digit(inner[pos])) ++pos;
    const std::string_view digits = inner.substr(digits_start, pos - digits_start);
    // from_chars takes any number of leading zeros and reports values above 65535 as
    // out of range, which is exactly the accepted set.
    uint16_t code = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), code);
    if (digits.empty() || result.ec != std::errc()) {
      return fail("Invalid number '" + std::string(digits) + "' for key '" + key + "'");
    }
    dict.insert_with_code(std::move(key), code);
    return {};
  });
}

ParseResult parse_dicts(std::string_view inner, std::vector<TraitDictionary>& dicts) {
  return for_each_element(inner, [&](size_t& pos) -> ParseResult {
    if (inner[pos] != '{') return fail("Expected '{' at position " + std::to_string(pos));
    const std::optional<size_t> close = find_matching_bracket(inner, pos);
    if (!close) return fail("Malformed dict object");
    KORVEL_TRY(
        parse_object(trim_space(inner.substr(pos + 1, *close - pos - 1)), dicts.emplace_back()));
    pos = *close + 1;
    return {};
  });
}

ParseResult parse_doc_ids(std::string_view inner, std::vector<uint64_t>& doc_ids) {
  // Every identifier takes at least one digit and one separator, so neither bound can be
  // exceeded; the second keeps a text made mostly of commas from over-reserving.
  doc_ids.reserve(std::min(count_commas(inner) + 1, inner.size() / 2 + 1));
  size_t start = 0;
  while (start <= inner.size()) {
    // Fast path: 1 to 19 plain digits ending at a comma or at the end (19 digits cannot
    // overflow 64 bits). Everything else takes the general path below.
    size_t pos = start;
    uint64_t value = 0;
    const size_t digits_limit = std::min(inner.size(), start + 19);
    while (pos < digits_limit && is_digit(inner[pos])) {
      value = value * 10 + static_cast<uint64_t>(inner[pos] - '0');
      ++pos;
    }
    if (pos > start && (pos == inner.size() || inner[pos] == ',')) {
      doc_ids.push_back(value);
      start = pos + 1;
      continue;
    }
    const size_t comma = std::min(inner.find(',', pos), inner.size());
    const std::string_view piece = trim_space(inner.substr(start, comma - start));
    start = comma + 1;
    if (piece.empty()) continue;
    std::string_view digits = piece;
    if (digits.front() == '+') digits.remove_prefix(1);
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
      return fail("Invalid u64 value '" + std::string(piece) + "'");
    }
    doc_ids.push_back(value);
  }
  return {};
}

}  // namespace

std::string escape_json_string(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  append_escaped(out, s);
  return out;
}

std::string serialize_metadata(const IndexMetadata& metadata) {
  std::vector<std::vector<std::pair<std::string, uint16_t>>> entries;
  entries.reserve(metadata.dicts.size());
  for (const TraitDictionary& dict : metadata.dicts) entries.push_back(dict.entries_by_code());

  // Within a few bytes of the final size; only escapes (a byte each) are not counted.
  size_t estimate = sizeof("{\"schema\":[],\"dicts\":[],\"doc_ids\":[]}");
  for (const std::string& name : metadata.schema) estimate += name.size() + 3;
  for (const auto& dict : entries) {
    estimate += 3;
    for (const auto& [value, code] : dict) estimate += value.size() + 4 + decimal_length(code);
  }
  size_t doc_ids_bytes = metadata.doc_ids.empty() ? 0 : metadata.doc_ids.size() - 1;
  for (uint64_t id : metadata.doc_ids) doc_ids_bytes += decimal_length(id);
  estimate += doc_ids_bytes;

  std::string out;
  out.reserve(estimate);
  out.append("{\"schema\":[");
  for (size_t i = 0; i < metadata.schema.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.push_back('"');
    append_escaped(out, metadata.schema[i]);
    out.push_back('"');
  }
  out.append("],\"dicts\":[");
  for (size_t d = 0; d < entries.size(); ++d) {
    if (d != 0) out.push_back(',');
    out.push_back('{');
    for (size_t e = 0; e < entries[d].size(); ++e) {
      if (e != 0) out.push_back(',');
      out.push_back('"');
      append_escaped(out, entries[d][e].first);
      out.append("\":");
      append_decimal(out, entries[d][e].second);
    }
    out.push_back('}');
  }
  out.append("],\"doc_ids\":[");
  // The identifiers are the bulk of a large sidecar and their length is known exactly, so
  // they are written in place instead of appended one by one.
  const size_t doc_ids_start = out.size();
  out.resize(doc_ids_start + doc_ids_bytes);
  char* cursor = out.data() + doc_ids_start;
  char* const doc_ids_end = out.data() + out.size();
  for (size_t i = 0; i < metadata.doc_ids.size(); ++i) {
    if (i != 0) *cursor++ = ',';
    cursor = std::to_chars(cursor, doc_ids_end, metadata.doc_ids[i]).ptr;
  }
  KORVEL_CHECK(cursor == doc_ids_end, "identifier length miscounted");
  out.append("]}");
  return out;
}

std::optional<size_t> find_matching_bracket(std::string_view text, size_t open_position) {
  if (open_position >= text.size()) return std::nullopt;
  const char open = text[open_position];
  if (open != '[' && open != '{') return std::nullopt;
  const char close = open == '[' ? ']' : '}';
  size_t depth = 0;
  size_t pos = open_position;
  while (true) {
    pos = find_any_of(text, pos, '"', open, close);
    if (pos >= text.size()) return std::nullopt;
    if (text[pos] == '"') {
      // Skip the string: a backslash always takes the byte after it along.
      ++pos;
      while (true) {
        pos = find_any_of(text, pos, '"', '\\', '\\');
        if (pos >= text.size()) return std::nullopt;
        if (text[pos] == '"') break;
        pos += 2;
      }
    } else if (text[pos] == open) {
      ++depth;
    } else if (--depth == 0) {
      return pos;
    }
    ++pos;
  }
}

Expected<IndexMetadata, std::string> parse_metadata(std::string_view text) {
  text = trim_space(text);
  if (text.empty() || text.front() != '{' || text.back() != '}') {
    return fail("Invalid metadata format: not a JSON object");
  }
  IndexMetadata metadata;
  KORVEL_ASSIGN_OR_RETURN(
      const std::string_view schema_inner,
      locate_array(text, kSchemaPattern, "Missing 'schema' field", "Malformed schema array"));
  KORVEL_TRY(parse_schema(schema_inner, metadata.schema));
  KORVEL_ASSIGN_OR_RETURN(
      const std::string_view dicts_inner,
      locate_array(text, kDictsPattern, "Missing 'dicts' field", "Malformed dicts array"));
  KORVEL_TRY(parse_dicts(dicts_inner, metadata.dicts));
  KORVEL_ASSIGN_OR_RETURN(
      const std::string_view doc_ids_inner,
      locate_array(text, kDocIdsPattern, "Missing 'doc_ids' field", "Malformed doc_ids array"));
  KORVEL_TRY(parse_doc_ids(doc_ids_inner, metadata.doc_ids));
  return metadata;
}

}  // namespace korvel
