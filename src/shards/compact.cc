#include "shards/compact.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <variant>

#include "common/check.h"
#include "common/little_endian.h"
#include "mmap_reader/layout.h"

namespace korvel {
namespace {

// Records copied per batch: enough to amortise a batch, small beside a large shard.
constexpr uint64_t kChunkRecords = 1 << 16;

}  // namespace

std::string to_string(const RewriteError& e) {
  if (const auto* w = std::get_if<BulkWriterError>(&e)) return to_string(*w);
  return to_string(std::get<SaveError>(e));
}

Expected<void, RewriteError> write_live_records(const ShardSet& set, size_t first, size_t end,
                                                const std::string& path) {
  KORVEL_CHECK(first < end && end <= set.shard_count(), "write_live_records: shard range");
  // 16-bit codes allowed, as IndexWriter allows them: the live records of 8-bit shards may
  // together hold more than 256 values of a trait.
  auto created = BulkWriter::create(set.schema(), set.dim(), kMaxRecordCount, 16);
  if (!created) return unexpected(RewriteError{std::move(created).error()});
  BulkWriter writer = std::move(*created);
  uint64_t live = 0;
  for (size_t s = first; s < end; ++s) live += set.shard(s).live_count;
  writer.reserve(static_cast<size_t>(live));
  const size_t traits = set.schema().size();
  const size_t sig_size = (size_t{set.dim()} + 7) / 8;

  std::vector<uint64_t> ids;
  std::vector<uint64_t> offsets;
  std::vector<uint8_t> sigs;
  std::vector<TraitColumn> columns(traits);
  std::vector<uint64_t> chosen;  // records of the current chunk
  for (size_t s = first; s < end; ++s) {
    const Shard& shard = set.shard(s);
    const IndexReader& reader = shard.state.reader;
    const uint64_t n = reader.record_count();
    const unsigned width = reader.bit_width();
    const uint64_t stride = uint64_t{reader.trait_count()} * width * 8;
    const uint8_t* planes = reader.code_planes().data();
    // Each trait's categories are the shard's values by code; a code without a value (a
    // trait the sidecar has no dictionary for) reads as "".
    for (size_t t = 0; t < traits; ++t) {
      columns[t].categories.assign(size_t{1} << width, std::string());
      if (t < shard.state.dicts.size()) {
        for (auto& [value, code] : shard.state.dicts[t].entries_by_code()) {
          if (code < columns[t].categories.size()) columns[t].categories[code] = value;
        }
      }
    }
    for (uint64_t begin = 0; begin < n; begin += kChunkRecords) {
      const uint64_t stop = std::min(n, begin + kChunkRecords);
      chosen.clear();
      for (uint64_t r = begin; r < stop; ++r) {
        if (shard.live.empty() || ((shard.live[r / 64] >> (r % 64)) & 1) != 0) chosen.push_back(r);
      }
      if (chosen.empty()) continue;
      ids.resize(chosen.size());
      offsets.resize(chosen.size());
      sigs.resize(chosen.size() * sig_size);
      for (size_t t = 0; t < traits; ++t) columns[t].indices.resize(chosen.size());
      for (size_t i = 0; i < chosen.size(); ++i) {
        const uint64_t r = chosen[i];
        ids[i] = set.doc_id(s, r);
        offsets[i] = reader.raw_external_offset(r);
        if (sig_size != 0)
          std::memcpy(sigs.data() + i * sig_size, reader.signature_ptr(r), sig_size);
        const uint8_t* block = planes + (r / 64) * stride;
        for (size_t t = 0; t < traits; ++t) {
          uint32_t code = 0;
          if (t < reader.trait_count()) {
            for (unsigned k = 0; k < width; ++k) {
              code |= static_cast<uint32_t>((load_u64(block + (t * width + k) * 8) >> (r % 64)) & 1)
                      << k;
            }
          }
          columns[t].indices[i] = code;
        }
      }
      BulkBatch batch;
      batch.doc_ids = ids;
      for (size_t t = 0; t < traits; ++t) batch.columns.push_back(&columns[t]);
      batch.offsets = std::span<const uint64_t>(offsets);
      const size_t written = writer.size();
      auto added = writer.add_signed(batch, sigs);
      if (!added) {
        // Rows of the new file, not of this chunk.
        BulkWriterError e = std::move(added).error();
        std::visit(
            [&](auto& v) {
              if constexpr (requires { v.row; }) v.row += written;
            },
            e);
        return unexpected(RewriteError{std::move(e)});
      }
    }
  }
  auto saved = writer.save(path);
  if (!saved) return unexpected(RewriteError{std::move(saved).error()});
  return {};
}

}  // namespace korvel
