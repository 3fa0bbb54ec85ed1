// Rewriting shards without their deleted records: the live records of consecutive shards of
// a set, in order, written as one ordinary data file (and sidecar). The file is the one
// IndexWriter writes for those records in that order: same ids, codes assigned in first-seen
// order over the live records, the same signatures and external offsets. No byte of a
// deleted record reaches it.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "build/bulk_writer.h"
#include "build/save.h"
#include "common/expected.h"
#include "shards/shard_set.h"

namespace korvel {

using RewriteError = std::variant<BulkWriterError, SaveError>;
std::string to_string(const RewriteError& e);

// Writes the live records of shards [first, end) of `set` to `path` and `path` + ".meta".
// Records are copied in chunks, so the memory held is about the new file's size.
// Errors: BulkWriterError (a trait with more values than a data file holds), SaveError.
// REQUIRES: first < end <= set.shard_count().
Expected<void, RewriteError> write_live_records(const ShardSet& set, size_t first, size_t end,
                                                const std::string& path);

}  // namespace korvel
