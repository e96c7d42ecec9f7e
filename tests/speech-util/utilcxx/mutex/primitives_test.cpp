#include <gtest/gtest.h>

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

timespec deadline(time_t sec, long nsec, int m_secs) {
    return Monitor::deadlineAfter(timespec{sec, nsec}, m_secs);
}

TEST(MonitorTest, DeadlineKeepsNanosecondsBelowOneSecond) {
    EXPECT_EQ(102, deadline(100, 999999999, 1500).tv_sec);
    EXPECT_EQ(499999999, deadline(100, 999999999, 1500).tv_nsec);
    EXPECT_EQ(101, deadline(100, 500000000, 500).tv_sec);
    EXPECT_EQ(0, deadline(100, 500000000, 500).tv_nsec);
    EXPECT_EQ(99, deadline(100, 100000000, -200).tv_sec);
    EXPECT_EQ(900000000, deadline(100, 100000000, -200).tv_nsec);
}

TEST(MonitorTest, TimeoutsAndLostSignals) {
    Monitor monitor;
    EXPECT_EQ(1, monitor.timewait(0));

    // A signal with no waiter is not remembered.
    EXPECT_EQ(0, monitor.signal());
    auto start = Clock::now();
    EXPECT_EQ(1, monitor.timewait(100));
    EXPECT_GE(msSince(start), 95);

    std::atomic<int> result{-1};
    std::thread waiter([&] { result = monitor.timewait(60000); });
    // Signals sent before the waiter blocks are lost, so keep signalling.
    ASSERT_TRUE(waitUntil([&] { return monitor.signal() == 0 && result != -1; }));
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
    EXPECT_FALSE(acquired) << "still held once";
    mutex.unlock();
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(AtomicIntTest, UpdatesAreIndivisibleAndReturnTheNewValue) {
    AtomicInt up, down, top(2147483647);
    EXPECT_EQ(1, up.incrementAndGet());
    EXPECT_EQ(-1, down.decrementAndGet());
    EXPECT_EQ(-2147483647 - 1, top.incrementAndGet()) << "wraps like the hardware add";

    AtomicInt counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counter, t] {
            for (int i = 0; i < 50000; ++i) t % 2 ? counter.incrementAndGet() : counter.decrementAndGet();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, counter.get());
}

class SlowService : public Singleton<SlowService> {
  public:
    static std::atomic<int> constructed;

  private:
    friend class Singleton<SlowService>;
    SlowService() {
        ++constructed;
        std::this_thread::sleep_for(milliseconds(20));
    }
};
std::atomic<int> SlowService::constructed{0};

TEST(SingletonTest, ConcurrentFirstUseConstructsOnce) {
    std::atomic<bool> go{false};
    std::vector<SlowService*> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            seen[i] = SlowService::instance();
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(1, SlowService::constructed.load());
    for (SlowService* instance : seen) EXPECT_EQ(seen[0], instance);
}

struct IdleThread : BaseThread {
    int run() override { return 0; }
};

template <typename Primitive>
void createWhileFailing(PosixCall call) {
    probeCoreLimitAtAbort();
    failNext(call);
    Primitive primitive;
}

TEST(PrimitiveDeathTest, FailedCreationRaisesCoreLimitAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using ::testing::ExitedWithCode;
    EXPECT_EXIT(createWhileFailing<RecMutex>(PosixCall::kMutexAttrSettype), ExitedWithCode(kCoreLimitRaised),
                "");
    EXPECT_EXIT(createWhileFailing<Monitor>(PosixCall::kCondAttrInit), ExitedWithCode(kCoreLimitRaised), "");
    EXPECT_EXIT(createWhileFailing<IdleThread>(PosixCall::kAttrInit), ExitedWithCode(kCoreLimitRaised), "");
    EXPECT_EXIT((disableCoreFiles(), failNext(PosixCall::kMutexInit), Monitor()),
                ::testing::KilledBySignal(SIGABRT), "");
}

}  // namespace
