// Drives recognition sessions through the SDK's public API, as an application
// does, and reports what a network benchmark needs: per session the time from
// the last audio to the final result and the connections the server accepted
// (read from the delay proxy's count file), and for the whole run the
// process's CPU time (getrusage) and the number of HTTP requests made (counted
// in the SDK's log). With --live N it instead holds N instances at once and
// reports the resident memory each one adds.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <vela/asr.hpp>

#include "paced_stream.hpp"
#include "vad/MFE.h"
#include "vad/MFESessionSettings.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t kStep = 1600;  // samples per push: the SDK's packet

struct Options {
    std::string file;
    int rate = 16;
    int vad = 0;
    int bv = 0;
    int sessions = 20;
    double speed = 1.0;  // audio seconds per wall-clock second; 0 posts as fast as possible
    std::string log_dir = "netbench-logs";
    std::string count_file;
    int live = 0;
};

void usage() {
    std::printf(
        "usage: netbench_client --file PCM [--rate 8|16] [--vad 0|1] [--bv 0|1] [--sessions N]\n"
        "                       [--speed X] [--log-dir DIR] [--count-file FILE] [--live N]\n"
        "Streams the raw 16-bit mono PCM file in 3,200-byte chunks through N sessions, one after\n"
        "the other, paced at X times real time (0: unpaced), against VELA_ASR_SERVER_URL.\n"
        "Prints one 'session' line per session and a 'total' line. --count-file names the delay\n"
        "proxy's connection count. --live N holds N instances at once and prints their memory.\n");
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") return false;
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        const std::map<std::string, std::function<void()>> setters = {
            {"--file", [&] { o->file = v; }},
            {"--rate", [&] { o->rate = std::atoi(v); }},
            {"--vad", [&] { o->vad = std::atoi(v); }},
            {"--bv", [&] { o->bv = std::atoi(v); }},
            {"--sessions", [&] { o->sessions = std::atoi(v); }},
            {"--speed", [&] { o->speed = std::atof(v); }},
            {"--log-dir", [&] { o->log_dir = v; }},
            {"--count-file", [&] { o->count_file = v; }},
            {"--live", [&] { o->live = std::atoi(v); }},
        };
        const auto setter = setters.find(a);
        if (setter == setters.end()) return false;
        setter->second();
    }
    return o->live > 0 || !o->file.empty();
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int readCount(const std::string& path) {
    if (path.empty()) return 0;
    std::ifstream in(path);
    int n = 0;
    in >> n;
    return n;
}

// Requests the HTTP client logged (one line per request, success or failure),
// counted in the NOTICE file, which holds every level from NOTICE up.
long loggedRequests(const std::string& dir) {
    long n = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.find("NOTICE") != std::string::npos || name[0] == '.')
            continue;  // the link to the current file
        std::ifstream in(dir + "/" + name);
        for (std::string line; std::getline(in, line);) {
            if (line.find("CurlRequest::doPost") != std::string::npos ||
                line.find("CurlRequest::doGet") != std::string::npos) {
                ++n;
            }
        }
    }
    closedir(d);
    return n;
}

// Holds `o.live` sessions open at once and prints the resident memory each
// adds, beside the size of a session front end's buffers.
int liveInstances(vela::asr::Client& client, const Options& o) {
    const vela::asr::SessionOptions options{o.rate, o.vad != 0, o.bv != 0};
    std::vector<vela::asr::Session> held;
    try {
        // The first session starts the SDK's threads, libcurl and the log; it
        // is not counted.
        held.push_back(client.open(options));
        const long before = residentKiB();
        for (int i = 1; i < o.live; ++i) held.push_back(client.open(options));
        const long after = residentKiB();
        // A front end set up as a session's (mfeInit settles the store's
        // length): its stores of samples, BV32 bytes, decisions and the work
        // arrays (the maximum speech duration does not size them).
        CMFE fe;
        mfeApplySessionSettings(fe, 400, o.vad, o.bv, o.rate == 16);
        if (fe.mfeInit() != 0) {
            std::fprintf(stderr, "front end: set-up failed\n");
            return 1;
        }
        fe.mfeExit();
        const double samples = static_cast<double>(fe.nSampleRate) * fe.nSleep_Timeout;
        const double frontend =
            samples * 2 + (samples / 4 + 4) + samples / fe.nFrameLength * 2 + 30.0 * fe.nFrameLength * 8;
        std::printf("live instances=%d rate=%d rss_growth_kib_per_instance=%.1f frontend_buffers_kib=%.1f\n",
                    o.live, o.rate, static_cast<double>(after - before) / std::max(o.live - 1, 1),
                    frontend / 1024);
    } catch (const vela::asr::Error& e) {
        std::fprintf(stderr, "instance %zu: %s\n", held.size() + 1, e.what());
        return 1;
    }
    return 0;
}

enum class Ended { kFinal, kError, kNever };

// One session: streams `pcm` and waits for its end, then prints its line.
Ended runSession(vela::asr::Client& client, const Options& o, const std::vector<int16_t>& pcm, int number,
                 double& audio_s, double& stream_cpu) {
    const int conns0 = readCount(o.count_file);
    vela::asr::Session session = client.open({o.rate, o.vad != 0, o.bv != 0});
    std::atomic<bool> speech_over{false};
    Clock::time_point ended_at;  // written before the future is made ready
    session.on_result([&](const vela::asr::Result& r) {
        if (r.kind == vela::asr::Kind::voice && r.code == VELA_ASR_VOICE_END) speech_over = true;
        if (r.kind == vela::asr::Kind::final || r.kind == vela::asr::Kind::error) ended_at = Clock::now();
    });
    std::future<vela::asr::Result> final = session.final();
    const double session_cpu0 = cpuSeconds();
    Streamed streamed;
    streamed.last_audio = Clock::now();
    try {
        stream_paced(session, pcm.data(), pcm.size(), {kStep, o.rate, o.speed}, speech_over, streamed);
    } catch (const vela::asr::Error&) {
        // The session has ended: the future holds its error.
    }
    audio_s += static_cast<double>(streamed.samples) / (o.rate * 1000);
    Ended ended = Ended::kNever;
    if (final.wait_for(std::chrono::seconds(60)) == std::future_status::ready) {
        try {
            final.get();
            ended = Ended::kFinal;
        } catch (const vela::asr::Error& e) {
            std::fprintf(stderr, "session %d: %s\n", number, e.what());
            ended = Ended::kError;
        }
    }
    const double ms = ended != Ended::kNever
                          ? std::chrono::duration<double, std::milli>(ended_at - streamed.last_audio).count()
                          : -1.0;
    stream_cpu += cpuSeconds() - session_cpu0;
    std::printf("session %d ok=%d last_audio_to_final_ms=%.1f connections=%d\n", number,
                ended == Ended::kFinal ? 1 : 0, ms, readCount(o.count_file) - conns0);
    std::fflush(stdout);
    return ended;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        usage();
        return 2;
    }
    vela::asr::ClientOptions client_options;
    client_options.log_dir = o.log_dir;  // made when missing
    client_options.log_file = "netbench.log";
    client_options.log_level = 1;
    if (o.live > 0) {
        vela::asr::Client client(client_options);
        return liveInstances(client, o);
    }

    std::ifstream in(o.file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Whole steps only, as the SDK's packets.
    std::vector<int16_t> pcm(bytes.size() / (kStep * 2) * kStep);
    if (pcm.empty()) {
        std::fprintf(stderr, "%s: no audio\n", o.file.c_str());
        return 1;
    }
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);  // little-endian PCM

    const long requests0 = loggedRequests(o.log_dir);
    const double cpu0 = cpuSeconds();
    double audio_s = 0;
    double stream_cpu = 0;  // from each session's start to its final result: without session set-up
    int failed = 0;
    try {
        vela::asr::Client client(client_options);
        for (int s = 0; s < o.sessions; ++s) {
            const Ended ended = runSession(client, o, pcm, s + 1, audio_s, stream_cpu);
            if (ended == Ended::kNever) return 1;
            if (ended == Ended::kError) ++failed;
        }
    } catch (const vela::asr::Error& e) {  // no session
        std::fprintf(stderr, "no instance: %s\n", e.what());
        return 1;
    }  // shut down: the SDK's threads stopped, the log flushed
    const double cpu = cpuSeconds() - cpu0;
    const long requests = loggedRequests(o.log_dir) - requests0;
    // Per request: the uploads and fetches of the streaming phases (session
    // creation and instance set-up left out).
    const long streamed = requests - o.sessions;
    std::printf(
        "total sessions=%d failed=%d requests=%ld cpu_s=%.3f audio_s=%.1f cpu_ms_per_request=%.3f "
        "cpu_ms_per_audio_s=%.3f\n",
        o.sessions, failed, requests, cpu, audio_s, streamed > 0 ? stream_cpu * 1000 / streamed : 0.0,
        audio_s > 0 ? cpu * 1000 / audio_s : 0.0);
    return failed == 0 ? 0 : 1;
}
