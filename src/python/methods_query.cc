// Query-mode methods: load() and search().
#include "python/hybrid_index.h"

namespace korvel::py {

PyResult<OwnedRef> load_body(PyObject* const*) {
  return unexpected(PyError::make(PyExc_NotImplementedError, "load() is not available yet"));
}

PyResult<OwnedRef> search_body(HybridIndexObject*, PyObject* const*) {
  return unexpected(PyError::make(PyExc_NotImplementedError, "search() is not available yet"));
}

}  // namespace korvel::py
