// The process pool's capsule, its adoption, and the functions reporting its size.
#include "python/process_pool.h"

#include <string>

#include "common/thread_pool.h"
#include "python/method_decl.h"
#include "python/py_error.h"
#include "python/py_ref.h"
#include "python/trampoline.h"

namespace korvel::py {
namespace {

// The capsule's name names the layout of SharedThreadPool; a change of that layout changes it.
constexpr const char* kCapsuleName = "korvel._engine._thread_pool.v1";

struct ThreadCountFunction {
  enum Param : size_t {};
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "thread_count",
      .receiver = Receiver::kNone,
      .params = {},
      .doc =
          "Threads of the process's pool: KORVEL_THREADS when set, else the CPUs this process "
          "may use (affinity mask and cgroup CPU quota).",
  };
};

struct ThreadCountSourceFunction {
  enum Param : size_t {};
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "thread_count_source",
      .receiver = Receiver::kNone,
      .params = {},
      .doc =
          "Where thread_count() comes from: 'KORVEL_THREADS', 'cgroup CPU quota', "
          "'CPU affinity mask' or 'processor count'.",
  };
};

PyResult<OwnedRef> thread_count_body(Args<ThreadCountFunction>) {
  OwnedRef n = OwnedRef::steal(PyLong_FromSize_t(default_thread_pool().thread_count()));
  if (!n) return unexpected(PyError::fetch());
  return n;
}

PyResult<OwnedRef> thread_count_source_body(Args<ThreadCountSourceFunction>) {
  // The module refused to load when KORVEL_THREADS was bad, so the count is a value here.
  const std::string_view source = to_string(default_thread_count()->source);
  OwnedRef text = OwnedRef::steal(
      PyUnicode_FromStringAndSize(source.data(), static_cast<Py_ssize_t>(source.size())));
  if (!text) return unexpected(PyError::fetch());
  return text;
}

MethodEntry g_functions[] = {
    static_method<ThreadCountFunction, thread_count_body>(),
    static_method<ThreadCountSourceFunction, thread_count_source_body>(),
};

}  // namespace

int register_thread_pool(PyObject* module) {
  const auto& count = default_thread_count();
  if (!count) {
    value_error(to_string(count.error())).restore();
    return -1;
  }
  // Static: the capsule points at it for the life of the process, as at the pool it names.
  static SharedThreadPool shared = default_thread_pool().share();
  OwnedRef capsule = OwnedRef::steal(PyCapsule_New(&shared, kCapsuleName, nullptr));
  if (!capsule || PyModule_AddObjectRef(module, "_thread_pool", capsule.get()) != 0) return -1;
  return add_functions(module, g_functions) ? 0 : -1;
}

int adopt_engine_thread_pool() {
  static bool adopted = false;  // under the interpreter lock; a failed import may be retried
  if (adopted) return 0;
  OwnedRef engine = OwnedRef::steal(PyImport_ImportModule("korvel._engine"));
  if (!engine) return -1;
  OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(engine.get(), "_thread_pool"));
  if (!capsule) return -1;
  const auto* shared =
      static_cast<const SharedThreadPool*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
  if (shared == nullptr) return -1;
  // This copy's pool is made only on demand, and nothing of this module ran before its import.
  if (!adopt_default_thread_pool(*shared)) {
    PyError::make(PyExc_ImportError, "korvel._native: its own thread pool exists already")
        .restore();
    return -1;
  }
  adopted = true;
  return 0;
}

}  // namespace korvel::py
