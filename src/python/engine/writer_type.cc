// The heap type korvel._engine.Writer: a BulkWriter behind the method entry (bind -> borrow ->
// convert -> core without the interpreter lock -> raise). add() borrows the object
// exclusively and save() shares it, so an add() racing a save() on another thread fails with
// RuntimeError instead of changing the storage being written.
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "build/bulk_writer.h"
#include "python/boundary.h"
#include "python/converters.h"
#include "python/engine/engine.h"
#include "python/engine/writer_args.h"
#include "python/method_decl.h"
#include "python/py_error.h"
#include "python/py_ref.h"
#include "python/trampoline.h"

namespace korvel::py {
namespace {

struct WriterObject {
  PyObject_HEAD std::optional<BulkWriter> writer;  // placement-constructed in tp_new
  Py_ssize_t borrow_flag;                          // 0 free, k > 0 shared borrows, -1 exclusive
  Py_ssize_t records;                              // len(), read without a borrow
};

PyTypeObject* g_writer_type = nullptr;  // set once by register_writer_type

constexpr char kWriterName[] = "Writer";

struct Add {
  enum Param : size_t { kDocIds, kColumns, kEmbeddings, kOffsets };
  static constexpr Parameter kParams[] = {{kDocIds, "doc_ids", kRequired},
                                          {kColumns, "columns"},
                                          {kEmbeddings, "embeddings"},
                                          {kOffsets, "offsets"}};
  static constexpr MethodDecl kDecl{.owner = kWriterName,
                                    .name = "add",
                                    .receiver = Receiver::kExclusive,
                                    .params = kParams,
                                    .doc = "Appends len(doc_ids) records; all or nothing."};
};

struct Save {
  enum Param : size_t { kPath };
  static constexpr Parameter kParams[] = {{kPath, "path", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = kWriterName,
      .name = "save",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc = "Writes the data file at path and its sidecar at path + '.meta'."};
};

// add() borrows the writer exclusively and save() shares it (see the file comment).
struct WriterClass {
  using Object = WriterObject;
  static PyResult<Py_ssize_t*> receive(PyObject* receiver) {
    if (g_writer_type == nullptr || !PyObject_TypeCheck(receiver, g_writer_type)) {
      return unexpected(cannot_convert(receiver, kWriterName));
    }
    return &reinterpret_cast<WriterObject*>(receiver)->borrow_flag;
  }
};

PyResult<OwnedRef> add_body(WriterObject* self, Args<Add> args) {
  BulkWriter& writer = *self->writer;
  const std::vector<std::string>& schema = writer.schema();
  KORVEL_ASSIGN_OR_RETURN(U64Column doc_ids, to_u64_column(args[Add::kDocIds], "doc_ids"));

  // Each given column is converted once, even when its name appears twice in the schema.
  std::vector<TraitColumn> owned;
  std::vector<size_t> column_of(schema.size(), SIZE_MAX);
  PyObject* columns = args.given(Add::kColumns);
  if (columns != nullptr) {
    if (!PyDict_Check(columns)) {
      return unexpected(type_error("columns: expected a dict of trait name to column, got '" +
                                   type_qualname(columns) + "'"));
    }
    owned.reserve(static_cast<size_t>(PyDict_GET_SIZE(columns)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(columns, &pos, &key, &value)) {
      auto key_text = to_utf8(key);
      if (!key_text) {
        PyError e = std::move(key_text).error();
        if (!e.is_exactly(PyExc_TypeError)) return unexpected(std::move(e));
        return unexpected(
            type_error("columns: trait names must be str, got '" + type_qualname(key) + "'"));
      }
      const std::string name = std::move(*key_text);
      bool known = false;
      for (size_t t = 0; t < schema.size(); ++t) {
        if (schema[t] == name) column_of[t] = owned.size(), known = true;
      }
      if (!known) {
        std::string names;
        for (const std::string& s : schema) names += (names.empty() ? "'" : ", '") + s + "'";
        return unexpected(
            value_error("columns: unknown trait '" + name + "' (the schema is " + names + ")"));
      }
      KORVEL_ASSIGN_OR_RETURN(TraitColumn c, to_trait_column(value, "column '" + name + "'"));
      owned.push_back(std::move(c));
    }
  }
  std::optional<EmbeddingArg> embeddings;
  if (PyObject* given = args.given(Add::kEmbeddings)) {
    KORVEL_ASSIGN_OR_RETURN(embeddings, to_embeddings(given));
  }
  std::optional<U64Column> offsets;
  if (PyObject* given = args.given(Add::kOffsets)) {
    KORVEL_ASSIGN_OR_RETURN(offsets, to_offset_column(given));
  }

  BulkBatch batch;
  batch.doc_ids = doc_ids.values;
  for (size_t t = 0; t < schema.size(); ++t) {
    batch.columns.push_back(column_of[t] == SIZE_MAX ? nullptr : &owned[column_of[t]]);
  }
  if (embeddings) batch.embeddings = embeddings->rows;
  if (offsets) batch.offsets = offsets->values;
  auto added = without_interpreter_lock([&] { return writer.add(batch); });
  if (!added) return unexpected(value_error(to_string(added.error())));
  self->records = static_cast<Py_ssize_t>(writer.size());
  return OwnedRef::borrow(Py_None);
}

PyResult<OwnedRef> save_body(WriterObject* self, Args<Save> args) {
  KORVEL_ASSIGN_OR_RETURN(std::string path, args.convert(Save::kPath, to_utf8));
  auto saved = without_interpreter_lock([&] { return self->writer->save(path); });
  if (!saved) return unexpected(io_error(to_string(saved.error())));
  return OwnedRef::borrow(Py_None);
}

constexpr char kClassDoc[] =
    "Writer(schema, dim)\n--\n\n"
    "Builds an index from columns: document ids, one column of str per trait, an embedding\n"
    "matrix and external offsets. Keeps per record only what the data file holds.";

MethodEntry g_methods[] = {
    instance_method<WriterClass, Add, add_body>(),
    instance_method<WriterClass, Save, save_body>(),
};

PyObject* get_schema(PyObject* self, void*) {
  return guarded([&]() -> PyResult<OwnedRef> {
    const auto& schema = reinterpret_cast<WriterObject*>(self)->writer->schema();
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(schema.size())));
    if (!tuple) return unexpected(PyError::fetch());
    for (size_t t = 0; t < schema.size(); ++t) {
      PyObject* s = PyUnicode_DecodeUTF8(
          schema[t].data(), static_cast<Py_ssize_t>(schema[t].size()), "surrogatepass");
      if (s == nullptr) return unexpected(PyError::fetch());
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(t), s);
    }
    return tuple;
  });
}

PyObject* get_dim(PyObject* self, void*) {
  return PyLong_FromLong(reinterpret_cast<WriterObject*>(self)->writer->vector_dim());
}

PyGetSetDef g_getset[] = {
    {"schema", &get_schema, nullptr, "The trait names, in schema order.", nullptr},
    {"dim", &get_dim, nullptr, "The embedding dimension.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"schema", "dim", nullptr};
  PyObject *schema_obj, *dim_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Writer", const_cast<char**>(kKeywords),
                                   &schema_obj, &dim_obj)) {
    return nullptr;
  }
  return guarded([&]() -> PyResult<OwnedRef> {
    KORVEL_ASSIGN_OR_RETURN(std::vector<std::string> schema,
                            argument("schema", to_string_list(schema_obj)));
    KORVEL_ASSIGN_OR_RETURN(uint64_t dim, argument("dim", to_u64(dim_obj)));
    auto writer = BulkWriter::create(std::move(schema), dim, kMaxRecordCount, 16);
    if (!writer) return unexpected(value_error(to_string(writer.error())));
    OwnedRef obj = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!obj) return unexpected(PyError::fetch());
    auto* self = reinterpret_cast<WriterObject*>(obj.get());
    new (&self->writer) std::optional<BulkWriter>(std::move(*writer));
    self->borrow_flag = 0;
    self->records = 0;
    return obj;
  });
}

void writer_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<WriterObject*>(obj)->writer.~optional();
  type->tp_free(obj);
  Py_DECREF(type);
}

Py_ssize_t writer_len(PyObject* self) { return reinterpret_cast<WriterObject*>(self)->records; }

}  // namespace

int register_writer_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(&writer_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&writer_dealloc)},
      {Py_tp_getset, g_getset},
      {Py_sq_length, reinterpret_cast<void*>(&writer_len)},
      {0, nullptr},
  };
  PyType_Spec spec = {"korvel._engine.Writer", static_cast<int>(sizeof(WriterObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return -1;
  if (!add_methods(reinterpret_cast<PyTypeObject*>(type), g_methods) ||
      PyModule_AddObject(module, "Writer", type) != 0) {  // steals on success only
    Py_DECREF(type);
    return -1;
  }
  g_writer_type = reinterpret_cast<PyTypeObject*>(type);  // the module keeps it alive
  return 0;
}

}  // namespace korvel::py
