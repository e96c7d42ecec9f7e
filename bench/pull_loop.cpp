// The result pull loop as built (design:0) against a model of the earlier
// design (design:1), whose loop re-checked the session state every 20 us while
// a fetch was in flight and issued a fetch whenever it found ST_RUNNING.
//
//   BM_HeldFetch: the server holds the session's only fetch open for 2 s.
//     pull_cpu_pct: CPU time of the pull thread over that time, in % of one
//     core (from /proc/self/task/<tid>/schedstat); process_cpu_pct: the same
//     for the whole process, server included.
//   BM_NextFetch: a session of 50 intermediate replies and a final one, each
//     answered after 200 us. median_us / p90_us / max_us: delay from the
//     server's answer to an intermediate reply to the arrival of the next
//     fetch; fetches: requests seen; overlaps: fetches that arrived while an
//     earlier one was still unanswered. The built loop spaces fetches by its
//     fetch interval (50 ms) when replies come at once.
//   BM_AtOnceServer: the server answers every fetch at once with an
//     intermediate result, for 3 s. fetches_per_s: fetch rate; pull_cpu_pct
//     and process_cpu_pct as above.
//
// Both use the scripted loopback server; logging is limited to warnings.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/AudioTask.h"
#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "support/scripted_http_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using vela::VelaASRLinuxSDK;
using vela_test::Reply;

// Threads of this process, and the CPU time one of them has used (ns).
std::set<pid_t> threadIds() {
    std::set<pid_t> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::atoi(e->d_name)));
        }
        closedir(dir);
    }
    return ids;
}

double threadCpuSeconds(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    uint64_t ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

// The thread that runs the pull loop of the session under way.
std::atomic<pid_t> g_pull_tid{0};

double cpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void issueFetch(VelaASRLinuxSDK* sdk) {
    sdk->concurrency_counter.incrementAndGet();
    speech::util::Singleton<speech::util::TaskRunner>::instance()->execute(
        new vela::AudioTask(2000, sdk, boost::shared_array<char>(), sdk->fetch_url(), 0, sdk->_logid, 1, -1));
}

// The earlier loop after its first wait: fetch, then poll every 20 us (the
// instance's condition variable runs on the monotonic clock).
void pollingLoop(VelaASRLinuxSDK* sdk) {
    issueFetch(sdk);
    while (sdk->status.load() != vela::ST_FINISH) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long nsec = now.tv_nsec + 20000;
        timespec deadline{now.tv_sec + nsec / 1000000000, nsec % 1000000000};
        pthread_mutex_lock(&sdk->_lock);
        pthread_cond_timedwait(&sdk->_cond, &sdk->_lock, &deadline);
        pthread_mutex_unlock(&sdk->_lock);
        if (sdk->status.load() == vela::ST_RUNNING) issueFetch(sdk);
    }
}

// Runs one session with the chosen design until it has finished and nothing
// holds the instance any more.
void runSession(int design) {
    std::string err;
    const std::set<pid_t> before = threadIds();
    VelaASRLinuxSDK* sdk = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
    if (sdk == nullptr) return;
    // The only thread the instance starts is its pull thread.
    for (pid_t tid : threadIds()) {
        if (before.count(tid) == 0) g_pull_tid = tid;
    }
    vela::VelaASRMessage start;
    start.name = vela::VELA_ASR_CMD_START;
    if (design == 0) {
        sdk->post(start, err);
        sdk->wake_pull_thread();
    } else {
        // The built pull thread gives an unstarted session up at once when
        // woken; the model loop then runs the session again on this thread.
        sdk->wake_pull_thread();
        while (sdk->holders() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        VelaASRLinuxSDK::Holder loop(sdk);
        g_pull_tid = static_cast<pid_t>(syscall(SYS_gettid));
        sdk->status.store(vela::ST_RUNNING);
        pollingLoop(sdk);
    }
    while (sdk->status.load() != vela::ST_FINISH || sdk->holders() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    VelaASRLinuxSDK::clean_resource(false);
}

class Setup {
  public:
    Setup() {
        setenv("VELA_ASR_SERVER_URL", server.url("/asr/v2").c_str(), 1);
        const std::string dir = "/tmp/vela_bench_pull_loop";
        mkdir(dir.c_str(), 0755);
        VelaASRLinuxSDK::init_env(dir, "bench.log", 4);
        server.on(vela_test::hasPart("create-session"),
                  Reply::json(R"({"asr_param":{"err_no":0,"sid":"s"}})"));
    }
    vela_test::ScriptedHttpServer server;
};

Setup& setup() {
    static Setup s;
    return s;
}

void BM_HeldFetch(benchmark::State& state) {
    vela_test::ScriptedHttpServer& server = setup().server;
    for (auto _ : state) {
        server.clearRequests();
        server.on(vela_test::methodIs("GET"),
                  Reply::json(R"({"asr_param":{"err_no":0,"status":3}})").after(std::chrono::seconds(2)), 1);
        double cpu0 = 0, cpu1 = 0, pull0 = 0, pull1 = 0;
        Clock::time_point t0, t1;
        std::thread measure([&] {
            server.waitForRequests(2);  // the session and its fetch
            cpu0 = cpuSeconds();
            pull0 = threadCpuSeconds(g_pull_tid);
            t0 = Clock::now();
            server.waitForAnswers(2, std::chrono::seconds(10));
            cpu1 = cpuSeconds();
            pull1 = threadCpuSeconds(g_pull_tid);
            t1 = Clock::now();
        });
        runSession(static_cast<int>(state.range(0)));
        measure.join();
        const double wall = std::chrono::duration<double>(t1 - t0).count();
        state.counters["pull_cpu_pct"] = 100.0 * (pull1 - pull0) / wall;
        state.counters["process_cpu_pct"] = 100.0 * (cpu1 - cpu0) / wall;
        state.counters["held_s"] = wall;
    }
}

void BM_NextFetch(benchmark::State& state) {
    constexpr int kIntermediate = 50;
    vela_test::ScriptedHttpServer& server = setup().server;
    for (auto _ : state) {
        std::mutex m;
        std::vector<Clock::time_point> arrived, answered;
        int unanswered = 0, overlaps = 0;
        server.clearScript();
        server.on(vela_test::hasPart("create-session"),
                  Reply::json(R"({"asr_param":{"err_no":0,"sid":"s"}})"));
        server.on(vela_test::methodIs("GET"), [&](const vela_test::RecordedRequest&) {
            bool last;
            {
                std::lock_guard<std::mutex> lock(m);
                arrived.push_back(Clock::now());
                if (unanswered++ > 0) ++overlaps;
                last = arrived.size() > kIntermediate;
            }
            // A little server time, so that fetches sent meanwhile show up as overlaps.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::lock_guard<std::mutex> lock(m);
            --unanswered;
            if (!last) answered.push_back(Clock::now());
            return Reply::json(last ? R"({"asr_param":{"err_no":0,"status":3}})"
                                    : R"({"asr_param":{"err_no":0,"status":2},"asr_content":"x"})");
        });
        runSession(static_cast<int>(state.range(0)));

        std::lock_guard<std::mutex> lock(m);
        std::vector<double> delays;
        for (const Clock::time_point& a : answered) {
            auto next = std::upper_bound(arrived.begin(), arrived.end(), a);
            if (next != arrived.end())
                delays.push_back(std::chrono::duration<double, std::micro>(*next - a).count());
        }
        std::sort(delays.begin(), delays.end());
        if (delays.empty()) continue;
        state.counters["median_us"] = delays[delays.size() / 2];
        state.counters["p90_us"] = delays[delays.size() * 9 / 10];
        state.counters["max_us"] = delays.back();
        state.counters["fetches"] = static_cast<double>(arrived.size());
        state.counters["overlaps"] = overlaps;
    }
}

void BM_AtOnceServer(benchmark::State& state) {
    vela_test::ScriptedHttpServer& server = setup().server;
    for (auto _ : state) {
        server.clearScript();
        server.clearRequests();
        server.on(vela_test::hasPart("create-session"),
                  Reply::json(R"({"asr_param":{"err_no":0,"sid":"s"}})"));
        const Clock::time_point end = Clock::now() + std::chrono::seconds(3);
        server.on(vela_test::methodIs("GET"), [end](const vela_test::RecordedRequest&) {
            return Reply::json(Clock::now() < end
                                   ? R"({"asr_param":{"err_no":0,"status":2},"asr_content":"x"})"
                                   : R"({"asr_param":{"err_no":0,"status":3}})");
        });
        double cpu0 = 0, cpu1 = 0, pull0 = 0, pull1 = 0;
        Clock::time_point t0, t1;
        size_t n0 = 0, n1 = 0;
        std::thread measure([&] {
            server.waitForRequests(2);
            cpu0 = cpuSeconds();
            pull0 = threadCpuSeconds(g_pull_tid);
            n0 = server.requestCount();
            t0 = Clock::now();
            std::this_thread::sleep_until(end);
            cpu1 = cpuSeconds();
            pull1 = threadCpuSeconds(g_pull_tid);
            n1 = server.requestCount();
            t1 = Clock::now();
        });
        runSession(static_cast<int>(state.range(0)));
        measure.join();
        const double wall = std::chrono::duration<double>(t1 - t0).count();
        state.counters["fetches_per_s"] = static_cast<double>(n1 - n0) / wall;
        state.counters["pull_cpu_pct"] = 100.0 * (pull1 - pull0) / wall;
        state.counters["process_cpu_pct"] = 100.0 * (cpu1 - cpu0) / wall;
    }
}

}  // namespace

BENCHMARK(BM_AtOnceServer)->ArgName("design")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeldFetch)->ArgName("design")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NextFetch)->ArgName("design")->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
