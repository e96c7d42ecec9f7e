/*
 * vela/asr.h: the C interface of the Vela speech recognition SDK
 * (library libvela-asr.so.1).
 *
 * Stream 16-bit mono PCM through a session and receive typed results:
 *
 *     vela_asr_session* s;
 *     if (vela_asr_open(NULL, NULL, NULL, &s) == VELA_ASR_OK) {
 *         vela_asr_push(s, samples, count);        as often as audio arrives
 *         vela_asr_finish(s);                      end of audio
 *         vela_asr_result* r;
 *         if (vela_asr_wait(s, -1, &r) == VELA_ASR_OK) puts(r->text);
 *         vela_asr_result_free(r);
 *     }
 *     vela_asr_close(s);
 *     vela_asr_shutdown();
 *
 * Conventions: every function and type starts with vela_asr_; handles are
 * opaque; functions that can fail return VELA_ASR_OK (0) or a negative
 * vela_asr_error, described by vela_asr_strerror() and, with the cause of the
 * latest failure, by vela_asr_last_error().
 *
 * Results. Every session ends with exactly one result of kind
 * VELA_ASR_RESULT_FINAL or VELA_ASR_RESULT_ERROR: the server's final text, or
 * the reason it cannot come (a failed exchange, vela_asr_close before the
 * final result, vela_asr_shutdown). Before it the callback may see
 * intermediate texts (VELA_ASR_RESULT_PARTIAL) and voice-detector events
 * (VELA_ASR_RESULT_VOICE); nothing follows it.
 *
 * Threads. All functions may be called from any thread. One thread at a time
 * pushes to (and finishes) a given session; different sessions are
 * independent. The callback runs on the thread that calls vela_asr_push (voice
 * events) or on an SDK thread (text and errors), one call at a time per
 * session; it may call vela_asr_close on its own session but must not call
 * vela_asr_wait or vela_asr_shutdown. No callback of a session runs once
 * vela_asr_close for it has returned, and none at all once vela_asr_shutdown
 * has returned.
 */
#ifndef VELA_ASR_H
#define VELA_ASR_H

#include <stddef.h>
#include <stdint.h>

#define VELA_ASR_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes: 0 for success, negative for errors. */
typedef enum vela_asr_error {
    VELA_ASR_OK = 0,
    VELA_ASR_E_INVALID = -1,      /* a NULL pointer or a value out of range */
    VELA_ASR_E_RATE = -2,         /* a sample rate other than 8 or 16 kHz */
    VELA_ASR_E_STATE = -3,        /* not allowed now: audio after finish, a session that has ended */
    VELA_ASR_E_CLOSED = -4,       /* the session was closed (or never existed) */
    VELA_ASR_E_SHUTDOWN = -5,     /* called after vela_asr_shutdown (vela_asr_init starts again) */
    VELA_ASR_E_CONNECT = -6,      /* connection refused by the server's address */
    VELA_ASR_E_RESOLVE = -7,      /* the server's name was not resolved */
    VELA_ASR_E_TLS = -8,          /* TLS failed: server certificate not trusted (see VELA_ASR_CA_FILE) */
    VELA_ASR_E_HTTP = -9,         /* the server answered with an HTTP status other than 200 */
    VELA_ASR_E_TIMEOUT = -10,     /* a time-out: connect, exchange or result (the detail says which) */
    VELA_ASR_E_PROTOCOL = -11,    /* the server's reply was not understood or reported an error */
    VELA_ASR_E_NETWORK = -12,     /* any other failure of an exchange with the server */
    VELA_ASR_E_BUSY = -13,        /* too many sessions are open at once */
    VELA_ASR_E_WAIT_TIMEOUT = -14,/* vela_asr_wait: no final result within the time given */
    VELA_ASR_E_CANCELLED = -15,   /* the session was closed before its final result */
    VELA_ASR_E_NOMEM = -16,       /* out of memory */
    VELA_ASR_E_FAILED = -17       /* the session failed for a reason not listed above */
} vela_asr_error;

/* Process-wide settings. Zero or NULL fields keep their defaults. */
typedef struct vela_asr_options {
    const char* log_dir;      /* log folder, made when missing; default "vela-asr-logs" */
    const char* log_file;     /* log file name; default "vela-asr.log" */
    int log_level;            /* lowest severity logged: 0 debug .. 6 fatal; default 0 (everything) */
    const char* server_url;   /* overrides $VELA_ASR_SERVER_URL and the built-in URL */
    long connect_timeout_ms;  /* overrides $VELA_ASR_CONNECT_TIMEOUT_MS (default 5000) */
    long timeout_ms;          /* overrides $VELA_ASR_TIMEOUT_MS: one exchange (default 60000) */
    long result_timeout_ms;   /* overrides $VELA_ASR_RESULT_TIMEOUT_MS: last audio to final (30000) */
} vela_asr_options;

/* One session's settings. */
typedef struct vela_asr_session_options {
    int rate_khz; /* 8 or 16 */
    int vad;      /* non-zero: voice detection ends the session with the first utterance */
    int bv32;     /* non-zero: the audio is compressed with BV32 before upload */
} vela_asr_session_options;

typedef enum vela_asr_result_kind {
    VELA_ASR_RESULT_PARTIAL = 1, /* intermediate text */
    VELA_ASR_RESULT_FINAL = 2,   /* final text; the session has ended */
    VELA_ASR_RESULT_ERROR = 3,   /* the session has ended without a final text */
    VELA_ASR_RESULT_VOICE = 4    /* voice-detector event, code 100..104 */
} vela_asr_result_kind;

/* Voice-detector events (vela_asr_result.code of VELA_ASR_RESULT_VOICE). */
enum {
    VELA_ASR_VOICE_SILENCE = 100,     /* the chunk just pushed is silence */
    VELA_ASR_VOICE_TOO_LONG = 101,    /* speech ran past the maximum duration and was cut */
    VELA_ASR_VOICE_END = 102,         /* end of speech: the session's last audio has gone */
    VELA_ASR_VOICE_NO_SPEECH = 103,   /* no speech found */
    VELA_ASR_VOICE_TOO_SHORT = 104    /* speech too short */
};

/* One recognised word of a result's text. */
typedef struct vela_asr_word {
    const char* word;
    int start_ms; /* start and end, in ms from the start of the session's audio */
    int end_ms;   /* (with voice detection: of the audio uploaded, as begin_ms) */
    float conf;   /* the word's posterior probability, 0..1 */
} vela_asr_word;

/* Another reading of a final result's audio, when the server is asked for
 * them (asr-server --nbest N). */
typedef struct vela_asr_alternative {
    const char* text;
    double score; /* the recogniser's log-likelihood of the text (natural log, acoustic
                     and language model together): higher is better, comparable only
                     within one result */
} vela_asr_alternative;

/* One result. Strings are UTF-8 and never NULL (possibly empty). Lists are
 * NULL with a count of 0 when the server sent none, or sent one that is not
 * well formed (a list is taken whole or not at all). */
typedef struct vela_asr_result {
    vela_asr_result_kind kind;
    int code;      /* 0; a voice event's 100..104; an error's vela_asr_error */
    const char* text;      /* recognised text; for an error, its cause in words */
    int begin_ms;  /* speech begin and end, in ms from the first audio pushed */
    int end_ms;
    const char* sid;       /* the session's id, as the server gave it when it was created */
    const vela_asr_word* words; /* the words of `text` in order, when the server sends them */
    size_t word_count;
    const char* json;      /* the server's result content as JSON text, for anything else */
    /* Fields are only ever added from here on: applications receive results
     * from the library and never allocate one. */
    const vela_asr_alternative* alternatives; /* final results, distinct and best first */
    size_t alternative_count;
} vela_asr_result;

typedef struct vela_asr_session vela_asr_session;

/* Called with each result of a session. `result` is valid during the call
 * only: copy it with vela_asr_result_copy to keep it. */
typedef void (*vela_asr_callback)(const vela_asr_result* result, void* user);

/* Sets the SDK up: logging, server URL and time-outs. NULL takes the defaults.
 * Idempotent: once set up (by this call or by the first vela_asr_open), later
 * calls change nothing and return VELA_ASR_OK until vela_asr_shutdown. */
VELA_ASR_API int vela_asr_init(const vela_asr_options* options);

/* Opens a session with the server (a network round trip). NULL options: 16
 * kHz PCM without voice detection. `callback` may be NULL: results are then
 * only kept for vela_asr_wait. On failure *session is NULL and
 * vela_asr_last_error(NULL) tells why. */
VELA_ASR_API int vela_asr_open(const vela_asr_session_options* options, vela_asr_callback callback, void* user,
                               vela_asr_session** session);

/* Pushes `count` samples (any number, 0 included). The SDK cuts them into its
 * 1,600-sample chunks. After voice detection has found the end of speech, more
 * audio is accepted and ignored. */
VELA_ASR_API int vela_asr_push(vela_asr_session* session, const int16_t* samples, size_t count);

/* End of audio: the last partial chunk is padded with silence and sent. */
VELA_ASR_API int vela_asr_finish(vela_asr_session* session);

/* Waits up to `timeout_ms` (negative: without limit) for the session's final
 * or error result. Returns VELA_ASR_OK for a final result, the session's error
 * code when it ended with an error, VELA_ASR_E_WAIT_TIMEOUT when the time ran
 * out. When `final_result` is not NULL it receives a copy of the result (NULL
 * on time-out), to be freed with vela_asr_result_free. */
VELA_ASR_API int vela_asr_wait(vela_asr_session* session, int timeout_ms, vela_asr_result** final_result);

/* Ends the session at any time and frees it: a session without its final
 * result yet gets an error result (VELA_ASR_E_CANCELLED) first. Waits for a
 * running callback of the session (unless called from it). NULL and a second
 * close of the same handle are ignored. */
VELA_ASR_API void vela_asr_close(vela_asr_session* session);

/* Ends every open session (an error result, VELA_ASR_E_SHUTDOWN, to each still
 * running), waits for every SDK thread to finish its work, stops the SDK's
 * worker threads and flushes the log. Afterwards returning from main is safe;
 * every call but vela_asr_init answers VELA_ASR_E_SHUTDOWN. A program that
 * returns from main (or calls exit) without it gets it from an atexit handler;
 * exit must not be called from a callback. */
VELA_ASR_API void vela_asr_shutdown(void);

/* A fixed English text for `code`. */
VELA_ASR_API const char* vela_asr_strerror(int code);

/* The cause of the session's latest error in words ("" when none), e.g.
 * "connection refused (...)"; with NULL, the cause of the latest failed call
 * on this thread. Valid until the next call on this thread. */
VELA_ASR_API const char* vela_asr_last_error(const vela_asr_session* session);

/* A copy of `result` that lives until vela_asr_result_free; NULL on failure. */
VELA_ASR_API vela_asr_result* vela_asr_result_copy(const vela_asr_result* result);
VELA_ASR_API void vela_asr_result_free(vela_asr_result* result);

/* The library's version, "MAJOR.MINOR.PATCH". */
VELA_ASR_API const char* vela_asr_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VELA_ASR_H */
