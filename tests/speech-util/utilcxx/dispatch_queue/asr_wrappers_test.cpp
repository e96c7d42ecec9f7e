#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/dispatch_queue/asr_lock.h"
#include "speech-util/utilcxx/dispatch_queue/asr_log.h"
#include "speech-util/utilcxx/dispatch_queue/asr_thread.h"

using namespace speech::asrcore;
using namespace vela_test;

namespace {

// Runs until stopped; counts its runs and notes whether SIGPIPE was blocked.
class Worker : public ASRThread {
  public:
    std::atomic<int> runs{0};
    std::atomic<bool> sigpipe_blocked{false}, finished{false};

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
    EXPECT_TRUE(worker.finished);
    EXPECT_TRUE(worker.sigpipe_blocked);

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
    EXPECT_STREQ("", get_file_name(nullptr));

    EXPECT_TRUE(can_log(5));
    EXPECT_FALSE(can_log(6));
    set_log_level(6);
    EXPECT_TRUE(can_log(6));
    set_log_level(5);
}

// Goes through every call of a lock and a condition once, with `call` failing.
void useWhileFailing(PosixCall call) {
    disableCoreFiles();
    failNext(call);
    {
        ASRLock lock;
        ASRCondition cond;
        lock.lock();
        cond.signal();
        cond.broadcast();
        if (call == PosixCall::kCondWait) cond.wait(lock);  // would block if it did not fail
        lock.unlock();
    }
    std::_Exit(0);
}

TEST(ASRLockDeathTest, EveryFailingCallAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (PosixCall call : {PosixCall::kMutexInit, PosixCall::kMutexLock, PosixCall::kMutexUnlock,
                           PosixCall::kMutexDestroy, PosixCall::kCondInit, PosixCall::kCondWait,
                           PosixCall::kCondSignal, PosixCall::kCondBroadcast, PosixCall::kCondDestroy}) {
        EXPECT_EXIT(useWhileFailing(call), ::testing::KilledBySignal(SIGABRT), "")
            << "call " << static_cast<int>(call);
    }
}

}  // namespace
