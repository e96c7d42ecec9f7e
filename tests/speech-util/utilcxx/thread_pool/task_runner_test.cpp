#include "speech-util/utilcxx/thread_pool/task_runner.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstdlib>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/thread_pool/timer_pool.h"

using namespace speech::util;
using namespace vela_test;

namespace {

// Both services are process-wide, so every test uses channels of its own.
TaskRunner* runner() { return Singleton<TaskRunner>::instance(); }
TimerThPool* timers() { return Singleton<TimerThPool>::instance(); }

void expectSizes(int channel, int core, int max) {
    TaskLog log;
    std::promise<void> gate;
    const Gate closed = gate.get_future().share();
    for (int i = 0; i <= max; ++i) runner()->execute(new ProbeTask(channel, log, closed));
    ASSERT_TRUE(waitUntil([&] { return runner()->getThreadRunningSize(channel) == max; }));
    EXPECT_EQ(max, runner()->getThreadSize(channel));
    EXPECT_EQ(1, runner()->getTaskInQueueSize(channel));
    EXPECT_EQ(-1, runner()->threadPoolConfig(channel, TaskRunner::PoolSizes(1, 1)));
    gate.set_value();
    ASSERT_TRUE(waitUntil([&] { return log.allDeleted(max + 1); }));
    EXPECT_EQ(max + 1, log.deleted_after_run.load());
    ASSERT_TRUE(waitUntil([&] { return runner()->getThreadSize(channel) == core; }, milliseconds(60000)));
}

TEST(TaskRunnerTest, ChannelPoolsTakeDefaultOrConfiguredSizes) {
    runner()->setPoolTimeout(100);  // let threads above the core retire quickly
    expectSizes(7, 10, 100);

    EXPECT_EQ(0, runner()->threadPoolConfig(1000, TaskRunner::PoolSizes(1, 2)));
    EXPECT_EQ(0, runner()->threadPoolConfig(1000, TaskRunner::PoolSizes(4, 8)));
    expectSizes(1000, 4, 8);
    std::map<int, TaskRunner::PoolSizes> config;
    runner()->getThreadPoolConfig(config);
    EXPECT_EQ(TaskRunner::PoolSizes(4, 8), config[1000]);
}

TEST(TaskRunnerTest, RawTaskRunsOnTheChannelsSharedPool) {
    TaskLog log;
    runner()->execute(boost::shared_ptr<Task>(boost::make_shared<ProbeTask>(31, log)));
    runner()->execute(new ProbeTask(31, log));
    ASSERT_TRUE(waitUntil([&] { return log.allDeleted(2); }));
    EXPECT_EQ(2, log.deleted_after_run.load());
    // No raw-pointer pool was made for the channel, so it can still be configured.
    EXPECT_EQ(0, runner()->threadPoolConfig(31, TaskRunner::PoolSizes(1, 1)));

    runner()->execute(TaskPtr(nullptr));
    EXPECT_FALSE(runner()->scheduleRepeated(nullptr));
}

class CountingTimer : public Timer {
  public:
    struct Log {
        std::atomic<int> runs{0}, released{0};
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
    ASSERT_TRUE(waitUntil([&] { return log.released == 1; }));
    EXPECT_EQ(2, log.runs.load());
    EXPECT_GE(Clock::time_point(Clock::duration(log.first_run)) - start, milliseconds(100));
}

TEST(TimerPoolTest, NoRepeatsOrAFailedStartLeaveTheChannelFree) {
    CountingTimer::Log none, failed, later;
    ASSERT_TRUE(timers()->execute(new CountingTimer(4, 60000, 0, none)));
    ASSERT_TRUE(waitUntil([&] { return none.released == 1; }, milliseconds(10000))) << "no sleep";
    EXPECT_EQ(0, none.runs.load());

    failNext(PosixCall::kCreate);
    EXPECT_FALSE(timers()->execute(new CountingTimer(4, 10, 1, failed)));
    EXPECT_EQ(1, failed.released.load());
    // The channel is freed before the timer is released.
    ASSERT_TRUE(timers()->execute(new CountingTimer(4, 10, 1, later)));
    ASSERT_TRUE(waitUntil([&] { return later.released == 1; }));
    EXPECT_EQ(1, later.runs.load());
}

// smoothExit() acts on every pool and timer of the process, so it runs in a
// child process (a death test) with fresh services; failures go to stderr.
#define CHILD_CHECK(cond) \
    if (!(cond)) std::fprintf(stderr, "check failed: %s\n", #cond), std::_Exit(1)

void smoothExitScenario() {
    runner()->smoothExit();  // nothing to wait for

    runner()->setPoolTimeout(100);
    runner()->threadPoolConfig(60, TaskRunner::PoolSizes(0, 2));
    TaskLog log;
    runner()->execute(new ProbeTask(60, log));
    runner()->execute(new ProbeTask(60, log));
    runner()->smoothExit();
    CHILD_CHECK(runner()->getThreadSize(60) == 0);
    CHILD_CHECK(log.deleted_after_run == 2);

    CountingTimer::Log fast, slow, rejected;
    CHILD_CHECK(runner()->scheduleRepeated(new CountingTimer(61, 20, -1, fast)));
    CHILD_CHECK(runner()->scheduleRepeated(new CountingTimer(62, 300, -1, slow)));
    CHILD_CHECK(waitUntil([&] { return fast.runs >= 2; }));
    const auto start = Clock::now();
    runner()->smoothExit();
    CHILD_CHECK(msSince(start) >= 300);  // the longest interval

    // Cancelled timers stop (one run may have been under way) and keep their channels.
    const int fast_runs = fast.runs, slow_runs = slow.runs;
    std::this_thread::sleep_for(milliseconds(100));
    CHILD_CHECK(fast.runs <= fast_runs + 1 && slow.runs <= slow_runs + 1);
    CHILD_CHECK(timers()->getTimerSize() == 2);
    CHILD_CHECK(!timers()->execute(new CountingTimer(62, 10, 1, rejected)));
    timers()->smoothExit();  // must not address the ended threads again
    std::_Exit(0);
}

TEST(SmoothExitDeathTest, WaitsForPoolThreadsThenCancelsTimers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(smoothExitScenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
