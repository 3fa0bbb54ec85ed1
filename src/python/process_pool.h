// The one thread pool of the process. Each extension module links its own copy of the core,
// and so would have a pool of its own: korvel._engine publishes its pool as a capsule and
// korvel._native adopts it when imported, so that every job of either module runs on it.
#pragma once

#include <Python.h>

namespace korvel::py {

// For korvel._engine: refuses a bad KORVEL_THREADS (ValueError naming it), then adds the
// process pool as the capsule `_thread_pool` and the functions thread_count() and
// thread_count_source() to `module`. -1 with the error set on failure.
int register_thread_pool(PyObject* module);

// For korvel._native: imports korvel._engine and makes its pool this module's process pool.
// -1 with the error set on failure.
int adopt_engine_thread_pool();

}  // namespace korvel::py
