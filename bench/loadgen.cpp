// loadgen: drives a recognition server (one node, or nginx in front of
// several) through the SDK's C++ API the way applications do: M concurrent
// sessions, each streaming a recorded raw PCM file in real time, one after
// another until N sessions have run. Reports finished sessions, errors,
// sessions per node (the node is the part of a session's sid before its first
// '.') and the percentiles of the time from the last audio to the final result.
//
// Every session's outcome is also printed as one tab-separated line:
//   session <i> <node> <sid> <audio bytes> <finished|error|timeout|no-instance> <ms> <events>
//           <start> <end> <json>
// where <audio bytes> is the PCM pushed (the SDK pads the last packet with
// silence), <ms> runs from the last audio to the first final result or error,
// <events> counts the final and error results the session received (one is
// right), <start> and <end> are milliseconds since the run began (the session
// was asked for, its first final result or error came) and <json> is the
// server's result content of a final result, the cause of an error, or for
// no-instance why no session was opened (a full pool is waited for, up to
// --timeout-s).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <vela/asr.hpp>

#include "paced_stream.hpp"

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
    std::condition_variable changed;  // a session ended or gave its pool slot back
    std::vector<Session> sessions;
    long slot_waits = 0;  // waits for a free pool slot
};

std::string nodeOf(const std::string& sid) {
    const size_t dot = sid.find('.');
    return dot == std::string::npos ? "-" : sid.substr(0, dot);
}

// Records a result of session `index`: its sid, and its outcome from the
// first final result or error.
void onResult(Run& run, size_t index, const vela::asr::Result& r) {
    const bool terminal = r.kind == vela::asr::Kind::final || r.kind == vela::asr::Kind::error;
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(run.mutex);
    Session& s = run.sessions[index];
    if (s.sid.empty() && !r.sid.empty()) {
        s.sid = r.sid;
        s.node = nodeOf(s.sid);
    }
    // Closing a timed-out session ends it with an error of its own; not counted.
    if (!terminal || s.outcome == Outcome::Timeout) return;
    if (++s.terminal_events == 1) {
        s.ended = now;
        s.json = r.kind == vela::asr::Kind::final ? r.json : r.text;
        s.outcome = r.kind == vela::asr::Kind::final ? Outcome::Finished : Outcome::Error;
    }
    run.changed.notify_all();
}

// A new session. While the pool is full it waits for a slot: a session gives
// its slot back once closed, which wakes the waiters; the slot comes back just
// after the close, so each wait is also bounded by a short pause. Gives up
// after `timeout_s`; the error is then in `why`.
std::optional<vela::asr::Session> openSession(vela::asr::Client& client, Run& run, const Options& opt,
                                              std::string& why) {
    const auto give_up = Clock::now() + std::chrono::seconds(opt.timeout_s);
    const auto pause = std::chrono::milliseconds(5);
    for (;;) {
        try {
            return client.open({opt.rate_khz, opt.vad != 0, opt.bv != 0});
        } catch (const vela::asr::Error& e) {
            if (e.code() != VELA_ASR_E_BUSY || Clock::now() >= give_up) {
                why = e.what();
                return std::nullopt;
            }
        }
        std::unique_lock<std::mutex> lock(run.mutex);
        ++run.slot_waits;
        run.changed.wait_for(lock, pause);
    }
}

// Streams `audio` through one new session; returns once the session has its
// final result or error, or has waited `timeout_s` after its last audio, and
// has been closed.
void runSession(vela::asr::Client& client, Run& run, const Options& opt, const std::vector<int16_t>& audio,
                size_t index) {
    const size_t step = static_cast<size_t>(opt.rate_khz) * static_cast<size_t>(opt.chunk_ms);
    const size_t trim = static_cast<size_t>(opt.rate_khz) * static_cast<size_t>(opt.trim_step_ms) * index;
    const size_t count = trim + step < audio.size() ? audio.size() - trim : std::min(step, audio.size());

    std::string why;
    const auto started = Clock::now();
    std::optional<vela::asr::Session> session = openSession(client, run, opt, why);
    if (!session) {
        std::lock_guard<std::mutex> lock(run.mutex);
        Session& s = run.sessions[index];
        s.started = started;
        s.ended = Clock::now();
        s.outcome = Outcome::NoInstance;
        s.json = why;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        run.sessions[index].started = started;
    }
    // Set by voice detection's end of speech, and by the session's end: an
    // application stops streaming once its session has ended in an error.
    std::atomic<bool> stop{false};
    session->on_result([&run, &stop, index](const vela::asr::Result& r) {
        if (r.kind == vela::asr::Kind::final || r.kind == vela::asr::Kind::error ||
            (r.kind == vela::asr::Kind::voice && r.code == VELA_ASR_VOICE_END))
            stop = true;
        onResult(run, index, r);
    });
    Streamed streamed;
    streamed.last_audio = Clock::now();
    try {
        stream_paced(*session, audio.data(), count, {step, opt.rate_khz, opt.speed}, stop, streamed);
    } catch (const vela::asr::Error&) {
        // The session has ended: its error result tells why.
    }

    {
        std::unique_lock<std::mutex> lock(run.mutex);
        Session& s = run.sessions[index];
        s.bytes = streamed.samples * sizeof(int16_t);
        s.last_audio = streamed.last_audio;
        if (!run.changed.wait_for(lock, std::chrono::seconds(opt.timeout_s),
                                  [&] { return s.terminal_events > 0; })) {
            s.outcome = Outcome::Timeout;
            s.ended = Clock::now();
        }
    }
    session.reset();  // gives the pool slot back
    run.changed.notify_all();
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
        "  --chunk-ms N     audio per push (default 100; the SDK cuts its own packets)\n"
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

// Prints one line per session and the summary.
void report(Run& run, const Options& opt, double audio_ms, double wall_s, Clock::time_point t0) {
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
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        usage();
        return 2;
    }
    std::ifstream in(opt.audio_path, std::ios::binary);
    std::string bytes;
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::vector<int16_t> audio(bytes.size() / sizeof(int16_t));
    if (audio.empty()) {
        std::fprintf(stderr, "loadgen: cannot read %s\n", opt.audio_path.c_str());
        return 2;
    }
    std::memcpy(audio.data(), bytes.data(), audio.size() * sizeof(int16_t));  // little-endian PCM
    const double audio_ms = static_cast<double>(audio.size()) / opt.rate_khz;
    if (opt.stagger_ms < 0) {
        const double speed = opt.speed > 0 ? opt.speed : 1.0;
        opt.stagger_ms = static_cast<int>(audio_ms / speed / opt.concurrent);
    }

    Run run;
    run.sessions.resize(static_cast<size_t>(opt.total));
    double wall_s = 0;
    try {
        vela::asr::ClientOptions client_options;
        client_options.log_dir = opt.log_dir;  // made when missing
        client_options.log_file = "loadgen.log";
        client_options.log_level = opt.log_level;
        vela::asr::Client client(client_options);

        std::atomic<int> next{0};
        const auto t0 = Clock::now();
        std::vector<std::thread> workers;
        for (int w = 0; w < opt.concurrent; ++w) {
            workers.emplace_back([&, w] {
                std::this_thread::sleep_until(
                    t0 + std::chrono::milliseconds(static_cast<long>(opt.stagger_ms) * w));
                for (int i = next++; i < opt.total; i = next++)
                    runSession(client, run, opt, audio, static_cast<size_t>(i));
            });
        }
        for (auto& t : workers) t.join();
        wall_s = std::chrono::duration<double>(Clock::now() - t0).count();
        report(run, opt, audio_ms, wall_s, t0);
    } catch (const vela::asr::Error& e) {
        std::fprintf(stderr, "loadgen: %s\n", e.what());
        return 2;
    }
    const bool all_finished = std::all_of(run.sessions.begin(), run.sessions.end(), [](const Session& s) {
        return s.outcome == Outcome::Finished && s.terminal_events == 1;
    });
    return all_finished ? 0 : 3;
}
