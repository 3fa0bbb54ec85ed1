#include "python/method_object.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <string_view>

namespace korvel::py {
namespace {

struct MethodObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;             // null (None) when the docstring has no body
  PyObject* text_signature;  // null (None) when the docstring has no signature line
  PyObject* module;          // always null: read as None, as for the built-ins
};

PyTypeObject* g_type = nullptr;  // written once under the interpreter lock

void dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<MethodObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  Py_XDECREF(self->name);
  Py_XDECREF(self->qualname);
  Py_XDECREF(self->doc);
  Py_XDECREF(self->text_signature);
  type->tp_free(obj);
  Py_DECREF(type);
}

// Through the class the method itself; through an instance a bound method.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

// The built-in functions these objects stand for printed and pickled by bare name.
PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat("<built-in function %U>",
                              reinterpret_cast<MethodObject*>(self)->name);
}

PyObject* reduce(PyObject* self, PyObject*) {
  PyObject* name = reinterpret_cast<MethodObject*>(self)->name;
  Py_INCREF(name);
  return name;
}

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(MethodObject, text_signature), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* method_type() {
  if (g_type != nullptr) return g_type;
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
      {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(&descr_get)},
      {Py_tp_repr, reinterpret_cast<void*>(&repr)},
      {Py_tp_members, g_members},
      {Py_tp_methods, g_methods},
      {0, nullptr},
  };
  // A method descriptor: bound to an instance it calls this with the instance first, which
  // lets the interpreter call it without making the bound method.
  PyType_Spec spec = {"builtins.builtin_method", static_cast<int>(sizeof(MethodObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                          Py_TPFLAGS_IMMUTABLETYPE,
                      slots};
  g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return g_type;
}

PyObject* text_or_null(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

}  // namespace

OwnedRef new_method_object(const char* owner, const char* name, const char* docstring,
                           vectorcallfunc call) {
  PyTypeObject* type = method_type();
  if (type == nullptr) return OwnedRef();
  OwnedRef obj = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!obj) return obj;
  auto* self = reinterpret_cast<MethodObject*>(obj.get());
  self->vectorcall = call;
  // The interpreter's split of a built-in's docstring: "name(...)" up to the "\n--\n\n"
  // marker is the signature, the rest the documentation.
  std::string_view doc(docstring);
  std::string_view signature;
  const size_t name_len = std::strlen(name);
  const size_t marker = doc.find("\n--\n\n");
  if (doc.substr(0, name_len) == name && doc.size() > name_len && doc[name_len] == '(' &&
      marker != std::string_view::npos) {
    signature = doc.substr(name_len, marker - name_len);
    doc.remove_prefix(marker + 5);
  }
  self->name = PyUnicode_FromString(name);
  self->qualname = PyUnicode_FromFormat("%s.%s", owner, name);
  if (!signature.empty()) self->text_signature = text_or_null(signature);
  if (!doc.empty()) self->doc = text_or_null(doc);
  if (self->name == nullptr || self->qualname == nullptr ||
      (!signature.empty() && self->text_signature == nullptr) ||
      (!doc.empty() && self->doc == nullptr)) {
    return OwnedRef();
  }
  return obj;
}

}  // namespace korvel::py
