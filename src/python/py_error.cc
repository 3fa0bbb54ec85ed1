#include "python/py_error.h"

namespace korvel::py {

PyError PyError::make(PyObject* type, std::string message) {
  PyError e;
  e.type_ = OwnedRef::borrow(type);
  e.message_ = std::move(message);
  return e;
}

PyError PyError::fetch() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  PyError e;
  e.type_ = OwnedRef::steal(type);
  e.value_ = OwnedRef::steal(value);
  e.traceback_ = OwnedRef::steal(tb);
  return e;
}

std::string PyError::text() const {
  if (!value_) return message_;
  OwnedRef s = OwnedRef::steal(PyObject_Str(value_.get()));
  if (!s) {
    PyErr_Clear();
    return std::string();
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &len);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(utf8, static_cast<size_t>(len));
}

std::string PyError::type_name() const {
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(type_.get(), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len)) return std::string(s, len);
  }
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(type_.get())->tp_name;
}

void PyError::restore() && {
  if (!value_) {
    // Messages may hold NUL characters (a path quoted back): never go through a C string.
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
    if (text) PyErr_SetObject(type_.get(), text.get());
    return;
  }
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyError PyError::reword_for_argument(const char* name) && {
  if (!is_exactly(PyExc_TypeError)) return std::move(*this);
  std::string message = std::string("argument '") + name + "': " + text();
  if (!value_) return type_error(std::move(message));
  // The new error takes over the cause of the one it replaces.
  OwnedRef cause = OwnedRef::steal(PyException_GetCause(value_.get()));
  if (!cause) return type_error(std::move(message));
  OwnedRef new_value = OwnedRef::steal(PyObject_CallFunction(
      PyExc_TypeError, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!new_value) return fetch();
  PyException_SetCause(new_value.get(), cause.release());  // steals the reference
  PyError e;
  e.type_ = OwnedRef::borrow(PyExc_TypeError);
  e.value_ = std::move(new_value);
  return e;
}

std::string type_qualname(PyObject* obj) {
  OwnedRef name = OwnedRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len)) return std::string(s, len);
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

PyError cannot_convert(PyObject* obj, const char* target) {
  return type_error("'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

}  // namespace korvel::py
