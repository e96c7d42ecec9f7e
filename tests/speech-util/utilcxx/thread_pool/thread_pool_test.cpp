#include "speech-util/utilcxx/thread_pool/thread_pool.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/make_shared.hpp>
#include <memory>
#include <thread>
#include <vector>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/thread_pool/shared_thread_pool.h"

using namespace speech::util;
using namespace vela_test;

namespace {

constexpr int kTimeout = 100;  // ms; a budget-1 thread retires ~2 * kTimeout after its last task

// A pool whose core threads (idle budget 3600) outlive the test: it is never
// destroyed, since a pool may only go once it has no threads.
ThreadPool* longLivedPool(unsigned core, unsigned max, int timeout = kTimeout) {
    static std::vector<std::unique_ptr<ThreadPool>>* pools = new std::vector<std::unique_ptr<ThreadPool>>;
    pools->emplace_back(new ThreadPool(core, max, 0, timeout));
    return pools->back().get();
}

TEST(ThreadPoolTest, TimeoutHasAFloorOf100) {
    EXPECT_EQ(100, ThreadPool(4, 8, 1000, 50).timeout());
    EXPECT_EQ(100, ThreadPool(4, 8, 1000, 100).timeout());
    EXPECT_EQ(101, ThreadPool(4, 8, 1000, 101).timeout());
}

TEST(ThreadPoolTest, GrowsToMaximumThenQueuesAndShrinksToCore) {
    ThreadPool* pool = longLivedPool(4, 8);
    Gate gate;
    TaskLog log;
    for (int i = 0; i < 9; ++i) pool->execute(new ProbeTask(0, log, &gate));

    ASSERT_TRUE(waitUntil([&] { return pool->getThreadRuningSize() == 8; }));
    EXPECT_EQ(8, pool->getThreadSize());
    EXPECT_EQ(1, pool->getTaskInQueueSize());
    EXPECT_EQ(0, log.handled.load());

    gate.open();
    ASSERT_TRUE(waitUntil([&] { return log.allDone(9); }));
    EXPECT_EQ(9, log.deleted_after_run.load());

    // The four threads above the core size have budget 1 and retire; the core
    // ones keep waiting for work well beyond that.
    ASSERT_TRUE(waitUntil([&] { return pool->getThreadSize() == 4; }));
    std::this_thread::sleep_for(milliseconds(5 * kTimeout));
    EXPECT_EQ(4, pool->getThreadSize());
    EXPECT_EQ(4, pool->getThreadBlockingSize());
}

TEST(ThreadPoolTest, RunsAndDeletesEveryTaskExactlyOnce) {
    ThreadPool* pool = longLivedPool(2, 4);
    TaskLog log;
    constexpr int kPerSubmitter = 1000;
    std::vector<std::thread> submitters;
    for (int s = 0; s < 2; ++s) {
        submitters.emplace_back([&] {
            for (int i = 0; i < kPerSubmitter; ++i) pool->execute(new ProbeTask(0, log));
        });
    }
    for (auto& submitter : submitters) submitter.join();
    ASSERT_TRUE(waitUntil([&] { return log.allDone(2 * kPerSubmitter); }));
    EXPECT_EQ(2 * kPerSubmitter, log.handled.load());
    EXPECT_EQ(2 * kPerSubmitter, log.deleted_after_run.load());
    EXPECT_EQ(0, log.deleted_unrun.load());
    EXPECT_EQ(0, pool->getTaskInQueueSize());
    EXPECT_LE(pool->getThreadSize(), 4);
}

// Records the thread that ran it.
class WhoRunsTask : public Task {
  public:
    explicit WhoRunsTask(std::atomic<pthread_t>& runner) : Task(0), runner_(runner) {}
    void handle() override { runner_ = pthread_self(); }

  private:
    std::atomic<pthread_t>& runner_;
};

TEST(ThreadPoolTest, IdleThreadIsWokenInsteadOfStartingAnother) {
    // A long wait keeps the idle thread blocked, so execute() sees it idle.
    ThreadPool* pool = longLivedPool(1, 4, 10000);
    std::atomic<pthread_t> first{0}, second{0};
    pool->execute(new WhoRunsTask(first));
    ASSERT_TRUE(waitUntil([&] { return first.load() != 0 && pool->getThreadBlockingSize() == 1; }));
    std::this_thread::sleep_for(milliseconds(20));  // let it enter the wait, so the signal is not lost

    pool->execute(new WhoRunsTask(second));
    ASSERT_TRUE(waitUntil([&] { return second.load() != 0; }));
    EXPECT_TRUE(pthread_equal(first.load(), second.load()));
    EXPECT_EQ(1, pool->getThreadSize());
}

// Notes whether SIGPIPE is blocked on the pool thread, and when it ended.
class MaskTask : public Task {
  public:
    MaskTask(std::atomic<int>& blocked, std::atomic<Clock::rep>& done)
        : Task(0), blocked_(blocked), done_(done) {}
    void handle() override {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        blocked_ = sigismember(&mask, SIGPIPE);
        done_ = Clock::now().time_since_epoch().count();
    }

  private:
    std::atomic<int>& blocked_;
    std::atomic<Clock::rep>& done_;
};

TEST(ThreadPoolTest, ThreadsAboveCoreRetireAfterBudgetAndPoolRegrows) {
    ThreadPool pool(0, 2, 0, kTimeout);
    for (int round = 0; round < 2; ++round) {
        std::atomic<int> blocked{-1};
        std::atomic<Clock::rep> done{0};
        pool.execute(new MaskTask(blocked, done));
        EXPECT_EQ(1, pool.getThreadSize());
        ASSERT_TRUE(waitUntil([&] { return done.load() != 0; }));
        EXPECT_EQ(1, blocked.load()) << "pool threads block SIGPIPE";

        // One empty fetch of two full waits, then the thread leaves.
        ASSERT_TRUE(waitUntil([&] { return pool.getThreadSize() == 0; }));
        EXPECT_GE(elapsedSince(Clock::time_point(Clock::duration(done.load()))).count(), 2 * kTimeout - 5);
    }
}

TEST(ThreadPoolTest, FailedThreadStartKeepsTheTaskForALiveThread) {
    TaskLog log;
    {
        // No thread can be started: the task waits in the queue, nothing is
        // registered; the next thread runs its own task, then the queued one.
        ThreadPool pool(0, 1, 0, kTimeout);
        failNext(PosixCall::kCreate, 1);
        pool.execute(new ProbeTask(0, log));
        EXPECT_EQ(0, pool.getThreadSize());
        EXPECT_EQ(1, pool.getTaskInQueueSize());
        EXPECT_EQ(0, log.handled.load());

        pool.execute(new ProbeTask(0, log));
        ASSERT_TRUE(waitUntil([&] { return log.allDone(2); }));
        ASSERT_TRUE(waitUntil([&] { return pool.getThreadSize() == 0; }));
    }

    // The only thread is busy and a second one fails to start: the task is
    // queued for the busy thread, with no phantom entry.
    ThreadPool* pool = longLivedPool(1, 2);
    Gate gate;
    pool->execute(new ProbeTask(0, log, &gate));
    ASSERT_TRUE(waitUntil([&] { return pool->getThreadRuningSize() == 1; }));
    failNext(PosixCall::kCreate, 1);
    pool->execute(new ProbeTask(0, log));
    EXPECT_EQ(1, pool->getThreadSize());
    EXPECT_EQ(1, pool->getTaskInQueueSize());
    gate.open();
    ASSERT_TRUE(waitUntil([&] { return log.allDone(4); }));
    EXPECT_EQ(4, log.handled.load());
    EXPECT_EQ(4, log.deleted_after_run.load());
}

TEST(SharedThreadPoolTest, DropsItsReferenceAfterRunning) {
    SharedThreadPool pool(0, 1, 0, kTimeout);
    TaskLog log;
    boost::shared_ptr<Task> task = boost::make_shared<ProbeTask>(0, log);
    pool.execute(task);
    ASSERT_TRUE(waitUntil([&] { return log.handled.load() == 1 && task.use_count() == 1; }));
    task.reset();
    EXPECT_EQ(1, log.deleted_after_run.load());
    ASSERT_TRUE(waitUntil([&] { return pool.getThreadSize() == 0; }));
}

TEST(ThreadPoolTest, DestroyingAPoolReleasesQueuedTasks) {
    TaskLog log;
    {
        ThreadPool pool(0, 0, 0, kTimeout);  // no thread may start
        pool.execute(new ProbeTask(0, log));
        EXPECT_EQ(1, pool.getTaskInQueueSize());
    }
    EXPECT_EQ(1, log.deleted_unrun.load());
}

}  // namespace
