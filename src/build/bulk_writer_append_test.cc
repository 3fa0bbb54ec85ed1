// BulkWriter::append against the reference build (append_record + compile_index + the
// sidecar of the same records): seeded random records, one call each, with non-finite
// embeddings, records without embeddings, several blocks and full dictionaries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "build/bulk_writer.h"
#include "build/compile.h"

namespace korvel {
namespace {

std::vector<uint8_t> image_of(const BulkWriter& w) {
  const auto head = w.header();
  std::vector<uint8_t> image(head.begin(), head.end());
  for (auto s : w.sections()) image.insert(image.end(), s.begin(), s.end());
  return image;
}

TEST(BulkWriterAppend, MatchesReferenceBuildRecordByRecord) {
  std::mt19937 rng(20261209);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(), -0.0f, 0.0f};
  size_t overflows = 0;
  for (int round = 0; round < 24; ++round) {
    const size_t traits = 1 + rng() % 3;
    const uint16_t dim = std::vector<uint16_t>{0, 1, 9, 64}[rng() % 4];
    const size_t n = rng() % 700;
    std::vector<std::string> schema;
    for (size_t t = 0; t < traits; ++t) schema.push_back(t == 2 ? "t0" : "t" + std::to_string(t));
    auto writer = BulkWriter::create(schema, dim);
    ASSERT_TRUE(writer);

    BuildState ref;
    ref.schema = schema;
    ref.trait_count = static_cast<uint16_t>(traits);
    ref.vector_dim = dim;
    ref.dicts.resize(traits);
    IndexMetadata meta{schema, {}, {}};
    for (size_t i = 0; i < n; ++i) {
      std::vector<std::string> values(traits);
      for (size_t t = 0; t < traits; ++t) {
        // Trait 0 runs out of codes in the long rounds; the others repeat a few values.
        values[t] = t == 0 ? "v" + std::to_string(rng() % 300) : std::string(rng() % 3, 'x');
      }
      std::optional<std::vector<float>> embedding;
      if (rng() % 4 != 0) {
        embedding.emplace(dim);
        for (float& x : *embedding) {
          x = rng() % 16 == 0 ? specials[rng() % 4] : static_cast<float>(int(rng() % 201) - 100);
        }
      }
      const uint64_t doc_id = rng();
      const uint64_t offset = rng() % 2 ? kNoExternalOffset : rng();

      std::string want;
      std::vector<uint16_t> codes;
      for (size_t t = 0; t < traits && want.empty(); ++t) {
        auto code = ref.dicts[t].assign_token(values[t], 8);
        if (code) {
          codes.push_back(*code);
        } else {
          want = to_string(code.error());
        }
      }
      if (want.empty()) {
        append_record(ref, BufferedRecord{values, embedding, doc_id, offset}, codes);
        meta.doc_ids.push_back(doc_id);
      }
      std::optional<std::span<const float>> view;
      if (embedding) view = *embedding;
      auto added = writer->append(doc_id, values, view, offset);
      std::string got;
      if (!added) {
        const auto* overflow = std::get_if<ColumnOverflow>(&added.error());
        ASSERT_NE(overflow, nullptr) << to_string(added.error());
        EXPECT_EQ(overflow->column, "column '" + schema[0] + "'");
        got = to_string(overflow->overflow);
        ++overflows;
      }
      ASSERT_EQ(got, want) << "round " << round << " record " << i;
    }
    meta.dicts = ref.dicts;
    EXPECT_EQ(image_of(*writer), *compile_index(ref)) << "round " << round;
    EXPECT_EQ(writer->sidecar_text(), serialize_metadata(meta)) << "round " << round;
  }
  EXPECT_GT(overflows, 0u);
}

TEST(BulkWriterAppend, RefusesRecordsBeyondTheLimit) {
  auto writer = BulkWriter::create({"a"}, 0, 2);
  ASSERT_TRUE(writer);
  const std::vector<std::string> values{"x"};
  ASSERT_TRUE(writer->append(1, values, std::nullopt, kNoExternalOffset));
  ASSERT_TRUE(writer->append(2, values, std::nullopt, kNoExternalOffset));
  auto third = writer->append(3, values, std::nullopt, kNoExternalOffset);
  ASSERT_FALSE(third);
  EXPECT_EQ(to_string(third.error()),
            "the index would hold 3 records, more than the 2 a data file can hold");
  EXPECT_EQ(writer->size(), 2u);
}

}  // namespace
}  // namespace korvel
