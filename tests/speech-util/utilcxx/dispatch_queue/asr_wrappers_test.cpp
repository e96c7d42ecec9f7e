#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../../glog2speech/log_test_util.h"
#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "speech-util/utilcxx/dispatch_queue/asr_lock.h"
#include "speech-util/utilcxx/dispatch_queue/asr_log.h"
#include "speech-util/utilcxx/dispatch_queue/asr_thread.h"
#include "support/temp_dir.h"

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

TEST(ASRThreadTest, RefusedAndFailedStartsAreLoggedAsErrors) {
    speech::testing_util::TempDir dir;
    ASSERT_EQ(0, glog2speech_init(speech::GLOG_DEBUG, "wrap.log", dir.path().c_str(), "wrap.log", 0));
    Worker worker;
    failNext(PosixCall::kCreate, 1, EAGAIN);
    EXPECT_EQ(EAGAIN, worker.start());
    ASSERT_EQ(0, worker.start());
    EXPECT_EQ(-1, worker.start());
    EXPECT_EQ(0, worker.stop());
    speech::glog2speech_shutdown();

    // "LEVEL file] message" of every line after the header.
    std::vector<std::string> lines;
    const std::vector<std::string> all = speech::testing_util::read_lines(dir.path() + "/wrap.log.DEBUG");
    for (size_t i = 3; i < all.size(); ++i) {
        const std::string& line = all[i];
        const size_t file = line.find(" asr_thread:");
        const size_t end = line.find("] ", file);
        if (file == std::string::npos || end == std::string::npos) continue;
        lines.push_back(line.substr(0, line.find(' ')) + " asr_thread" + line.substr(end));
    }
    EXPECT_EQ((std::vector<std::string>{
                  "ERROR asr_thread] [ASRThread::start][errno=11] start thread failed: Resource temporarily "
                  "unavailable",
                  "ERROR asr_thread] [ASRThread::start] thread is run"}),
              lines);
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

// Goes through every call of a lock and a condition once, with `call` failing
// and logging on, so that the fatal line also reaches standard error.
void useWhileFailing(PosixCall call) {
    disableCoreFiles();
    const std::string dir = vela_test::processTempDir() + "wrapper_logs";
    mkdir(dir.c_str(), 0755);
    glog2speech_init(speech::GLOG_DEBUG, "wrap.log", dir.c_str(), "wrap.log", 0);
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

TEST(ASRLockDeathTest, EveryFailingCallLogsItsFatalLineAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<PosixCall, const char*> cases[] = {
        {PosixCall::kMutexInit, "\\[ASRLock::ASRLock\\]\\[errno=11\\] init mutex failed"},
        {PosixCall::kMutexLock, "\\[ASRLock::lock\\]\\[errno=11\\] lock failed"},
        {PosixCall::kMutexUnlock, "\\[ASRLock::unlock\\]\\[errno=11\\] unlock failed"},
        {PosixCall::kMutexDestroy, "\\[ASRLock::~ASRLock\\]\\[errno=11\\] destroy mutex failed"},
        {PosixCall::kCondInit, "\\[ASRCondition::ASRCondition\\]\\[errno=11\\] init condition failed"},
        {PosixCall::kCondWait, "\\[ASRCondition::wait\\]\\[errno=11\\] wait condition failed"},
        {PosixCall::kCondSignal, "\\[ASRCondition::push_back\\]\\[err_no=11\\] condition signal failed"},
        {PosixCall::kCondBroadcast,
         "\\[ASRCondition::push_back\\]\\[err_no=11\\] condition broadcast failed"},
        {PosixCall::kCondDestroy, "\\[ASRCondition::~ASRCondition\\]\\[errno=11\\] destroy condition failed"},
    };
    for (const auto& c : cases) {
        const std::string line =
            std::string("FATAL .* asr_lock:[0-9]+\\] ") + c.second + ": Resource temporarily unavailable\n";
        EXPECT_EXIT(useWhileFailing(c.first), ::testing::KilledBySignal(SIGABRT), line)
            << "call " << static_cast<int>(c.first);
    }
}

}  // namespace
