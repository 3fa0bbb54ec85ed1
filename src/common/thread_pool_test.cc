// ThreadPool: every task exactly once whatever the thread and task counts, exceptions
// reaching the caller, nested and concurrent calls, exit and fork with sleeping workers, jobs
// handed to a shared pool; the process pool's size from fixture texts and cgroup trees.
#include "common/thread_pool.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>
#include <vector>

namespace korvel {
namespace {

TEST(ThreadPoolTest, RunsEveryTaskExactlyOnce) {
  ThreadPool pool(4);
  for (size_t tasks : {0, 1, 3, 4, 5, 100, 1000}) {
    // Jobs back to back find the workers polling; after the pause they have gone to sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (size_t max_threads : {0, 1, 2, 4, 9}) {
      std::vector<std::atomic<int>> runs(tasks);
      pool.parallel_for(tasks, max_threads, [&](size_t t) { runs[t].fetch_add(1); });
      for (size_t t = 0; t < tasks; ++t) ASSERT_EQ(runs[t].load(), 1) << tasks << " " << t;
    }
  }
}

TEST(ThreadPoolTest, FirstExceptionReachesTheCallerAndThePoolStaysUsable) {
  ThreadPool pool(3);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.parallel_for(64, 0,
                                 [&](size_t t) {
                                   ran.fetch_add(1);
                                   if (t % 7 == 3) throw std::bad_alloc();
                                 }),
               std::bad_alloc);
  EXPECT_LE(ran.load(), 64);
  std::atomic<int> after{0};
  pool.parallel_for(10, 0, [&](size_t) { after.fetch_add(1); });
  EXPECT_EQ(after.load(), 10);
}

TEST(ThreadPoolTest, NestedAndConcurrentCallsComplete) {
  ThreadPool pool(2);
  std::atomic<int> inner{0};
  pool.parallel_for(4, 0,
                    [&](size_t) { pool.parallel_for(5, 0, [&](size_t) { inner.fetch_add(1); }); });
  EXPECT_EQ(inner.load(), 20);

  std::atomic<int> total{0};
  auto caller = [&] {
    for (int i = 0; i < 200; ++i) pool.parallel_for(8, 0, [&](size_t) { total.fetch_add(1); });
  };
  std::thread a(caller), b(caller);
  a.join();
  b.join();
  EXPECT_EQ(total.load(), 2 * 200 * 8);
}

TEST(ThreadPoolDeathTest, ExitAndForkWithSleepingWorkers) {
  // Workers of the process-wide pool are started and asleep when the child is forked: the
  // child has none of them, must still run its tasks, and must exit without hanging.
  std::atomic<int> ran{0};
  default_thread_pool().parallel_for(16, 0, [&](size_t) { ran.fetch_add(1); });
  ASSERT_EQ(ran.load(), 16);
  EXPECT_EXIT(
      {
        std::atomic<int> child{0};
        default_thread_pool().parallel_for(16, 0, [&](size_t) { child.fetch_add(1); });
        std::exit(child.load() == 16 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(ThreadPoolTest, ASharedPoolRunsTheJobsOfAnother) {
  ThreadPool owner(3);
  ThreadPool proxy(owner.share());
  EXPECT_EQ(proxy.thread_count(), 3u);
  // Three tasks that each wait for all three to start finish only on three threads at once.
  std::atomic<int> started{0};
  proxy.parallel_for(3, 0, [&](size_t) {
    started.fetch_add(1);
    while (started.load() < 3) std::this_thread::yield();
  });
  EXPECT_THROW(proxy.parallel_for(8, 0,
                                  [](size_t t) {
                                    if (t == 5) throw std::bad_alloc();
                                  }),
               std::bad_alloc);
  std::atomic<int> nested{0};
  proxy.parallel_for(
      4, 0, [&](size_t) { proxy.parallel_for(3, 0, [&](size_t) { nested.fetch_add(1); }); });
  EXPECT_EQ(nested.load(), 12);
}

TEST(ThreadPoolDeathTest, AnAdoptedPoolIsTheProcessPool) {
  // A fresh process, where no default pool exists yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ThreadPool* const owner = new ThreadPool(3);  // outlives the process's use, as required
        const bool adopted = adopt_default_thread_pool(owner->share());
        ThreadPool& pool = default_thread_pool();
        const bool again = adopt_default_thread_pool(owner->share());
        std::exit(adopted && !again && &pool != owner && pool.thread_count() == 3 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  default_thread_pool();
  EXPECT_FALSE(adopt_default_thread_pool(ThreadPool(2).share()));
}

TEST(ThreadCount, ChosenFromTheOverrideTheMaskAndTheQuota) {
  struct Case {
    ThreadCountInputs in;
    size_t count;  // 0: the error below
    ThreadCountSource source;
  };
  using S = ThreadCountSource;
  const Case cases[] = {
      {{nullptr, 8, 16, std::nullopt}, 8, S::kAffinityMask},
      {{"", 8, 16, 3}, 3, S::kCgroupQuota},
      {{nullptr, 2, 16, 2}, 2, S::kAffinityMask},
      {{nullptr, 2, 16, 4}, 2, S::kAffinityMask},
      {{nullptr, 0, 16, std::nullopt}, 16, S::kProcessorCount},
      {{nullptr, 0, 0, std::nullopt}, 1, S::kProcessorCount},
      {{nullptr, 0, 16, 5}, 5, S::kCgroupQuota},
      {{"6", 2, 16, 1}, 6, S::kOverride},
      {{"1024", 2, 2, 1}, 1024, S::kOverride},
      {{"0", 2, 2, {}}, 0, {}},
      {{"1025", 2, 2, {}}, 0, {}},
      {{"-3", 2, 2, {}}, 0, {}},
      {{"+3", 2, 2, {}}, 0, {}},
      {{" 3", 2, 2, {}}, 0, {}},
      {{"3 ", 2, 2, {}}, 0, {}},
      {{"two", 2, 2, {}}, 0, {}},
      {{"99999999999999999999999", 2, 2, {}}, 0, {}},
  };
  for (const Case& c : cases) {
    const auto got = choose_thread_count(c.in);
    const std::string name = c.in.override_value ? c.in.override_value : "unset";
    if (c.count == 0) {
      ASSERT_FALSE(got) << name;
      EXPECT_EQ(to_string(got.error()),
                "KORVEL_THREADS must be an integer in 1..1024, got '" + name + "'");
      continue;
    }
    ASSERT_TRUE(got) << name;
    EXPECT_EQ(got->count, c.count) << name << " " << c.in.affinity_cpus;
    EXPECT_EQ(to_string(got->source), to_string(c.source)) << name << " " << c.in.affinity_cpus;
  }
}

TEST(ThreadCount, CgroupTextsGiveWholeCpusRoundedUp) {
  const std::pair<const char*, std::optional<size_t>> cpu_max[] = {
      {"max 100000\n", std::nullopt},
      {"150000 100000\n", 2},
      {"100000 100000", 1},
      {"50000 100000\n", 1},
      {"1 100000", 1},
      {"400000 100000\n", 4},
      {"0 100000", std::nullopt},
      {"max", std::nullopt},
      {"", std::nullopt},
      {"150000 0", std::nullopt},
      {"x 100000", std::nullopt},
  };
  for (const auto& [text, cpus] : cpu_max) EXPECT_EQ(cpus_from_cpu_max(text), cpus) << text;
  EXPECT_EQ(cpus_from_cfs_quota("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cpus_from_cfs_quota("250000\n", "100000\n"), 3u);
  EXPECT_EQ(cpus_from_cfs_quota("20000", "100000"), 1u);
  EXPECT_EQ(cpus_from_cfs_quota("20000", ""), std::nullopt);
}

TEST(ThreadCount, CgroupQuotaIsTheTightestOnThePathToTheRoot) {
  std::string tmpl = testing::TempDir() + "korvel_cgroup_XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::filesystem::path root = tmpl;
  auto put = [&](const std::string& file, const std::string& text) {
    std::filesystem::create_directories((root / file).parent_path());
    std::ofstream(root / file) << text;
  };
  // cgroup v2: the process's own cgroup has no limit, its parent 1.5 CPUs, the root none.
  put("cpu.max", "max 100000\n");
  put("app/cpu.max", "150000 100000\n");
  put("app/worker/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota("0::/app/worker\n", root), 2u);
  EXPECT_EQ(cgroup_cpu_quota("0::/\n", root), std::nullopt);
  EXPECT_EQ(cgroup_cpu_quota("0::/elsewhere\n", root), std::nullopt);
  // cgroup v1: a path of the host's namespace missing from the mount falls back to the
  // mount's root; the tightest of both hierarchies wins.
  put("cpu,cpuacct/cpu.cfs_quota_us", "300000\n");
  put("cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  put("cpu,cpuacct/docker/a/cpu.cfs_quota_us", "-1\n");
  put("cpu,cpuacct/docker/a/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota("4:cpu,cpuacct:/docker/a\n", root), 3u);
  EXPECT_EQ(cgroup_cpu_quota("4:cpu,cpuacct:/docker/b\n0::/app/worker\n", root), 2u);
  EXPECT_EQ(cgroup_cpu_quota("4:cpuacct:/docker/a\n3:memory:/\n", root), std::nullopt);
  EXPECT_EQ(cgroup_cpu_quota("garbage\n\n", root), std::nullopt);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace korvel
