#include "server/asr-server/grammar.h"

#include <sstream>

namespace asrserver {

namespace {

bool wordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '\'' || c == '-' || c == '.' || c == '_';
}

}  // namespace

bool parsePhrases(const std::string& text, std::vector<std::string>& phrases, std::string& error) {
    std::vector<std::string> result;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find('|', begin);
        std::istringstream words(text.substr(begin, end == std::string::npos ? end : end - begin));
        std::string phrase;
        std::string word;
        while (words >> word) {
            std::string lower = word;
            for (char& c : lower) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                if (!wordChar(c)) {
                    error = "'" + word + "' is not a plain word (letters, digits and ' - . _ only)";
                    return false;
                }
            }
            phrase += (phrase.empty() ? "" : " ") + lower;
        }
        if (phrase.empty()) {
            error = "empty phrase in '" + text + "'";
            return false;
        }
        result.push_back(phrase);
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    phrases = std::move(result);
    return true;
}

std::string phraseGrammar(const std::vector<std::string>& phrases) {
    std::string g = "#JSGF V1.0;\ngrammar phrases;\npublic <phrase> =";
    for (size_t i = 0; i < phrases.size(); ++i) g += (i == 0 ? " " : " | ") + phrases[i];
    return g + ";\n";
}

}  // namespace asrserver
