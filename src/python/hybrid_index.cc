#include "python/hybrid_index.h"

#include <exception>
#include <new>
#include <string>

namespace korvel::py {
namespace {

PyTypeObject* g_type = nullptr;  // written once under the interpreter lock

constexpr char kClassDoc[] =
    "The primary Python API class for the Korvel hybrid retrieval engine.\n"
    "\n"
    "Supports two modes of operation:\n"
    "- **Build mode**: Created via `HybridIndex.builder()`, accepts records via\n"
    "  `add_record()`, and persists to disk via `save()`.\n"
    "- **Query mode**: Created via `HybridIndex.load()`, executes searches via\n"
    "  `search()`.";

constexpr char kBuilderDoc[] =
    "builder(schema, vector_dim)\n--\n\n"
    "Creates a new HybridIndex in build mode.\n"
    "\n"
    "# Arguments\n"
    "- `schema` \u2014 List of categorical trait name strings (1\u201316 names).\n"
    "- `vector_dim` \u2014 Embedding vector dimension (0 for categorical-only).\n"
    "\n"
    "# Returns\n"
    "A configured `HybridIndex` instance ready for record ingestion.\n"
    "\n"
    "# Raises\n"
    "- `ValueError` if schema is empty or has more than 16 traits.";

constexpr char kAddRecordDoc[] =
    "add_record($self, doc_id, metadata, embedding=None, external_offset=None)\n--\n\n"
    "Adds a record to the index (build mode only).\n"
    "\n"
    "# Arguments\n"
    "- `doc_id` \u2014 Unique document identifier (uint64).\n"
    "- `metadata` \u2014 Dictionary mapping trait names to string values.\n"
    "- `embedding` \u2014 Optional list of float32 values (length must equal vector_dim).\n"
    "\n"
    "# Raises\n"
    "- `ValueError` if called in query mode, or if embedding dimension mismatches,\n"
    "  or if a trait value overflows the dictionary capacity.";

constexpr char kSaveDoc[] =
    "save($self, path)\n--\n\n"
    "Saves the index to disk (build mode only).\n"
    "\n"
    "Compiles all buffered records into a `.korvix` file at the given path.\n"
    "Also writes a `.korvix.meta` sidecar file containing schema and trait\n"
    "dictionaries needed for query-time filter resolution.\n"
    "\n"
    "# Arguments\n"
    "- `path` \u2014 File path for the output `.korvix` file.\n"
    "\n"
    "# Raises\n"
    "- `ValueError` if called in query mode.\n"
    "- `IOError` if the file cannot be written.";

constexpr char kLoadDoc[] =
    "load(path)\n--\n\n"
    "Loads an index from disk in query mode.\n"
    "\n"
    "Opens the `.korvix` file via memory mapping and reads the companion\n"
    "`.korvix.meta` file for schema and trait dictionary information.\n"
    "\n"
    "# Arguments\n"
    "- `path` \u2014 File path to the `.korvix` file.\n"
    "\n"
    "# Returns\n"
    "A `HybridIndex` in query mode ready for searches.\n"
    "\n"
    "# Raises\n"
    "- `ValueError` if the file is invalid or corrupt.\n"
    "- `IOError` if the file cannot be opened.";

constexpr char kSearchDoc[] =
    "search($self, filters, query_vector=None, top_k=None, exact_rescore=None, "
    "embeddings_data=None)\n--\n\n"
    "Searches the index (query mode only).";

constexpr char kMemoryStatsDoc[] =
    "memory_stats($self)\n--\n\n"
    "Exposes process memory, memory map, and heap allocations footprint statistics.";

constexpr const char* kBuilderParams[] = {"schema", "vector_dim"};
constexpr const char* kAddRecordParams[] = {"doc_id", "metadata", "embedding", "external_offset"};
constexpr const char* kPathParams[] = {"path"};
constexpr const char* kSearchParams[] = {"filters", "query_vector", "top_k", "exact_rescore",
                                         "embeddings_data"};

constexpr MethodSpec kBuilderSpec{"HybridIndex.builder()", kBuilderParams, 2, 2};
constexpr MethodSpec kAddRecordSpec{"HybridIndex.add_record()", kAddRecordParams, 4, 2};
constexpr MethodSpec kSaveSpec{"HybridIndex.save()", kPathParams, 1, 1};
constexpr MethodSpec kLoadSpec{"HybridIndex.load()", kPathParams, 1, 1};
constexpr MethodSpec kSearchSpec{"HybridIndex.search()", kSearchParams, 5, 1};
constexpr MethodSpec kMemoryStatsSpec{"HybridIndex.memory_stats()", nullptr, 0, 0};

constexpr size_t kMaxParams = 5;

enum class Borrow { kShared, kExclusive };

// Holds one borrow of the receiver (and a reference to it) until destroyed.
class BorrowGuard {
 public:
  BorrowGuard(HybridIndexObject* obj, Borrow kind) noexcept : obj_(obj) {
    Py_INCREF(obj_);
    obj_->borrow_flag = kind == Borrow::kExclusive ? -1 : obj_->borrow_flag + 1;
  }
  ~BorrowGuard() {
    if (!holds_interpreter_lock()) return;  // the thread is being ended; see py_ref.h
    obj_->borrow_flag = obj_->borrow_flag == -1 ? 0 : obj_->borrow_flag - 1;
    Py_DECREF(obj_);
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

 private:
  HybridIndexObject* obj_;
};


PyObject* run_static(const MethodSpec& spec, StaticBody body, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<OwnedRef> {
    PyObject* bound[kMaxParams];
    KORVEL_TRY(bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound));
    return body(bound);
  });
}

PyObject* run_instance(const MethodSpec& spec, Borrow kind, InstanceBody body,
                       PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<OwnedRef> {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The receiver arrives as the first positional argument (the class attribute binds
    // like a plain function), so a call through the class with any object lands here.
    if (nargs < 1) {
      return unexpected(
          type_error(std::string("unbound method ") + spec.display + " needs an argument"));
    }
    PyObject* receiver = args[0];
    PyObject* bound[kMaxParams];
    if (spec.count == 0) {
      // No parameters: the interpreter's own texts for a no-argument method.
      if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        return unexpected(type_error(std::string(spec.display) + " takes no keyword arguments"));
      }
      if (nargs > 1) {
        return unexpected(type_error(std::string(spec.display) + " takes no arguments (" +
                                     std::to_string(nargs - 1) + " given)"));
      }
    } else {
      KORVEL_TRY(bind_arguments(spec, args + 1, nargs - 1, kwnames, bound));
    }
    PyTypeObject* type = hybrid_index_type();
    if (type == nullptr) return unexpected(PyError::fetch());
    if (!PyObject_TypeCheck(receiver, type)) {
      return unexpected(cannot_convert(receiver, "HybridIndex"));
    }
    auto* self = reinterpret_cast<HybridIndexObject*>(receiver);
    if (!self->state_built) return unexpected(type_error(kStateNotBuilt));
    if (kind == Borrow::kExclusive && self->borrow_flag != 0) {
      return unexpected(runtime_error("Already borrowed"));
    }
    if (kind == Borrow::kShared && self->borrow_flag == -1) {
      return unexpected(runtime_error("Already mutably borrowed"));
    }
    BorrowGuard guard(self, kind);
    return body(self, bound);
  });
}

template <const MethodSpec& Spec, StaticBody Body>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return run_static(Spec, Body, args, nargsf, kwnames);
}

template <const MethodSpec& Spec, Borrow Kind, InstanceBody Body>
PyObject* instance_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return run_instance(Spec, Kind, Body, args, nargsf, kwnames);
}

// CPython's fast-call-with-keywords function type.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

// The method table in its fixed order. Instance methods are installed as plain functions
// wrapped to bind like Python functions, so the receiver check is ours.
struct MethodEntry {
  PyMethodDef def;
  bool is_static;
};
MethodEntry g_methods[] = {
    {{"builder", as_cfunction(&static_entry<kBuilderSpec, builder_body>), kFastKw, kBuilderDoc},
     true},
    {{"add_record",
      as_cfunction(&instance_entry<kAddRecordSpec, Borrow::kExclusive, add_record_body>), kFastKw,
      kAddRecordDoc},
     false},
    {{"save", as_cfunction(&instance_entry<kSaveSpec, Borrow::kShared, save_body>), kFastKw,
      kSaveDoc},
     false},
    {{"load", as_cfunction(&static_entry<kLoadSpec, load_body>), kFastKw, kLoadDoc}, true},
    {{"search", as_cfunction(&instance_entry<kSearchSpec, Borrow::kShared, search_body>), kFastKw,
      kSearchDoc},
     false},
    {{"memory_stats",
      as_cfunction(&instance_entry<kMemoryStatsSpec, Borrow::kShared, memory_stats_body>), kFastKw,
      kMemoryStatsDoc},
     false},
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<HybridIndexObject*>(obj);
  if (self->state_built) self->state.~IndexState();  // unmaps the data file in query mode
  type->tp_free(obj);
  Py_DECREF(type);
}

PyTypeObject* create_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"builtins.HybridIndex", static_cast<int>(sizeof(HybridIndexObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  OwnedRef type = OwnedRef::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  for (MethodEntry& m : g_methods) {
    // Static methods carry the class as their self (as the interpreter's own static methods
    // do); instance functions carry none, so introspection sees `self` as a parameter.
    OwnedRef func =
        OwnedRef::steal(PyCFunction_NewEx(&m.def, m.is_static ? type.get() : nullptr, nullptr));
    if (!func) return nullptr;
    OwnedRef attr = OwnedRef::steal(m.is_static ? PyStaticMethod_New(func.get())
                                                : PyInstanceMethod_New(func.get()));
    if (!attr || PyObject_SetAttrString(type.get(), m.def.ml_name, attr.get()) != 0) {
      return nullptr;
    }
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* hybrid_index_type() {
  if (g_type == nullptr) g_type = create_type();
  return g_type;
}

PyResult<OwnedRef> new_index_object(IndexState state) {
  PyTypeObject* type = hybrid_index_type();
  if (type == nullptr) {
    PyErr_Print();
    panic("failed to create type object for HybridIndex");
  }
  OwnedRef obj = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!obj) {
    PyErr_Clear();
    panic("failed to allocate a HybridIndex object");
  }
  auto* self = reinterpret_cast<HybridIndexObject*>(obj.get());
  new (&self->state) IndexState(std::move(state));
  self->borrow_flag = 0;
  self->state_built = true;
  return obj;
}


}  // namespace korvel::py
