// memory_stats(): the mapping size and an estimate of the heap held by the index's own
// containers, computed on each call from their capacities with fixed per-slot sizes.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "python/hybrid_index_methods.h"

namespace korvel::py {
namespace {

constexpr uint64_t kStringSlot = 24;
constexpr uint64_t kDictSlot = 48;
constexpr uint64_t kRecordSlot = 64;
constexpr uint64_t kDocIdSlot = 8;
constexpr uint64_t kEmbeddingSlot = 4;
constexpr uint64_t kDictEntryUnit = 42;

uint64_t strings_bytes(const std::vector<std::string>& v) {
  uint64_t total = kStringSlot * v.capacity();
  for (const std::string& s : v) total += s.capacity();
  return total;
}

uint64_t dicts_bytes(const std::vector<TraitDictionary>& dicts) {
  uint64_t total = kDictSlot * dicts.capacity();
  for (const TraitDictionary& d : dicts) {
    total += kDictEntryUnit * d.entry_capacity();
    d.for_each([&](const std::string& key, uint16_t) { total += key.capacity(); });
  }
  return total;
}

// The records count as the list of records add_record received would: 64 per slot, plus
// each record's values list, their strings and its embedding.
uint64_t heap_bytes(const BuildModeState& s) {
  return strings_bytes(s.writer.schema()) + kRecordSlot * s.record_slots + s.record_bytes +
         dicts_bytes(s.writer.dicts());
}

uint64_t heap_bytes(const QueryState& s) {
  return strings_bytes(s.schema) + kDocIdSlot * s.doc_ids.capacity() + dicts_bytes(s.dicts);
}

PyResult<void> set_item(PyObject* dict, const char* key, OwnedRef value) {
  if (!value || PyDict_SetItemString(dict, key, value.get()) != 0) {
    return unexpected(PyError::fetch());
  }
  return {};
}

}  // namespace

void count_added_record(BuildModeState& state, const std::vector<std::string>& values,
                        const std::optional<std::vector<float>>& embedding) noexcept {
  // The record list grows as push_back grows it: its capacity doubles when full.
  if (state.record_slots < state.writer.size()) {
    state.record_slots += std::max<uint64_t>(state.record_slots, 1);
  }
  state.record_bytes += strings_bytes(values);
  if (embedding) state.record_bytes += kEmbeddingSlot * embedding->capacity();
}

PyResult<OwnedRef> memory_stats_body(HybridIndexObject* self, Args<MemoryStats>) {
  double mmap_mb = 0.0;
  uint64_t heap = 0;
  if (const auto* q = std::get_if<QueryState>(&self->state)) {
    mmap_mb = static_cast<double>(q->reader.mapped_len()) * 9.5367431640625e-7;
    heap = heap_bytes(*q);
  } else {
    heap = heap_bytes(std::get<BuildModeState>(self->state));
  }
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return unexpected(PyError::fetch());
  KORVEL_TRY(set_item(dict.get(), "rss_mb", OwnedRef::steal(PyFloat_FromDouble(0.0))));
  KORVEL_TRY(set_item(dict.get(), "mmap_size_mb", OwnedRef::steal(PyFloat_FromDouble(mmap_mb))));
  KORVEL_TRY(set_item(dict.get(), "heap_allocations_bytes",
                      OwnedRef::steal(PyLong_FromUnsignedLongLong(heap))));
  return dict;
}

}  // namespace korvel::py
