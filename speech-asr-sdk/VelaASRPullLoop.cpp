// The pull thread of an instance: after a first wait for the session to
// start it issues result fetches, one at a time, until the session is over.
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "speech-asr-sdk/AudioTask.h"
#include "speech-asr-sdk/VelaASRInternal.h"
#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-asr-sdk/failure_cause.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"

namespace vela {

namespace {

const char* const kUnit = kSdkLogUnit;
const int64_t kFirstWaitMs = 2000;
const int64_t kNever = std::numeric_limits<int64_t>::max();

timespec monotonicAt(int64_t ms) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return ts;
}

}  // namespace

void* VelaASRLinuxSDK::fetch_result(void* arg) {
    VelaASRLinuxSDK* sdk = static_cast<VelaASRLinuxSDK*>(arg);
    sdk->pull_loop();
    sdk->release();  // the last touch: the instance may be freed from here on
    return nullptr;
}

void VelaASRLinuxSDK::pull_loop() {
    const unsigned logid = logidOf(_logid);
    // First wait: up to 2 s for the session to start, ended early by a
    // wake-up or by the end of the session.
    const timespec first_deadline = monotonicAt(monotonic_ms() + kFirstWaitMs);
    pthread_mutex_lock(&_lock);
    while (_wakeups == 0 && status.load() != ST_FINISH) {
        // A time-out or any failure ends the wait; only a spurious wake-up
        // waits again.
        if (pthread_cond_timedwait(&_cond, &_lock, &first_deadline) != 0) break;
    }
    pthread_mutex_unlock(&_lock);

    // A session still not started is given up, so that the pool frees it and
    // later posts answer "asr end"; a start posted at this moment wins.
    status_t s = status.load();
    while (s == ST_INIT && !status.compare_exchange_weak(s, ST_FINISH)) {
    }
    if (s == ST_INIT) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::fetch_result session not started within %d ms of "
                                     "its creation, instance finished [logid:%u]",
                                     static_cast<int>(kFirstWaitMs), logid);
        return;
    }
    if (s == ST_FINISH) return;

    // One fetch at a time: the next one once the previous task has ended and
    // its reply has let the session go on, but not sooner than the fetch
    // interval after the previous one started, so that a server that answers
    // at once is not polled in a hot loop (the first fetch after the last
    // packet excepted). Once the last packet has gone, the session must end
    // within the result time-out.
    int64_t issued = kNever;
    bool expired = false;
    pthread_mutex_lock(&_lock);
    for (;;) {
        const status_t st = status.load();
        if (st == ST_FINISH) break;
        const int64_t now = monotonic_ms();
        int64_t wake = kNever;
        if (_last_packet_ms != 0) {
            const int64_t deadline = _last_packet_ms + _limits.result_ms;
            if (now >= deadline) {
                expired = true;
                break;
            }
            wake = deadline;
        }
        if (!_fetch_in_flight && st != ST_FETCH) {
            // The first fetch after the last packet has gone is not held back:
            // the final result is due, and waiting out the interval would add
            // up to its length to every session's final result.
            const bool first_after_last = _last_packet_ms != 0 && issued < _last_packet_ms;
            const int64_t next =
                issued == kNever || first_after_last ? now : issued + _limits.fetch_interval_ms;
            if (st == ST_RUNNING && now >= next) {
                _fetch_in_flight = true;
                pthread_mutex_unlock(&_lock);
                issued = now;
                issue_fetch();
                pthread_mutex_lock(&_lock);
                continue;
            }
            wake = std::min(wake, next);
        }
        if (wake == kNever) {
            pthread_cond_wait(&_cond, &_lock);
        } else {
            const timespec at = monotonicAt(wake);
            pthread_cond_timedwait(&_cond, &_lock, &at);
        }
    }
    pthread_mutex_unlock(&_lock);

    if (expired) {
        timeval now;
        gettimeofday(&now, nullptr);
        note_failure(FailureKind::kResultTimeout, "result time-out: no final result within " +
                                                      std::to_string(_limits.result_ms) +
                                                      " ms of the last audio (VELA_ASR_RESULT_TIMEOUT_MS)");
        if (AudioTask::fail_session(this, sub_timeval_ms(_last_audio_push.load(), now))) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "VelaASRLinuxSDK::fetch_result no final result within %ld ms of "
                                         "the last packet, session ended [logid:%u]",
                                         _limits.result_ms, logid);
        }
    }
}

void VelaASRLinuxSDK::issue_fetch() {
    const std::string url = fetch_url();
    concurrency_counter.incrementAndGet();
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "VelaASRLinuxSDK::fetch_result url:%s logid:%u", url.c_str(),
                                 logidOf(_logid));
    AudioTask* task =
        new AudioTask(kFetchChannel, this, boost::shared_array<char>(), url, 0, _logid, kFetchType, -1);
    task->report_to_pull_loop();
    speech::util::Singleton<speech::util::TaskRunner>::instance()->execute(task);
}

void VelaASRLinuxSDK::last_packet_gone() {
    pthread_mutex_lock(&_lock);
    _last_packet_ms = monotonic_ms();
    ++_wakeups;
    pthread_cond_signal(&_cond);
    pthread_mutex_unlock(&_lock);
}

}  // namespace vela
