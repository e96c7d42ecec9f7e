#include "server/asr-server/ps_hypothesis.h"

#include <pocketsphinx.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

namespace asrserver {

namespace {

// The N-best search may yield many paths that differ only in fillers or
// segmentation; it is given this many tries per alternative wanted.
constexpr size_t kNbestTriesPerAlternative = 20;
// The N-best search keeps its path scores in the decoder's log base shifted
// right by this many bits, as the search keeps acoustic scores.
constexpr double kNbestScoreScale = 1 << 10;

// `text` with fillers and pronunciation variants taken out.
std::string cleanText(const char* text) {
    std::string out;
    if (text == nullptr) return out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        if (isFillerWord(w)) continue;
        if (!out.empty()) out += ' ';
        out += baseWord(w);
    }
    return out;
}

std::vector<Alternative> readAlternatives(ps_decoder_t* ps, size_t nbest) {
    std::vector<Alternative> out;
    if (nbest == 0) return out;
    logmath_t* lmath = ps_get_logmath(ps);
    std::set<std::string> seen;
    size_t tries = 0;
    ps_nbest_t* it = ps_nbest(ps);  // null when no lattice could be built
    for (; it != nullptr && out.size() < nbest && tries < nbest * kNbestTriesPerAlternative;
         it = ps_nbest_next(it), ++tries) {
        int32 score = 0;
        std::string text = cleanText(ps_nbest_hyp(it, &score));
        if (text.empty() || !seen.insert(text).second) continue;
        out.push_back({std::move(text), logmath_log_to_ln(lmath, score) * kNbestScoreScale});
    }
    if (it != nullptr) ps_nbest_free(it);  // ps_nbest_next frees it at the end of the list
    // The search yields them about best first, not strictly by score.
    std::stable_sort(out.begin(), out.end(),
                     [](const Alternative& a, const Alternative& b) { return a.score > b.score; });
    return out;
}

}  // namespace

bool isFillerWord(const std::string& word) {
    if (word.empty() || word == "(NULL)") return true;
    const char first = word.front();
    const char last = word.back();
    return (first == '<' && last == '>') || (first == '[' && last == ']') || (first == '+' && last == '+');
}

std::string baseWord(const std::string& word) {
    const size_t open = word.rfind('(');
    if (open == std::string::npos || open == 0 || word.back() != ')' || open + 2 >= word.size()) return word;
    for (size_t i = open + 1; i + 1 < word.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(word[i]))) return word;
    }
    return word.substr(0, open);
}

Hypothesis readHypothesis(ps_decoder_t* ps, bool final, size_t nbest, int audio_ms) {
    Hypothesis h;
    // Frames are counted at the front end's frame rate (-frate) whatever the
    // search skips (-ds).
    const int frate = std::max(1, static_cast<int>(cmd_ln_int32_r(ps_get_config(ps), "-frate")));
    logmath_t* lmath = ps_get_logmath(ps);
    // After the end the segments come from the lattice's best path, with posteriors.
    for (ps_seg_t* seg = ps_seg_iter(ps); seg != nullptr; seg = ps_seg_next(seg)) {
        const char* spelled = ps_seg_word(seg);
        if (spelled == nullptr || isFillerWord(spelled)) continue;
        int sf = 0;
        int ef = 0;
        ps_seg_frames(seg, &sf, &ef);
        Word w;
        w.word = baseWord(spelled);
        w.start_ms = std::min(audio_ms, static_cast<int>(static_cast<long long>(sf) * 1000 / frate));
        w.end_ms = std::max(
            w.start_ms, std::min(audio_ms, static_cast<int>(static_cast<long long>(ef + 1) * 1000 / frate)));
        w.conf = 0.0f;
        if (final) {
            const double p = logmath_exp(lmath, ps_seg_prob(seg, nullptr, nullptr, nullptr));
            w.conf = static_cast<float>(std::min(1.0, std::max(0.0, p)));
        }
        if (!h.text.empty()) h.text += ' ';
        h.text += w.word;
        h.words.push_back(std::move(w));
    }
    if (final) h.alternatives = readAlternatives(ps, nbest);
    return h;
}

}  // namespace asrserver
