#include "python/trampoline.h"

#include <string>

#include "python/boundary.h"
#include "python/method_object.h"

namespace korvel::py {
namespace {

// Holds one borrow of the receiver (and a reference to it) until destroyed.
class BorrowGuard {
 public:
  BorrowGuard(PyObject* obj, Py_ssize_t* flag, Receiver kind) noexcept : obj_(obj), flag_(flag) {
    Py_INCREF(obj_);
    *flag_ = kind == Receiver::kExclusive ? -1 : *flag_ + 1;
  }
  ~BorrowGuard() {
    if (!holds_interpreter_lock()) return;  // the thread is being ended; see py_ref.h
    *flag_ = *flag_ == -1 ? 0 : *flag_ - 1;
    Py_DECREF(obj_);
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

 private:
  PyObject* obj_;
  Py_ssize_t* flag_;
};

}  // namespace

PyObject* run_static(const MethodDecl& decl, ErasedBody body, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<OwnedRef> {
    PyObject* bound[kMaxParams];
    KORVEL_TRY(bind_arguments(decl, args, nargs, kwnames, bound));
    return body(nullptr, bound);
  });
}

PyObject* run_instance(const MethodDecl& decl, ReceiveFn receive, ErasedBody body,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<OwnedRef> {
    // The receiver arrives as the first positional argument (the method binds like a
    // plain function), so a call through the class with any object lands here.
    if (nargs < 1) {
      return unexpected(type_error("unbound method " + display_name(decl) + " needs an argument"));
    }
    PyObject* receiver = args[0];
    PyObject* bound[kMaxParams];
    if (decl.params.empty()) {
      // No parameters: the interpreter's own texts for a no-argument method.
      if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        return unexpected(type_error(display_name(decl) + " takes no keyword arguments"));
      }
      if (nargs > 1) {
        return unexpected(type_error(display_name(decl) + " takes no arguments (" +
                                     std::to_string(nargs - 1) + " given)"));
      }
    } else {
      KORVEL_TRY(bind_arguments(decl, args + 1, nargs - 1, kwnames, bound));
    }
    KORVEL_ASSIGN_OR_RETURN(Py_ssize_t * flag, receive(receiver));
    if (decl.receiver == Receiver::kExclusive && *flag != 0) {
      return unexpected(runtime_error("Already borrowed"));
    }
    if (decl.receiver == Receiver::kShared && *flag == -1) {
      return unexpected(runtime_error("Already mutably borrowed"));
    }
    BorrowGuard guard(receiver, flag, decl.receiver);
    return body(receiver, bound);
  });
}

bool add_methods(PyTypeObject* type, std::span<MethodEntry> methods) {
  auto* type_obj = reinterpret_cast<PyObject*>(type);
  for (MethodEntry& m : methods) {
    OwnedRef attr;
    if (m.decl->receiver == Receiver::kNone) {
      OwnedRef func = OwnedRef::steal(PyCFunction_NewEx(&m.def, type_obj, nullptr));
      if (!func) return false;
      attr = OwnedRef::steal(PyStaticMethod_New(func.get()));
    } else {
      attr = new_method_object(m.decl->owner, m.def.ml_name, m.def.ml_doc, m.call);
    }
    if (!attr || PyObject_SetAttrString(type_obj, m.def.ml_name, attr.get()) != 0) return false;
  }
  return true;
}

bool add_functions(PyObject* module, std::span<MethodEntry> functions) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (MethodEntry& f : functions) {
    if (f.decl->receiver != Receiver::kNone) {
      PyErr_SetString(PyExc_SystemError, "add_functions: an instance method in the table");
      return false;
    }
    OwnedRef func = OwnedRef::steal(PyCFunction_NewEx(&f.def, module, module_name.get()));
    if (!func || PyModule_AddObjectRef(module, f.def.ml_name, func.get()) != 0) return false;
  }
  return true;
}

}  // namespace korvel::py
