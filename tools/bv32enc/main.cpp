// bv32enc: encodes raw 16-bit PCM with the BV32 encoder into packed frames, G.192
// bit-stream records, or an upload stream as the front end sends it.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/tool_files.h"
#include "vad/bv32/bv32.h"
#include "vad/bv32/g192.h"
#include "wire/vela_wire.h"

namespace {

constexpr int kFrameSamples = 80;
constexpr int kPackedBytes = 20;

const char kUsage[] =
    "Usage: bv32enc [-g | --stream [--format 0|4]] input.pcm output\n"
    "\n"
    "Encodes speech with the BV32 codec (16 kHz, 32 kbit/s), 80 samples (5 ms) per frame,\n"
    "all frames by one encoder reset before the first.\n"
    "\n"
    "  input.pcm  raw signed 16-bit little-endian mono samples at 16 kHz, no header.\n"
    "             A trailing partial frame is padded with zeros to 80 samples and encoded.\n"
    "  output     packed frames: 20 bytes per frame, the frame's 27 indices as one\n"
    "             160-bit string, each field most significant bit first, byte 0 first.\n"
    "  -g         write ITU-T G.192 records instead: per frame 162 16-bit words in the\n"
    "             host's byte order (little-endian here): sync word 0x6B21, length 160,\n"
    "             then one word per bit, 0x0081 for 1 and 0x007F for 0.\n"
    "  --stream   write the front end's upload stream: the 4-byte stream header\n"
    "             (format byte, then three zero bytes) followed by packed frames.\n"
    "  --format N the header's format byte: 4 (16 kHz session, the default) or 0\n"
    "             (8 kHz session); the frames are the same.\n"
    "  -h, --help show this text.\n";

using tools::File;

int fail(const std::string& message) { return tools::fail("bv32enc", message); }

// Reads up to one frame of samples; returns the number of whole samples read and
// sets odd_byte when the input ended in the middle of a sample.
int read_frame(std::FILE* in, Word16* frame, bool* odd_byte) {
    unsigned char bytes[2 * kFrameSamples];
    const std::size_t got = std::fread(bytes, 1, sizeof(bytes), in);
    const int samples = static_cast<int>(got / 2);
    for (int i = 0; i < samples; i++) {
        frame[i] = static_cast<Word16>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    *odd_byte = (got % 2) != 0;
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    bool g192 = false, stream = false;
    unsigned char format = vela::wire::kFormatBv32At16k;
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
        } else if (arg == "--format") {
            const std::string value = i + 1 < argc ? argv[++i] : "";
            const auto digit = static_cast<unsigned char>(value.empty() ? 0xff : value[0] - '0');
            if (value.size() != 1 || !vela::wire::isBv32Format(digit)) {
                return fail("--format takes 0 or 4, not '" + value + "'");
            }
            format = digit;
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
    File out = tools::openFile(paths[1], "wb");
    if (!out) return fail(tools::errnoMessage("cannot create", paths[1]));

    BV32_Encoder_State state;
    Reset_BV32_Encoder(&state);
    BV32_Bit_Stream bits;
    bool write_error = false;
    if (stream) {
        const UWord8 header[vela::wire::kStreamHeaderSize] = {format, 0, 0, 0};
        write_error = std::fwrite(header, 1, sizeof(header), out.get()) != sizeof(header);
    }
    while (!write_error) {
        Word16 frame[kFrameSamples] = {};
        bool odd_byte = false;
        const int samples = read_frame(in.get(), frame, &odd_byte);
        if (odd_byte) std::fprintf(stderr, "bv32enc: note: ignoring a trailing odd byte of the input\n");
        if (samples == 0) break;
        if (samples < kFrameSamples) {
            std::fprintf(stderr, "bv32enc: note: last frame has %d of %d samples, padded with zeros\n",
                         samples, kFrameSamples);
        }
        BV32_Encode(&bits, &state, frame);
        if (g192) {
            write_error = bv32_fwrite_g192bitstrm(&bits, out.get()) != 162;
        } else {
            UWord8 packed[kPackedBytes];
            BV32_BitPack(packed, &bits);
            write_error = std::fwrite(packed, 1, kPackedBytes, out.get()) != kPackedBytes;
        }
        if (write_error) break;
        if (samples < kFrameSamples) break;
    }
    return tools::finishFiles("bv32enc", in, paths[0], out, paths[1], write_error);
}
