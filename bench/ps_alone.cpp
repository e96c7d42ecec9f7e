// ps_alone: PocketSphinx on its own, the baseline for the recognition
// server's CPU cost. Loads the model the server loads (en-us acoustic model,
// en-us.lm.bin and cmudict-en-us.dict from --model, or a JSGF grammar with
// --jsgf instead of the language model), then decodes every file of the
// corpus folders named on the command line in one piece each
// (ps_process_raw over the whole utterance), without a server, noise or
// priming. Prints per file the text next to its transcript and the CPU
// seconds of its decoding, then the CPU seconds per second of audio (model
// loading left out) and the word error rate.
//
// A corpus folder holds 16 kHz 16-bit mono WAV files and transcripts.txt,
// one "FILE<TAB>words" line per file; a folder without transcripts.txt whose
// subfolders have one stands for all of them.
#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/speech.h"
#include "word_errors.h"

namespace {

struct Utterance {
    std::string path;
    std::string name;
    std::string reference;
};

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool isFile(const std::string& path) { return std::ifstream(path).good(); }

// Reads the utterances of one corpus folder; false when it has no transcripts.txt.
bool readSet(const std::string& dir, std::vector<Utterance>& out) {
    std::ifstream list(dir + "/transcripts.txt");
    if (!list) return false;
    std::string line;
    while (std::getline(list, line)) {
        const size_t tab = line.find('\t');
        if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
        const std::string name = line.substr(0, tab);
        out.push_back({dir + "/" + name, name, line.substr(tab + 1)});
    }
    return true;
}

// The 16-bit samples of a 16 kHz mono PCM WAV file (its "data" chunk).
bool readWav(const std::string& path, std::vector<int16_t>& samples, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!vela_test::isWav(bytes)) {
        error = "not a WAV file";
        return false;
    }
    size_t at = 0, size = 0;
    if (!vela_test::wavChunk(bytes, "fmt ", at, size) || size < 16) {
        error = "no format chunk";
        return false;
    }
    const auto u16 = [&](size_t i) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at + i]) |
                                     (static_cast<unsigned char>(bytes[at + i + 1]) << 8));
    };
    const unsigned rate = u16(4) | (u16(6) << 16);
    if (u16(0) != 1 || u16(2) != 1 || rate != 16000 || u16(14) != 16) {
        error = "not 16 kHz 16-bit mono PCM";
        return false;
    }
    if (!vela_test::wavChunk(bytes, "data", at, size)) {
        error = "no data chunk";
        return false;
    }
    samples = vela_test::pcmSamples(bytes);
    return true;
}

// Lower-case words, punctuation other than apostrophes dropped,
// PocketSphinx's alternative-pronunciation marks ("word(2)") removed and
// "mr" spelt out.
std::vector<std::string> words(const std::string& text) {
    std::string clean;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '(' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            while (i < text.size() && text[i] != ')') ++i;
            continue;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        clean += std::isalnum(u) || c == '\'' ? static_cast<char>(std::tolower(u)) : ' ';
    }
    std::istringstream split(clean);
    std::vector<std::string> out;
    for (std::string w; split >> w;) out.push_back(w == "mr" ? "mister" : w);  // the dictionary's spelling
    return out;
}

int usage(FILE* to, int status) {
    std::fprintf(to,
                 "Usage: ps_alone [--model DIR] [--jsgf FILE] [--quiet] CORPUS_DIR...\n"
                 "Decodes every file of the corpus folders with PocketSphinx directly, each in one\n"
                 "piece, and prints the texts, CPU seconds per audio second and the word error rate.\n"
                 "  --model DIR   folder with en-us/, en-us.lm.bin and cmudict-en-us.dict\n"
                 "                (default /usr/share/pocketsphinx/model/en-us)\n"
                 "  --jsgf FILE   recognise with this JSGF grammar instead of the language model\n"
                 "  --quiet       print only the summary\n"
                 "A corpus folder holds 16 kHz 16-bit mono WAV files and transcripts.txt\n"
                 "(\"FILE<TAB>words\" per line), or subfolders that do.\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::string model = "/usr/share/pocketsphinx/model/en-us";
    std::string jsgf;
    bool quiet = false;
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") return usage(stdout, 0);
        if (arg == "--quiet") {
            quiet = true;
        } else if ((arg == "--model" || arg == "--jsgf") && i + 1 < argc) {
            (arg == "--model" ? model : jsgf) = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return usage(stderr, 2);
        } else {
            dirs.push_back(arg);
        }
    }
    if (dirs.empty()) return usage(stderr, 2);

    std::vector<Utterance> corpus;
    for (const std::string& dir : dirs) {
        if (readSet(dir, corpus)) continue;
        // A folder of sets: its subfolders in name order, each with transcripts.txt.
        std::vector<std::string> sets;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.is_directory()) sets.push_back(entry.path().string());
        }
        std::sort(sets.begin(), sets.end());
        bool any = false;
        for (const std::string& set : sets) any |= readSet(set, corpus);
        if (!any) {
            std::fprintf(stderr, "ps_alone: %s has no transcripts.txt\n", dir.c_str());
            return 2;
        }
    }

    err_set_logfp(nullptr);
    const std::string hmm = model + "/en-us";
    const std::string lm = model + "/en-us.lm.bin";
    const std::string dict = model + "/cmudict-en-us.dict";
    if (!isFile(hmm + "/mdef") || !isFile(dict) || (jsgf.empty() && !isFile(lm)) ||
        (!jsgf.empty() && !isFile(jsgf))) {
        std::fprintf(stderr, "ps_alone: model files missing under %s (or the grammar)\n", model.c_str());
        return 2;
    }
    cmd_ln_t* config = jsgf.empty() ? cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm",
                                                  lm.c_str(), "-dict", dict.c_str(), nullptr)
                                    : cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-jsgf",
                                                  jsgf.c_str(), "-dict", dict.c_str(), nullptr);
    ps_decoder_t* ps = config != nullptr ? ps_init(config) : nullptr;
    if (ps == nullptr) {
        std::fprintf(stderr, "ps_alone: PocketSphinx could not load the model\n");
        if (config != nullptr) cmd_ln_free_r(config);
        return 2;
    }

    double cpu = 0, audio = 0;
    size_t errors = 0, reference_words = 0;
    int status = 0;
    for (const Utterance& u : corpus) {
        std::vector<int16_t> samples;
        std::string error;
        if (!readWav(u.path, samples, error)) {
            std::fprintf(stderr, "ps_alone: %s: %s\n", u.path.c_str(), error.c_str());
            status = 1;
            continue;
        }
        const double start = cpuSeconds();
        ps_start_stream(ps);
        ps_start_utt(ps);
        ps_process_raw(ps, samples.data(), samples.size(), FALSE, TRUE);
        ps_end_utt(ps);
        int32 score = 0;
        const char* hyp = ps_get_hyp(ps, &score);
        const double used = cpuSeconds() - start;
        cpu += used;
        audio += static_cast<double>(samples.size()) / 16000.0;
        const std::string text = hyp != nullptr ? hyp : "";
        const std::vector<std::string> ref = words(u.reference);
        const size_t e = wordErrors(ref, words(text));
        errors += e;
        reference_words += ref.size();
        if (!quiet) {
            std::printf("%-28s %5.1f s  cpu %5.2f s  %2zu/%-2zu  %s\n%51s[%s]\n", u.name.c_str(),
                        static_cast<double>(samples.size()) / 16000.0, used, e, ref.size(), text.c_str(), "",
                        u.reference.c_str());
        }
    }
    ps_free(ps);
    cmd_ln_free_r(config);
    std::printf("files %zu  audio %.1f s  cpu %.2f s  cpu/audio %.3f  wer %.1f%% (%zu/%zu)\n", corpus.size(),
                audio, cpu, audio > 0 ? cpu / audio : 0.0,
                reference_words > 0
                    ? 100.0 * static_cast<double>(errors) / static_cast<double>(reference_words)
                    : 0.0,
                errors, reference_words);
    return status;
}
