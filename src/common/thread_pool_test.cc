// ThreadPool: every task exactly once whatever the thread and task counts, exceptions
// reaching the caller, nested and concurrent calls, and exit and fork with sleeping workers.
#include "common/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

namespace korvel {
namespace {

TEST(ThreadPoolTest, RunsEveryTaskExactlyOnce) {
  ThreadPool pool(4);
  for (size_t tasks : {0, 1, 3, 4, 5, 100, 1000}) {
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

}  // namespace
}  // namespace korvel
