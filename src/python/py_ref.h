// Small RAII owners for the interpreter boundary: an owned PyObject reference, a buffer
// export, and a released interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace korvel::py {

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
  ~OwnedRef() { Py_XDECREF(p_); }

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
    if (held_) PyBuffer_Release(&view_);
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

// Releases the interpreter lock for its lifetime.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace korvel::py
