// Throughput and latency of trivial tasks through the task runner on a
// channel configured (4, 8), as the SDK configures its upload channel.
//
//   burst:     100,000 tasks submitted back to back, then waited for.
//   pingpong:  100,000 tasks submitted one at a time, each once the previous
//              has run; the submitter sleeps on a condition variable (poll:0)
//              or polls (poll:1), the latter like the SDK's result loop, which
//              issues the next fetch as soon as the previous one reports.
//              Also run on (2, 4), the result-fetch channel, and on (1, 1).
//
// Counters: median_us / p99_us / max_us submit-to-run latency; timeout_waits,
// the tasks a pool thread took only after its wait for work had timed out
// (the wake-up was lost or never sent), and slow_tasks, the tasks whose
// latency reached half the pool time-out.
#include "speech-util/utilcxx/thread_pool/task_runner.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using speech::util::Singleton;
using speech::util::Task;
using speech::util::TaskRunner;
using Clock = std::chrono::steady_clock;

constexpr int kTasks = 100000;
constexpr int kBurstChannel = 1000;
constexpr int kPingPongChannel = 1001;
constexpr int kFetchChannel = 2000;         // (2, 4), as the SDK's result fetches
constexpr int kSingleThreadChannel = 1002;  // (1, 1): the worst case for lost wake-ups

// Latencies of one run and a completion count to wait on.
struct Run {
    explicit Run(int n) : latency_ns(n) {}
    std::vector<int64_t> latency_ns;
    std::mutex mutex;
    std::condition_variable cv;
    int done = 0;

    void finished(int index, int64_t ns) {
        latency_ns[index] = ns;
        std::lock_guard<std::mutex> lock(mutex);
        polled_done.store(++done, std::memory_order_release);
        cv.notify_one();
    }
    // Polls like the SDK's result loop, which re-checks every few microseconds.
    void pollFor(int count) {
        while (polled_done.load(std::memory_order_acquire) < count) std::this_thread::yield();
    }
    std::atomic<int> polled_done{0};
    void waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return done >= count; });
    }
};

class TimedTask : public Task {
  public:
    TimedTask(int channel, Run& run, int index)
        : Task(channel), run_(run), index_(index), submitted_(Clock::now()) {}
    void handle() override {
        run_.finished(
            index_, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - submitted_).count());
    }

  private:
    Run& run_;
    int index_;
    Clock::time_point submitted_;
};

TaskRunner* runner() {
    static TaskRunner* configured = [] {
        TaskRunner* r = Singleton<TaskRunner>::instance();
        r->threadPoolConfig(kBurstChannel, TaskRunner::PoolSizes(4, 8));
        r->threadPoolConfig(kPingPongChannel, TaskRunner::PoolSizes(4, 8));
        r->threadPoolConfig(kFetchChannel, TaskRunner::PoolSizes(2, 4));
        r->threadPoolConfig(kSingleThreadChannel, TaskRunner::PoolSizes(1, 1));
        return r;
    }();
    return configured;
}

void report(benchmark::State& state, Run& run, int channel, int timeout_waits_before) {
    std::vector<int64_t> sorted = run.latency_ns;
    std::sort(sorted.begin(), sorted.end());
    const int64_t slow_ns = int64_t{TaskRunner::kDefaultPoolTimeout} * 1000000 / 2;
    state.counters["median_us"] = sorted[sorted.size() / 2] / 1e3;
    state.counters["p99_us"] = sorted[sorted.size() * 99 / 100] / 1e3;
    state.counters["max_us"] = sorted.back() / 1e3;
    state.counters["slow_tasks"] =
        static_cast<double>(sorted.end() - std::lower_bound(sorted.begin(), sorted.end(), slow_ns));
    state.counters["timeout_waits"] = runner()->getTaskAfterTimeoutCount(channel) - timeout_waits_before;
    state.counters["threads"] = runner()->getThreadSize(channel);
    state.SetItemsProcessed(static_cast<int64_t>(run.latency_ns.size()));
}

void BM_Burst(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Run run(n);
        const int before = runner()->getTaskAfterTimeoutCount(kBurstChannel);
        for (int i = 0; i < n; ++i) runner()->execute(new TimedTask(kBurstChannel, run, i));
        run.waitFor(n);
        state.PauseTiming();
        report(state, run, kBurstChannel, before);
        state.ResumeTiming();
    }
}

void BM_PingPong(benchmark::State& state) {
    const int channel = static_cast<int>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    const bool poll = state.range(2) != 0;
    for (auto _ : state) {
        Run run(n);
        const int before = runner()->getTaskAfterTimeoutCount(channel);
        for (int i = 0; i < n; ++i) {
            runner()->execute(new TimedTask(channel, run, i));
            if (poll) {
                run.pollFor(i + 1);
            } else {
                run.waitFor(i + 1);
            }
        }
        state.PauseTiming();
        report(state, run, channel, before);
        state.ResumeTiming();
    }
}

BENCHMARK(BM_Burst)->Arg(kTasks)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PingPong)
    ->ArgNames({"channel", "tasks", "poll"})
    ->Args({kPingPongChannel, kTasks, 0})
    ->Args({kPingPongChannel, kTasks, 1})
    ->Args({kFetchChannel, kTasks, 1})
    ->Args({kSingleThreadChannel, kTasks, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
