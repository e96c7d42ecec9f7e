#include "speech-util/utilcxx/thread_pool/thread_pool.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/make_shared.hpp>
#include <memory>
#include <vector>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/thread_pool/shared_thread_pool.h"

using namespace speech::util;
using namespace vela_test;

namespace {

constexpr int kTimeout = 100;  // ms: a budget-1 thread retires about 2 * kTimeout after its last task

// For pools with core threads, which outlive the test: a pool may only be
// destroyed once it has no threads, so these are kept for the whole run.
ThreadPool* longLivedPool(unsigned core, unsigned max, int timeout = kTimeout) {
    static auto* pools = new std::vector<std::unique_ptr<ThreadPool>>;
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
    std::promise<void> gate;
    const Gate closed = gate.get_future().share();
    TaskLog log;
    for (int i = 0; i < 9; ++i) pool->execute(new ProbeTask(0, log, closed));
    ASSERT_TRUE(waitUntil([&] { return pool->getThreadRuningSize() == 8; }));
    EXPECT_EQ(8, pool->getThreadSize());
    EXPECT_EQ(1, pool->getTaskInQueueSize());

    gate.set_value();
    ASSERT_TRUE(waitUntil([&] { return log.allDeleted(9); }));
    EXPECT_EQ(9, log.deleted_after_run.load());
    // The four threads above the core size have budget 1; the core ones stay.
    ASSERT_TRUE(waitUntil([&] { return pool->getThreadSize() == 4; }));
    std::this_thread::sleep_for(milliseconds(5 * kTimeout));
    EXPECT_EQ(4, pool->getThreadSize());
}

TEST(ThreadPoolTest, RunsAndDeletesEveryTaskExactlyOnce) {
    ThreadPool* pool = longLivedPool(2, 4);
    TaskLog log;
    std::vector<std::thread> submitters;
    for (int s = 0; s < 2; ++s) {
        submitters.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) pool->execute(new ProbeTask(0, log));
        });
    }
    for (auto& submitter : submitters) submitter.join();
    ASSERT_TRUE(waitUntil([&] { return log.allDeleted(2000); }));
    EXPECT_EQ(2000, log.handled.load());
    EXPECT_EQ(2000, log.deleted_after_run.load());
    EXPECT_LE(pool->getThreadSize(), 4);
}

TEST(ThreadPoolTest, IdleThreadIsWokenInsteadOfStartingAnother) {
    // A long wait keeps the idle thread blocked, so execute() finds it idle.
    ThreadPool* pool = longLivedPool(1, 4, 10000);
    TaskLog log;
    std::atomic<pthread_t> first{0}, second{0};
    pool->execute(new ProbeTask(0, log, Gate(), [&] { first = pthread_self(); }));
    ASSERT_TRUE(waitUntil([&] { return first != 0 && pool->getThreadBlockingSize() == 1; }));
    std::this_thread::sleep_for(milliseconds(20));  // into the wait, so the signal is not lost

    pool->execute(new ProbeTask(0, log, Gate(), [&] { second = pthread_self(); }));
    // The tasks write to `log` until they are deleted, so wait for that too.
    ASSERT_TRUE(waitUntil([&] { return second != 0 && log.allDeleted(2); }));
    EXPECT_TRUE(pthread_equal(first, second));
    EXPECT_EQ(1, pool->getThreadSize());
}

bool sigpipeBlocked() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

TEST(ThreadPoolTest, ThreadsAboveCoreRetireAfterTheirBudgetAndThePoolRegrows) {
    ThreadPool pool(0, 2, 0, kTimeout);
    for (int round = 0; round < 2; ++round) {
        TaskLog log;
        std::atomic<bool> sigpipe_blocked{false};
        std::atomic<Clock::rep> done{0};
        pool.execute(new ProbeTask(0, log, Gate(), [&] {
            sigpipe_blocked = sigpipeBlocked();
            done = Clock::now().time_since_epoch().count();
        }));
        EXPECT_EQ(1, pool.getThreadSize());
        ASSERT_TRUE(waitUntil([&] { return done != 0; }));
        EXPECT_TRUE(sigpipe_blocked) << "in the pool thread";
        EXPECT_FALSE(sigpipeBlocked()) << "in the test's thread";
        // One empty fetch of two full waits, then the thread leaves.
        ASSERT_TRUE(waitUntil([&] { return pool.getThreadSize() == 0; }));
        EXPECT_GE(msSince(Clock::time_point(Clock::duration(done))), 2 * kTimeout - 5);
    }
}

TEST(ThreadPoolTest, FailedThreadStartKeepsTheTaskForALiveThread) {
    TaskLog log;
    {
        // No thread starts: the task is queued and nothing registered; the
        // next thread runs its own task, then the queued one.
        ThreadPool pool(0, 1, 0, kTimeout);
        failNext(PosixCall::kCreate);
        pool.execute(new ProbeTask(0, log));
        EXPECT_EQ(0, pool.getThreadSize());
        EXPECT_EQ(1, pool.getTaskInQueueSize());
        pool.execute(new ProbeTask(0, log));
        ASSERT_TRUE(waitUntil([&] { return log.allDeleted(2) && pool.getThreadSize() == 0; }));
    }
    // The only thread is busy and a second fails to start: the task waits for
    // the busy one, with no phantom entry.
    ThreadPool* pool = longLivedPool(1, 2);
    std::promise<void> gate;
    const Gate closed = gate.get_future().share();
    pool->execute(new ProbeTask(0, log, closed));
    ASSERT_TRUE(waitUntil([&] { return pool->getThreadRuningSize() == 1; }));
    failNext(PosixCall::kCreate);
    pool->execute(new ProbeTask(0, log));
    EXPECT_EQ(1, pool->getThreadSize());
    EXPECT_EQ(1, pool->getTaskInQueueSize());
    gate.set_value();
    ASSERT_TRUE(waitUntil([&] { return log.allDeleted(4); }));
    EXPECT_EQ(4, log.deleted_after_run.load());
}

TEST(ThreadPoolTest, SharedPoolDropsItsReferenceAndDestroyedPoolReleasesQueue) {
    TaskLog log;
    {
        SharedThreadPool pool(0, 1, 0, kTimeout);
        boost::shared_ptr<Task> task = boost::make_shared<ProbeTask>(0, log);
        pool.execute(task);
        ASSERT_TRUE(waitUntil([&] { return log.handled == 1 && task.use_count() == 1; }));
        ASSERT_TRUE(waitUntil([&] { return pool.getThreadSize() == 0; }));
    }
    EXPECT_EQ(1, log.deleted_after_run.load());
    {
        ThreadPool pool(0, 0, 0, kTimeout);  // never starts a thread
        pool.execute(new ProbeTask(0, log));
        EXPECT_EQ(1, pool.getTaskInQueueSize());
    }
    EXPECT_EQ(1, log.deleted_unrun.load());
}

}  // namespace
