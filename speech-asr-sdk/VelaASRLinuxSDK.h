// One recognition instance, the process-wide instance pool and the SDK's
// set-up. The class spans several units, one per step of the data path:
//
//   VelaASRLinuxSDK.cpp   set-up, the pool, construction and the end of a session
//   VelaASRPost.cpp       the listener and the commands an application posts
//   VelaASRPushAudio.cpp  the audio push pipeline (front end, packets, uploads)
//   VelaASRProtocol.cpp   request URLs, reply parsing and session creation
//   VelaASRPullLoop.cpp   the pull thread that issues the result fetches
//   AudioTask*.cpp        one upload or fetch exchange and its reply
//
// Lifetime of an instance
// -----------------------
// The pool owns every instance; applications never delete one. Besides the
// application, two kinds of code hold a bare pointer to an instance: its pull
// thread (fetch_result) and every AudioTask (upload or fetch) that is queued in
// or running on the task runner. Each of them is counted in `_holders`:
//
//   * A holder is registered with hold() before the thread or task can run,
//     by code that itself holds the instance (the constructor for the pull
//     thread; the pull thread for fetch tasks; post() for upload tasks), so
//     the count cannot touch 0 in between.
//   * It ends with release() as the very last thing it does with the instance
//     (the pull thread on leaving fetch_result; a task in its destructor, which
//     the runner calls after handle()). After release() the instance must not
//     be touched again. The Holder class does both by scope.
//   * post() holds the instance while it runs, so a scan cannot free an
//     instance under a post that is still inside it.
//
// The pull loop keeps at most one fetch in flight. It marks the fetch in
// `_fetch_in_flight` when it issues it; the task, when the runner destroys it
// (after handle(), whichever variant of handle() ran), clears the mark with
// fetch_ended() before its hold ends. In between the loop sleeps on `_cond`:
// fetch_ended(), notify() and wake_pull_thread() signal it, so it issues the
// next fetch as soon as a reply has let the session go on (ST_RUNNING), but
// never sooner than the fetch interval after the previous one was issued, and
// leaves as soon as the session is finished, without polling.
//
// How a session ends
// ------------------
// A session ends exactly once: the first code that moves `status` to
// ST_FINISH (finish()) tells the listener, any later one does not. It ends with
// the final result, with a failed fetch, with an upload that could not be
// delivered after its resends, when no final result came within the result
// time-out after the last packet (the pull loop's deadline), or, silently, when
// the session was not started within the pull thread's first wait of 2 s.
//
// A pool scan (getInstance, clean_resource) frees an instance only when, under
// the pool lock, it finds `status` == ST_FINISH, `concurrency_counter` <= 0 and
// `_holders` == 0. Since only holders create new holders, nothing can reach the
// instance any more at that point. Instances whose construction failed are
// never pooled: getInstance finishes them, waits for a pull thread that could
// not be detached, and frees them at once.
//
// Pool slots
// ----------
// The pool limit counts instances that hold a slot, not instances that exist:
// an instance gives its slot back once its session is over and its last
// event has been delivered (give_back_slot(), called by the code that ended
// the session, after the listener has returned), so that the application can
// take a new instance at once. The instance itself stays in the pool until a
// scan can free it, as above. A session that ends without an event (not
// started within the first wait) keeps its slot until the instance is freed,
// which a scan does as soon as its pull thread has left.
//
// getInstance does not hold the pool lock while an instance is constructed
// (which opens the server session): it reserves a place in the pool under the
// lock, constructs outside it, and then inserts the instance or gives the
// place back. Reserved places count against the pool limit.
//
// Shared state
// ------------
// `status`, `_cb`, the time stamps and the two counters are atomic. `_sid`,
// `_app_name`, `_app_pid`, `_rate`, `_logid`, `_base_url` and `_limits` are
// written only by the constructor, before the pull thread starts, and only
// read afterwards. `_isLast`, `_idx`, `_last_pkg_size`, `_err_no` and `_alg`
// belong to the posting thread (one thread posts to an instance at a time).
// The listener and its argument are meant to be set before the first post:
// `_user_arg_buf` is rewritten in place.
#ifndef SPEECH_ASR_SDK_VELAASRLINUXSDK_H
#define SPEECH_ASR_SDK_VELAASRLINUXSDK_H

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <boost/shared_array.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "speech-asr-sdk/VelaASRMessage.h"
#include "speech-util/utilcxx/mutex/atomic.h"
#include "speech-util/utilcxx/mutex/recmutex.h"

class CMFE;  // the audio front end

namespace Json {
class Value;
}

namespace vela {

// Milliseconds from `t1` to `t2`: (seconds difference) x 1000 + (microseconds
// difference) / 1000, worked in double and narrowed to float.
float sub_timeval_ms(const timeval& t1, const timeval& t2);
// Milliseconds on the monotonic clock, for deadlines that must not follow
// changes of the wall-clock time.
int64_t monotonic_ms();

// A timeval stamp that one thread writes while others read it.
class AtomicTimeval {
  public:
    AtomicTimeval() = default;
    AtomicTimeval(const AtomicTimeval&) = delete;
    AtomicTimeval& operator=(const AtomicTimeval&) = delete;

    void stamp();  // the current wall-clock time
    void store(const timeval& tv);
    timeval load() const;
    bool stamped() const { return usec_.load(std::memory_order_relaxed) != 0; }

  private:
    std::atomic<int64_t> usec_{0};  // microseconds since the epoch
};

// How long an instance waits for the server, in milliseconds. init_env takes
// them from the environment for the instances made from then on.
struct WaitLimits {
    long connect_ms = 5000;       // VELA_ASR_CONNECT_TIMEOUT_MS: connecting to the server
    long exchange_ms = 60000;     // VELA_ASR_TIMEOUT_MS: one whole request and its reply
    long result_ms = 30000;       // VELA_ASR_RESULT_TIMEOUT_MS: last packet to final result
    long fetch_interval_ms = 50;  // VELA_ASR_FETCH_INTERVAL_MS: least time between fetch starts
};

class VELA_SDK_EXPORT VelaASRLinuxSDK {
  public:
    // ---------------------------------------------------- process-wide API

    // Once per process before the first getInstance: log settings, the log
    // folder made when missing (when it cannot be, one line on standard error
    // and logging stays off), SIGPIPE ignored, logging started, the runner's
    // upload (1000) and fetch (2000) channels configured, the server URL and
    // the wait limits taken from the environment (VELA_ASR_SERVER_URL and the
    // variables named in WaitLimits) when set. Returns 0.
    static int init_env(const std::string& log_path, const std::string& log_file, int log_level);
    // A new instance with its server session open and its pull thread
    // running, or null; `err_msg` gets "succ" or the failure text and `err_no`
    // the outcome (0, 1, 2 or 4).
    static VelaASRLinuxSDK* getInstance(int rate, int vad_on, int bv_on, std::string& err_msg);
    // Frees every finished instance that nothing can reach any more. `force`
    // has no effect.
    static void clean_resource(bool force);
    static std::string get_sdk_version();

    // ----------------------------------------------------------- instance

    // Applications obtain instances through getInstance only.
    VelaASRLinuxSDK(int rate, int vad_on, int bv_on);
    ~VelaASRLinuxSDK();
    VelaASRLinuxSDK(const VelaASRLinuxSDK&) = delete;
    VelaASRLinuxSDK& operator=(const VelaASRLinuxSDK&) = delete;

    // Registers the listener and keeps a copy of the NUL-terminated text at
    // `arg` (at most 511 bytes). A null `cb` or `arg` changes nothing.
    void set_event_listener(event_callback cb, void* arg);
    // Executes one command; returns 0, 7 ("asr end") or 100 (end of speech).
    int post(VelaASRMessage& msg, std::string& err_msg);
    // Finishes the session: ST_FINISH, one fetch fewer counted, pull thread woken.
    void notify();
    // Moves the session to ST_FINISH; true only for the call that ended it
    // (see "How a session ends"). Does not signal anybody.
    bool finish();
    // Gives the instance's pool slot back (see "Pool slots"); for the code
    // that ended the session, once its last event has been delivered.
    void give_back_slot() { _slot_held.store(false, std::memory_order_release); }
    bool holds_slot() const { return _slot_held.load(std::memory_order_acquire); }
    // Ends the pull thread's first wait early (post does this once the last
    // packet or a stop has gone). A wake-up sent before the thread started to
    // wait is kept, not lost.
    void wake_pull_thread();
    // Called by a fetch task of the pull loop when it is destroyed: the loop
    // may issue the next fetch.
    void fetch_ended();
    // Calls the listener with `result` and the instance's copy of the user
    // argument; drops the event when no listener is set.
    void deliver_event(ASRResultM& result);

    // Holders (see the top of this file).
    void hold() { _holders.fetch_add(1, std::memory_order_relaxed); }
    void release() { _holders.fetch_sub(1, std::memory_order_acq_rel); }
    int holders() const { return _holders.load(std::memory_order_acquire); }

    // Holds an instance for the lifetime of the object (nothing for null).
    class Holder {
      public:
        explicit Holder(VelaASRLinuxSDK* sdk) : sdk_(sdk) {
            if (sdk_ != nullptr) sdk_->hold();
        }
        ~Holder() {
            if (sdk_ != nullptr) sdk_->release();
        }
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;

      private:
        VelaASRLinuxSDK* sdk_;
    };

    // Request URLs: the base URL followed by the query, parameters in this
    // order. The session id is percent-encoded where it holds anything but
    // letters, digits and "-._~", so that no sid can change the query's
    // structure; other values are inserted as they are.
    std::string session_url() const;        // ?pid=&appname=&idx=0&rate=
    std::string upload_url(int idx) const;  // ?pid=&appname=&idx=&sid=&rate=
    std::string fetch_url() const;          // ?pid=&appname=&sid=&rate=

    // Parses a server reply: comments allowed, the root must be an object or
    // an array, comments not collected. False on any failure, a nesting too
    // deep for the parser included.
    static bool parse_reply(const char* text, Json::Value& root);

    // Start routine of the pull thread; `arg` is the instance.
    static void* fetch_result(void* arg);

    // --------------------------------------------------------------- fields

    int _err_no = 0;
    std::string _err_msg;
    uint64_t _logid = 0;  // a 32-bit value
    int _vad_on;
    int _bv_on;
    std::atomic<status_t> status{ST_INIT};
    speech::util::RecMutex _s_mutex;
    speech::util::RecMutex _task_mutex;
    std::atomic<event_callback> _cb{nullptr};
    speech::util::AtomicInt concurrency_counter;  // result fetches in flight
    AtomicTimeval _last_op;
    char _user_arg_buf[512] = {};
    std::string _sid;
    int _rate;
    int _max_sp_duration = 400;
    int _isLast = 0;
    size_t _last_pkg_size = 0;
    int _idx = 0;
    std::string _app_name;
    int _app_pid = 0;
    pthread_mutex_t _lock;
    pthread_cond_t _cond;
    CMFE* _alg = nullptr;
    AtomicTimeval _createSessionBegin;
    AtomicTimeval _vadBegin;
    AtomicTimeval _audioTimeEnd;
    AtomicTimeval _last_audio_push;
    std::string _base_url;  // the server URL when the instance was made
    WaitLimits _limits;     // the wait limits when the instance was made

    // --------------------------------------------------------- static fields

    static int _default_instance_count;  // pool limit; 0 before init_env
    static std::deque<VelaASRLinuxSDK*> _sdk;
    static speech::util::RecMutex _mutex;  // pool lock
    static std::string _log_dir;
    static std::string _log_file;
    static int _log_level;
    static int _init;
    static std::atomic<int> err_no;  // outcome of the last getInstance
    static int _reserved;            // places reserved by constructions under way
    static std::string _server_url;  // base URL for new instances
    static WaitLimits _wait_limits;  // wait limits for new instances

  private:
    int create_session();
    int initVad();
    int push_audio(boost::shared_array<char> buf, size_t size, std::string& err_msg);
    int sendVad(short* in_data, size_t len, char* vad_data, int& vad_len);
    void update_op();
    uint64_t getTimeCost();

    // The pull thread's work between its start and its release of the instance.
    void pull_loop();
    // Hands one fetch task to the runner and counts it.
    void issue_fetch();
    // Called by post once a last packet (or a stop's empty packet) has gone:
    // starts the result deadline and wakes the pull thread.
    void last_packet_gone();

    // Frees finished instances nothing can reach; logs each look when `log`.
    static void scan_pool(bool log);
    // Pooled instances that hold a slot, and places reserved for constructions.
    static size_t slots_in_use();
    // Frees an instance whose construction failed.
    static void discard_failed(VelaASRLinuxSDK* inst);
    // Makes the log folder when it is missing; false when there is none that
    // can be written to.
    static bool prepare_log_dir(const std::string& dir);
    // Takes the server URL and the wait limits from the environment.
    static void read_environment();

    std::atomic<int> _holders{0};
    std::atomic<bool> _slot_held{true};
    // Guarded by _lock: wake-ups sent so far, whether a fetch of the pull
    // loop is queued or running, and when the latest last packet went
    // (monotonic milliseconds, 0 before).
    unsigned _wakeups = 0;
    bool _fetch_in_flight = false;
    int64_t _last_packet_ms = 0;
    pthread_t _pull_thread{};
    bool _pull_joinable = false;  // started but not detached
};

}  // namespace vela

#endif  // SPEECH_ASR_SDK_VELAASRLINUXSDK_H
