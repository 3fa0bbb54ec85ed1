// libFuzzer target for the sidecar parser: any input must parse or fail cleanly, and whatever
// parses must survive a write -> read round trip unchanged, with the writer's text stable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sidecar/sidecar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = korvel::parse_metadata(text);
  if (!parsed) return 0;
  const std::string written = korvel::serialize_metadata(*parsed);
  auto reparsed = korvel::parse_metadata(written);
  if (!reparsed || !(*reparsed == *parsed)) std::abort();
  // Distinct codes give the writer a single possible entry order, so its text is a fixed point.
  if (korvel::serialize_metadata(*reparsed) != written) {
    for (const korvel::TraitDictionary& dict : parsed->dicts) {
      const auto entries = dict.entries_by_code();
      for (size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].second == entries[i - 1].second) return 0;
      }
    }
    std::abort();
  }
  return 0;
}
