// asr-stream: streams one audio file through the recognition SDK as live
// audio, prints the intermediate results as they change and the final text,
// then a few figures. The part between the usage markers is the SDK-facing
// core; the rest is argument parsing and file reading around it.

// [usage-begin]
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"

using Clock = std::chrono::steady_clock;

// The listener receives only a copy of a text tag, so what it learns about
// the session is kept here (this program runs one session).
struct SessionState {
    std::mutex mutex;
    std::condition_variable changed;
    std::string partial;  // the last intermediate text printed
    std::string final_text;
    std::string error;  // set when the exchange with the server failed
    int packets = -1;   // packets the server counted, when it says so
    bool done = false;
    Clock::time_point finished;
};
static SessionState state;

// A result's payload carries the server's asr_content as a JSON text, from the
// reference server {"text":"…","sid":"…","packets":N}.
static Json::Value server_content(const vela::ASRResultM& result) {
    std::string json;
    result.get_asr_content(json);
    Json::Value event, content;
    Json::Reader reader;
    if (reader.parse(json, event) && event["payload"]["asr_content"].isString())
        reader.parse(event["payload"]["asr_content"].asString(), content);
    return content;
}

// Called on the posting thread (voice-detector events) and on SDK worker
// threads (results); `result` lives only during the call.
static void on_event(vela::ASRResultM& result, void* /*tag*/) {
    const vela::Param_t status = result.get_status();
    if (status == vela::VELA_ASR_NO_SPEAK) std::printf("voice detector: no speech found\n");
    if (status == vela::VELA_ASR_SPEAK_SHORT) std::printf("voice detector: speech too short\n");
    if (status == vela::VELA_ASR_TOO_LONG) std::printf("voice detector: speech too long, cut\n");
    if (status != vela::VELA_ASR_MIDDLE && status != vela::VELA_ASR_FINISH && status != vela::VELA_ASR_ERR)
        return;  // silence events arrive for every quiet chunk

    const Json::Value content = server_content(result);
    const std::string text = content["text"].asString();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (content["packets"].isInt()) state.packets = content["packets"].asInt();
    if (status == vela::VELA_ASR_MIDDLE) {
        if (text != state.partial) std::printf("partial: %s\n", text.c_str());
        state.partial = text;
        std::fflush(stdout);
        return;
    }
    if (status == vela::VELA_ASR_FINISH) state.final_text = text;
    if (status == vela::VELA_ASR_ERR) state.error = "the exchange with the server failed";
    state.done = true;
    state.finished = Clock::now();
    state.changed.notify_all();
}

// Streams 16-bit mono PCM at the session's rate (8 or 16 kHz) through one
// recognition instance in 3,200-byte chunks, paced like live audio unless
// `fast`, and waits for the final result. Returns false with `error` set when
// the session could not run; `last_audio` is when the last packet went out.
static bool stream(const std::vector<int16_t>& pcm, int rate_khz, bool vad, bool bv32, bool fast,
                   Clock::time_point& last_audio, std::string& error) {
    // Logs go to hourly files in the folder (made when missing);
    // VELA_ASR_SERVER_URL, when set, names the server.
    vela::VelaASRLinuxSDK::init_env("asr-stream-logs", "asr.log", 1);
    vela::VelaASRLinuxSDK* asr = vela::VelaASRLinuxSDK::getInstance(rate_khz, vad, bv32, error);
    if (asr == nullptr) {  // the pool owns instances: never delete one
        error = "no recognition instance: " + error;
        return false;
    }
    char tag[] = "asr-stream";  // copied by the SDK and handed to every callback
    asr->set_event_listener(on_event, tag);

    // The SDK takes chunks of exactly 3,200 bytes; the tail is padded with silence.
    const size_t chunk_samples = 1600;
    const auto chunk_time = std::chrono::microseconds(chunk_samples * 1000 / rate_khz);
    std::vector<int16_t> chunk(chunk_samples);
    vela::VelaASRMessage msg;
    msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
    const Clock::time_point start = Clock::now();
    bool speech_ended = false;
    for (size_t at = 0, n = 0; at < pcm.size(); at += chunk_samples, ++n) {
        if (!fast) std::this_thread::sleep_until(start + n * chunk_time);
        const size_t take = std::min(chunk_samples, pcm.size() - at);
        std::copy(pcm.begin() + at, pcm.begin() + at + take, chunk.begin());
        std::fill(chunk.begin() + take, chunk.end(), 0);
        msg.set_parameter(vela::VELA_DATA_CHUNK, reinterpret_cast<const char*>(chunk.data()),
                          static_cast<int>(chunk.size() * sizeof(int16_t)));
        const int ret = asr->post(msg, error);
        last_audio = Clock::now();
        speech_ended = ret == 100;  // end of speech: the last packet has gone
        if (ret != 0) break;        // 100, or 7: the session has already ended
    }
    if (!speech_ended) last_audio = Clock::now();
    vela::VelaASRMessage stop;  // sends the end marker unless the last packet has gone
    stop.name = vela::VELA_ASR_CMD_STOP;
    asr->post(stop, error);

    std::unique_lock<std::mutex> lock(state.mutex);
    const bool done = state.changed.wait_for(lock, std::chrono::seconds(60), [] { return state.done; });
    error = done ? state.error : "no final result within 60 s";
    lock.unlock();
    // The SDK's threads go on for a moment after the last event (they log its
    // end); returning from main under them would tear down the logger they use.
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(2);
    while (done && asr->holders() > 0 && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    vela::VelaASRLinuxSDK::clean_resource(true);  // frees finished instances
    return error.empty();
}
// [usage-end]

#include <samplerate.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const char kUsage[] =
    "usage: asr-stream [options] FILE\n"
    "Streams FILE through the recognition SDK as live audio, prints the intermediate\n"
    "results as they change and the final text, then the audio posted, what the\n"
    "server received and the time from the last audio to the final result.\n"
    "\n"
    "FILE is a WAV file (or another format libsndfile reads), mixed down to mono and\n"
    "resampled to the session's rate as needed, or raw 16-bit little-endian mono PCM\n"
    "at the session's rate when its name ends in .pcm or .raw.\n"
    "\n"
    "  --rate 8|16    session sample rate in kHz (default 16)\n"
    "  --vad          voice detection: the session ends with the first utterance\n"
    "  --bv32         BV32 compression of the uploaded audio\n"
    "  --fast         push the audio as fast as possible instead of in real time\n"
    "  --server URL   recognition server (default: $VELA_ASR_SERVER_URL, else the\n"
    "                 URL built into the SDK)\n"
    "  --help         this text\n"
    "\n"
    "SDK log files go to ./asr-stream-logs/. Exit status: 0 with a final result,\n"
    "1 when the session failed, 2 for bad arguments or an unreadable file.\n";

struct Options {
    int rate_khz = 16;
    bool vad = false;
    bool bv32 = false;
    bool fast = false;
    std::string server;
    std::string file;
};

// Fills `o` from the command line; false with `error` set on a bad one.
bool parse_args(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--vad") {
            o.vad = true;
        } else if (arg == "--bv32") {
            o.bv32 = true;
        } else if (arg == "--fast") {
            o.fast = true;
        } else if (arg == "--rate" || arg == "--server") {
            if (!has_value) {
                error = arg + " needs a value";
                return false;
            }
            const std::string value = argv[++i];
            if (arg == "--server") {
                o.server = value;
            } else if (value == "8" || value == "16") {
                o.rate_khz = std::stoi(value);
            } else {
                error = "--rate must be 8 or 16, not '" + value + "'";
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (o.file.empty()) {
            o.file = arg;
        } else {
            error = "only one FILE, not '" + o.file + "' and '" + arg + "'";
            return false;
        }
    }
    if (o.file.empty()) error = "no FILE given";
    return !o.file.empty();
}

bool ends_with(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Raw 16-bit little-endian mono PCM, taken at the session's rate.
bool read_raw(const std::string& path, std::vector<int16_t>& pcm, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() % 2 != 0) {
        error = path + " has an odd number of bytes: not 16-bit PCM";
        return false;
    }
    pcm.resize(bytes.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        const unsigned lo = static_cast<unsigned char>(bytes[2 * i]);
        const unsigned hi = static_cast<unsigned char>(bytes[2 * i + 1]);
        pcm[i] = static_cast<int16_t>(lo | hi << 8);
    }
    return true;
}

// Any file libsndfile reads: mixed down to mono, resampled to `rate` Hz.
bool read_sound_file(const std::string& path, int rate, std::vector<int16_t>& pcm, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.frames > 3600LL * info.samplerate) {  // also a stream of unknown length
        sf_close(file);
        error = path + " is longer than an hour";
        return false;
    }
    std::vector<float> frames(static_cast<size_t>(info.frames) * info.channels);
    const sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    std::vector<float> mono(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    for (size_t i = 0; i < mono.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c) sum += frames[i * info.channels + c];
        mono[i] = sum / info.channels;
    }
    if (info.samplerate != rate && !mono.empty()) {
        const double ratio = static_cast<double>(rate) / info.samplerate;
        std::vector<float> out(static_cast<size_t>(mono.size() * ratio) + 16);
        SRC_DATA data{};
        data.data_in = mono.data();
        data.input_frames = static_cast<long>(mono.size());
        data.data_out = out.data();
        data.output_frames = static_cast<long>(out.size());
        data.src_ratio = ratio;
        const int rc = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        if (rc != 0) {
            error = "cannot resample " + path + ": " + src_strerror(rc);
            return false;
        }
        out.resize(static_cast<size_t>(data.output_frames_gen));
        mono.swap(out);
    }
    pcm.resize(mono.size());
    src_float_to_short_array(mono.data(), pcm.data(), static_cast<int>(mono.size()));
    return true;
}

bool read_audio(const Options& o, std::vector<int16_t>& pcm, std::string& error) {
    const bool ok = ends_with(o.file, ".pcm") || ends_with(o.file, ".raw")
                        ? read_raw(o.file, pcm, error)
                        : read_sound_file(o.file, o.rate_khz * 1000, pcm, error);
    if (ok && pcm.empty()) error = o.file + " holds no audio";
    return ok && !pcm.empty();
}

// Bytes of PCM the server received, when its echo recognizer answered (its
// text is "received N bytes in M packets"); -1 otherwise.
long echoed_bytes(const std::string& text) {
    long bytes = -1, packets = 0;
    char more = 0;
    const int n = std::sscanf(text.c_str(), "received %ld bytes in %ld packets%c", &bytes, &packets, &more);
    return n == 2 ? bytes : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (!parse_args(argc, argv, o, error)) {
        std::fprintf(stderr, "asr-stream: %s\nTry 'asr-stream --help'.\n", error.c_str());
        return 2;
    }
    std::vector<int16_t> pcm;
    if (!read_audio(o, pcm, error)) {
        std::fprintf(stderr, "asr-stream: %s\n", error.c_str());
        return 2;
    }
    if (!o.server.empty()) setenv("VELA_ASR_SERVER_URL", o.server.c_str(), 1);

    Clock::time_point last_audio;
    const bool ok = stream(pcm, o.rate_khz, o.vad, o.bv32, o.fast, last_audio, error);
    if (!ok) {
        std::fprintf(stderr, "asr-stream: %s\n", error.c_str());
        return 1;
    }

    std::lock_guard<std::mutex> lock(state.mutex);
    const size_t pcm_bytes = pcm.size() * sizeof(int16_t);
    std::printf("final: %s\n", state.final_text.c_str());
    std::printf("audio: %.2f s, %zu bytes of %d kHz PCM\n", pcm.size() / (o.rate_khz * 1000.0), pcm_bytes,
                o.rate_khz);
    if (state.packets >= 0) std::printf("packets: %d received by the server\n", state.packets);
    // The SDK keeps no count of the bytes it sends. The server's echo
    // recognizer counts the PCM it got: what was sent in a PCM session, what
    // it decoded from the frames in a BV32 one (scripts/wer.py counts those).
    const long received = echoed_bytes(state.final_text);
    if (received < 0) {
        std::printf("uploaded: bytes not counted (the server's echo recognizer counts them)\n");
    } else if (o.bv32) {
        std::printf(
            "uploaded: BV32 frames, not counted; the echo recognizer decoded %ld bytes of PCM "
            "from them, %.1f%% of the PCM\n",
            received, 100.0 * received / pcm_bytes);
    } else {
        std::printf("uploaded: %ld bytes of PCM, %.1f%% of the PCM (the echo recognizer's count)\n", received,
                    100.0 * received / pcm_bytes);
    }
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(state.finished - last_audio);
    std::printf("latency: %lld ms from the last audio to the final result\n",
                static_cast<long long>(latency.count()));
    return 0;
}
