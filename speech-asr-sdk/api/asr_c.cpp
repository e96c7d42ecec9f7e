// The C interface (vela/asr.h) over the SDK's instance API.
//
// A session handle is an odd number made from the session's serial id, never
// a pointer, so that a closed or made-up handle is recognised instead of being
// followed. The registry maps ids to sessions; the SDK's listener receives the
// id as its text tag and looks the session up, so a late event of a closed
// session finds nothing and is dropped.
//
// Locks: a session's `push_mutex` serialises its pushes; its
// `callback_mutex` (recursive: a callback may push or close) is held while
// the callback runs, which inside a push is after `push_mutex`; the registry
// lock and a session's `mutex` are innermost and held only briefly. Closing
// never waits for a push: the instance's hold is given back by whichever of
// close and the last running push comes last.
#include <curl/curl.h>
#include <json/json.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-asr-sdk/failure_cause.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "vela/asr.h"

#ifndef VELA_ASR_VERSION_STRING
#define VELA_ASR_VERSION_STRING "0.0.0"
#endif

namespace {

using vela::VelaASRLinuxSDK;

constexpr size_t kChunkSamples = 1600;  // the SDK's 3,200-byte chunk
const char kCancelled[] = "the session was closed before its final result";
const char kShutDown[] = "the SDK was shut down before the session's final result";

// A result that owns its strings; the C fields point into them.
struct OwnedResult : vela_asr_result {
    std::string text_s, sid_s, json_s;
    std::vector<std::string> word_s;
    std::vector<vela_asr_word> word_v;
    std::vector<std::string> alternative_s;
    std::vector<vela_asr_alternative> alternative_v;

    OwnedResult() : vela_asr_result() {}
    OwnedResult(const OwnedResult&) = delete;
    OwnedResult& operator=(const OwnedResult&) = delete;

    void point() {
        text = text_s.c_str();
        sid = sid_s.c_str();
        json = json_s.c_str();
        for (size_t i = 0; i < word_v.size(); ++i) word_v[i].word = word_s[i].c_str();
        words = word_v.empty() ? nullptr : word_v.data();
        word_count = word_v.size();
        for (size_t i = 0; i < alternative_v.size(); ++i) alternative_v[i].text = alternative_s[i].c_str();
        alternatives = alternative_v.empty() ? nullptr : alternative_v.data();
        alternative_count = alternative_v.size();
    }
};

std::unique_ptr<OwnedResult> copyOf(const vela_asr_result& r) {
    std::unique_ptr<OwnedResult> out(new OwnedResult);
    out->kind = r.kind;
    out->code = r.code;
    out->begin_ms = r.begin_ms;
    out->end_ms = r.end_ms;
    out->text_s = r.text != nullptr ? r.text : "";
    out->sid_s = r.sid != nullptr ? r.sid : "";
    out->json_s = r.json != nullptr ? r.json : "";
    for (size_t i = 0; r.words != nullptr && i < r.word_count; ++i) {
        out->word_s.emplace_back(r.words[i].word != nullptr ? r.words[i].word : "");
        out->word_v.push_back(r.words[i]);
    }
    for (size_t i = 0; r.alternatives != nullptr && i < r.alternative_count; ++i) {
        out->alternative_s.emplace_back(r.alternatives[i].text != nullptr ? r.alternatives[i].text : "");
        out->alternative_v.push_back(r.alternatives[i]);
    }
    out->point();
    return out;
}

std::unique_ptr<OwnedResult> errorResult(int code, const std::string& why) {
    std::unique_ptr<OwnedResult> out(new OwnedResult);
    out->kind = VELA_ASR_RESULT_ERROR;
    out->code = code;
    out->text_s = why;
    out->point();
    return out;
}

struct Session {
    uintptr_t id = 0;
    VelaASRLinuxSDK* sdk = nullptr;  // held (hold()) until released
    vela_asr_callback callback = nullptr;
    void* user = nullptr;

    std::recursive_mutex callback_mutex;  // held while the callback runs

    std::recursive_mutex push_mutex;  // the pushing side
    std::vector<int16_t> pending;     // samples short of a chunk
    bool started = false;             // a post has been accepted
    bool finished = false;            // vela_asr_finish called
    bool speech_over = false;         // the voice detector ended the audio

    std::mutex mutex;  // the fields below
    std::condition_variable ended_cv;
    bool ended = false;     // the final or error result has come
    bool closed = false;    // no callback any more
    bool released = false;  // the session is over for the pushing side
    int posting = 0;        // pushes and finishes using the instance
    std::unique_ptr<OwnedResult> terminal;
    std::string last_error;
};

enum class State { kIdle, kRunning, kShutDown };

struct Registry {
    std::mutex mutex;
    State state = State::kIdle;
    uintptr_t next_id = 1;
    std::map<uintptr_t, std::shared_ptr<Session>> sessions;
    std::vector<VelaASRLinuxSDK*> released;  // instances given back, until the pool frees them
};

// Never destroyed: SDK threads may still look sessions up while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

thread_local std::string t_last_error;     // vela_asr_last_error(NULL)
thread_local std::string t_session_error;  // the copy vela_asr_last_error(session) returns

int fail(int code, const std::string& why = std::string()) {
    t_last_error = why.empty() ? vela_asr_strerror(code) : why;
    return code;
}

vela_asr_session* handleOf(uintptr_t id) { return reinterpret_cast<vela_asr_session*>(id << 1 | 1); }

bool idOf(const vela_asr_session* handle, uintptr_t* id) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if ((v & 1) == 0) return false;
    *id = v >> 1;
    return true;
}

std::shared_ptr<Session> findId(uintptr_t id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.sessions.find(id);
    return it == r.sessions.end() ? nullptr : it->second;
}

// The session of `handle`, or null with the error code in `*code`.
std::shared_ptr<Session> lookUp(const vela_asr_session* handle, int* code) {
    uintptr_t id = 0;
    if (handle == nullptr) {
        *code = fail(VELA_ASR_E_INVALID, "session is NULL");
        return nullptr;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.state == State::kShutDown) {
        *code = fail(VELA_ASR_E_SHUTDOWN);
        return nullptr;
    }
    auto it = idOf(handle, &id) ? r.sessions.find(id) : r.sessions.end();
    if (it == r.sessions.end()) {
        *code = fail(VELA_ASR_E_CLOSED);
        return nullptr;
    }
    return it->second;
}

int codeFor(vela::FailureKind kind) {
    switch (kind) {
        case vela::FailureKind::kConnect:
            return VELA_ASR_E_CONNECT;
        case vela::FailureKind::kResolve:
            return VELA_ASR_E_RESOLVE;
        case vela::FailureKind::kTls:
            return VELA_ASR_E_TLS;
        case vela::FailureKind::kHttpStatus:
            return VELA_ASR_E_HTTP;
        case vela::FailureKind::kConnectTimeout:
        case vela::FailureKind::kExchangeTimeout:
        case vela::FailureKind::kResultTimeout:
            return VELA_ASR_E_TIMEOUT;
        case vela::FailureKind::kReply:
            return VELA_ASR_E_PROTOCOL;
        case vela::FailureKind::kTransfer:
            return VELA_ASR_E_NETWORK;
        case vela::FailureKind::kNone:
            break;
    }
    return VELA_ASR_E_FAILED;
}

// Milliseconds of audio: a whole number, not negative, within an int.
bool isMs(const Json::Value& v) { return v.isInt() && v.asInt() >= 0; }

// The word list of a result content, taken whole when every entry is well
// formed (a non-empty word, 0 <= start_ms <= end_ms, conf in [0, 1]), else
// not at all: half a list would misspell the text.
void takeWords(const Json::Value& list, OwnedResult& out) {
    if (!list.isArray()) return;
    std::vector<std::string> text;
    std::vector<vela_asr_word> words;
    for (const Json::Value& w : list) {
        if (!w.isObject()) return;
        const Json::Value &word = w["word"], &start = w["start_ms"], &end = w["end_ms"], &conf = w["conf"];
        if (!word.isString() || word.asString().empty() || !isMs(start) || !isMs(end) ||
            end.asInt() < start.asInt() || !conf.isNumeric() ||
            !(conf.asDouble() >= 0 && conf.asDouble() <= 1))
            return;
        text.push_back(word.asString());
        words.push_back({nullptr, start.asInt(), end.asInt(), conf.asFloat()});
    }
    out.word_s.swap(text);
    out.word_v.swap(words);
}

// The alternatives of a result content, taken whole when every entry has a
// text and a numeric score, else not at all.
void takeAlternatives(const Json::Value& list, OwnedResult& out) {
    if (!list.isArray()) return;
    std::vector<std::string> text;
    std::vector<vela_asr_alternative> alternatives;
    for (const Json::Value& a : list) {
        if (!a.isObject() || !a["text"].isString() || !a["score"].isNumeric()) return;
        text.push_back(a["text"].asString());
        alternatives.push_back({nullptr, a["score"].asDouble()});
    }
    out.alternative_s.swap(text);
    out.alternative_v.swap(alternatives);
}

// The typed result of one SDK event; null for events the C interface does
// not report (an unknown reply status).
std::unique_ptr<OwnedResult> fromSdk(const vela::ASRResultM& event) {
    const int status = event.get_status();
    std::unique_ptr<OwnedResult> out(new OwnedResult);
    if (status >= vela::VELA_ASR_SLIENT && status <= vela::VELA_ASR_SPEAK_SHORT) {
        out->kind = VELA_ASR_RESULT_VOICE;
        out->code = status;
    } else if (status == vela::VELA_ASR_ERR) {
        const vela::Failure f = vela::take_failure();
        out->kind = VELA_ASR_RESULT_ERROR;
        out->code = codeFor(f.kind);
        out->text_s = f.detail.empty() ? "the exchange with the server failed" : f.detail;
    } else if (status == vela::VELA_ASR_MIDDLE || status == vela::VELA_ASR_FINISH) {
        out->kind = status == vela::VELA_ASR_MIDDLE ? VELA_ASR_RESULT_PARTIAL : VELA_ASR_RESULT_FINAL;
        // {"header":…,"payload":{"asr_content":"<the server's JSON>\n","begintime":B,"endtime":E}}
        std::string line;
        event.get_asr_content(line);
        Json::Value outer, content;
        Json::Reader reader;
        if (reader.parse(line, outer) && outer["payload"].isObject()) {
            const Json::Value& payload = outer["payload"];
            out->begin_ms = payload["begintime"].asInt();
            out->end_ms = payload["endtime"].asInt();
            out->json_s = payload["asr_content"].asString();
            while (!out->json_s.empty() && out->json_s.back() == '\n') out->json_s.pop_back();
        }
        if (reader.parse(out->json_s, content) && content.isObject()) {
            if (content["text"].isString()) out->text_s = content["text"].asString();
            if (content["sid"].isString()) out->sid_s = content["sid"].asString();
            takeWords(content["words"], *out);
            takeAlternatives(content["alternatives"], *out);
        } else if (content.isString()) {
            out->text_s = content.asString();
        }
    } else {
        return nullptr;
    }
    out->point();
    return out;
}

// Hands `result` to the session: keeps a final or error result, calls the
// callback unless the session is closed or has already ended. Every result
// names the session's sid, also an error that the server's content lacks.
void deliver(Session& s, OwnedResult& result) {
    if (result.sid_s.empty()) {
        result.sid_s = s.sdk->_sid;  // set when the instance was made, read-only since
        result.point();
    }
    std::lock_guard<std::recursive_mutex> in_callback(s.callback_mutex);
    const bool terminal = result.kind == VELA_ASR_RESULT_FINAL || result.kind == VELA_ASR_RESULT_ERROR;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.closed || s.ended) return;
        if (terminal) {
            s.ended = true;
            s.terminal = copyOf(result);
            if (result.kind == VELA_ASR_RESULT_ERROR) s.last_error = result.text;
        }
    }
    if (terminal) s.ended_cv.notify_all();
    if (s.callback != nullptr) s.callback(&result, s.user);
}

// The SDK's listener; `tag` is the session id as decimal text.
void onSdkEvent(vela::ASRResultM& event, void* tag) {
    const uintptr_t id = std::strtoull(static_cast<const char*>(tag), nullptr, 10);
    std::unique_ptr<OwnedResult> result = fromSdk(event);
    std::shared_ptr<Session> s = findId(id);
    if (result && s) deliver(*s, *result);
}

void giveBack(VelaASRLinuxSDK* sdk);

// Ends the session for good: an error result (`code`, `why`) unless it has
// ended, no callback from now on, the instance finished and given back.
void endSession(Session& s, int code, const char* why) {
    {
        std::lock_guard<std::recursive_mutex> in_callback(s.callback_mutex);  // waits for a running callback
        deliver(s, *errorResult(code, why));
        std::lock_guard<std::mutex> lock(s.mutex);
        s.closed = true;
    }
    // The pull thread and the tasks see the end and let go; the pool frees
    // the instance once nothing holds it.
    if (s.sdk->finish()) s.sdk->notify();
    bool now = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.released) return;
        s.released = true;
        now = s.posting == 0;  // else the last push gives it back
    }
    if (now) giveBack(s.sdk);
}

// Gives the instance back to the pool, which frees it once nothing holds it.
void giveBack(VelaASRLinuxSDK* sdk) {
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.released.push_back(sdk);
    }
    sdk->release();
}

// Keeps the instance held for a push or finish; false once the session is
// closed.
bool beginPosting(Session& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.released) return false;
    ++s.posting;
    return true;
}

void endPosting(Session& s) {
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        last = --s.posting == 0 && s.released;
    }
    if (last) giveBack(s.sdk);
}

// Holds the instance for a scope (see beginPosting).
class Posting {
  public:
    explicit Posting(Session& s) : s_(s), ok_(beginPosting(s)) {}
    ~Posting() {
        if (ok_) endPosting(s_);
    }
    explicit operator bool() const { return ok_; }

  private:
    Session& s_;
    bool ok_;
};

// Posts one command; for audio `samples` holds kChunkSamples samples.
int post(Session& s, vela::Msg_t name, const int16_t* samples) {
    vela::VelaASRMessage msg;
    msg.name = name;
    if (samples != nullptr) {
        msg.set_parameter(vela::VELA_DATA_CHUNK, reinterpret_cast<const char*>(samples),
                          static_cast<int>(kChunkSamples * sizeof(int16_t)));
    }
    std::string answer;
    const int ret = s.sdk->post(msg, answer);
    if (ret == 7 && !s.started) {
        // Finished before any audio: the SDK gives a session up, without an
        // event, when nothing is pushed within 2 s of opening it.
        deliver(s, *errorResult(VELA_ASR_E_STATE,
                                "no audio within 2 s of opening the session; the SDK gave it up"));
    }
    if (ret != 7 && !s.started) {
        s.started = true;
        // The audio has started the session. The instance's pull thread would
        // wait out its first 2 s before fetching; sessions of this interface
        // fetch from the first audio on, so that the first words come as soon
        // as the server has them.
        s.sdk->wake_pull_thread();
    }
    if (ret == 100) s.speech_over = true;
    return ret;
}

// Why the ended session `s` takes no more audio.
int endedError(Session& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    return fail(VELA_ASR_E_STATE,
                "the session has ended" + (s.last_error.empty() ? "" : ": " + s.last_error));
}

void shutdownAtExit() { vela_asr_shutdown(); }

bool startSdk(const vela_asr_options* options) {
    const vela_asr_options none{};
    const vela_asr_options& o = options != nullptr ? *options : none;
    VelaASRLinuxSDK::init_env(o.log_dir != nullptr ? o.log_dir : "vela-asr-logs",
                              o.log_file != nullptr ? o.log_file : "vela-asr.log", o.log_level);
    speech::util::RecMutexLock::Lock lock(VelaASRLinuxSDK::_mutex);
    if (o.server_url != nullptr && o.server_url[0] != '\0') VelaASRLinuxSDK::_server_url = o.server_url;
    if (o.connect_timeout_ms > 0) VelaASRLinuxSDK::_wait_limits.connect_ms = o.connect_timeout_ms;
    if (o.timeout_ms > 0) VelaASRLinuxSDK::_wait_limits.exchange_ms = o.timeout_ms;
    if (o.result_timeout_ms > 0) VelaASRLinuxSDK::_wait_limits.result_ms = o.result_timeout_ms;
    // A program that returns from main without vela_asr_shutdown gets it
    // before the statics of the SDK, the logging library and libcurl's TLS
    // library are destroyed under threads that still use them: exit handlers
    // run in reverse order, so this one is registered after those libraries
    // have started (libcurl's global set-up starts the TLS library).
    static std::once_flag at_exit;
    std::call_once(at_exit, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        std::atexit(shutdownAtExit);
    });
    return true;
}

// Whether any instance in `instances` is still in the pool.
bool anyPooled(const std::vector<VelaASRLinuxSDK*>& instances) {
    speech::util::RecMutexLock::Lock lock(VelaASRLinuxSDK::_mutex);
    for (VelaASRLinuxSDK* inst : instances) {
        if (std::find(VelaASRLinuxSDK::_sdk.begin(), VelaASRLinuxSDK::_sdk.end(), inst) !=
            VelaASRLinuxSDK::_sdk.end())
            return true;
    }
    return false;
}

}  // namespace

extern "C" {

int vela_asr_init(const vela_asr_options* options) {
    if (options != nullptr) {
        if (options->log_level < 0 || options->log_level > 6)
            return fail(VELA_ASR_E_INVALID, "log_level must be 0 to 6");
        if (options->connect_timeout_ms < 0 || options->timeout_ms < 0 || options->result_timeout_ms < 0)
            return fail(VELA_ASR_E_INVALID, "time-outs must not be negative");
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.state == State::kRunning) return VELA_ASR_OK;
    startSdk(options);
    r.state = State::kRunning;
    return VELA_ASR_OK;
}

int vela_asr_open(const vela_asr_session_options* options, vela_asr_callback callback, void* user,
                  vela_asr_session** session) {
    if (session == nullptr) return fail(VELA_ASR_E_INVALID, "session is NULL");
    *session = nullptr;
    const vela_asr_session_options defaults{16, 0, 0};
    const vela_asr_session_options& o = options != nullptr ? *options : defaults;
    if (o.rate_khz != 8 && o.rate_khz != 16)
        return fail(VELA_ASR_E_RATE, "rate_khz must be 8 or 16, not " + std::to_string(o.rate_khz));

    auto s = std::make_shared<Session>();
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.state == State::kShutDown) return fail(VELA_ASR_E_SHUTDOWN);
        if (r.state == State::kIdle) {
            startSdk(nullptr);
            r.state = State::kRunning;
        }
        s->id = r.next_id++;
    }
    s->callback = callback;
    s->user = user;

    vela::take_failure();  // nothing stale from an earlier call on this thread
    std::string answer;
    VelaASRLinuxSDK* sdk = VelaASRLinuxSDK::getInstance(o.rate_khz, o.vad != 0, o.bv32 != 0, answer);
    if (sdk == nullptr) {
        const vela::Failure f = vela::take_failure();
        if (VelaASRLinuxSDK::err_no.load() == 4)
            return fail(VELA_ASR_E_BUSY, "too many sessions open (" + answer + ")");
        if (VelaASRLinuxSDK::err_no.load() == 1) return fail(VELA_ASR_E_NOMEM);
        return fail(codeFor(f.kind), answer + ": " + (f.detail.empty() ? "no session" : f.detail));
    }
    // Fresh and unstarted, the instance cannot be freed before this hold.
    sdk->hold();
    s->sdk = sdk;
    // The listener is set through the fields: registering it with
    // set_event_listener would print its argument on standard output.
    std::snprintf(sdk->_user_arg_buf, sizeof(sdk->_user_arg_buf), "%llu",
                  static_cast<unsigned long long>(s->id));
    sdk->_cb.store(&onSdkEvent);

    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.state != State::kRunning) {  // shut down meanwhile
        if (sdk->finish()) sdk->notify();
        sdk->release();
        return fail(VELA_ASR_E_SHUTDOWN);
    }
    r.sessions[s->id] = s;
    *session = handleOf(s->id);
    return VELA_ASR_OK;
}

int vela_asr_push(vela_asr_session* session, const int16_t* samples, size_t count) {
    int code = VELA_ASR_OK;
    std::shared_ptr<Session> s = lookUp(session, &code);
    if (!s) return code;
    if (samples == nullptr && count > 0) return fail(VELA_ASR_E_INVALID, "samples is NULL");
    std::lock_guard<std::recursive_mutex> pushing(s->push_mutex);
    Posting posting(*s);
    if (!posting) return fail(VELA_ASR_E_CLOSED);
    if (s->finished) return fail(VELA_ASR_E_STATE, "audio pushed after vela_asr_finish");
    if (s->speech_over) return VELA_ASR_OK;  // the voice detector has ended the audio

    size_t used = 0;
    if (!s->pending.empty()) {
        used = std::min(count, kChunkSamples - s->pending.size());
        s->pending.insert(s->pending.end(), samples, samples + used);
        if (s->pending.size() < kChunkSamples) return VELA_ASR_OK;
        const int ret = post(*s, vela::VELA_ASR_CMD_PUSH_AUDIO, s->pending.data());
        s->pending.clear();
        if (ret == 7) return endedError(*s);
        if (ret == 100) return VELA_ASR_OK;
    }
    for (; count - used >= kChunkSamples; used += kChunkSamples) {
        const int ret = post(*s, vela::VELA_ASR_CMD_PUSH_AUDIO, samples + used);
        if (ret == 7) return endedError(*s);
        if (ret == 100) return VELA_ASR_OK;
    }
    if (used < count) s->pending.assign(samples + used, samples + count);
    return VELA_ASR_OK;
}

int vela_asr_finish(vela_asr_session* session) {
    int code = VELA_ASR_OK;
    std::shared_ptr<Session> s = lookUp(session, &code);
    if (!s) return code;
    std::lock_guard<std::recursive_mutex> pushing(s->push_mutex);
    Posting posting(*s);
    if (!posting) return fail(VELA_ASR_E_CLOSED);
    if (s->finished) return fail(VELA_ASR_E_STATE, "vela_asr_finish called twice");
    s->finished = true;
    if (s->speech_over) return VELA_ASR_OK;
    if (!s->pending.empty()) {
        s->pending.resize(kChunkSamples, 0);  // the tail padded with silence
        const int ret = post(*s, vela::VELA_ASR_CMD_PUSH_AUDIO, s->pending.data());
        s->pending.clear();
        if (ret == 7) return endedError(*s);
        if (ret == 100) return VELA_ASR_OK;
    }
    // Sends the end marker unless the last packet has gone.
    if (post(*s, vela::VELA_ASR_CMD_STOP, nullptr) == 7) return endedError(*s);
    return VELA_ASR_OK;
}

int vela_asr_wait(vela_asr_session* session, int timeout_ms, vela_asr_result** final_result) {
    if (final_result != nullptr) *final_result = nullptr;
    int code = VELA_ASR_OK;
    std::shared_ptr<Session> s = lookUp(session, &code);
    if (!s) return code;
    std::unique_lock<std::mutex> lock(s->mutex);
    auto ended = [&s] { return s->ended; };
    if (timeout_ms < 0) {
        s->ended_cv.wait(lock, ended);
    } else if (!s->ended_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ended)) {
        return fail(VELA_ASR_E_WAIT_TIMEOUT);
    }
    if (final_result != nullptr) *final_result = copyOf(*s->terminal).release();
    if (s->terminal->kind == VELA_ASR_RESULT_FINAL) return VELA_ASR_OK;
    return fail(s->terminal->code, s->terminal->text_s);
}

void vela_asr_close(vela_asr_session* session) {
    uintptr_t id = 0;
    std::shared_ptr<Session> s;
    if (session == nullptr) return;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = idOf(session, &id) ? r.sessions.find(id) : r.sessions.end();
        if (it == r.sessions.end()) {
            fail(r.state == State::kShutDown ? VELA_ASR_E_SHUTDOWN : VELA_ASR_E_CLOSED);
            return;
        }
        s = it->second;
        r.sessions.erase(it);
    }
    endSession(*s, VELA_ASR_E_CANCELLED, kCancelled);
    VelaASRLinuxSDK::clean_resource(true);
}

void vela_asr_shutdown(void) {
    Registry& r = registry();
    std::vector<std::shared_ptr<Session>> live;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.state != State::kRunning) {
            r.state = State::kShutDown;
            return;
        }
        r.state = State::kShutDown;
        for (auto& entry : r.sessions) live.push_back(entry.second);
        r.sessions.clear();
    }
    for (auto& s : live) endSession(*s, VELA_ASR_E_SHUTDOWN, kShutDown);
    // A push still running on another thread gives its instance back as it ends.
    for (auto& s : live) {
        std::lock_guard<std::recursive_mutex> push_over(s->push_mutex);
    }

    // Every instance of ours is freed once its pull thread and its tasks have
    // let go; uploads still under way end within their time-outs.
    std::vector<VelaASRLinuxSDK*> released;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        released.swap(r.released);
    }
    for (;;) {
        VelaASRLinuxSDK::clean_resource(true);
        if (!anyPooled(released)) break;
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    speech::util::Singleton<speech::util::TaskRunner>::instance()->drain();
    speech::glog2speech_shutdown();
}

const char* vela_asr_strerror(int code) {
    switch (code) {
        case VELA_ASR_OK:
            return "success";
        case VELA_ASR_E_INVALID:
            return "invalid argument (a NULL pointer or a value out of range)";
        case VELA_ASR_E_RATE:
            return "the sample rate must be 8 or 16 kHz";
        case VELA_ASR_E_STATE:
            return "not allowed in the session's state (audio after finish, or the session has ended)";
        case VELA_ASR_E_CLOSED:
            return "the session is closed";
        case VELA_ASR_E_SHUTDOWN:
            return "the SDK has been shut down";
        case VELA_ASR_E_CONNECT:
            return "connection refused by the server";
        case VELA_ASR_E_RESOLVE:
            return "the server's name could not be resolved";
        case VELA_ASR_E_TLS:
            return "TLS failed: the server's certificate is not trusted (set VELA_ASR_CA_FILE to its PEM "
                   "file)";
        case VELA_ASR_E_HTTP:
            return "the server answered with an HTTP error status";
        case VELA_ASR_E_TIMEOUT:
            return "a time-out expired (connect, exchange or result)";
        case VELA_ASR_E_PROTOCOL:
            return "the server's reply was not understood or reported an error";
        case VELA_ASR_E_NETWORK:
            return "the exchange with the server failed";
        case VELA_ASR_E_BUSY:
            return "too many sessions are open";
        case VELA_ASR_E_WAIT_TIMEOUT:
            return "no final result within the time waited";
        case VELA_ASR_E_CANCELLED:
            return "the session was closed before its final result";
        case VELA_ASR_E_NOMEM:
            return "out of memory";
        case VELA_ASR_E_FAILED:
            return "the session failed";
        default:
            return "unknown error code";
    }
}

const char* vela_asr_last_error(const vela_asr_session* session) {
    if (session == nullptr) return t_last_error.c_str();
    uintptr_t id = 0;
    std::shared_ptr<Session> s = idOf(session, &id) ? findId(id) : nullptr;
    if (!s) {
        t_session_error.clear();
    } else {
        std::lock_guard<std::mutex> lock(s->mutex);
        t_session_error = s->last_error;
    }
    return t_session_error.c_str();
}

vela_asr_result* vela_asr_result_copy(const vela_asr_result* result) {
    if (result == nullptr) return nullptr;
    try {
        return copyOf(*result).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void vela_asr_result_free(vela_asr_result* result) { delete static_cast<OwnedResult*>(result); }

const char* vela_asr_version(void) { return VELA_ASR_VERSION_STRING; }

}  // extern "C"
