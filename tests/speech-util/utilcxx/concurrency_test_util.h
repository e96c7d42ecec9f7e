// Helpers shared by the concurrency tests.
#ifndef TESTS_SPEECH_UTIL_UTILCXX_CONCURRENCY_TEST_UTIL_H
#define TESTS_SPEECH_UTIL_UTILCXX_CONCURRENCY_TEST_UTIL_H

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "speech-util/utilcxx/thread_pool/task.h"

namespace vela_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Polls until `done` holds; false after `limit`, a guard against hangs only.
template <typename Pred>
bool waitUntil(Pred done, milliseconds limit = milliseconds(20000)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Tasks holding a copy of a gate wait until its promise is fulfilled.
using Gate = std::shared_future<void>;

struct TaskLog {
    std::atomic<int> handled{0}, deleted_after_run{0}, deleted_unrun{0};
    bool allDeleted(int n) const { return deleted_after_run + deleted_unrun >= n; }
};

// Waits for an optional gate, runs an optional body, and logs its run and deletion.
class ProbeTask : public speech::util::Task {
  public:
    ProbeTask(int channel, TaskLog& log, Gate gate = Gate(), std::function<void()> body = nullptr)
        : Task(channel), log_(log), gate_(gate), body_(std::move(body)) {}
    ~ProbeTask() override { ++(ran_ ? log_.deleted_after_run : log_.deleted_unrun); }
    void handle() override {
        if (gate_.valid()) gate_.wait();
        if (body_) body_();
        ran_ = true;
        ++log_.handled;
    }

  private:
    TaskLog& log_;
    Gate gate_;
    std::function<void()> body_;
    bool ran_ = false;
};

}  // namespace vela_test

#endif  // TESTS_SPEECH_UTIL_UTILCXX_CONCURRENCY_TEST_UTIL_H
