// ThreadPool: a fixed set of worker threads for the heavy loops of batched search. The
// caller of parallel_for works too; workers start on the first call that needs them and
// then sleep between calls. No allocation per call or per task. Workers never run anything
// but the tasks handed to them (no interpreter object, no callback of the embedding
// program), so the process may exit while they sleep.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace korvel {

class ThreadPool {
 public:
  // A pool running tasks on at most `threads` threads, the caller included (0 is taken as 1).
  explicit ThreadPool(size_t threads);
  // Stops and joins the workers. REQUIRES: no parallel_for running.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t thread_count() const noexcept { return threads_; }

  // Runs fn(task) once for every task < task_count, on at most max_threads threads (0: all
  // of the pool's), and returns when all have finished. Tasks must not depend on each
  // other's order. If a task throws, tasks not yet started are skipped and, once every
  // running task has returned, the first exception is rethrown here; nothing escapes a
  // worker. Runs on the caller's thread alone when called from inside a task, while another
  // thread's parallel_for holds the pool, in a child process after fork(), or when no worker
  // thread could be started. Thread-safe.
  template <class Fn>
  void parallel_for(size_t task_count, size_t max_threads, Fn&& fn) {
    run(task_count, max_threads, &invoke<Fn>, &fn);
  }

 private:
  using TaskCall = void (*)(void* fn, size_t task);
  template <class Fn>
  static void invoke(void* fn, size_t task) {
    (*static_cast<std::remove_reference_t<Fn>*>(fn))(task);
  }

  void run(size_t task_count, size_t max_threads, TaskCall call, void* fn);
  void run_tasks() noexcept;  // claims and runs tasks of the current job until none is left
  void worker_loop(size_t id) noexcept;
  void start_workers(size_t wanted) noexcept;

  const size_t threads_;
  const long owner_pid_;
  std::mutex job_mutex_;  // held by the one parallel_for using the workers

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
  uint64_t generation_ = 0;  // bumped for every job handed to the workers
  size_t job_workers_ = 0;   // workers taking part in the current job (ids below it)
  size_t busy_workers_ = 0;  // workers of the current job still running tasks

  // The current job; read by workers between the wake-up and their report of completion.
  TaskCall job_call_ = nullptr;
  void* job_fn_ = nullptr;
  size_t job_tasks_ = 0;
  std::atomic<size_t> next_task_{0};
  std::exception_ptr error_;  // the first exception of the current job (under mutex_)
};

// The process-wide pool of batched search: std::thread::hardware_concurrency() threads.
// Created on first use and never destroyed, so its sleeping workers are neither joined nor
// torn down while static objects are destroyed at exit.
ThreadPool& default_thread_pool();

}  // namespace korvel
