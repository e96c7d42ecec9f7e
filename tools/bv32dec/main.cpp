// bv32dec: decodes BV32 frames (packed, G.192 records or a front end's upload
// stream) into raw 16-bit PCM, concealing the frames a G.192 file marks as bad.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/tool_files.h"
#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/g192.h"
#include "wire/vela_wire.h"

namespace {

constexpr int kFrameSamples = 80;
constexpr int kPackedBytes = 20;
constexpr int kRecordBytes = kG192RecordWords * 2;

const char kUsage[] =
    "Usage: bv32dec [-g] [--stream] input output.pcm\n"
    "\n"
    "Decodes BV32 frames (16 kHz, 32 kbit/s, 5 ms each) with one decoder reset before\n"
    "the first frame into raw signed 16-bit little-endian mono samples at 16 kHz,\n"
    "80 samples per frame, no header.\n"
    "\n"
    "  input      packed frames: 20 bytes per frame, the frame's 27 indices as one\n"
    "             160-bit string, each field most significant bit first, byte 0 first.\n"
    "  -g         the input is ITU-T G.192 records instead: per frame 162 16-bit words\n"
    "             in the host's byte order (little-endian here): sync word, length,\n"
    "             then one word per bit (0x0081 for 1, anything else 0). A record whose\n"
    "             sync word is not 0x6B21 is a lost frame and is concealed.\n"
    "  --stream   the input is an upload stream of the front end: a 4-byte header\n"
    "             (format byte 0 for an 8 kHz or 4 for a 16 kHz session, then three\n"
    "             zero bytes) followed by packed frames.\n"
    "  -h, --help show this text.\n"
    "\n"
    "An input that ends inside a frame is an error: the whole frames before it are\n"
    "decoded and written, then the program reports the partial frame and exits with\n"
    "status 1.\n";

using tools::File;

int fail(const std::string& message) { return tools::fail("bv32dec", message); }

bool write_pcm(std::FILE* out, const Word16* samples, int n) {
    unsigned char bytes[2 * kFrameSamples];
    for (int i = 0; i < n; i++) {
        const auto v = static_cast<uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<unsigned char>(v & 0xff);
        bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    return std::fwrite(bytes, 1, 2 * n, out) == static_cast<std::size_t>(2 * n);
}

// Checks the upload stream header; returns an error message or "".
std::string check_stream_header(std::FILE* in) {
    unsigned char header[vela::wire::kStreamHeaderSize];
    const std::size_t got = std::fread(header, 1, sizeof(header), in);
    if (got < sizeof(header)) {
        return "input too short for the 4-byte stream header (" + std::to_string(got) + " bytes)";
    }
    if (!vela::wire::isBv32Format(header[0]) || header[1] != 0 || header[2] != 0 || header[3] != 0) {
        return "not a BV32 stream header: format byte " + std::to_string(header[0]) +
               " (expected 0 or 4, then three zero bytes)";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    bool g192 = false, stream = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "-g") {
            g192 = true;
        } else if (arg == "--stream") {
            stream = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fputs(kUsage, stderr);
            return fail("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (g192 && stream) return fail("-g and --stream exclude each other");
    if (paths.size() != 2) {
        std::fputs(kUsage, stderr);
        return fail("expected an input and an output file");
    }

    File in = tools::openFile(paths[0], "rb");
    if (!in) return fail(tools::errnoMessage("cannot open", paths[0]));
    if (stream) {
        const std::string error = check_stream_header(in.get());
        if (!error.empty()) return fail(paths[0] + ": " + error);
    }
    File out = tools::openFile(paths[1], "wb");
    if (!out) return fail(tools::errnoMessage("cannot create", paths[1]));

    BV32_Decoder_State state;
    Reset_BV32_Decoder(&state);
    const std::size_t frame_bytes = g192 ? kRecordBytes : kPackedBytes;
    long frames = 0, concealed = 0;
    std::size_t partial = 0;
    bool write_error = false;
    for (;;) {
        Word16 record[kG192RecordWords];  // also holds a packed frame
        const std::size_t got = std::fread(record, 1, frame_bytes, in.get());
        if (got < frame_bytes) {
            partial = got;
            break;
        }
        BV32_Bit_Stream bits;
        Word16 pcm[kFrameSamples];
        if (!g192) {
            BV32_BitUnPack(reinterpret_cast<UWord8*>(record), &bits);
            BV32_Decode(&bits, &state, pcm);
        } else if (bv32_unpack_g192_record(record, &bits) == 0) {
            BV32_Decode(&bits, &state, pcm);
        } else {
            BV32_PLC(&state, pcm);
            concealed++;
        }
        frames++;
        if (!write_pcm(out.get(), pcm, kFrameSamples)) {
            write_error = true;
            break;
        }
    }
    if (const int status = tools::finishFiles("bv32dec", in, paths[0], out, paths[1], write_error))
        return status;
    if (concealed > 0) {
        std::fprintf(stderr, "bv32dec: note: %ld of %ld frames were marked bad and concealed\n", concealed,
                     frames);
    }
    if (partial > 0) {
        return fail(paths[0] + " ends with a partial frame (" + std::to_string(partial) + " of " +
                    std::to_string(frame_bytes) + " bytes); the " + std::to_string(frames) +
                    " whole frames before it were decoded");
    }
    return 0;
}
