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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "vad/MFE.h"

namespace {

using Clock = std::chrono::steady_clock;

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

// The end of one session, as the listener sees it.
struct Outcome {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int status = 0;
    Clock::time_point at;
};

// The session running now; sessions run one after the other.
std::atomic<Outcome*> g_current{nullptr};

void onEvent(vela::ASRResultM& result, void*) {
    const int s = result.get_status();
    if (s != vela::VELA_ASR_FINISH && s != vela::VELA_ASR_ERR) return;
    Outcome* out = g_current.load();
    if (out == nullptr) return;
    std::lock_guard<std::mutex> lock(out->mutex);
    if (out->done) return;
    out->done = true;
    out->status = s;
    out->at = Clock::now();
    out->cv.notify_all();
}

int liveInstances(const Options& o) {
    std::string err;
    std::vector<vela::VelaASRLinuxSDK*> held;
    // The first instance starts the SDK's threads, libcurl and the log; it is
    // not counted.
    held.push_back(vela::VelaASRLinuxSDK::getInstance(o.rate, o.vad, o.bv, err));
    if (held.back() == nullptr) {
        std::fprintf(stderr, "no instance: %s\n", err.c_str());
        return 1;
    }
    const long before = residentKiB();
    for (int i = 1; i < o.live; ++i) {
        vela::VelaASRLinuxSDK* inst = vela::VelaASRLinuxSDK::getInstance(o.rate, o.vad, o.bv, err);
        if (inst == nullptr) {
            std::fprintf(stderr, "instance %d: %s\n", i + 1, err.c_str());
            return 1;
        }
        held.push_back(inst);
    }
    const long after = residentKiB();
    // The front end's stores: samples, BV32 bytes, decisions and the work arrays.
    const CMFE& fe = *held.front()->_alg;
    const double samples = static_cast<double>(fe.nSampleRate) * fe.nSleep_Timeout;
    const double frontend =
        samples * 2 + (samples / 4 + 4) + samples / fe.nFrameLength * 2 + 30.0 * fe.nFrameLength * 8;
    std::printf("live instances=%d rate=%d rss_growth_kib_per_instance=%.1f frontend_buffers_kib=%.1f\n",
                o.live, o.rate, static_cast<double>(after - before) / (o.live - 1), frontend / 1024);
    // The instances' threads still run: leave without running exit handlers
    // (OpenSSL's cleanup among them) underneath them.
    std::fflush(stdout);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        usage();
        return 2;
    }
    mkdir(o.log_dir.c_str(), 0755);
    vela::VelaASRLinuxSDK::init_env(o.log_dir, "netbench.log", 1);
    if (o.live > 0) return liveInstances(o);

    std::ifstream in(o.file, std::ios::binary);
    const std::string pcm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t chunk = 3200;
    if (pcm.size() < chunk) {
        std::fprintf(stderr, "%s: no audio\n", o.file.c_str());
        return 1;
    }
    const double chunk_s = static_cast<double>(chunk) / (o.rate * 1000 * 2);

    const long requests0 = loggedRequests(o.log_dir);
    const double cpu0 = cpuSeconds();
    double audio_s = 0;
    double stream_cpu = 0;  // from each session's start to its final result: without instance set-up
    int failed = 0;
    for (int s = 0; s < o.sessions; ++s) {
        const int conns0 = readCount(o.count_file);
        Outcome outcome;
        g_current = &outcome;
        std::string err;
        vela::VelaASRLinuxSDK* inst = vela::VelaASRLinuxSDK::getInstance(o.rate, o.vad, o.bv, err);
        if (inst == nullptr) {
            std::fprintf(stderr, "session %d: no instance: %s\n", s + 1, err.c_str());
            return 1;
        }
        inst->set_event_listener(&onEvent, const_cast<char*>("netbench"));
        const double session_cpu0 = cpuSeconds();

        vela::VelaASRMessage msg;
        msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
        const Clock::time_point start = Clock::now();
        size_t sent = 0;
        for (size_t at = 0; at + chunk <= pcm.size(); at += chunk) {
            if (o.speed > 0) {
                std::this_thread::sleep_until(start +
                                              std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(sent * chunk_s / o.speed)));
            }
            msg.set_parameter(vela::VELA_DATA_CHUNK, const_cast<char*>(&pcm[at]), static_cast<int>(chunk));
            ++sent;
            if (inst->post(msg, err) == 100) break;  // end of speech: the last packet has gone
        }
        audio_s += sent * chunk_s;
        const Clock::time_point last_audio = Clock::now();
        vela::VelaASRMessage stop;
        stop.name = vela::VELA_ASR_CMD_STOP;
        inst->post(stop, err);

        std::unique_lock<std::mutex> lock(outcome.mutex);
        const bool ended = outcome.cv.wait_for(lock, std::chrono::seconds(60), [&] { return outcome.done; });
        const double ms =
            ended ? std::chrono::duration<double, std::milli>(outcome.at - last_audio).count() : -1.0;
        const bool ok = ended && outcome.status == vela::VELA_ASR_FINISH;
        stream_cpu += cpuSeconds() - session_cpu0;
        failed += ok ? 0 : 1;
        lock.unlock();
        std::printf("session %d ok=%d last_audio_to_final_ms=%.1f connections=%d\n", s + 1, ok ? 1 : 0, ms,
                    readCount(o.count_file) - conns0);
        std::fflush(stdout);
        g_current = nullptr;
        if (!ended) return 1;
    }
    vela::VelaASRLinuxSDK::clean_resource(false);
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
