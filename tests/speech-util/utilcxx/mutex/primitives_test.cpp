#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <thread>
#include <vector>

#include "../concurrency_test_util.h"
#include "../posix_faults.h"
#include "speech-util/utilcxx/mutex/atomic.h"
#include "speech-util/utilcxx/mutex/monitor.h"
#include "speech-util/utilcxx/mutex/recmutex.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/thread.h"

using namespace speech::util;
using namespace vela_test;

namespace {

timespec ts(time_t sec, long nsec) {
    timespec t;
    t.tv_sec = sec;
    t.tv_nsec = nsec;
    return t;
}

void expectTime(const timespec& actual, time_t sec, long nsec) {
    EXPECT_EQ(sec, actual.tv_sec);
    EXPECT_EQ(nsec, actual.tv_nsec);
}

TEST(MonitorTest, DeadlineKeepsNanosecondsBelowOneSecond) {
    expectTime(Monitor::deadlineAfter(ts(100, 999999999), 1500), 102, 499999999);
    expectTime(Monitor::deadlineAfter(ts(100, 500000000), 500), 101, 0);
    expectTime(Monitor::deadlineAfter(ts(100, 0), 999), 100, 999000000);
    expectTime(Monitor::deadlineAfter(ts(100, 100000000), -200), 99, 900000000);
}

TEST(MonitorTest, TimeoutsAndLostSignals) {
    Monitor monitor;
    EXPECT_EQ(1, monitor.timewait(0));

    // A signal with no waiter is not remembered: the next wait runs out.
    EXPECT_EQ(0, monitor.signal());
    auto start = Clock::now();
    EXPECT_EQ(1, monitor.timewait(100));
    EXPECT_GE(elapsedSince(start).count(), 95);

    // A wait whose nanosecond sum passes one second must still be a valid
    // deadline (an unnormalised one fails at once with EINVAL).
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_nsec < 30000000) {
        std::this_thread::sleep_for(milliseconds(30));
        clock_gettime(CLOCK_REALTIME, &now);
    }
    const int wait_ms = 1000 - static_cast<int>(now.tv_nsec / 1000000) + 20;
    start = Clock::now();
    EXPECT_EQ(1, monitor.timewait(wait_ms));
    EXPECT_GE(elapsedSince(start).count(), wait_ms - 5);
}

TEST(MonitorTest, SignalWakesBlockedWaiter) {
    Monitor monitor;
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = monitor.timewait(60000); });
    // Signals sent before the waiter blocks are lost, so keep signalling.
    ASSERT_TRUE(waitUntil([&] {
        monitor.signal();
        return result.load() != -1;
    }));
    waiter.join();
    EXPECT_EQ(0, result.load());
}

TEST(RecMutexTest, HolderRelocksAndMustUnlockAsOften) {
    RecMutex mutex;
    mutex.lock();
    mutex.lock();
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        RecMutexLock::Lock lock(mutex);
        acquired = true;
    });
    mutex.unlock();
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(acquired.load()) << "still held once";
    mutex.unlock();
    other.join();
    EXPECT_TRUE(acquired.load());
}

TEST(AtomicIntTest, OperationsReturnDocumentedValues) {
    AtomicInt up, down;
    EXPECT_EQ(1, up.incrementAndGet());
    EXPECT_EQ(-1, down.decrementAndGet());

    AtomicInt a(5);
    EXPECT_EQ(5, a.getAndIncrement());
    EXPECT_EQ(6, a.getAndDecrement());
    EXPECT_EQ(5, a.getAndAdd(10));
    EXPECT_EQ(12, a.addAndGet(-3));
    EXPECT_EQ(12, a.getAndSet(7));
    EXPECT_FALSE(a.compareAndSet(8, 1));
    EXPECT_TRUE(a.compareAndSet(7, 1));
    EXPECT_EQ(1, a.get());

    AtomicInt top(2147483647);
    EXPECT_EQ(-2147483647 - 1, top.incrementAndGet()) << "wraps like the hardware add";
}

TEST(AtomicIntTest, ConcurrentUpdatesAreNotLost) {
    AtomicInt counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counter, t] {
            for (int i = 0; i < 50000; ++i) (t % 2 == 0) ? counter.incrementAndGet() : counter.addAndGet(2);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(2 * 50000 + 2 * 100000, counter.get());
}

class SlowService : public Singleton<SlowService> {
  public:
    static std::atomic<int> constructed;

  protected:
    SlowService() {
        ++constructed;
        std::this_thread::sleep_for(milliseconds(20));
    }

  private:
    friend class Singleton<SlowService>;
};
std::atomic<int> SlowService::constructed{0};

TEST(SingletonTest, ConcurrentFirstUseConstructsOnce) {
    std::atomic<bool> go{false};
    std::vector<SlowService*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            seen[i] = Singleton<SlowService>::instance();
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(1, SlowService::constructed.load());
    for (SlowService* instance : seen) EXPECT_EQ(seen[0], instance);
    EXPECT_EQ(seen[0], SlowService::instance());
}

// Reports whether SIGPIPE is blocked in the started thread.
class MaskProbe : public BaseThread {
  public:
    std::promise<bool> sigpipe_blocked;

  protected:
    int run() override {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        sigpipe_blocked.set_value(sigismember(&mask, SIGPIPE) == 1);
        return 0;
    }
};

bool mainBlocksSigpipe() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

TEST(BaseThreadTest, BlocksSigpipeOnlyInTheStartedThread) {
    ASSERT_FALSE(mainBlocksSigpipe());
    MaskProbe thread;
    auto blocked = thread.sigpipe_blocked.get_future();
    ASSERT_EQ(0, thread.start());
    EXPECT_TRUE(blocked.get());
    pthread_join(thread.get_tid(), nullptr);
    EXPECT_FALSE(mainBlocksSigpipe());
}

class PrimitiveFatalTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PrimitiveFatalTest, FailedCreationRaisesCoreLimitAndAborts) {
    EXPECT_EXIT(
        {
            probeCoreLimitAtAbort();
            failNext(PosixCall::kMutexAttrSettype);
            RecMutex mutex;
        },
        ::testing::ExitedWithCode(kCoreLimitRaised), "");
    EXPECT_EXIT(
        {
            probeCoreLimitAtAbort();
            failNext(PosixCall::kCondAttrInit);
            Monitor monitor;
        },
        ::testing::ExitedWithCode(kCoreLimitRaised), "");
    EXPECT_EXIT(
        {
            probeCoreLimitAtAbort();
            failNext(PosixCall::kAttrInit);
            MaskProbe thread;
        },
        ::testing::ExitedWithCode(kCoreLimitRaised), "");
    EXPECT_EXIT(
        {
            disableCoreFiles();
            failNext(PosixCall::kMutexInit);
            Monitor monitor;
        },
        ::testing::KilledBySignal(SIGABRT), "");
}

}  // namespace
