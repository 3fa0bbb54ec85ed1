#include "python/arg_binder.h"

#include <string>
#include <vector>

namespace korvel::py {
namespace {

std::string utf8_or_repr(PyObject* s) {
  Py_ssize_t len = 0;
  if (PyUnicode_Check(s)) {
    if (const char* p = PyUnicode_AsUTF8AndSize(s, &len)) return std::string(p, len);
    PyErr_Clear();
  }
  return "?";
}

std::string quoted_list(const MethodDecl& decl, size_t required, PyObject* const* out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back(decl.params[i].name);
  }
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0)
      list += (missing.size() == 2) ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += "'";
    list += missing[i];
    list += "'";
  }
  return list;
}

}  // namespace

PyResult<void> bind_arguments(const MethodDecl& decl, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out) {
  const size_t count = decl.params.size();
  const size_t required = required_count(decl);
  auto display = [&] { return display_name(decl); };
  auto name = [&](size_t i) { return decl.params[i].name; };
  for (size_t i = 0; i < count; ++i) out[i] = nullptr;
  const auto given = static_cast<size_t>(nargs);
  if (given > count) {
    std::string m = display() + " takes ";
    if (required == count) {
      m += std::to_string(count);
    } else {
      m += "from " + std::to_string(required) + " to " + std::to_string(count);
    }
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
    return unexpected(type_error(std::move(m)));
  }
  for (size_t i = 0; i < given; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t slot = count;
    for (size_t i = 0; i < count; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name(i)) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == count) {
      return unexpected(type_error(display() + " got an unexpected keyword argument '" +
                                   utf8_or_repr(key) + "'"));
    }
    if (out[slot] != nullptr) {
      return unexpected(
          type_error(display() + " got multiple values for argument '" + name(slot) + "'"));
    }
    out[slot] = args[nargs + k];
  }

  size_t missing = 0;
  for (size_t i = 0; i < required; ++i) missing += out[i] == nullptr;
  if (missing > 0) {
    return unexpected(type_error(
        display() + " missing " + std::to_string(missing) + " required positional " +
        (missing == 1 ? "argument" : "arguments") + ": " + quoted_list(decl, required, out)));
  }
  return {};
}

}  // namespace korvel::py
