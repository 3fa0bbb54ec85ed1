// PyError: a Python exception carried as a value through the binding layer, either as a
// type plus message (the exception is created only when raised) or as an exception that
// the interpreter already raised. restore() is the one place that sets the error indicator.
#pragma once

#include <Python.h>

#include <string>

#include "common/expected.h"
#include "python/py_ref.h"

namespace korvel::py {

class PyError {
 public:
  // A new exception of `type` (a borrowed, immortal-enough exception class such as
  // PyExc_ValueError) with `message` as its only argument.
  static PyError make(PyObject* type, std::string message);
  // Takes the currently raised exception out of the interpreter.
  // REQUIRES: an exception is set.
  static PyError fetch();

  bool is_exactly(PyObject* type) const noexcept { return type_.get() == type; }
  // False for the BaseExceptions that are not Exceptions (KeyboardInterrupt, SystemExit,
  // GeneratorExit, PanicException): those reach the caller as raised, never re-worded.
  bool is_exception() const noexcept {
    return PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception) != 0;
  }
  // The str() of the exception (its message).
  std::string text() const;
  // The exception type's __name__ ("TypeError").
  std::string type_name() const;

  // Hands the exception back to the interpreter (sets the error indicator).
  void restore() &&;

  // The "argument '{name}': ..." re-wording of a conversion TypeError; any other
  // exception type is returned unchanged.
  PyError reword_for_argument(const char* name) &&;

 private:
  OwnedRef type_;
  OwnedRef value_;  // null while only the message is known
  OwnedRef traceback_;
  std::string message_;
};

template <class T>
using PyResult = Expected<T, PyError>;

// Shorthands for the common families.
inline PyError type_error(std::string m) { return PyError::make(PyExc_TypeError, std::move(m)); }
inline PyError value_error(std::string m) { return PyError::make(PyExc_ValueError, std::move(m)); }
inline PyError io_error(std::string m) { return PyError::make(PyExc_OSError, std::move(m)); }
inline PyError overflow_error(std::string m) {
  return PyError::make(PyExc_OverflowError, std::move(m));
}
inline PyError runtime_error(std::string m) {
  return PyError::make(PyExc_RuntimeError, std::move(m));
}

// "'{qualified type name}' object cannot be converted to '{target}'".
PyError cannot_convert(PyObject* obj, const char* target);

// The __qualname__ of obj's type, as UTF-8.
std::string type_qualname(PyObject* obj);

}  // namespace korvel::py
