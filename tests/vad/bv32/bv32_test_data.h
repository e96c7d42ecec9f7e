// Access to the BV32 reference vectors for the codec tests.
#ifndef TESTS_VAD_BV32_BV32_TEST_DATA_H
#define TESTS_VAD_BV32_BV32_TEST_DATA_H

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "vad/bv32/bv32.h"

namespace bv32test {

constexpr int kFrame = 80;
constexpr int kFields = 27;
using Indices = std::array<int, kFields>;

inline const char* const kVectors[] = {
    "zeros_1s",       "sine1k_m6dBFS_2s", "chirp_50_7900_3s",        "noise_white_seed1_2s", "speech_en_us",
    "square_clip_1s", "speech_dc8000_2s", "speech_quiet_m45dBFS_2s", "speech_8k_as_16k"};

// The path of a reference file; a missing one fails the running test.
inline std::string data_path(const std::string& file) { return vela_test::testDataPath("bv32/" + file); }

inline std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<Word16> read_pcm(const std::string& path) {
    const std::vector<uint8_t> bytes = read_bytes(path);
    std::vector<Word16> pcm(bytes.size() / 2);
    for (size_t i = 0; i < pcm.size(); i++)
        pcm[i] = static_cast<Word16>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return pcm;
}

inline std::vector<Indices> read_indices(const std::string& path) {
    std::vector<Indices> frames;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Indices idx{};
        for (int& v : idx) fields >> v;
        frames.push_back(idx);
    }
    return frames;
}

// The record's fields in frame order, and their names for messages.
inline Indices fields_of(const BV32_Bit_Stream& bs) {
    Indices idx{};
    idx[0] = bs.lspidx[0];
    idx[1] = bs.lspidx[1];
    idx[2] = bs.lspidx[2];
    idx[3] = bs.ppidx;
    idx[4] = bs.bqidx;
    idx[5] = bs.gidx[0];
    idx[6] = bs.gidx[1];
    for (int k = 0; k < 20; k++) idx[7 + k] = bs.qvidx[k];
    return idx;
}

inline BV32_Bit_Stream record_of(const Indices& idx) {
    BV32_Bit_Stream bs{};
    bs.lspidx[0] = static_cast<Word16>(idx[0]);
    bs.lspidx[1] = static_cast<Word16>(idx[1]);
    bs.lspidx[2] = static_cast<Word16>(idx[2]);
    bs.ppidx = static_cast<Word16>(idx[3]);
    bs.bqidx = static_cast<Word16>(idx[4]);
    bs.gidx[0] = static_cast<Word16>(idx[5]);
    bs.gidx[1] = static_cast<Word16>(idx[6]);
    for (int k = 0; k < 20; k++) bs.qvidx[k] = static_cast<Word16>(idx[7 + k]);
    return bs;
}

inline std::string field_name(int k) {
    static const char* const names[] = {"lspidx[0]", "lspidx[1]", "lspidx[2]", "ppidx",
                                        "bqidx",     "gidx[0]",   "gidx[1]"};
    return k < 7 ? names[k] : "qvidx[" + std::to_string(k - 7) + "]";
}

}  // namespace bv32test

#endif  // TESTS_VAD_BV32_BV32_TEST_DATA_H
