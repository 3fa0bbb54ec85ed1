// ThreadPool: lazy start, the job hand-over (one generation counter, one condition for
// waking workers, one for their completion) and task claiming through one atomic counter;
// the process pool's size and its adoption by a second copy of the library.
#include "common/thread_pool.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "common/read_file.h"

namespace korvel {
namespace {

// Set while this thread runs a task of any pool: a nested parallel_for runs inline rather
// than waiting for workers that may all be busy with the outer job.
thread_local bool in_task = false;

// How long a worker polls for the next job after its last, and the caller for the workers'
// completion, before sleeping on a condition. Waking a sleeping thread can take a millisecond
// where the host must first schedule an idle virtual processor, longer than a whole search of
// one query on a thread of its own; programs that search in a loop hand the next job over
// within this time and find the workers awake.
constexpr auto kSpinTime = std::chrono::microseconds(200);

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls `ready` until it holds or kSpinTime has passed (the caller then waits on its condition).
template <class Ready>
void spin_until(Ready&& ready) noexcept {
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= until) return;
  }
}

}  // namespace

ThreadPool::ThreadPool(size_t threads)
    : threads_(std::max<size_t>(threads, 1)), target_{}, owner_pid_(static_cast<long>(getpid())) {}

ThreadPool::ThreadPool(const SharedThreadPool& target)
    : threads_(std::max<size_t>(target.threads, 1)),
      target_(target),
      owner_pid_(static_cast<long>(getpid())) {}

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
    if (seen != 0) {  // after a job: poll for the next before sleeping
      lock.unlock();
      spin_until([&] { return generation_.load(std::memory_order_relaxed) != seen; });
      lock.lock();
    }
    wake_.wait(lock, [&] { return stopping_ || generation_.load() != seen; });
    if (stopping_) return;
    seen = generation_.load();
    if (id >= job_workers_) continue;
    lock.unlock();
    run_tasks();
    lock.lock();
    if (busy_workers_.fetch_sub(1) == 1) done_.notify_one();
  }
}

void ThreadPool::run_shared(void* pool, size_t task_count, size_t max_threads, TaskCall call,
                            void* fn) {
  static_cast<ThreadPool*>(pool)->run(task_count, max_threads, call, fn);
}

void ThreadPool::run(size_t task_count, size_t max_threads, TaskCall call, void* fn) {
  if (target_.run != nullptr) {
    target_.run(target_.pool, task_count, max_threads, call, fn);
    return;
  }
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
    busy_workers_.store(job_workers_);
    job_call_ = call;
    job_fn_ = fn;
    job_tasks_ = task_count;
    next_task_.store(0, std::memory_order_relaxed);
    error_ = nullptr;
    generation_.fetch_add(1);
  }
  wake_.notify_all();
  run_tasks();
  std::exception_ptr error;
  spin_until([&] { return busy_workers_.load(std::memory_order_relaxed) == 0; });
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return busy_workers_.load() == 0; });
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

namespace {

// A whole decimal number with no sign, space or other character around it.
std::optional<uint64_t> parse_decimal(std::string_view text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// The text without the trailing newline the kernel writes.
std::string_view trim_line(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  return text;
}

std::optional<size_t> whole_cpus(std::optional<uint64_t> quota, std::optional<uint64_t> period) {
  if (!quota || !period || *quota == 0 || *period == 0) return std::nullopt;
  const uint64_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
  return static_cast<size_t>(std::min<uint64_t>(cpus, SIZE_MAX));
}

// The CPUs of this thread's affinity mask; 0 when it cannot be read.
size_t affinity_cpu_count() {
  // The mask may be larger than cpu_set_t on machines with many processors.
  for (size_t words = sizeof(cpu_set_t) / sizeof(unsigned long); words <= (size_t{1} << 16);
       words *= 2) {
    std::vector<unsigned long> mask(words);
    const size_t bytes = words * sizeof(unsigned long);
    if (sched_getaffinity(0, bytes, reinterpret_cast<cpu_set_t*>(mask.data())) == 0) {
      return static_cast<size_t>(CPU_COUNT_S(bytes, reinterpret_cast<cpu_set_t*>(mask.data())));
    }
    if (errno != EINVAL) break;
  }
  return 0;
}

struct HostThreadCount {
  Expected<ThreadCount, BadThreadOverride> chosen;
  size_t without_override;
};

const HostThreadCount& host_thread_count() {
  static const HostThreadCount host = [] {
    ThreadCountInputs in;
    in.affinity_cpus = affinity_cpu_count();
    in.processor_count = std::thread::hardware_concurrency();
    if (auto text = read_file_to_string("/proc/self/cgroup")) {
      in.quota_cpus = cgroup_cpu_quota(*text, "/sys/fs/cgroup");
    }
    const size_t automatic = choose_thread_count(in)->count;
    in.override_value = std::getenv("KORVEL_THREADS");
    return HostThreadCount{choose_thread_count(in), automatic};
  }();
  return host;
}

// The default pool once made or adopted; written under g_pool_mutex.
std::atomic<ThreadPool*> g_pool{nullptr};
std::mutex g_pool_mutex;

}  // namespace

std::string_view to_string(ThreadCountSource source) noexcept {
  switch (source) {
    case ThreadCountSource::kOverride:
      return "KORVEL_THREADS";
    case ThreadCountSource::kCgroupQuota:
      return "cgroup CPU quota";
    case ThreadCountSource::kAffinityMask:
      return "CPU affinity mask";
    case ThreadCountSource::kProcessorCount:
      return "processor count";
  }
  return "";
}

std::string to_string(const BadThreadOverride& e) {
  return "KORVEL_THREADS must be an integer in 1.." + std::to_string(kMaxThreadOverride) +
         ", got '" + e.value + "'";
}

Expected<ThreadCount, BadThreadOverride> choose_thread_count(const ThreadCountInputs& in) {
  if (in.override_value != nullptr && in.override_value[0] != '\0') {
    const std::optional<uint64_t> n = parse_decimal(in.override_value);
    if (!n || *n == 0 || *n > kMaxThreadOverride) {
      return unexpected(BadThreadOverride{in.override_value});
    }
    return ThreadCount{static_cast<size_t>(*n), ThreadCountSource::kOverride};
  }
  ThreadCount count{std::max<size_t>(in.processor_count, 1), ThreadCountSource::kProcessorCount};
  if (in.affinity_cpus != 0) count = {in.affinity_cpus, ThreadCountSource::kAffinityMask};
  if (in.quota_cpus && *in.quota_cpus < count.count) {
    count = {std::max<size_t>(*in.quota_cpus, 1), ThreadCountSource::kCgroupQuota};
  }
  return count;
}

std::optional<size_t> cpus_from_cpu_max(std::string_view text) {
  text = trim_line(text);
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return whole_cpus(parse_decimal(text.substr(0, space)), parse_decimal(text.substr(space + 1)));
}

std::optional<size_t> cpus_from_cfs_quota(std::string_view quota, std::string_view period) {
  return whole_cpus(parse_decimal(trim_line(quota)), parse_decimal(trim_line(period)));
}

std::optional<size_t> cgroup_cpu_quota(std::string_view proc_self_cgroup, const std::string& root) {
  std::optional<size_t> tightest;
  auto consider = [&](std::optional<size_t> cpus) {
    if (cpus && (!tightest || *cpus < *tightest)) tightest = cpus;
  };
  auto read = [](const std::string& path) -> std::optional<std::string> {
    auto text = read_file_to_string(path);
    if (!text) return std::nullopt;
    return std::move(*text);
  };
  // The cgroup's directory and each ancestor's: "/a/b" gives "/a/b", "/a" and "".
  auto each_level = [](std::string_view path, auto&& visit) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    for (;;) {
      visit(std::string(path));
      if (path.empty()) return;
      const size_t slash = path.rfind('/');
      path = path.substr(0, slash == std::string_view::npos ? 0 : slash);
    }
  };
  while (!proc_self_cgroup.empty()) {
    const size_t eol = proc_self_cgroup.find('\n');
    const std::string_view line = proc_self_cgroup.substr(0, eol);
    proc_self_cgroup.remove_prefix(eol == std::string_view::npos ? proc_self_cgroup.size()
                                                                 : eol + 1);
    // "hierarchy-id:controller-list:path"; the path may itself hold colons.
    const size_t first = line.find(':');
    const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) {
      each_level(path, [&](const std::string& dir) {
        if (auto text = read(root + dir + "/cpu.max")) consider(cpus_from_cpu_max(*text));
      });
      continue;
    }
    bool has_cpu = false;
    for (std::string_view rest = controllers; !has_cpu;) {
      const size_t comma = rest.find(',');
      has_cpu = rest.substr(0, comma) == "cpu";
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    if (!has_cpu) continue;
    for (const std::string& mount : {root + "/cpu", root + "/" + std::string(controllers)}) {
      each_level(path, [&](const std::string& dir) {
        auto quota = read(mount + dir + "/cpu.cfs_quota_us");
        auto period = read(mount + dir + "/cpu.cfs_period_us");
        if (quota && period) consider(cpus_from_cfs_quota(*quota, *period));
      });
    }
  }
  return tightest;
}

const Expected<ThreadCount, BadThreadOverride>& default_thread_count() {
  return host_thread_count().chosen;
}

ThreadPool& default_thread_pool() {
  if (ThreadPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  ThreadPool* pool = g_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    const HostThreadCount& host = host_thread_count();
    // Intentionally leaked: destroying it at exit would join workers from a static
    // destructor, which can hang when the exit starts on a thread of the pool's own job or
    // after the runtime has stopped other threads.
    pool = new ThreadPool(host.chosen ? host.chosen->count : host.without_override);
    g_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

bool adopt_default_thread_pool(const SharedThreadPool& shared) {
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  if (g_pool.load(std::memory_order_relaxed) != nullptr) return false;
  g_pool.store(new ThreadPool(shared), std::memory_order_release);  // leaked as above
  return true;
}

}  // namespace korvel
