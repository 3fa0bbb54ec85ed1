// Query-mode methods: load() maps a data file and reads its sidecar; search() converts its
// arguments into a QueryRequest, runs execute_query without the interpreter lock and
// returns the (doc_id, score) rows as a float64 array.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "python/converters.h"
#include "python/hybrid_index_methods.h"
#include "python/numpy_access.h"
#include "query/open_index.h"
#include "query/query.h"

namespace korvel::py {
namespace {

// exact_rescore: None, a bool, or a NumPy boolean scalar (through its truth-value slot).
// NumPy 2 names its boolean scalar type "numpy.bool", NumPy 1 "numpy.bool_"; both are the
// same kind of object and both are accepted.
PyResult<bool> to_rescore_flag(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return false;
  if (PyBool_Check(obj)) return obj == Py_True;
  const char* name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_bool == nullptr) {
      OwnedRef type_str = OwnedRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
      if (!type_str) return unexpected(PyError::fetch());
      KORVEL_ASSIGN_OR_RETURN(std::string type_text, to_utf8(type_str.get()));
      return unexpected(
          type_error("object of type '" + type_text + "' does not define a '__bool__' conversion"));
    }
    const int truth = nb->nb_bool(obj);
    if (truth < 0) return unexpected(PyError::fetch());
    return truth == 1;
  }
  return unexpected(cannot_convert(obj, "PyBool"));
}

// filters: a dict of str -> str, in the dict's own order.
PyResult<std::vector<std::pair<std::string, std::string>>> to_filter_entries(PyObject* obj) {
  if (!PyDict_Check(obj)) return unexpected(cannot_convert(obj, "PyDict"));
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj)));
  bool exact_keys = true;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    KORVEL_ASSIGN_OR_RETURN(std::string k, to_utf8(key));
    KORVEL_ASSIGN_OR_RETURN(std::string v, to_utf8(value));
    exact_keys = exact_keys && PyUnicode_CheckExact(key);
    out.emplace_back(std::move(k), std::move(v));
  }
  if (exact_keys) return out;  // keys of the str type itself are distinct texts
  // Keys of str subclasses with their own hashing may repeat a text: as in a map from name
  // to value, a repeated name keeps its first position and its last value.
  std::vector<std::pair<std::string, std::string>> unique;
  unique.reserve(out.size());
  std::unordered_map<std::string, size_t> position;
  for (auto& entry : out) {
    auto [it, inserted] = position.try_emplace(entry.first, unique.size());
    if (inserted) {
      unique.push_back(std::move(entry));
    } else {
      unique[it->second].second = std::move(entry.second);
    }
  }
  return unique;
}

// Appends `s` as a double-quoted, escaped list item: backslash before '"' and '\', \0 \t
// \r \n, \u{hex} for other non-printable characters; everything printable unchanged.
void append_quoted(std::string& out, const std::string& s) {
  out += '"';
  OwnedRef u =
      OwnedRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
  if (!u) {
    PyErr_Clear();
    out += s;
    out += '"';
    return;
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(u.get());
  const int kind = PyUnicode_KIND(u.get());
  const void* data = PyUnicode_DATA(u.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    switch (ch) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\0':
        out += "\\0";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      default:
        break;
    }
    if (ch != ' ' && !Py_UNICODE_ISPRINTABLE(ch)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(ch));
      out += buf;
      continue;
    }
    // Re-encode the code point as UTF-8.
    char enc[4];
    size_t len;
    if (ch < 0x80) {
      enc[0] = static_cast<char>(ch), len = 1;
    } else if (ch < 0x800) {
      enc[0] = static_cast<char>(0xC0 | (ch >> 6)), enc[1] = static_cast<char>(0x80 | (ch & 0x3F));
      len = 2;
    } else if (ch < 0x10000) {
      enc[0] = static_cast<char>(0xE0 | (ch >> 12));
      enc[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      enc[2] = static_cast<char>(0x80 | (ch & 0x3F));
      len = 3;
    } else {
      enc[0] = static_cast<char>(0xF0 | (ch >> 18));
      enc[1] = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
      enc[2] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      enc[3] = static_cast<char>(0x80 | (ch & 0x3F));
      len = 4;
    }
    out.append(enc, len);
  }
  out += '"';
}

template <class Range, class Get>
std::string list_text(const Range& items, Get get) {
  std::string out = "[";
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    append_quoted(out, get(item));
  }
  return out + "]";
}

// Trait names and values -> Eq nodes in resolution order; one node alone, two or more
// under one And.
PyResult<void> resolve_filters(const QueryState& q,
                               const std::vector<std::pair<std::string, std::string>>& entries,
                               std::optional<FilterExpr>& filter) {
  std::vector<FilterExpr> nodes;
  nodes.reserve(entries.size());
  for (const auto& [name, value] : entries) {
    size_t t = 0;
    while (t < q.schema.size() && q.schema[t] != name) ++t;
    if (t == q.schema.size()) {
      return unexpected(value_error("Unknown trait name '" + name + "'. Valid traits: " +
                                    list_text(q.schema, [](const std::string& s) { return s; })));
    }
    // A sidecar may list fewer dictionaries than names; such a trait cannot be filtered.
    if (t >= q.dicts.size()) {
      return unexpected(
          value_error("Trait '" + name + "' has no value dictionary in the index metadata"));
    }
    const TraitDictionary& dict = q.dicts[t];
    auto code = dict.lookup(value);
    if (!code) {
      std::vector<std::string> known;
      known.reserve(dict.size());
      dict.for_each([&](const std::string& v, uint16_t) { known.push_back(v); });
      return unexpected(value_error(
          "Unknown value '" + value + "' for trait '" + name +
          "'. Known values: " + list_text(known, [](const std::string& s) { return s; })));
    }
    nodes.emplace_back().node = EqNode{t, *code};
  }
  if (nodes.size() == 1) {
    filter.emplace(std::move(nodes[0]));
  } else if (nodes.size() > 1) {
    filter.emplace().node.emplace<AndNode>().children = std::move(nodes);
  }
  return {};
}

PyResult<std::vector<float>> to_query_vector(PyObject* obj) {
  KORVEL_ASSIGN_OR_RETURN(std::optional<ArrayInfo> info, inspect_array(obj));
  if (info && info->ndim == 1 && info->element == ElementType::kFloat32) {
    if (!info->contiguous) {
      return unexpected(
          value_error("Query vector is not contiguous: The given array is not contiguous"));
    }
    // One pass, no zero fill: the copy is part of every search's fixed cost.
    if (reinterpret_cast<uintptr_t>(info->data) % alignof(float) == 0) {
      const auto* first = static_cast<const float*>(info->data);
      return std::vector<float>(first, first + info->length);
    }
    std::vector<float> out(info->length);
    if (info->length) std::memcpy(out.data(), info->data, info->length * sizeof(float));
    return out;
  }
  auto r = to_f32_list(obj);
  if (r || !r.error().is_exception()) return r;
  const PyError& e = r.error();
  return unexpected(value_error("Invalid query_vector format: " + e.type_name() + ": " + e.text()));
}

constexpr char kBorrowFailed[] = "Failed to borrow embeddings_data as slice";
constexpr char kWrongEmbeddingsType[] =
    "embeddings_data must be a NumPy array, bytes, or bytearray";

// A read-only export of embeddings_data, held for the whole call so that the storage
// stays in place (a bytearray cannot be resized while exported).
PyResult<void> borrow_embeddings(PyObject* obj, BufferView& view) {
  KORVEL_ASSIGN_OR_RETURN(std::optional<ArrayInfo> info, inspect_array(obj));
  if (info) {
    if (info->ndim != 1 || info->element != ElementType::kUInt8) {
      return unexpected(value_error(kWrongEmbeddingsType));
    }
    if (!info->contiguous || info->data == nullptr || !view.acquire(obj)) {
      PyErr_Clear();
      return unexpected(value_error(kBorrowFailed));
    }
    return {};
  }
  if (!PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
    return unexpected(value_error(kWrongEmbeddingsType));
  }
  if (!view.acquire(obj)) return unexpected(PyError::fetch());
  return {};
}

}  // namespace

PyResult<OwnedRef> load_body(Args<Load> args) {
  KORVEL_ASSIGN_OR_RETURN(std::string path, args.convert(Load::kPath, to_utf8));
  auto state = open_query_state(path);
  if (!state) {
    const OpenError& e = state.error();
    return unexpected(is_os_failure(e) ? io_error(to_string(e)) : value_error(to_string(e)));
  }
  return new_index_object(std::move(*state));
}

PyResult<OwnedRef> search_body(HybridIndexObject* self, Args<Search> args) {
  KORVEL_ASSIGN_OR_RETURN(auto filter_entries, args.convert(Search::kFilters, to_filter_entries));
  PyObject* query_vector = args.given(Search::kQueryVector);
  uint32_t top_k = 10;
  if (args.given(Search::kTopK)) {
    KORVEL_ASSIGN_OR_RETURN(top_k, args.convert(Search::kTopK, to_u32));
  }
  KORVEL_ASSIGN_OR_RETURN(bool exact_rescore, args.convert(Search::kExactRescore, to_rescore_flag));

  const auto* q = std::get_if<QueryState>(&self->state);
  if (q == nullptr) return unexpected(value_error(kSearchInBuildMode));

  QueryRequest request;
  request.top_k = top_k;
  request.exact_rescore = exact_rescore;
  if (query_vector != nullptr) {
    KORVEL_ASSIGN_OR_RETURN(request.query_vector, to_query_vector(query_vector));
  }
  KORVEL_TRY(resolve_filters(*q, filter_entries, request.filter));
  BufferView embeddings;
  if (PyObject* data = args.given(Search::kEmbeddingsData)) {
    KORVEL_TRY(borrow_embeddings(data, embeddings));
    request.embeddings = std::span<const uint8_t>(embeddings.data(), embeddings.size());
  }

  // The shared borrow keeps the state alive and unchanged; the buffer export keeps the
  // embeddings in place.
  auto hits = without_interpreter_lock([&] { return execute_query(*q, request); });
  if (!hits) return unexpected(value_error(to_string(hits.error())));

  double* out = nullptr;
  KORVEL_ASSIGN_OR_RETURN(OwnedRef array, new_f64_matrix(hits->size(), &out));
  for (const SearchHit& h : *hits) {
    const uint64_t doc =
        h.record_index < q->doc_ids.size() ? q->doc_ids[h.record_index] : h.record_index;
    *out++ = static_cast<double>(doc);
    if (exact_rescore) {
      *out++ = h.exact_score ? static_cast<double>(*h.exact_score) : 0.0;
    } else {
      *out++ = static_cast<double>(h.distance);
    }
  }
  return array;
}

}  // namespace korvel::py
