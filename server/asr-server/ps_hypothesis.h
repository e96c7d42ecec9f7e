// Reading a PocketSphinx decoder's hypothesis as words with times and
// confidences, and its alternatives, in either search (language model or
// grammar).
#pragma once

#include <string>

#include "server/asr-server/recognizer.h"

typedef struct ps_decoder_s ps_decoder_t;

namespace asrserver {

// Whether `word`, as the decoder spells it, is silence, a filler or a
// sentence mark ("<sil>", "<s>", "</s>", "[NOISE]", "++BREATH++", the
// grammar's empty transition "(NULL)") rather than a word that was said.
bool isFillerWord(const std::string& word);
// `word` without its pronunciation variant: "the(2)" -> "the".
std::string baseWord(const std::string& word);

// The decoder's current hypothesis: its words in order (fillers left out),
// times from the utterance's first frame at the decoder's frame rate, ends
// capped at `audio_ms`. With `final` (the utterance has ended) each word's
// confidence is its posterior probability in the word lattice, and up to
// `nbest` alternatives are read from the lattice's N-best list. Before the
// end no lattice is built (PocketSphinx makes none mid-utterance that it can
// score, and one per intermediate result would cost several milliseconds,
// growing with the utterance): every word's confidence is 0, "not estimated
// yet", and there are no alternatives.
Hypothesis readHypothesis(ps_decoder_t* ps, bool final, size_t nbest, int audio_ms);

}  // namespace asrserver
