// loadgen: drives a recognition server (one node, or nginx in front of
// several) through the SDK the way applications do: M concurrent sessions,
// each streaming a recorded raw PCM file in real time, one after another until
// N sessions have run. Reports finished sessions, errors, sessions per node
// (the node is the part of a session's sid before its first '.') and the
// percentiles of the time from the last audio chunk to the final result.
//
// Every session's outcome is also printed as one tab-separated line:
//   session <i> <node> <sid> <audio bytes> <finished|error|timeout|no-instance> <ms> <events>
//           <start> <end> <json>
// where <ms> runs from the last audio to the first final result or error,
// <events> counts the final and error events the session received (one is
// right), <start> and <end> are milliseconds since the run began (the session
// asked for its instance, its first final result or error came) and <json> is
// the payload of its first such event (for no-instance, the SDK's refusal; a
// full pool is waited for, up to --timeout-s).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string audio_path;
    int concurrent = 4;
    int total = 0;  // 0: as many as concurrent
    int rate_khz = 16;
    int chunk_ms = 100;
    double speed = 1.0;   // 1: real time; 0: no pacing
    int stagger_ms = -1;  // -1: spread the starts over one file's duration
    int trim_step_ms = 0;
    int vad = 0;
    int bv = 0;
    int timeout_s = 60;
    std::string log_dir = "loadgen-logs";
    int log_level = 4;
};

enum class Outcome { Pending, Finished, Error, Timeout, NoInstance };

const char* outcomeName(Outcome o) {
    switch (o) {
        case Outcome::Finished:
            return "finished";
        case Outcome::Error:
            return "error";
        case Outcome::Timeout:
            return "timeout";
        case Outcome::NoInstance:
            return "no-instance";
        case Outcome::Pending:
            break;
    }
    return "pending";
}

struct Session {
    std::string sid;
    std::string node;
    size_t bytes = 0;
    Outcome outcome = Outcome::Pending;
    int terminal_events = 0;  // final results and errors received
    Clock::time_point started;
    Clock::time_point last_audio;
    Clock::time_point ended;
    std::string json;
};

// Shared between the workers and the SDK's callback threads.
struct Run {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Session> sessions;
    long slot_waits = 0;  // waits for a free pool slot
};

Run* g_run = nullptr;

// The callback's argument is the session's index as text (the SDK keeps a copy).
void onEvent(vela::ASRResultM& result, void* arg) {
    const vela::Param_t status = result.get_status();
    if (status != vela::VELA_ASR_FINISH && status != vela::VELA_ASR_ERR) return;
    const auto now = Clock::now();
    const long index = std::strtol(static_cast<const char*>(arg), nullptr, 10);
    std::string json;
    result.get_asr_content(json);
    std::lock_guard<std::mutex> lock(g_run->mutex);
    if (index < 0 || index >= static_cast<long>(g_run->sessions.size())) return;
    Session& s = g_run->sessions[static_cast<size_t>(index)];
    if (++s.terminal_events == 1) {
        s.ended = now;
        while (!json.empty() && (json.back() == '\n' || json.back() == '\r')) json.pop_back();
        s.json = json;
        if (s.outcome == Outcome::Pending) {
            s.outcome = status == vela::VELA_ASR_FINISH ? Outcome::Finished : Outcome::Error;
        }
    }
    g_run->changed.notify_all();
}

std::string nodeOf(const std::string& sid) {
    const size_t dot = sid.find('.');
    return dot == std::string::npos ? "-" : sid.substr(0, dot);
}

// A new instance. While the pool is full ("instance exceed") it waits for a
// slot: other sessions give theirs back once their final result or error has
// been delivered, which wakes it; the pause bounds each wait, as the slot
// comes back just after the event. Gives up after `timeout_s`.
vela::VelaASRLinuxSDK* takeInstance(const Options& opt, std::string& err) {
    const auto give_up = Clock::now() + std::chrono::seconds(opt.timeout_s);
    const auto pause = std::chrono::milliseconds(5);
    for (;;) {
        vela::VelaASRLinuxSDK* inst = vela::VelaASRLinuxSDK::getInstance(opt.rate_khz, opt.vad, opt.bv, err);
        if (inst != nullptr || vela::VelaASRLinuxSDK::err_no.load() != 4 || Clock::now() >= give_up)
            return inst;
        std::unique_lock<std::mutex> lock(g_run->mutex);
        ++g_run->slot_waits;
        g_run->changed.wait_for(lock, pause);
    }
}

// Streams `audio` through one new instance; returns once the session has its
// final result or error, or has waited `timeout_s` after its last audio.
void runSession(const Options& opt, const std::vector<char>& audio, size_t index) {
    const size_t chunk = static_cast<size_t>(opt.rate_khz) * 2 * static_cast<size_t>(opt.chunk_ms);
    size_t bytes = audio.size();
    const size_t trim = static_cast<size_t>(opt.rate_khz) * 2 * static_cast<size_t>(opt.trim_step_ms) * index;
    bytes = trim + chunk < bytes ? bytes - trim : std::min(chunk, bytes);

    std::string err;
    const auto started = Clock::now();
    vela::VelaASRLinuxSDK* inst = takeInstance(opt, err);
    if (inst == nullptr) {
        std::lock_guard<std::mutex> lock(g_run->mutex);
        Session& s = g_run->sessions[index];
        s.started = started;
        s.ended = Clock::now();
        s.outcome = Outcome::NoInstance;
        s.json = err;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_run->mutex);
        Session& s = g_run->sessions[index];
        s.started = started;
        s.sid = inst->_sid;  // set when the instance was made, read-only since
        s.node = nodeOf(s.sid);
    }
    std::string tag = std::to_string(index);
    inst->set_event_listener(onEvent, &tag[0]);

    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(opt.speed > 0 ? opt.chunk_ms / opt.speed : 0));
    size_t sent = 0;
    Clock::time_point last_audio = start;
    for (size_t k = 0; sent < bytes; ++k) {
        std::this_thread::sleep_until(start + period * static_cast<long>(k));
        {
            // An application stops streaming once its session has ended in an error.
            std::lock_guard<std::mutex> lock(g_run->mutex);
            if (g_run->sessions[index].terminal_events > 0) break;
        }
        const size_t n = std::min(chunk, bytes - sent);
        vela::VelaASRMessage msg;
        msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
        msg.set_parameter(vela::VELA_DATA_CHUNK, audio.data() + sent, static_cast<int>(n));
        last_audio = Clock::now();
        sent += n;
        if (inst->post(msg, err) == 100) break;  // end of speech: the session's last packet has gone
    }
    vela::VelaASRMessage stop;
    stop.name = vela::VELA_ASR_CMD_STOP;
    inst->post(stop, err);

    std::unique_lock<std::mutex> lock(g_run->mutex);
    Session& s = g_run->sessions[index];
    s.bytes = sent;
    s.last_audio = last_audio;
    if (!g_run->changed.wait_for(lock, std::chrono::seconds(opt.timeout_s),
                                 [&] { return s.terminal_events > 0; })) {
        s.outcome = Outcome::Timeout;
        s.ended = Clock::now();
    }
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    // Nearest rank.
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::max<size_t>(1, std::min(rank, sorted.size()));
    return sorted[rank - 1];
}

void usage() {
    std::fputs(
        "Usage: loadgen [options] AUDIO.pcm\n"
        "Streams AUDIO (raw 16-bit mono PCM) through the SDK in concurrent sessions, paced in\n"
        "real time, and reports outcomes, sessions per node and final-result times.\n"
        "The server is the SDK's: VELA_ASR_SERVER_URL in the environment.\n"
        "\n"
        "  -c N             concurrent sessions (default 4; the SDK's pool holds at most 100)\n"
        "  -n N             sessions in all (default: as many as concurrent); each worker\n"
        "                   starts its next session once its last one has ended, waiting\n"
        "                   for a free slot of the pool when it is full\n"
        "  --rate K         sample rate of AUDIO in kHz, 16 (default) or 8\n"
        "  --chunk-ms N     audio per post (default 100)\n"
        "  --speed X        pace: 1 real time (default), 2 twice as fast, 0 unpaced\n"
        "  --stagger-ms N   worker k starts k*N ms after the first (default: the file's\n"
        "                   duration divided by the concurrent sessions)\n"
        "  --trim-step-ms N session i sends i*N ms less of the file, at least one chunk\n"
        "                   (so that sessions differ; default 0)\n"
        "  --vad, --bv      switch on voice detection, BV32 compression\n"
        "  --timeout-s N    longest wait for a final result after the last audio, and for a\n"
        "                   free pool slot (default 60)\n"
        "  --log-dir DIR    the SDK's log folder (default loadgen-logs)\n"
        "  --log-level N    the SDK's minimum log level (default 4, warnings)\n"
        "\n"
        "Exit status: 0 when every session finished, 3 when some did not, 2 on bad usage.\n",
        stderr);
}

bool parseArgs(int argc, char** argv, Options& opt) {
    auto number = [&](int& i, double& out) {
        if (i + 1 >= argc) return false;
        char* end = nullptr;
        out = std::strtod(argv[++i], &end);
        return *end == '\0' && out >= 0;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        double v = 0;
        if (a == "--vad") {
            opt.vad = 1;
        } else if (a == "--bv") {
            opt.bv = 1;
        } else if (a == "--log-dir" && i + 1 < argc) {
            opt.log_dir = argv[++i];
        } else if (a == "--speed") {
            if (!number(i, opt.speed)) return false;
        } else if (a == "-c" || a == "-n" || a == "--rate" || a == "--chunk-ms" || a == "--stagger-ms" ||
                   a == "--trim-step-ms" || a == "--timeout-s" || a == "--log-level") {
            if (!number(i, v) || v > 1e6) return false;
            const int n = static_cast<int>(v);
            if (a == "-c") opt.concurrent = n;
            if (a == "-n") opt.total = n;
            if (a == "--rate") opt.rate_khz = n;
            if (a == "--chunk-ms") opt.chunk_ms = n;
            if (a == "--stagger-ms") opt.stagger_ms = n;
            if (a == "--trim-step-ms") opt.trim_step_ms = n;
            if (a == "--timeout-s") opt.timeout_s = n;
            if (a == "--log-level") opt.log_level = n;
        } else if (!a.empty() && a[0] != '-' && opt.audio_path.empty()) {
            opt.audio_path = a;
        } else {
            return false;
        }
    }
    if (opt.total == 0) opt.total = opt.concurrent;
    return !opt.audio_path.empty() && opt.concurrent >= 1 && opt.concurrent <= 100 && opt.total >= 1 &&
           (opt.rate_khz == 16 || opt.rate_khz == 8) && opt.chunk_ms >= 10;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        usage();
        return 2;
    }
    std::ifstream in(opt.audio_path, std::ios::binary);
    std::vector<char> audio;
    if (in) audio.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (audio.size() < 2) {
        std::fprintf(stderr, "loadgen: cannot read %s\n", opt.audio_path.c_str());
        return 2;
    }
    audio.resize(audio.size() & ~size_t{1});
    const double audio_ms = static_cast<double>(audio.size()) / (opt.rate_khz * 2.0);
    if (opt.stagger_ms < 0) {
        const double speed = opt.speed > 0 ? opt.speed : 1.0;
        opt.stagger_ms = static_cast<int>(audio_ms / speed / opt.concurrent);
    }

    std::error_code ec;
    std::filesystem::create_directories(opt.log_dir, ec);  // the SDK does not make its log folder
    vela::VelaASRLinuxSDK::init_env(opt.log_dir, "loadgen.log", opt.log_level);
    Run run;
    run.sessions.resize(static_cast<size_t>(opt.total));
    g_run = &run;

    std::atomic<int> next{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < opt.concurrent; ++w) {
        workers.emplace_back([&, w] {
            std::this_thread::sleep_until(t0 +
                                          std::chrono::milliseconds(static_cast<long>(opt.stagger_ms) * w));
            for (int i = next++; i < opt.total; i = next++) runSession(opt, audio, static_cast<size_t>(i));
        });
    }
    for (auto& t : workers) t.join();
    const double wall_s = std::chrono::duration<double>(Clock::now() - t0).count();
    // Late second events would show as a count above one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::lock_guard<std::mutex> lock(run.mutex);
    std::map<std::string, int> per_node;
    std::map<Outcome, int> per_outcome;
    std::vector<double> latencies;
    int multiple = 0;
    for (size_t i = 0; i < run.sessions.size(); ++i) {
        const Session& s = run.sessions[i];
        double ms = 0;
        if (s.outcome == Outcome::Finished || s.outcome == Outcome::Error || s.outcome == Outcome::Timeout) {
            ms = std::chrono::duration<double, std::milli>(s.ended - s.last_audio).count();
        }
        if (s.outcome == Outcome::Finished) latencies.push_back(ms);
        ++per_outcome[s.outcome];
        if (!s.sid.empty()) ++per_node[s.node];
        if (s.terminal_events > 1) ++multiple;
        auto since = [&](Clock::time_point t) {
            return t == Clock::time_point() ? -1.0
                                            : std::chrono::duration<double, std::milli>(t - t0).count();
        };
        std::printf("session\t%zu\t%s\t%s\t%zu\t%s\t%.1f\t%d\t%.0f\t%.0f\t%s\n", i,
                    s.node.empty() ? "-" : s.node.c_str(), s.sid.empty() ? "-" : s.sid.c_str(), s.bytes,
                    outcomeName(s.outcome), ms, s.terminal_events, since(s.started), since(s.ended),
                    s.json.c_str());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("sessions %d concurrent %d audio %.1f s wall %.1f s\n", opt.total, opt.concurrent,
                audio_ms / 1000.0, wall_s);
    std::printf("finished %d errors %d timeouts %d no-instance %d multiple-events %d\n",
                per_outcome[Outcome::Finished], per_outcome[Outcome::Error], per_outcome[Outcome::Timeout],
                per_outcome[Outcome::NoInstance], multiple);
    std::printf("waits for a pool slot %ld\n", run.slot_waits);
    for (const auto& kv : per_node) std::printf("node %s %d\n", kv.first.c_str(), kv.second);
    std::printf("final-result ms p50 %.1f p90 %.1f p99 %.1f max %.1f\n", percentile(latencies, 50),
                percentile(latencies, 90), percentile(latencies, 99),
                latencies.empty() ? 0.0 : latencies.back());
    std::fflush(stdout);
    const bool all_finished = per_outcome[Outcome::Finished] == opt.total && multiple == 0;
    // Instances may still hold SDK threads; leave without unwinding them.
    std::_Exit(all_finished ? 0 : 3);
}
