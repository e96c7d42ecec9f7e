"""Speech recognition with the Vela SDK: ctypes bindings over libvela-asr.so.1.

    import vela_asr
    with vela_asr.Client(server_url="http://127.0.0.1:8900/asr/v2") as client:
        print(client.transcribe_file("hello.wav").text)

    with client.session(rate_khz=16) as session:
        session.push(pcm_bytes)            # 16-bit little-endian mono PCM
        for partial in session.results(): # intermediate results until the final
            print(partial.text)
        print(session.finish().text)

The library is found through $VELA_ASR_LIBRARY, next to an installed copy of
this module (<prefix>/lib/python3/dist-packages/vela_asr -> <prefix>/lib), or
through the dynamic linker's search path.
"""

import array
import atexit
import ctypes
import os
import queue
import sys
import wave

__all__ = ["Client", "Session", "Result", "Word", "Alternative", "Error", "version"]


def _load():
    candidates = []
    if os.environ.get("VELA_ASR_LIBRARY"):
        candidates.append(os.environ["VELA_ASR_LIBRARY"])
    here = os.path.dirname(os.path.abspath(__file__))
    candidates.append(os.path.normpath(os.path.join(here, "..", "..", "..", "libvela-asr.so.1")))
    candidates.append("libvela-asr.so.1")
    errors = []
    for path in candidates:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append(str(e))
    raise ImportError("libvela-asr.so.1 not found (set VELA_ASR_LIBRARY): " + "; ".join(errors))


_lib = _load()


class _Options(ctypes.Structure):
    _fields_ = [("log_dir", ctypes.c_char_p), ("log_file", ctypes.c_char_p), ("log_level", ctypes.c_int),
                ("server_url", ctypes.c_char_p), ("connect_timeout_ms", ctypes.c_long),
                ("timeout_ms", ctypes.c_long), ("result_timeout_ms", ctypes.c_long)]


class _SessionOptions(ctypes.Structure):
    _fields_ = [("rate_khz", ctypes.c_int), ("vad", ctypes.c_int), ("bv32", ctypes.c_int)]


class _Word(ctypes.Structure):
    _fields_ = [("word", ctypes.c_char_p), ("start_ms", ctypes.c_int), ("end_ms", ctypes.c_int),
                ("conf", ctypes.c_float)]


class _Alternative(ctypes.Structure):
    _fields_ = [("text", ctypes.c_char_p), ("score", ctypes.c_double)]


class _Result(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("code", ctypes.c_int), ("text", ctypes.c_char_p),
                ("begin_ms", ctypes.c_int), ("end_ms", ctypes.c_int), ("sid", ctypes.c_char_p),
                ("words", ctypes.POINTER(_Word)), ("word_count", ctypes.c_size_t), ("json", ctypes.c_char_p),
                ("alternatives", ctypes.POINTER(_Alternative)), ("alternative_count", ctypes.c_size_t)]


_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Result), ctypes.c_void_p)

_lib.vela_asr_init.argtypes = [ctypes.POINTER(_Options)]
_lib.vela_asr_open.argtypes = [ctypes.POINTER(_SessionOptions), _CALLBACK, ctypes.c_void_p,
                               ctypes.POINTER(ctypes.c_void_p)]
_lib.vela_asr_push.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
_lib.vela_asr_finish.argtypes = [ctypes.c_void_p]
_lib.vela_asr_wait.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.POINTER(_Result))]
_lib.vela_asr_close.argtypes = [ctypes.c_void_p]
_lib.vela_asr_close.restype = None
_lib.vela_asr_shutdown.argtypes = []
_lib.vela_asr_shutdown.restype = None
_lib.vela_asr_strerror.argtypes = [ctypes.c_int]
_lib.vela_asr_strerror.restype = ctypes.c_char_p
_lib.vela_asr_last_error.argtypes = [ctypes.c_void_p]
_lib.vela_asr_last_error.restype = ctypes.c_char_p
_lib.vela_asr_result_free.argtypes = [ctypes.POINTER(_Result)]
_lib.vela_asr_result_free.restype = None
_lib.vela_asr_version.restype = ctypes.c_char_p

PARTIAL, FINAL, ERROR, VOICE = 1, 2, 3, 4

# Shut down while the interpreter still runs: the library's own exit handler
# would come after it, too late for callbacks into Python.
atexit.register(_lib.vela_asr_shutdown)


def version():
    return _lib.vela_asr_version().decode()


class Error(Exception):
    """A failed call or session: `code` is the C interface's negative code."""

    def __init__(self, code, message=None):
        self.code = code
        super().__init__(message or _lib.vela_asr_strerror(code).decode())


def _check(code):
    if code != 0:
        raise Error(code, _lib.vela_asr_last_error(None).decode("utf-8", "replace"))


class Word:
    """One word of a result's text: start_ms and end_ms from the start of the
    session's audio, conf its posterior probability (0..1)."""
    __slots__ = ("word", "start_ms", "end_ms", "conf")

    def __init__(self, word, start_ms, end_ms, conf):
        self.word, self.start_ms, self.end_ms, self.conf = word, start_ms, end_ms, conf

    def __repr__(self):
        return "Word(%r, %d, %d, %.2f)" % (self.word, self.start_ms, self.end_ms, self.conf)


class Alternative:
    """Another reading of a final result (best first in Result.alternatives):
    text and score, the recogniser's log-likelihood of the text (natural log;
    higher is better, comparable within one result only)."""
    __slots__ = ("text", "score")

    def __init__(self, text, score):
        self.text, self.score = text, score

    def __repr__(self):
        return "Alternative(%r, %r)" % (self.text, self.score)


class Result:
    """One result: kind (PARTIAL, FINAL, ERROR or VOICE), code, text, begin_ms,
    end_ms, sid, words, alternatives and json (the server's content)."""

    def __init__(self, r):
        def text(p):
            return p.decode("utf-8", "replace") if p else ""
        self.kind, self.code = r.kind, r.code
        self.text, self.sid, self.json = text(r.text), text(r.sid), text(r.json)
        self.begin_ms, self.end_ms = r.begin_ms, r.end_ms
        self.words = [Word(text(r.words[i].word), r.words[i].start_ms, r.words[i].end_ms, r.words[i].conf)
                      for i in range(r.word_count)]
        self.alternatives = [Alternative(text(r.alternatives[i].text), r.alternatives[i].score)
                             for i in range(r.alternative_count)]

    def __repr__(self):
        return "Result(kind=%d, text=%r)" % (self.kind, self.text)


class Session:
    """One recognition session; made by Client.session()."""

    def __init__(self, rate_khz=16, vad=False, bv32=False):
        self._handle = None  # close() and __del__ work also when the open below fails
        self._queue = queue.Queue()
        self._final = None
        self.rate_khz = rate_khz
        # Kept referenced while the library may call it.
        self._callback = _CALLBACK(self._on_result)
        handle = ctypes.c_void_p()
        options = _SessionOptions(rate_khz, 1 if vad else 0, 1 if bv32 else 0)
        _check(_lib.vela_asr_open(ctypes.byref(options), self._callback, None, ctypes.byref(handle)))
        self._handle = handle

    def _on_result(self, result, _user):
        self._queue.put(Result(result.contents))

    def push(self, audio):
        """Pushes 16-bit mono PCM: bytes (little-endian) or an array of 'h'."""
        if isinstance(audio, array.array):
            if audio.typecode != "h":
                raise TypeError("an array of 16-bit samples (typecode 'h') is needed")
            if sys.byteorder != "little":
                audio = array.array("h", audio)
                audio.byteswap()
            audio = audio.tobytes()
        data = bytes(audio)
        if len(data) % 2:
            raise ValueError("16-bit PCM has an even number of bytes")
        _check(_lib.vela_asr_push(self._live(), data, len(data) // 2))

    def results(self, timeout=None):
        """Yields the results as they come (intermediate ones and voice
        events), ending after the final one; an error result raises Error."""
        while self._final is None:
            try:
                r = self._queue.get(timeout=timeout)
            except queue.Empty:
                return
            if r.kind == ERROR:
                self._final = r
                raise Error(r.code, r.text)
            if r.kind == FINAL:
                self._final = r
            yield r

    def finish(self, timeout_ms=-1):
        """Ends the audio and returns the final Result; raises Error when the
        session failed."""
        _check(_lib.vela_asr_finish(self._live()))
        return self.wait(timeout_ms)

    def wait(self, timeout_ms=-1):
        """The final Result, waiting up to timeout_ms (negative: no limit)."""
        out = ctypes.POINTER(_Result)()
        code = _lib.vela_asr_wait(self._live(), timeout_ms, ctypes.byref(out))
        if not out:
            _check(code)
        try:
            result = Result(out.contents)
        finally:
            _lib.vela_asr_result_free(out)
        if result.kind == ERROR:
            raise Error(result.code, result.text)
        return result

    def close(self):
        if self._handle:
            _lib.vela_asr_close(self._handle)
            self._handle = None

    def _live(self):
        if not self._handle:
            raise Error(-4)
        return self._handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class Client:
    """The SDK set up: logging, server URL. Shuts the SDK down on close()."""

    def __init__(self, server_url=None, log_dir=None, log_level=0):
        self._options = _Options(log_dir.encode() if log_dir else None, None, log_level,
                                 server_url.encode() if server_url else None, 0, 0, 0)
        _check(_lib.vela_asr_init(ctypes.byref(self._options)))
        self._open = True

    def session(self, rate_khz=16, vad=False, bv32=False):
        return Session(rate_khz, vad, bv32)

    def transcribe_file(self, path, vad=False, bv32=False):
        """The final Result for a 16-bit mono WAV file at 8 or 16 kHz."""
        with wave.open(str(path), "rb") as w:
            if w.getsampwidth() != 2 or w.getnchannels() != 1 or w.getframerate() not in (8000, 16000):
                raise ValueError("%s: 16-bit mono WAV at 8 or 16 kHz is needed" % path)
            rate = w.getframerate() // 1000
            pcm = w.readframes(w.getnframes())
        with self.session(rate, vad, bv32) as s:
            s.push(pcm)
            return s.finish()

    def close(self):
        if self._open:
            _lib.vela_asr_shutdown()
            self._open = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
