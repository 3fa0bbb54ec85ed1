// Small RAII owners for the interpreter boundary: an owned PyObject reference and a buffer
// export; and the one way to run work with the interpreter lock released.
#pragma once

#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <exception>
#include <optional>
#include <utility>

// For a function that catches abi::__forced_unwind: the runtime hands that catch clause a
// null object (a forced unwind carries none), which the sanitizer's null-reference check
// would flag although the reference is never read.
#if defined(__GNUC__)
#define KORVEL_FORCED_UNWIND_CATCHER __attribute__((no_sanitize("null")))
#else
#define KORVEL_FORCED_UNWIND_CATCHER
#endif

namespace korvel::py {

// False only on a thread that asked a finalising interpreter for its lock back. The
// interpreter (3.10 to 3.13) does not give it: it ends the thread with pthread_exit, which
// unwinds the stack with a forced-unwind exception. The owners below then leave the
// interpreter's objects alone on the way out: another thread is tearing them down.
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  if (!Py_IsFinalizing()) return true;
#else
  if (!_Py_IsFinalizing()) return true;
#endif
  return PyGILState_Check() != 0;
}

// Owns one strong reference.
class OwnedRef {
 public:
  OwnedRef() = default;
  static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
  static OwnedRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  // May run Python code (a __del__, a generator's close), during which a finalising
  // interpreter may end the thread: the forced unwind must be able to leave this frame.
  ~OwnedRef() noexcept(false) {
    if (p_ != nullptr && holds_interpreter_lock()) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Owns a buffer export (PyObject_GetBuffer); while it lives the exporter cannot resize.
class BufferView {
 public:
  BufferView() = default;
  BufferView(BufferView&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
  BufferView& operator=(BufferView&&) = delete;
  BufferView(const BufferView&) = delete;
  ~BufferView() {
    if (held_ && holds_interpreter_lock()) PyBuffer_Release(&view_);
  }
  // Takes a simple read-only export of `obj`; returns false with the error set.
  bool acquire(PyObject* obj) noexcept {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) return false;
    held_ = true;
    return true;
  }
  const unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
  size_t size() const noexcept { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Runs f() with the interpreter lock released and returns its result; f must not touch the
// interpreter. The lock is taken back in plain code with no exception in flight, never in a
// destructor: when the interpreter is finalising, taking it back ends this thread by a forced
// unwind, which a noexcept frame (every destructor) or a pending exception turns into
// std::terminate. An exception from f is rethrown once the lock is held again.
template <class F>
KORVEL_FORCED_UNWIND_CATCHER auto without_interpreter_lock(F&& f) -> decltype(f()) {
  std::optional<decltype(f())> result;
  std::exception_ptr fault;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    result.emplace(f());
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being cancelled: it must not take the lock back
#endif
  } catch (...) {
    fault = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (fault) std::rethrow_exception(fault);
  return std::move(*result);
}

}  // namespace korvel::py
