// Small vocabularies: a list of phrases given on the command line becomes a
// JSGF grammar under which every utterance is exactly one of the phrases.
#pragma once

#include <string>
#include <vector>

namespace asrserver {

// Splits "hello world|good morning" at '|' into phrases of lower-case words
// joined by single blanks. Words may hold letters, digits and ' - . _ (the
// characters of dictionary entries that a grammar can carry). Returns false
// and says why in `error` for an empty list, an empty phrase or any other
// character.
bool parsePhrases(const std::string& text, std::vector<std::string>& phrases, std::string& error);

// A JSGF grammar whose one public rule accepts exactly one of `phrases`.
std::string phraseGrammar(const std::vector<std::string>& phrases);

}  // namespace asrserver
