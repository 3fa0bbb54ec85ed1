#include "python/hybrid_index.h"

#include <new>

#include "python/hybrid_index_methods.h"
#include "python/trampoline.h"

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

// The instance-method side of the trampoline: `receiver` must be a HybridIndex made by
// builder() or load().
struct HybridIndexClass {
  using Object = HybridIndexObject;
  static PyResult<Py_ssize_t*> receive(PyObject* receiver) {
    PyTypeObject* type = hybrid_index_type();
    if (type == nullptr) return unexpected(PyError::fetch());
    if (!PyObject_TypeCheck(receiver, type)) {
      return unexpected(cannot_convert(receiver, kClassName));
    }
    auto* self = reinterpret_cast<HybridIndexObject*>(receiver);
    if (!self->state_built) return unexpected(type_error(kStateNotBuilt));
    return &self->borrow_flag;
  }
};

// The method table in its fixed order.
MethodEntry g_methods[] = {
    static_method<Builder, builder_body>(),
    instance_method<HybridIndexClass, AddRecord, add_record_body>(),
    instance_method<HybridIndexClass, Save, save_body>(),
    static_method<Load, load_body>(),
    instance_method<HybridIndexClass, Search, search_body>(),
    instance_method<HybridIndexClass, MemoryStats, memory_stats_body>(),
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
  if (!add_methods(reinterpret_cast<PyTypeObject*>(type.get()), g_methods)) return nullptr;
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
