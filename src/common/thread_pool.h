// ThreadPool: a fixed set of worker threads for the heavy loops of batched search and bulk
// writing. The caller of parallel_for works too; workers start on the first call that needs
// them and then sleep between calls, after spinning briefly for the next one. No allocation per call or per task. Workers never run
// anything but the tasks handed to them (no interpreter object, no callback of the embedding
// program), so the process may exit while they sleep. Also here: the one process-wide pool,
// its size (affinity mask, cgroup CPU quota, KORVEL_THREADS) and its hand-over to a second
// copy of this library in the same process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/expected.h"

namespace korvel {

using PoolTaskCall = void (*)(void* fn, size_t task);

// A pool as plain data: what a second copy of this library in the same process (each Python
// extension module links its own) needs to run its jobs on the first copy's pool, with all of
// the pool's code running in the copy that made it. Both copies come from one build.
struct SharedThreadPool {
  void* pool = nullptr;
  size_t threads = 0;
  void (*run)(void* pool, size_t task_count, size_t max_threads, PoolTaskCall call,
              void* fn) = nullptr;
};

class ThreadPool {
 public:
  // A pool running tasks on at most `threads` threads, the caller included (0 is taken as 1).
  explicit ThreadPool(size_t threads);
  // A pool with no workers of its own that hands every job to `target` (see
  // SharedThreadPool). REQUIRES: the pool behind `target` outlives this one.
  explicit ThreadPool(const SharedThreadPool& target);
  // Stops and joins the workers. REQUIRES: no parallel_for running.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t thread_count() const noexcept { return threads_; }

  // This pool as plain data. REQUIRES: the pool outlives every user of the result.
  SharedThreadPool share() noexcept { return {this, threads_, &run_shared}; }

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
  using TaskCall = PoolTaskCall;
  template <class Fn>
  static void invoke(void* fn, size_t task) {
    (*static_cast<std::remove_reference_t<Fn>*>(fn))(task);
  }

  void run(size_t task_count, size_t max_threads, TaskCall call, void* fn);
  static void run_shared(void* pool, size_t task_count, size_t max_threads, TaskCall call,
                         void* fn);
  void run_tasks() noexcept;  // claims and runs tasks of the current job until none is left
  void worker_loop(size_t id) noexcept;
  void start_workers(size_t wanted) noexcept;

  const size_t threads_;
  const SharedThreadPool target_;  // run == nullptr: this pool runs its own jobs
  const long owner_pid_;
  std::mutex job_mutex_;  // held by the one parallel_for using the workers

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
  // Written under mutex_; read without it while a worker or the caller spins (see spin_until).
  std::atomic<uint64_t> generation_{0};  // bumped for every job handed to the workers
  size_t job_workers_ = 0;               // workers taking part in the current job (ids below it)
  std::atomic<size_t> busy_workers_{0};  // workers of the current job still running tasks

  // The current job; read by workers between the wake-up and their report of completion.
  TaskCall job_call_ = nullptr;
  void* job_fn_ = nullptr;
  size_t job_tasks_ = 0;
  std::atomic<size_t> next_task_{0};
  std::exception_ptr error_;  // the first exception of the current job (under mutex_)
};

// Where the size of the process pool comes from.
enum class ThreadCountSource { kOverride, kCgroupQuota, kAffinityMask, kProcessorCount };

// "KORVEL_THREADS", "cgroup CPU quota", "CPU affinity mask", "processor count".
std::string_view to_string(ThreadCountSource source) noexcept;

struct ThreadCount {
  size_t count;
  ThreadCountSource source;
};

// The most threads KORVEL_THREADS may ask for.
inline constexpr size_t kMaxThreadOverride = 1024;

// KORVEL_THREADS set to something other than a decimal integer in 1..=kMaxThreadOverride.
struct BadThreadOverride {
  std::string value;
};
std::string to_string(const BadThreadOverride& e);

// What the size of the process pool is chosen from.
struct ThreadCountInputs {
  const char* override_value = nullptr;  // KORVEL_THREADS; nullptr or "" when unset
  size_t affinity_cpus = 0;              // CPUs in the affinity mask; 0 when unknown
  size_t processor_count = 1;            // used when the mask is unknown
  std::optional<size_t> quota_cpus;      // the cgroup CPU quota in whole CPUs, if any
};

// The size of the process pool: the override when set; else the CPUs of the affinity mask
// (the processor count when that is unknown), or the quota when it is smaller. At least 1.
// Errors: BadThreadOverride.
[[nodiscard]] Expected<ThreadCount, BadThreadOverride> choose_thread_count(
    const ThreadCountInputs& inputs);

// The CPUs a cgroup v2 `cpu.max` text allows ("150000 100000" -> 2: quota / period rounded up,
// at least 1). Nothing for "max 100000" (no quota) or a text of another form.
std::optional<size_t> cpus_from_cpu_max(std::string_view text);

// The same for cgroup v1's `cpu.cfs_quota_us` and `cpu.cfs_period_us` texts; nothing for a
// quota of -1 (no quota) or a text of another form.
std::optional<size_t> cpus_from_cfs_quota(std::string_view quota, std::string_view period);

// The smallest CPU quota over the cgroups of the process and their ancestors (a parent's quota
// limits its children), in whole CPUs. `proc_self_cgroup` is the text of /proc/self/cgroup
// and `root` the directory where the cgroup file systems are mounted (/sys/fs/cgroup): cgroup
// v2 `cpu.max` under `root` itself, v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us` under
// `root`/cpu or `root`/<the hierarchy's controller list>. Files that are missing or cannot be
// read are skipped. Nothing when no quota applies.
std::optional<size_t> cgroup_cpu_quota(std::string_view proc_self_cgroup, const std::string& root);

// choose_thread_count for this process: KORVEL_THREADS, the affinity mask
// (sched_getaffinity), the processor count and the cgroup quota of /proc/self/cgroup under
// /sys/fs/cgroup. Worked out on the first call; every call returns the same. Thread-safe.
const Expected<ThreadCount, BadThreadOverride>& default_thread_count();

// The process-wide pool, for batched search and bulk writing: default_thread_count() threads
// (when KORVEL_THREADS is bad, the count it would have without it; callers that must refuse
// a bad value check default_thread_count() first), or the pool adopted below. Created on
// first use and never destroyed, so its sleeping workers are neither joined nor torn down
// while static objects are destroyed at exit. Thread-safe.
ThreadPool& default_thread_pool();

// Makes default_thread_pool() a pool handing every job to `shared`, the default pool of
// another copy of this library, so that the process has one pool however many copies it
// holds. False, changing nothing, when this copy's default pool exists already.
// REQUIRES: the pool behind `shared` is never destroyed. Thread-safe.
bool adopt_default_thread_pool(const SharedThreadPool& shared);

}  // namespace korvel
