// asr-stream: streams one audio file through the recognition SDK as live
// audio, prints the intermediate results as they change and the final text,
// then a few figures. The part between the usage markers is the SDK-facing
// core; the rest is argument parsing and file reading around it.

// [usage-begin]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include <vela/asr.hpp>

#include "paced_stream.hpp"  // stream_paced: pushes audio paced like a live source

// Streams 16-bit mono PCM at the session's rate through one session in steps
// of 100 ms, paced like live audio unless `fast`, and prints the intermediate
// texts as they change. Returns the final result; a failure throws
// vela::asr::Error, whose text names the cause.
vela::asr::Result stream(vela::asr::Client& client, const std::vector<int16_t>& pcm,
                         const vela::asr::SessionOptions& options, bool fast, Streamed& streamed) {
    vela::asr::Session session = client.open(options);
    std::string partial;                   // touched by one result at a time
    std::atomic<bool> speech_over{false};  // voice detection found the end of speech
    session.on_result([&](const vela::asr::Result& r) {
        if (r.kind == vela::asr::Kind::partial && r.text != partial) {
            std::printf("partial: %s\n", (partial = r.text).c_str());
            std::fflush(stdout);
        }
        if (r.kind != vela::asr::Kind::voice) return;  // voice events arrive inside push()
        if (r.code == VELA_ASR_VOICE_NO_SPEECH) std::printf("voice detector: no speech found\n");
        if (r.code == VELA_ASR_VOICE_TOO_SHORT) std::printf("voice detector: speech too short\n");
        if (r.code == VELA_ASR_VOICE_TOO_LONG) std::printf("voice detector: speech too long, cut\n");
        if (r.code == VELA_ASR_VOICE_END) speech_over = true;
    });
    std::future<vela::asr::Result> final = session.final();
    const PacedStream pace{static_cast<size_t>(options.rate_khz) * 100, options.rate_khz, fast ? 0.0 : 1.0};
    stream_paced(session, pcm.data(), pcm.size(), pace, speech_over, streamed);
    return final.get();
}
// [usage-end]

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdlib>
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
    "  --words        after the final text, one line per word of it:\n"
    "                   word: START-END CONF WORD\n"
    "                 START and END in ms from the start of the audio (with --vad:\n"
    "                 of the audio uploaded), CONF the word's confidence, 0 to 1\n"
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
    bool words = false;
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
        } else if (arg == "--words") {
            o.words = true;
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

// The non-negative integer member `key` of the JSON object `json`, or -1.
long json_int(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    char* end = nullptr;
    const long v = std::strtol(json.c_str() + at + key.size() + 3, &end, 10);
    return end != json.c_str() + at + key.size() + 3 && v >= 0 ? v : -1;
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

    Streamed streamed;
    std::chrono::steady_clock::time_point finished;
    vela::asr::Result result;
    try {
        vela::asr::ClientOptions client_options;
        client_options.log_dir = "asr-stream-logs";  // made when missing
        client_options.log_file = "asr.log";
        client_options.log_level = 1;
        client_options.server_url = o.server;  // empty: $VELA_ASR_SERVER_URL, else the built-in URL
        vela::asr::Client client(client_options);
        result = stream(client, pcm, {o.rate_khz, o.vad, o.bv32}, o.fast, streamed);
        finished = std::chrono::steady_clock::now();
    } catch (const vela::asr::Error& e) {
        std::fprintf(stderr, "asr-stream: %s\n", e.what());
        return 1;
    }

    const size_t pcm_bytes = pcm.size() * sizeof(int16_t);
    std::printf("final: %s\n", result.text.c_str());
    if (o.words) {
        if (result.words.empty()) std::printf("word: none, the server sent no word timings\n");
        for (const vela::asr::Word& w : result.words)
            std::printf("word: %d-%d %.2f %s\n", w.start_ms, w.end_ms, w.conf, w.word.c_str());
    }
    std::printf("audio: %.2f s, %zu bytes of %d kHz PCM\n", pcm.size() / (o.rate_khz * 1000.0), pcm_bytes,
                o.rate_khz);
    const long packets = json_int(result.json, "packets");
    if (packets >= 0) std::printf("packets: %ld received by the server\n", packets);
    // The SDK keeps no count of the bytes it sends. The server's echo
    // recognizer counts the PCM it got: what was sent in a PCM session, what
    // it decoded from the frames in a BV32 one (scripts/wer.py counts those).
    const long received = echoed_bytes(result.text);
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
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(finished - streamed.last_audio);
    std::printf("latency: %lld ms from the last audio to the final result\n",
                static_cast<long long>(latency.count()));
    return 0;
}
