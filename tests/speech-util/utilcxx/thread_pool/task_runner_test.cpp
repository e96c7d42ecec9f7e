#include "speech-util/utilcxx/thread_pool/task_runner.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/thread_pool/timer_pool.h"

using namespace speech::util;
using namespace vela_test;

namespace {

TaskRunner* runner() { return Singleton<TaskRunner>::instance(); }
TimerThPool* timers() { return Singleton<TimerThPool>::instance(); }

// Fills `n` threads of `channel` with tasks blocked on `gate`.
void blockThreads(int channel, int n, TaskLog& log, Gate& gate) {
    for (int i = 0; i < n; ++i) runner()->execute(new ProbeTask(channel, log, &gate));
}

TEST(TaskRunnerTest, UnconfiguredChannelGetsDefaultSizes) {
    TaskLog log;
    Gate gate;
    blockThreads(7, 101, log, gate);
    ASSERT_TRUE(waitUntil([&] { return runner()->getThreadRunningSize(7) == 100; }));
    EXPECT_EQ(100, runner()->getThreadSize(7));
    EXPECT_EQ(1, runner()->getTaskInQueueSize(7));
    EXPECT_EQ(-1, runner()->threadPoolConfig(7, TaskRunner::PoolSizes(1, 1)));
    gate.open();
    ASSERT_TRUE(waitUntil([&] { return log.allDone(101); }));
    EXPECT_EQ(101, log.deleted_after_run.load());
}

TEST(TaskRunnerTest, ConfigurationAppliesUntilTheFirstTask) {
    EXPECT_EQ(0, runner()->threadPoolConfig(1000, TaskRunner::PoolSizes(1, 2)));
    EXPECT_EQ(0, runner()->threadPoolConfig(1000, TaskRunner::PoolSizes(4, 8)));

    TaskLog log;
    Gate gate;
    blockThreads(1000, 9, log, gate);
    ASSERT_TRUE(waitUntil([&] { return runner()->getThreadRunningSize(1000) == 8; }));
    EXPECT_EQ(8, runner()->getThreadSize(1000));
    EXPECT_EQ(1, runner()->getTaskInQueueSize(1000));

    EXPECT_EQ(-1, runner()->threadPoolConfig(1000, TaskRunner::PoolSizes(2, 2)));
    std::map<int, TaskRunner::PoolSizes> config;
    runner()->getThreadPoolConfig(config);
    EXPECT_EQ(TaskRunner::PoolSizes(4, 8), config[1000]);

    gate.open();
    ASSERT_TRUE(waitUntil([&] { return log.allDone(9); }));
}

TEST(TaskRunnerTest, RawTaskRunsOnTheChannelsSharedPool) {
    TaskLog log;
    runner()->execute(boost::shared_ptr<Task>(boost::make_shared<ProbeTask>(31, log)));
    runner()->execute(new ProbeTask(31, log));
    ASSERT_TRUE(waitUntil([&] { return log.allDone(2); }));
    EXPECT_EQ(2, log.deleted_after_run.load());
    // No raw-pointer pool was created for the channel: it can still be configured.
    EXPECT_EQ(0, runner()->threadPoolConfig(31, TaskRunner::PoolSizes(1, 1)));
}

TEST(TaskRunnerTest, NullWorkIsRefused) {
    runner()->execute(TaskPtr(nullptr));
    runner()->execute(boost::shared_ptr<Task>());
    EXPECT_FALSE(runner()->scheduleRepeated(nullptr));
}

// Counts its runs (with the time of the first) and its release.
class CountingTimer : public Timer {
  public:
    struct Log {
        std::atomic<int> runs{0};
        std::atomic<int> released{0};
        std::atomic<Clock::rep> first_run{0};
    };
    CountingTimer(int channel, uint64_t interval, int repeat, Log& log)
        : Timer(channel, interval, repeat), log_(log) {}
    ~CountingTimer() override { ++log_.released; }
    int handle() override {
        if (log_.runs++ == 0) log_.first_run = Clock::now().time_since_epoch().count();
        return 0;
    }

  private:
    Log& log_;
};

TEST(TimerPoolTest, RunsAtItsIntervalThenFreesTheChannel) {
    CountingTimer::Log log, rejected;
    const int busy_before = timers()->getTimerSize();
    const auto start = Clock::now();
    ASSERT_TRUE(runner()->scheduleRepeated(new CountingTimer(3, 100, 2, log)));
    EXPECT_FALSE(timers()->execute(new CountingTimer(3, 100, 1, rejected))) << "channel busy";
    EXPECT_EQ(1, rejected.released.load());

    ASSERT_TRUE(waitUntil([&] { return timers()->getTimerSize() == busy_before; }));
    EXPECT_EQ(2, log.runs.load());
    EXPECT_EQ(1, log.released.load());
    EXPECT_GE(
        std::chrono::duration_cast<milliseconds>(Clock::time_point(Clock::duration(log.first_run)) - start)
            .count(),
        100);
    EXPECT_EQ(0, rejected.runs.load());
}

TEST(TimerPoolTest, ZeroRepeatsRunNothingAndFreeTheChannelAtOnce) {
    CountingTimer::Log log, again;
    ASSERT_TRUE(timers()->execute(new CountingTimer(4, 60000, 0, log)));
    ASSERT_TRUE(waitUntil([&] { return log.released.load() == 1; }, milliseconds(10000)));
    EXPECT_EQ(0, log.runs.load());
    // The channel is freed before the timer is released.
    ASSERT_TRUE(timers()->execute(new CountingTimer(4, 10, 1, again)));
    ASSERT_TRUE(waitUntil([&] { return again.released.load() == 1; }));
}

TEST(TimerPoolTest, FailedThreadStartLeavesTheChannelFree) {
    CountingTimer::Log failed, later;
    const int busy_before = timers()->getTimerSize();
    failNext(PosixCall::kCreate);
    EXPECT_FALSE(timers()->execute(new CountingTimer(5, 10, 1, failed)));
    EXPECT_EQ(1, failed.released.load());
    EXPECT_EQ(busy_before, timers()->getTimerSize());
    ASSERT_TRUE(timers()->execute(new CountingTimer(5, 10, 1, later)));
    ASSERT_TRUE(waitUntil([&] { return later.released.load() == 1; }));
    EXPECT_EQ(1, later.runs.load());
}

// smoothExit() acts on process-wide state, so each case runs in a child
// process with a fresh runner and timer pool; a child reports failures on
// stderr and exits non-zero.
class SmoothExitTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

#define CHILD_CHECK(cond)                                      \
    do {                                                       \
        if (!(cond)) {                                         \
            std::fprintf(stderr, "check failed: %s\n", #cond); \
            std::_Exit(1);                                     \
        }                                                      \
    } while (0)

TEST_F(SmoothExitTest, WithoutPoolsOnlyStopsTheTimers) {
    EXPECT_EXIT(
        {
            runner()->smoothExit();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// smoothExit() first with two budget-1 pool threads, then with two timers.
void smoothExitScenario() {
    runner()->setPoolTimeout(100);
    runner()->threadPoolConfig(60, TaskRunner::PoolSizes(0, 2));
    TaskLog log;
    runner()->execute(new ProbeTask(60, log));
    runner()->execute(new ProbeTask(60, log));
    runner()->smoothExit();
    CHILD_CHECK(runner()->getThreadSize(60) == 0);
    CHILD_CHECK(log.deleted_after_run.load() == 2);

    CountingTimer::Log fast, slow;
    CHILD_CHECK(runner()->scheduleRepeated(new CountingTimer(61, 20, -1, fast)));
    CHILD_CHECK(runner()->scheduleRepeated(new CountingTimer(62, 300, -1, slow)));
    CHILD_CHECK(waitUntil([&] { return fast.runs.load() >= 2; }));
    const auto start = Clock::now();
    runner()->smoothExit();
    CHILD_CHECK(elapsedSince(start).count() >= 300);  // the longest interval

    // Cancelled timers stop and keep their channels busy.
    const int fast_runs = fast.runs.load(), slow_runs = slow.runs.load();
    std::this_thread::sleep_for(milliseconds(100));
    CHILD_CHECK(fast.runs.load() <= fast_runs + 1);
    CHILD_CHECK(slow.runs.load() <= slow_runs + 1);
    CHILD_CHECK(timers()->getTimerSize() == 2);
    CountingTimer::Log rejected;
    CHILD_CHECK(!timers()->execute(new CountingTimer(62, 10, 1, rejected)));
    // A second call must not address the threads that have ended.
    timers()->smoothExit();
    std::_Exit(0);
}

TEST_F(SmoothExitTest, WaitsForPoolThreadsThenCancelsTimers) {
    EXPECT_EXIT(smoothExitScenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
