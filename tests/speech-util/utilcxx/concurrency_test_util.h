// Small helpers shared by the concurrency tests.
#ifndef TESTS_SPEECH_UTIL_UTILCXX_CONCURRENCY_TEST_UTIL_H
#define TESTS_SPEECH_UTIL_UTILCXX_CONCURRENCY_TEST_UTIL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "speech-util/utilcxx/thread_pool/task.h"

namespace vela_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline milliseconds elapsedSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Polls `done` until it holds; false if it still does not after `limit` (a
// safety net against hangs, far above the expected time).
template <typename Pred>
bool waitUntil(Pred done, milliseconds limit = milliseconds(20000)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Blocks the tasks that wait on it until the test opens it.
class Gate {
  public:
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What happened to a group of ProbeTasks.
struct TaskLog {
    std::atomic<int> handled{0};
    std::atomic<int> deleted_after_run{0};
    std::atomic<int> deleted_unrun{0};
    bool allDone(int n) const { return deleted_after_run.load() + deleted_unrun.load() >= n; }
};

// Task that optionally waits on a gate, then counts itself in a TaskLog.
class ProbeTask : public speech::util::Task {
  public:
    ProbeTask(int channel, TaskLog& log, Gate* gate = nullptr) : Task(channel), log_(log), gate_(gate) {}
    ~ProbeTask() override { ++(ran_ ? log_.deleted_after_run : log_.deleted_unrun); }
    void handle() override {
        if (gate_ != nullptr) gate_->wait();
        ran_ = true;
        ++log_.handled;
    }

  private:
    TaskLog& log_;
    Gate* gate_;
    bool ran_ = false;
};

}  // namespace vela_test

#endif  // TESTS_SPEECH_UTIL_UTILCXX_CONCURRENCY_TEST_UTIL_H
