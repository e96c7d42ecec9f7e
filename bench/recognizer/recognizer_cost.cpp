// What the server's recogniser costs over PocketSphinx alone, and how live it
// feels, on recorded speech.
//
//   bench_recognizer [--profile P] [--alone-profile P] [--jsgf FILE] [--noise DB] [--packet-ms N]
//                    [--repeat N] LIST
//
// LIST names one 16 kHz recording (WAV or raw) per line, a path relative to
// LIST's folder followed by its transcript. Every file is decoded twice, on
// one thread: by a PocketSphinx decoder alone (ps_process_raw packet by
// packet, the same settings as the server's unless --alone-profile names
// another profile's: `accurate` is PocketSphinx's own), and by an utterance of the
// server's recogniser, fed the same packets with partial() after each, as the
// server does. Prints per file and in total: CPU seconds of each, their
// ratio, the word error rate of each, how much audio after the speech onset
// the first non-empty intermediate text needed, the CPU time of finish(), and
// how long after the last audio the final text would come were the audio fed
// in real time to a core of its own (the CPU time decoding fell behind the
// audio, plus finish()). With --repeat N each
// file is decoded N times each way and the least CPU time counts, which
// keeps the figures steady on a loaded machine; the final text must come out
// the same every time.
#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../word_errors.h"
#include "server/asr-server/pocketsphinx_recognizer.h"
#include "support/speech.h"

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Totals {
    double audio = 0, alone = 0, server = 0;
    size_t ref_words = 0, alone_errors = 0, server_errors = 0;
    std::vector<double> first_ms, finish_ms, final_ms;
    int no_partial = 0;
};

int usage() {
    std::fprintf(stderr,
                 "usage: bench_recognizer [--profile %s] [--alone-profile P] [--jsgf FILE] [--noise DB] "
                 "[--packet-ms N] [--repeat N] LIST\n",
                 asrserver::profiles());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    asrserver::PocketSphinxConfig config;
    config.max_decoders = 1;
    size_t packet_ms = 100;
    int repeat = 1;
    std::string list;
    std::string alone_profile;  // PocketSphinx alone's settings, when not the server's
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--profile" && has_value) {
            config.profile = argv[++i];
            if (!asrserver::isProfile(config.profile)) return usage();
        } else if (arg == "--alone-profile" && has_value) {
            alone_profile = argv[++i];
            if (!asrserver::isProfile(alone_profile)) return usage();
        } else if (arg == "--jsgf" && has_value) {
            config.grammar_file = argv[++i];
        } else if (arg == "--noise" && has_value) {
            config.shaped_noise_db = std::atoi(argv[++i]);
        } else if (arg == "--repeat" && has_value) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--packet-ms" && has_value) {
            packet_ms = static_cast<size_t>(std::max(1, std::atoi(argv[++i])));
        } else if (list.empty() && arg[0] != '-') {
            list = arg;
        } else {
            return usage();
        }
    }
    if (list.empty()) return usage();
    std::ifstream in(list);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", list.c_str());
        return 2;
    }
    const std::string folder = list.find('/') == std::string::npos ? "." : list.substr(0, list.rfind('/'));

    std::string error;
    auto rec = asrserver::PocketSphinxRecognizer::create(config, error);
    if (!rec) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // PocketSphinx alone: the same arguments, or another profile's, the grammar given to it directly.
    asrserver::PocketSphinxConfig alone_config = config;
    if (!alone_profile.empty()) alone_config.profile = alone_profile;
    std::vector<std::string> args = asrserver::pocketSphinxArguments(alone_config);
    if (!config.grammar_file.empty()) args.insert(args.end(), {"-jsgf", config.grammar_file});
    args.insert(args.begin(), "bench");
    std::vector<char*> args_v;
    for (std::string& a : args) args_v.push_back(a.data());
    cmd_ln_t* ps_config =
        cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(args_v.size()), args_v.data(), TRUE);
    ps_decoder_t* ps = ps_config != nullptr ? ps_init(ps_config) : nullptr;
    if (ps == nullptr) {
        std::fprintf(stderr, "PocketSphinx could not be set up\n");
        return 1;
    }

    const size_t packet = 16 * packet_ms;
    Totals t;
    std::printf("%-28s %6s %7s %7s %6s %8s %8s  %s\n", "file", "audio", "alone", "server", "ratio", "first",
                "final", "server's text / errors alone, server");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string path;
        if (!(fields >> path) || path[0] == '#') continue;
        std::string transcript;
        std::getline(fields, transcript);
        if (path[0] != '/') path = folder + "/" + path;
        const std::vector<int16_t> pcm = vela_test::pcmSamples(readFile(path));
        if (pcm.empty()) {
            std::fprintf(stderr, "cannot read %s, skipped\n", path.c_str());
            continue;
        }

        // Each way `repeat` times, the least CPU time kept: the machine's other load only adds.
        double alone = 1e30, server = 1e30, first_ms = -1, finish_ms = 1e30, final_ms = 1e30;
        std::string alone_text, text;
        bool deterministic = true;
        for (int r = 0; r < repeat; ++r) {
            double start = cpuSeconds();
            ps_start_utt(ps);
            for (size_t at = 0; at < pcm.size(); at += packet) {
                ps_process_raw(ps, pcm.data() + at, std::min(packet, pcm.size() - at), FALSE, FALSE);
            }
            ps_end_utt(ps);
            int32 score = 0;
            const char* hyp = ps_get_hyp(ps, &score);
            if (r == 0) alone_text = hyp != nullptr ? hyp : "";
            alone = std::min(alone, cpuSeconds() - start);

            start = cpuSeconds();
            auto utt = rec->open(16000, std::chrono::seconds(10));
            const size_t onset = vela_test::speechOnset(pcm, 16000);
            first_ms = -1;
            double backlog = 0;  // CPU seconds behind the audio, were it fed in real time
            for (size_t at = 0; at < pcm.size(); at += packet) {
                const size_t n = std::min(packet, pcm.size() - at);
                const double fed = cpuSeconds();
                utt->feed(pcm.data() + at, n);
                if (!utt->partial().text.empty() && first_ms < 0) {
                    first_ms = double(at + n > onset ? at + n - onset : 0) / 16.0;
                }
                backlog = std::max(0.0, backlog + cpuSeconds() - fed - double(n) / 16000);
            }
            const double finish_start = cpuSeconds();
            const std::string final_text = utt->finish().text;
            finish_ms = std::min(finish_ms, (cpuSeconds() - finish_start) * 1000);
            final_ms = std::min(final_ms, backlog * 1000 + finish_ms);
            utt.reset();
            server = std::min(server, cpuSeconds() - start);
            deterministic &= r == 0 || final_text == text;
            text = final_text;
        }
        if (!deterministic) std::printf("the final text of %s changed between runs\n", path.c_str());

        const auto ref = words(transcript);
        const size_t alone_err = wordErrors(ref, words(alone_text));
        const size_t server_err = wordErrors(ref, words(text));
        const double audio = double(pcm.size()) / 16000;
        std::string name = path.substr(path.rfind('/') + 1);
        if (name.size() > 28) name = name.substr(name.size() - 28);
        std::printf("%-28s %6.2f %7.3f %7.3f %6.2f %8.0f %8.1f  %s / %zu, %zu\n", name.c_str(), audio, alone,
                    server, server / alone, first_ms, final_ms, text.c_str(), alone_err, server_err);
        t.audio += audio;
        t.alone += alone;
        t.server += server;
        t.ref_words += ref.size();
        t.alone_errors += alone_err;
        t.server_errors += server_err;
        t.finish_ms.push_back(finish_ms);
        t.final_ms.push_back(final_ms);
        if (first_ms >= 0) {
            t.first_ms.push_back(first_ms);
        } else {
            ++t.no_partial;
        }
    }
    ps_free(ps);
    cmd_ln_free_r(ps_config);
    if (t.finish_ms.empty()) return usage();

    const double words_total = double(std::max<size_t>(t.ref_words, 1));
    std::printf("\nprofile %s (alone %s), %s, noise %d dB, %zu ms packets, %zu files, %.1f s of audio\n",
                config.profile.c_str(), alone_config.profile.c_str(),
                config.grammar_file.empty() ? "language model" : "grammar", config.shaped_noise_db, packet_ms,
                t.finish_ms.size(), t.audio);
    std::printf("CPU s per audio s: alone %.3f, server %.3f, ratio %.3f\n", t.alone / t.audio,
                t.server / t.audio, t.server / t.alone);
    std::printf("WER %%: alone %.1f, server %.1f (%zu words)\n", 100.0 * double(t.alone_errors) / words_total,
                100.0 * double(t.server_errors) / words_total, t.ref_words);
    std::printf("first words, ms of audio after onset: median %.0f, worst %.0f, %d files without\n",
                median(t.first_ms),
                t.first_ms.empty() ? 0.0 : *std::max_element(t.first_ms.begin(), t.first_ms.end()),
                t.no_partial);
    std::printf("finish() CPU ms: median %.1f, worst %.1f\n", median(t.finish_ms),
                *std::max_element(t.finish_ms.begin(), t.finish_ms.end()));
    std::printf(
        "final result after the last audio, fed in real time to a free core, ms: median %.1f, worst %.1f\n",
        median(t.final_ms), *std::max_element(t.final_ms.begin(), t.final_ms.end()));
    return 0;
}
