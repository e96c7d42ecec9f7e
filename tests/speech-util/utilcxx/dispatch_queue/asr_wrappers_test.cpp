#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/dispatch_queue/asr_lock.h"
#include "speech-util/utilcxx/dispatch_queue/asr_log.h"
#include "speech-util/utilcxx/dispatch_queue/asr_thread.h"

using namespace speech::asrcore;
using namespace vela_test;

namespace {

// Runs until stopped; notes its runs and whether SIGPIPE was blocked.
class Worker : public ASRThread {
  public:
    std::atomic<int> runs{0};
    std::atomic<bool> sigpipe_blocked{false};
    std::atomic<bool> finished{false};

  protected:
    void handle() override {
        ++runs;
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        sigpipe_blocked = sigismember(&mask, SIGPIPE) == 1;
        while (!is_stop()) usleep(1000);
        finished = true;
    }
};

TEST(ASRThreadTest, JoinableThreadStartsStopsAndRestarts) {
    Worker worker;
    ASSERT_EQ(0, worker.start());
    EXPECT_EQ(-1, worker.start()) << "already running";
    EXPECT_EQ(0, worker.stop());
    EXPECT_TRUE(worker.is_stop());
    EXPECT_TRUE(worker.finished.load());
    EXPECT_TRUE(worker.sigpipe_blocked.load());

    ASSERT_EQ(0, worker.start());
    EXPECT_FALSE(worker.is_stop());
    EXPECT_EQ(0, worker.stop());
    EXPECT_EQ(2, worker.runs.load());
}

TEST(ASRThreadTest, DetachedThreadKeepsItsHandle) {
    Worker worker;
    ASSERT_EQ(0, worker.start());
    EXPECT_EQ(0, worker.detach());
    EXPECT_EQ(0, worker.detach()) << "second call does nothing";
    EXPECT_EQ(0, worker.stop()) << "only asks the body to end";
    ASSERT_TRUE(waitUntil([&] { return worker.finished.load(); }));
    EXPECT_EQ(-1, worker.start());
    EXPECT_EQ(1, worker.runs.load());
}

TEST(ASRThreadTest, FailedStartIsReturnedAndCanBeRetried) {
    Worker worker;
    failNext(PosixCall::kCreate, 1, EAGAIN);
    EXPECT_EQ(EAGAIN, worker.start());
    ASSERT_EQ(0, worker.start());
    EXPECT_EQ(0, worker.stop());
    EXPECT_EQ(1, worker.runs.load());
}

TEST(ASRLogTest, FileNameAndLevelGate) {
    EXPECT_STREQ("asr_thread.cpp", get_file_name("speech-util/dispatch_queue/asr_thread.cpp"));
    EXPECT_STREQ("asr_lock.cpp", get_file_name("asr_lock.cpp"));
    EXPECT_STREQ("/asr_log.cpp", get_file_name("/asr_log.cpp"));
    EXPECT_STREQ("b", get_file_name("/a/b"));
    EXPECT_STREQ("", get_file_name("dir/"));
    EXPECT_STREQ("", get_file_name(nullptr));

    EXPECT_TRUE(can_log(5));
    EXPECT_FALSE(can_log(6));
    set_log_level(6);
    EXPECT_TRUE(can_log(6));
    set_log_level(5);
}

TEST(ASRLockTest, ConditionHandsOverUnderTheGuard) {
    ASRLock lock;
    ASRCondition ready_cv, go_cv;
    int ready = 0;
    bool go = false;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            LockGuard guard(lock);
            ++ready;
            ready_cv.signal();
            while (!go) go_cv.wait(lock);
        });
    }
    {
        LockGuard guard(lock);
        while (ready < 2) ready_cv.wait(lock);
        go = true;
        EXPECT_EQ(0, go_cv.broadcast());
    }
    for (auto& waiter : waiters) waiter.join();
}

class ASRLockFatalTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ASRLockFatalTest, EveryFailingCallAborts) {
    const std::vector<std::function<void()>> failing = {
        [] {
            failNext(PosixCall::kMutexInit);
            ASRLock lock;
        },
        [] {
            ASRLock lock;
            failNext(PosixCall::kMutexLock);
            lock.lock();
        },
        [] {
            ASRLock lock;
            lock.lock();
            failNext(PosixCall::kMutexUnlock);
            lock.unlock();
        },
        [] {
            ASRLock lock;
            failNext(PosixCall::kMutexDestroy);
        },
        [] {
            failNext(PosixCall::kCondInit);
            ASRCondition cond;
        },
        [] {
            ASRLock lock;
            ASRCondition cond;
            LockGuard guard(lock);
            failNext(PosixCall::kCondWait);
            cond.wait(lock);
        },
        [] {
            ASRCondition cond;
            failNext(PosixCall::kCondSignal);
            cond.signal();
        },
        [] {
            ASRCondition cond;
            failNext(PosixCall::kCondBroadcast);
            cond.broadcast();
        },
        [] {
            ASRCondition cond;
            failNext(PosixCall::kCondDestroy);
        },
    };
    for (size_t i = 0; i < failing.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EXIT(
            {
                disableCoreFiles();
                failing[i]();
                std::_Exit(0);
            },
            ::testing::KilledBySignal(SIGABRT), "");
    }
}

}  // namespace
