// The one way a method call enters the extension: bind -> receiver check -> borrow -> body ->
// release -> raise, with C++ exceptions stopped at the boundary (boundary.h). Methods are listed in
// a class's table as static_method<M, body> / instance_method<C, M, body> from their declarations
// (method_decl.h) and installed on the class object by add_methods().
//
// A class C with instance methods supplies
//   using Object = ...;   // its instance struct, starting with PyObject_HEAD
//   static PyResult<Py_ssize_t*> receive(PyObject* receiver);
// which checks that `receiver` is a usable instance and returns its borrow flag
// (0 free, k > 0 shared borrows, -1 exclusive).
#pragma once

#include <Python.h>

#include <span>

#include "python/arg_binder.h"
#include "python/method_decl.h"
#include "python/py_error.h"

namespace korvel::py {

inline constexpr size_t kMaxParams = 16;

// A body with its arguments type-erased: the receiver (nullptr for a static method) and the
// bound arguments.
using ErasedBody = PyResult<OwnedRef> (*)(PyObject* self, PyObject* const* bound);
using ReceiveFn = PyResult<Py_ssize_t*> (*)(PyObject* receiver);

PyObject* run_static(const MethodDecl& decl, ErasedBody body, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames);
PyObject* run_instance(const MethodDecl& decl, ReceiveFn receive, ErasedBody body,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// CPython's fast-call-with-keywords function type.
using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One row of a class's method table. Static methods become built-in functions from `def`
// (with the class as their self, as the interpreter's own static methods have); instance
// methods become method objects (method_object.h) calling `call` with the receiver first,
// so the receiver check is ours for calls through the class too.
struct MethodEntry {
  const MethodDecl* decl;
  PyMethodDef def;
  vectorcallfunc call;  // instance methods only
};

template <class M, auto Body>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static_assert(M::kDecl.receiver == Receiver::kNone && M::kDecl.params.size() <= kMaxParams);
  constexpr ErasedBody body = [](PyObject*, PyObject* const* bound) {
    return Body(Args<M>(bound));
  };
  return run_static(M::kDecl, body, args, PyVectorcall_NARGS(nargsf), kwnames);
}

template <class C, class M, auto Body>
PyObject* instance_entry(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  // The owner is read rather than compared with null: with the sanitizers on, the compiler
  // does not fold a named array's address compared with null to a constant.
  static_assert(M::kDecl.receiver != Receiver::kNone && M::kDecl.owner[0] != '\0' &&
                M::kDecl.params.size() <= kMaxParams);
  constexpr ErasedBody body = [](PyObject* self, PyObject* const* bound) {
    return Body(reinterpret_cast<typename C::Object*>(self), Args<M>(bound));
  };
  return run_instance(M::kDecl, &C::receive, body, args, PyVectorcall_NARGS(nargsf), kwnames);
}

template <class M, auto Body>
MethodEntry static_method() {
  return {&M::kDecl,
          {M::kDecl.name,
           reinterpret_cast<PyCFunction>(
               reinterpret_cast<void (*)()>(static_cast<FastCallKw>(&static_entry<M, Body>))),
           METH_FASTCALL | METH_KEYWORDS, kDocstring<M>.data()},
          nullptr};
}

template <class C, class M, auto Body>
MethodEntry instance_method() {
  return {
      &M::kDecl, {M::kDecl.name, nullptr, 0, kDocstring<M>.data()}, &instance_entry<C, M, Body>};
}

// Sets each method as an attribute of `type`, in table order. False with the error set.
// REQUIRES: `methods` outlives the process's use of `type`.
bool add_methods(PyTypeObject* type, std::span<MethodEntry> methods);

// Adds each static method (a module function, declared with .owner = nullptr) to `module` as a
// built-in function bound to the module, in table order. False with the error set.
// REQUIRES: `functions` outlives the process's use of `module`; every entry is static.
bool add_functions(PyObject* module, std::span<MethodEntry> functions);

}  // namespace korvel::py
