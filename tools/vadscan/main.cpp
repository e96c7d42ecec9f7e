// vadscan: runs a raw PCM file through the front end chunk by chunk, the way
// the SDK drives it, and prints the verdict of every chunk.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "vad/MFE.h"
#include "vad/MFESessionSettings.h"

namespace {

constexpr int kOutCapacity = 32000;

const char kUsage[] =
    "Usage: vadscan [options] input.pcm\n"
    "\n"
    "Runs a raw 16-bit little-endian mono PCM file through the voice-activity\n"
    "front end, configured as the SDK configures it, and prints what the front\n"
    "end decides for every chunk. Use it to tune and debug end-pointing.\n"
    "\n"
    "Options:\n"
    "  --rate 8000|16000   sample rate of the input (default 8000)\n"
    "  --vad 0|1           voice detection off/on (default 1)\n"
    "  --compress 0|1      hand out PCM (0) or BV32 frames (1) (default 0)\n"
    "  --chunk BYTES       bytes per chunk, even and > 0 (default 3200); the last\n"
    "                      chunk may be shorter and is sent as it is\n"
    "  --out FILE          write every handed-out byte to FILE\n"
    "  --frames            also print the per-frame decisions (0/1) as one line\n"
    "  --help              show this text\n"
    "\n"
    "Per chunk it calls mfeSendData, mfeDetect and, unless the verdict is 3 or 4,\n"
    "mfeGetCallbackData with a 32000-byte buffer, and prints\n"
    "  chunk I detect D out N\n"
    "I counts chunks from 0; D is the verdict: 0 silence, 1 speech (started or\n"
    "going on), 2 end of speech, 3 no speech within the wait, 4 speech too short,\n"
    "5 speech too long; N is the number of bytes handed out (0 when none were\n"
    "fetched; a negative value is the hand-out's own error code). When\n"
    "mfeSendData fails, D is its code and N is 0: after -108 (store full) the\n"
    "engine is reset and the scan goes on, after any other code it stops.\n"
    "The scan stops after the first chunk with verdict 2, 3, 4 or 5, as the SDK\n"
    "does, and ends with\n"
    "  start_frame S end_frame E frames F\n"
    "S and E are the detected start and (candidate) end frame, F the number of\n"
    "frames analysed. A frame is 256 samples (32 ms at 8000 Hz, 16 ms at 16000 Hz).\n"
    "\n"
    "The front end is set up as the SDK does: maximum speech 400 frames, minimum\n"
    "speech 5, offset 0, speech mode 0, no range control, wait 250, pause 15,\n"
    "biases 0 and 5, format 0 at 8000 Hz or 4 at 16000 Hz, store of 60 s (all\n"
    "durations in 8000 Hz frames; doubled at 16000 Hz).\n";

struct Options {
    int rate = 8000;
    int vad = 1;
    int compress = 0;
    long chunk = 3200;
    std::string out;
    bool frames = false;
    std::string input;
};

bool parseLong(const char* text, long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

// Returns 0 to run, 1 after --help, 2 on a usage error (message printed).
int parseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = (i + 1 < argc) ? argv[i + 1] : nullptr;
        long v = 0;
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 1;
        } else if (a == "--frames") {
            opt.frames = true;
        } else if (a == "--out") {
            if (next == nullptr) {
                std::cerr << "vadscan: --out needs a file name\n";
                return 2;
            }
            opt.out = next;
            ++i;
        } else if (a == "--rate" || a == "--vad" || a == "--compress" || a == "--chunk") {
            if (!parseLong(next, v)) {
                std::cerr << "vadscan: " << a << " needs a number\n";
                return 2;
            }
            ++i;
            if (a == "--rate") {
                if (v != 8000 && v != 16000) {
                    std::cerr << "vadscan: --rate must be 8000 or 16000\n";
                    return 2;
                }
                opt.rate = static_cast<int>(v);
            } else if (a == "--chunk") {
                if (v <= 0 || v % 2 != 0 || v > 1000000) {
                    std::cerr << "vadscan: --chunk must be an even number of bytes above 0\n";
                    return 2;
                }
                opt.chunk = v;
            } else {
                if (v != 0 && v != 1) {
                    std::cerr << "vadscan: " << a << " must be 0 or 1\n";
                    return 2;
                }
                (a == "--vad" ? opt.vad : opt.compress) = static_cast<int>(v);
            }
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "vadscan: unknown option " << a << " (see --help)\n";
            return 2;
        } else if (opt.input.empty()) {
            opt.input = a;
        } else {
            std::cerr << "vadscan: only one input file is read\n";
            return 2;
        }
    }
    if (opt.input.empty()) {
        std::cerr << "vadscan: no input file (see --help)\n";
        return 2;
    }
    return 0;
}

bool readSamples(const std::string& path, std::vector<short>& samples) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    samples.resize(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<short>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    const int parsed = parseArgs(argc, argv, opt);
    if (parsed == 1) return 0;
    if (parsed != 0) return 2;

    std::vector<short> samples;
    if (!readSamples(opt.input, samples)) {
        std::cerr << "vadscan: cannot read " << opt.input << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::ofstream out;
    if (!opt.out.empty()) {
        out.open(opt.out, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::cerr << "vadscan: cannot write " << opt.out << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }

    CMFE mfe;
    mfeApplySessionSettings(mfe, 400, opt.vad, opt.compress, opt.rate == 16000);
    const int init = mfe.mfeInit();
    if (init != 0) {
        std::cerr << "vadscan: front end initialisation failed (" << init << ")\n";
        return 1;
    }

    std::vector<char> buf(kOutCapacity);
    const size_t perChunk = static_cast<size_t>(opt.chunk / 2);
    size_t pos = 0;
    for (int index = 0; pos < samples.size(); ++index) {
        const size_t n = std::min(perChunk, samples.size() - pos);
        const int sent = mfe.mfeSendData(samples.data() + pos, static_cast<int>(n));
        pos += n;
        if (sent != 0) {
            std::cout << "chunk " << index << " detect " << sent << " out 0\n";
            if (sent != -108) break;
            mfe.mfeReset();
            continue;
        }
        const int d = mfe.mfeDetect();
        int handed = 0;
        if (d != RET_NO_SPEECH && d != RET_SPEECH_TOO_SHORT) {
            handed = mfe.mfeGetCallbackData(buf.data(), kOutCapacity);
            if (handed > 0 && out.is_open()) out.write(buf.data(), handed);
        }
        std::cout << "chunk " << index << " detect " << d << " out " << handed << "\n";
        if (d == RET_SPEECH_TO_SILENCE || d == RET_NO_SPEECH || d == RET_SPEECH_TOO_SHORT ||
            d == RET_SPEECH_TOO_LONG) {
            break;
        }
    }

    const uint64_t frames = mfe.lVADResultCurLoc;
    std::cout << "start_frame " << mfe.nStartFrame << " end_frame " << mfe.nEndFrame << " frames " << frames
              << "\n";
    if (opt.frames) {
        std::string line;
        line.reserve(frames);
        for (uint64_t f = 0; f < frames; ++f) line.push_back(mfe.g_pVADResult[f] != 0 ? '1' : '0');
        std::cout << line << "\n";
    }
    if (out.is_open()) {
        out.close();
        if (!out) {
            std::cerr << "vadscan: writing " << opt.out << " failed\n";
            return 1;
        }
    }
    mfe.mfeExit();
    return 0;
}
