// The HybridIndex object: its instance layout (header, index state, borrow flag) and the
// class object, whose methods (hybrid_index_methods.h) enter through the trampoline.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "build/bulk_writer.h"
#include "python/py_error.h"
#include "query/query_state.h"

namespace korvel::py {

// Build mode: the writer every record goes to, and what memory_stats() counts for the records
// taken so far, as add_record received them (the writer keeps neither values nor embeddings).
struct BuildModeState {
  BulkWriter writer;
  uint64_t record_slots = 0;  // a list of records grown by doubling: 0, 1, 2, 4, ...
  uint64_t record_bytes = 0;  // per record: its values list, their strings and its embedding
};

using IndexState = std::variant<BuildModeState, QueryState>;

// Counts a record just appended to state.writer, received as `values` and `embedding`, in
// the figures memory_stats() reports (memory_stats.cc, where the slot sizes live).
void count_added_record(BuildModeState& state, const std::vector<std::string>& values,
                        const std::optional<std::vector<float>>& embedding) noexcept;

struct HybridIndexObject {
  PyObject_HEAD IndexState state;  // placement-constructed after allocation, destroyed in dealloc
  Py_ssize_t borrow_flag;          // 0 free, k > 0 shared borrows, -1 exclusive
  // Set only once `state` is constructed. The type's allocator zero-fills, so an object
  // allocated some other way (object.__new__ after HybridIndex.__new__ was replaced) has
  // it false: methods refuse it and dealloc leaves its unconstructed state alone.
  bool state_built;
};

// The TypeError text for a method called on such an object.
inline constexpr char kStateNotBuilt[] =
    "HybridIndex object was not created by HybridIndex.builder() or HybridIndex.load()";

// The class object, created on first need and cached for the process; nullptr with the
// Python error set when creation fails.
PyTypeObject* hybrid_index_type();

// A new object holding `state`. Allocation failure of the object is an internal fault.
PyResult<OwnedRef> new_index_object(IndexState state);

// Mode errors.
inline constexpr char kAddInQueryMode[] =
    "Cannot add records in query mode. Use HybridIndex.builder() to create a new index.";
inline constexpr char kSaveInQueryMode[] =
    "Cannot save in query mode. Use HybridIndex.builder() to create a new index.";
inline constexpr char kSearchInBuildMode[] =
    "Cannot search in build mode. Use save() then load() to enter query mode.";

}  // namespace korvel::py
