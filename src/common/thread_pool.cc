// ThreadPool: lazy start, the job hand-over (one generation counter, one condition for
// waking workers, one for their completion) and task claiming through one atomic counter.
#include "common/thread_pool.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace korvel {
namespace {

// Set while this thread runs a task of any pool: a nested parallel_for runs inline rather
// than waiting for workers that may all be busy with the outer job.
thread_local bool in_task = false;

}  // namespace

ThreadPool::ThreadPool(size_t threads)
    : threads_(std::max<size_t>(threads, 1)), owner_pid_(static_cast<long>(getpid())) {}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

// Starts workers until `wanted` exist. A thread that cannot be started (resource limits)
// leaves the pool smaller; the job runs on the threads there are.
void ThreadPool::start_workers(size_t wanted) noexcept {
  while (workers_.size() < wanted) {
    try {
      workers_.emplace_back([this, id = workers_.size()] { worker_loop(id); });
    } catch (...) {
      return;
    }
  }
}

void ThreadPool::run_tasks() noexcept {
  const bool outer = in_task;
  in_task = true;
  for (;;) {
    const size_t task = next_task_.fetch_add(1, std::memory_order_relaxed);
    if (task >= job_tasks_) break;
    try {
      job_call_(job_fn_, task);
    } catch (...) {
      // Skip the tasks not yet claimed; keep the first exception for the caller.
      next_task_.store(job_tasks_, std::memory_order_relaxed);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
  }
  in_task = outer;
}

void ThreadPool::worker_loop(size_t id) noexcept {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    if (id >= job_workers_) continue;
    lock.unlock();
    run_tasks();
    lock.lock();
    if (--busy_workers_ == 0) done_.notify_one();
  }
}

void ThreadPool::run(size_t task_count, size_t max_threads, TaskCall call, void* fn) {
  if (task_count == 0) return;
  size_t threads = std::min({max_threads == 0 ? threads_ : max_threads, threads_, task_count});
  std::unique_lock<std::mutex> job(job_mutex_, std::defer_lock);
  // After fork() only the forking thread exists in the child: the workers are gone.
  if (in_task || static_cast<long>(getpid()) != owner_pid_ || !job.try_lock()) threads = 1;
  if (threads == 1) {
    const bool outer = in_task;
    in_task = true;
    struct Restore {
      bool value;
      ~Restore() { in_task = value; }
    } restore{outer};
    for (size_t task = 0; task < task_count; ++task) call(fn, task);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    start_workers(threads - 1);
    job_workers_ = std::min(threads - 1, workers_.size());
    busy_workers_ = job_workers_;
    job_call_ = call;
    job_fn_ = fn;
    job_tasks_ = task_count;
    next_task_.store(0, std::memory_order_relaxed);
    error_ = nullptr;
    ++generation_;
  }
  wake_.notify_all();
  run_tasks();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return busy_workers_ == 0; });
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

ThreadPool& default_thread_pool() {
  // Intentionally leaked: destroying it at exit would join workers from a static
  // destructor, which can hang when the exit starts on a thread of the pool's own job or
  // after the runtime has stopped other threads.
  static ThreadPool* const pool = new ThreadPool(std::thread::hardware_concurrency());
  return *pool;
}

}  // namespace korvel
