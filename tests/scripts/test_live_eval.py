"""scripts/live_eval.py: word error counting, speech onset and corpus reading."""
import importlib.util
import math
import os
import shutil
import struct
import tempfile
import unittest
import wave

_spec = importlib.util.spec_from_file_location(
    "live_eval", os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "live_eval.py"))
live_eval = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(live_eval)


def pcm(*parts):
    """16 kHz PCM from (seconds, amplitude) parts of a 440 Hz tone; amplitude 0 is a faint hiss."""
    out, n = [], 0
    for seconds, amplitude in parts:
        for _ in range(int(seconds * 16000)):
            out.append(int(amplitude * math.sin(2 * math.pi * 440 * n / 16000)) if amplitude else (n * 7919 % 7) - 3)
            n += 1
    return struct.pack("<%dh" % len(out), *out)


class LiveEvalTest(unittest.TestCase):
    def test_word_errors(self):
        cases = [  # reference, hypothesis, errors
            ("go forward ten meters", "go forward ten meters", 0),
            ("Go, forward!", "go forward", 0),                      # case and punctuation
            ("mister john", "mr john", 0),                          # the dictionary's spelling
            ("it's four", "it's four(2)", 0),                       # alternative-pronunciation mark
            ("one two three", "one three", 1),                      # deletion
            ("one two", "one one two", 1),                          # insertion
            ("one two", "", 2),
            ("", "one", 1),
        ]
        for ref, hyp, errors in cases:
            with self.subTest(ref=ref, hyp=hyp):
                self.assertEqual(live_eval.edit_distance(live_eval.words(ref), live_eval.words(hyp)), errors)

    def test_speech_onset(self):
        cases = [  # audio, onset seconds
            (pcm((0.5, 0), (1.0, 8000), (0.3, 0)), 0.5),
            (pcm((1.0, 8000), (0.5, 0)), 0.0),
            (pcm((0.3, 0), (0.02, 8000), (0.4, 0), (0.6, 3000)), 0.72),  # a click is not speech
            (pcm((1.0, 0)), 0.0),
        ]
        for audio, onset in cases:
            with self.subTest(onset=onset):
                self.assertAlmostEqual(live_eval.speech_onset(audio), onset, delta=0.02)

    def test_corpus_folders(self):
        tmp = tempfile.mkdtemp(prefix="live-eval-test-")
        try:
            for name, rate in (("a", 16000), ("b", 16000), ("c", 8000)):
                os.makedirs(os.path.join(tmp, name))
                with wave.open(os.path.join(tmp, name, "x.wav"), "wb") as w:
                    w.setnchannels(1), w.setsampwidth(2), w.setframerate(rate)
                    w.writeframes(pcm((0.5, 0)))
            for name in ("a", "b"):
                with open(os.path.join(tmp, name, "transcripts.txt"), "w") as f:
                    f.write("# comment\nx.wav\thello %s\n\n" % name)
            sets = live_eval.read_sets([tmp])  # c has no transcripts.txt: not a set
            self.assertEqual([(os.path.basename(d), [(u.set, u.name, u.reference) for u in us]) for d, us in sets],
                             [("a", [("a", "x.wav", "hello a")]), ("b", [("b", "x.wav", "hello b")])])
            self.assertEqual(sets[0][1][0].seconds, 0.5)
            with open(os.path.join(tmp, "c", "transcripts.txt"), "w") as f:
                f.write("x.wav\thello\n")
            with self.assertRaises(ValueError):  # 8 kHz is refused, not misread
                live_eval.read_sets([os.path.join(tmp, "c")])
        finally:
            shutil.rmtree(tmp)


if __name__ == "__main__":
    unittest.main()
