#include "python/boundary.h"

namespace korvel::py {
namespace {

PyObject* g_panic_type = nullptr;  // one per module (each links its own copy), made once

}  // namespace

void raise_panic(const char* text) {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "korvel.PanicException",
        "Raised when the extension's own code fails internally.\n\n"
        "Like SystemExit, it derives from BaseException so that it typically propagates all "
        "the way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) return;  // that failure's error is already set
  }
  PyErr_SetString(g_panic_type, text);
}

}  // namespace korvel::py
