// Module entry point of korvel._engine: one module object per process (module_init.h), the
// types registered by their own files, and the process's thread pool (process_pool.h).
#include <Python.h>

#include <utility>

#include "python/engine/engine.h"
#include "python/method_decl.h"
#include "python/module_init.h"
#include "python/process_pool.h"
#include "python/py_error.h"
#include "python/py_ref.h"
#include "python/trampoline.h"
#include "simd/cpu_features.h"
#include "simd/kernel_table.h"

namespace korvel::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The array front end of Korvel: bulk writing and batched search.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleSlot g_slot;

// The kernel table this process uses and what the processor offers, for `python -m korvel
// info` and the benchmark reports.
struct KernelInfo {
  enum Param : size_t {};
  static constexpr MethodDecl kDecl{
      .owner = nullptr,
      .name = "kernel_info",
      .receiver = Receiver::kNone,
      .params = {},
      .doc = "The kernel table in use, the tables this processor can run, and its features."};
};

PyResult<void> set_item(PyObject* dict, const char* key, OwnedRef value) {
  if (!value || PyDict_SetItemString(dict, key, value.get()) != 0) {
    return unexpected(PyError::fetch());
  }
  return {};
}

OwnedRef py_bool(bool b) { return OwnedRef::steal(PyBool_FromLong(b ? 1 : 0)); }

PyResult<OwnedRef> kernel_info_body(Args<KernelInfo>) {
  const CpuFeatures& cpu = cpu_features();
  OwnedRef features = OwnedRef::steal(PyDict_New());
  if (!features) return unexpected(PyError::fetch());
  const std::pair<const char*, bool> flags[] = {
      {"avx2", cpu.avx && cpu.avx2},
      {"avx512f", cpu.avx512f},
      {"avx512bw", cpu.avx512bw},
      {"avx512vpopcntdq", cpu.avx512vpopcntdq},
      {"os_ymm_state", cpu.osxsave && cpu.ymm_state},
      {"os_zmm_state", cpu.osxsave && cpu.zmm_state},
  };
  for (const auto& [name, value] : flags)
    KORVEL_TRY(set_item(features.get(), name, py_bool(value)));
  OwnedRef usable = OwnedRef::steal(PyList_New(0));
  if (!usable) return unexpected(PyError::fetch());
  for (InstructionSet set : kInstructionSets) {
    if (!instruction_set_usable(set)) continue;
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString(kernel_table(set).name));
    if (!name || PyList_Append(usable.get(), name.get()) != 0) return unexpected(PyError::fetch());
  }
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return unexpected(PyError::fetch());
  KORVEL_TRY(
      set_item(dict.get(), "kernels", OwnedRef::steal(PyUnicode_FromString(kernels().name))));
  KORVEL_TRY(set_item(dict.get(), "usable", std::move(usable)));
  KORVEL_TRY(set_item(dict.get(), "avx512_emulated", py_bool(avx512_emulated())));
  KORVEL_TRY(set_item(dict.get(), "cpu", std::move(features)));
  return dict;
}

MethodEntry g_functions[] = {
    static_method<KernelInfo, kernel_info_body>(),
};

// A KORVEL_KERNELS request this processor cannot run (or an unknown name) stops the import
// with its text, before any kernel could run; 0 when the choice stands.
int check_kernel_choice() {
  const auto& choice = kernel_choice();
  if (choice) return 0;
  PyError::make(PyExc_ImportError, to_string(choice.error())).restore();
  return -1;
}

PyObject* create_module() {
  if (check_kernel_choice() != 0) return nullptr;
  OwnedRef module = OwnedRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (register_thread_pool(module.get()) != 0) return nullptr;  // first: refuses a bad setting
  if (!add_functions(module.get(), g_functions)) return nullptr;
  if (register_writer_type(module.get()) != 0) return nullptr;
  if (register_index_type(module.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace korvel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  return korvel::py::module_for_first_interpreter(korvel::py::g_slot, "korvel._engine",
                                                  &korvel::py::create_module);
}
