// The method boundary shared by both extension modules: the firewall through which every
// method body runs, so that no C++ exception unwinds into the interpreter, and the
// PanicException raised for internal faults.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <utility>

#include "python/py_error.h"
#include "python/py_ref.h"

namespace korvel::py {

// Raises PanicException (a BaseException subclass, "korvel.PanicException", created on first
// use) with `text`.
void raise_panic(const char* text);

// Runs f() (returning PyResult<OwnedRef>) and turns its outcome into a CPython result: the new
// reference, or nullptr with the error set. Allocation failure becomes MemoryError, any other
// exception PanicException. The one unwind that must pass is the forced unwind by which a
// finalising interpreter ends a thread that asks for its lock back (py_ref.h); that is why
// neither this nor the method entries that call it are noexcept.
template <class F>
KORVEL_FORCED_UNWIND_CATCHER PyObject* guarded(F&& f) {
  try {
    PyResult<OwnedRef> r = f();
    if (r) return std::move(r).value().release();
    std::move(r).error().restore();
    return nullptr;
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal fault");
  }
  return nullptr;
}

}  // namespace korvel::py
