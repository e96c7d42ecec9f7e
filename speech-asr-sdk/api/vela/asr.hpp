// vela/asr.hpp: the C++17 interface of the Vela speech recognition SDK,
// header-only over the C interface of vela/asr.h (library libvela-asr.so.1).
//
//     vela::asr::Client client;                       // set-up; shut down at the end
//     vela::asr::Session session = client.open();     // 16 kHz PCM
//     session.push(samples);                          // as audio arrives
//     session.finish();
//     std::cout << session.final().get().text << "\n";
//
// Failures throw vela::asr::Error with the C code and the cause in words. A
// Client shuts the SDK down when destroyed: keep one per process, outliving
// its sessions. Threads: see vela/asr.h.
#ifndef VELA_ASR_HPP
#define VELA_ASR_HPP

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vela/asr.h"

namespace vela {
namespace asr {

class Error : public std::runtime_error {
  public:
    Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int code() const noexcept { return code_; }

  private:
    int code_;
};

enum class Kind {
    partial = VELA_ASR_RESULT_PARTIAL,
    final = VELA_ASR_RESULT_FINAL,
    error = VELA_ASR_RESULT_ERROR,
    voice = VELA_ASR_RESULT_VOICE
};

// One word of a result's text (see vela_asr_word).
struct Word {
    std::string word;
    int start_ms = 0;  // from the start of the session's audio
    int end_ms = 0;
    float conf = 0;  // posterior probability, 0..1
};

// Another reading of a final result (see vela_asr_alternative).
struct Alternative {
    std::string text;
    double score = 0;  // the recogniser's log-likelihood (natural log): higher is better
};

struct Result {
    Kind kind = Kind::final;
    int code = 0;      // a voice event's 100..104, an error's vela_asr_error
    std::string text;  // for an error, its cause
    int begin_ms = 0;
    int end_ms = 0;
    std::string sid;
    std::vector<Word> words;                // the words of `text`, when the server sends them
    std::string json;                       // the server's result content
    std::vector<Alternative> alternatives;  // final results, best first, when the server sends them

    static Result from(const vela_asr_result& r) {
        Result out;
        out.kind = static_cast<Kind>(r.kind);
        out.code = r.code;
        out.text = r.text;
        out.begin_ms = r.begin_ms;
        out.end_ms = r.end_ms;
        out.sid = r.sid;
        out.json = r.json;
        for (size_t i = 0; i < r.word_count; ++i)
            out.words.push_back({r.words[i].word, r.words[i].start_ms, r.words[i].end_ms, r.words[i].conf});
        for (size_t i = 0; i < r.alternative_count; ++i)
            out.alternatives.push_back({r.alternatives[i].text, r.alternatives[i].score});
        return out;
    }
};

struct ClientOptions {
    std::string log_dir;     // empty: "vela-asr-logs"
    std::string log_file;    // empty: "vela-asr.log"
    int log_level = 0;       // 0 (debug, everything) .. 6 (fatal)
    std::string server_url;  // empty: $VELA_ASR_SERVER_URL, else the built-in URL
    long connect_timeout_ms = 0, timeout_ms = 0, result_timeout_ms = 0;  // 0: environment or default
};

struct SessionOptions {
    int rate_khz = 16;  // 8 or 16
    bool vad = false;   // voice detection ends the session with the first utterance
    bool bv32 = false;  // BV32 compression of the uploaded audio
};

namespace detail {
inline void check(int code) {
    if (code != VELA_ASR_OK) throw Error(code, vela_asr_last_error(nullptr));
}
}  // namespace detail

// One recognition session; movable, closed when destroyed.
class Session {
  public:
    Session(Session&&) noexcept = default;
    Session& operator=(Session&&) noexcept = default;
    ~Session() = default;

    // Any number of samples; chunking is the SDK's.
    void push(const int16_t* samples, size_t count) {
        detail::check(vela_asr_push(handle(), samples, count));
    }
    void push(const std::vector<int16_t>& samples) { push(samples.data(), samples.size()); }
    // End of audio.
    void finish() { detail::check(vela_asr_finish(handle())); }
    // The final result; an error result becomes an Error in the future.
    // Callable once.
    std::future<Result> final() { return state_->final.get_future(); }
    // Called with every result, on SDK threads or inside push(); set it
    // before pushing. The final or error result is also given to final().
    void on_result(std::function<void(const Result&)> listener) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->listener = std::move(listener);
    }
    // The cause of the session's latest error ("" when none).
    std::string last_error() const { return vela_asr_last_error(state_->handle); }
    // Ends the session now (an error result if the final one has not come).
    void close() {
        if (state_) state_->close();
    }

  private:
    friend class Client;

    struct State {
        vela_asr_session* handle = nullptr;
        std::mutex mutex;
        std::function<void(const Result&)> listener;
        std::promise<Result> final;

        ~State() { close(); }
        void close() {
            vela_asr_close(handle);  // no callback after this
            handle = nullptr;
        }
        static void callback(const vela_asr_result* r, void* user) {
            State* self = static_cast<State*>(user);
            const Result result = Result::from(*r);
            std::function<void(const Result&)> listener;
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                listener = self->listener;
            }
            if (listener) listener(result);
            if (result.kind == Kind::final) self->final.set_value(result);
            if (result.kind == Kind::error)
                self->final.set_exception(std::make_exception_ptr(Error(result.code, result.text)));
        }
    };

    explicit Session(std::unique_ptr<State> state) : state_(std::move(state)) {}
    vela_asr_session* handle() const {
        if (!state_ || state_->handle == nullptr)
            throw Error(VELA_ASR_E_CLOSED, vela_asr_strerror(VELA_ASR_E_CLOSED));
        return state_->handle;
    }

    std::unique_ptr<State> state_;
};

// The SDK set up for the lifetime of the object.
class Client {
  public:
    Client() : Client(ClientOptions()) {}
    explicit Client(const ClientOptions& o) {
        vela_asr_options c{};
        c.log_dir = o.log_dir.empty() ? nullptr : o.log_dir.c_str();
        c.log_file = o.log_file.empty() ? nullptr : o.log_file.c_str();
        c.log_level = o.log_level;
        c.server_url = o.server_url.empty() ? nullptr : o.server_url.c_str();
        c.connect_timeout_ms = o.connect_timeout_ms;
        c.timeout_ms = o.timeout_ms;
        c.result_timeout_ms = o.result_timeout_ms;
        detail::check(vela_asr_init(&c));
    }
    // Ends the sessions still open and stops the SDK's threads.
    ~Client() { vela_asr_shutdown(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    Session open(const SessionOptions& o = SessionOptions()) {
        std::unique_ptr<Session::State> state(new Session::State);
        const vela_asr_session_options c{o.rate_khz, o.vad ? 1 : 0, o.bv32 ? 1 : 0};
        detail::check(vela_asr_open(&c, &Session::State::callback, state.get(), &state->handle));
        return Session(std::move(state));
    }

    static std::string version() { return vela_asr_version(); }
};

// Streams a whole buffer through one session and returns the final result.
inline Result transcribe(Client& client, const std::vector<int16_t>& samples,
                         SessionOptions options = SessionOptions()) {
    Session session = client.open(options);
    std::future<Result> result = session.final();
    session.push(samples);
    session.finish();
    return result.get();
}

}  // namespace asr
}  // namespace vela

#endif  // VELA_ASR_HPP
