// The one declaration of a Python-callable method: its name, parameters, docstring body and
// how it receives its object. Everything else about the method (the docstring with its text
// signature line, the binder's names and messages, the method table entry, the re-wording of
// conversion errors) is derived from it; bodies name their arguments through Args<M>.
//
// A declaration is a struct M with
//   enum Param : size_t { kFirst, kSecond, ... };            // the parameters, in order
//   static constexpr Parameter kParams[] = {{kFirst, "first", kRequired}, ...};
//   static constexpr MethodDecl kDecl{.owner = ..., .name = ..., .receiver = ...,
//                                     .params = kParams, .doc = ...};
// (a method without parameters has an empty enum and no kParams).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "python/py_error.h"

namespace korvel::py {

inline constexpr bool kRequired = true;

struct Parameter {
  size_t index;  // the value of the declaration's Param enumerator; checked against position
  const char* name;
  bool required = false;  // optional parameters default to None
  // The default the signature line shows; the binder still passes an omitted argument as
  // nullptr and the body applies the default.
  const char* shown_default = "None";
};

// How a method receives its object: a static method has none; an instance method borrows
// its receiver, shared or exclusive, for the whole call.
enum class Receiver { kNone, kShared, kExclusive };

struct MethodDecl {
  const char* owner;  // the class name ("HybridIndex"), or nullptr for a module function
  const char* name;
  Receiver receiver;
  std::span<const Parameter> params;
  const char* doc;  // the docstring without its signature line
};

// Required parameters first, each enumerator at its own position, every name non-empty.
consteval bool well_formed(const MethodDecl& d) {
  bool optional_seen = false;
  for (size_t i = 0; i < d.params.size(); ++i) {
    const Parameter& p = d.params[i];
    if (p.index != i || p.name == nullptr || p.name[0] == '\0') return false;
    if (p.shown_default == nullptr || p.shown_default[0] == '\0') return false;
    if (p.required && optional_seen) return false;
    optional_seen = optional_seen || !p.required;
  }
  return d.name != nullptr && d.name[0] != '\0' && d.doc != nullptr;
}

constexpr size_t required_count(const MethodDecl& d) {
  size_t n = 0;
  while (n < d.params.size() && d.params[n].required) ++n;
  return n;
}

// "HybridIndex.add_record()": the name the interpreter-style messages use.
inline std::string display_name(const MethodDecl& d) {
  return d.owner == nullptr ? std::string(d.name) + "()"
                            : std::string(d.owner) + "." + d.name + "()";
}

namespace detail {

// Writes (or, with out == nullptr, only counts) the docstring in the interpreter's layout
// for built-ins: "name($self, a, b=None)\n--\n\n" and the body.
constexpr size_t render_docstring(const MethodDecl& d, char* out) {
  size_t n = 0;
  auto put = [&](std::string_view s) {
    for (char c : s) {
      if (out != nullptr) out[n] = c;
      ++n;
    }
  };
  put(d.name);
  put("(");
  bool first = true;
  if (d.receiver != Receiver::kNone) {
    put("$self");
    first = false;
  }
  for (const Parameter& p : d.params) {
    if (!first) put(", ");
    first = false;
    put(p.name);
    if (!p.required) {
      put("=");
      put(p.shown_default);
    }
  }
  put(")\n--\n\n");
  put(d.doc);
  return n;
}

}  // namespace detail

// The full docstring of M as a NUL-terminated array with static storage.
template <class M>
inline constexpr auto kDocstring = [] {
  static_assert(well_formed(M::kDecl));
  std::array<char, detail::render_docstring(M::kDecl, nullptr) + 1> text{};
  detail::render_docstring(M::kDecl, text.data());
  return text;
}();

// The bound arguments of one call of M, named by M's Param enumerators.
template <class M>
class Args {
 public:
  explicit Args(PyObject* const* values) : values_(values) {}

  // The argument as given (borrowed); nullptr where it was omitted.
  PyObject* operator[](typename M::Param p) const { return values_[p]; }

  // The argument, or nullptr where it was omitted or None.
  PyObject* given(typename M::Param p) const {
    return values_[p] == Py_None ? nullptr : values_[p];
  }

  // f(argument) with a TypeError re-worded "argument '{name}': {message}"; other errors
  // pass unchanged.
  template <class F>
  auto convert(typename M::Param p, F&& f) const {
    auto r = f(values_[p]);
    if (r) return r;
    return decltype(r)(
        unexpected(std::move(r).error().reword_for_argument(M::kDecl.params[p].name)));
  }

 private:
  PyObject* const* values_;
};

}  // namespace korvel::py
