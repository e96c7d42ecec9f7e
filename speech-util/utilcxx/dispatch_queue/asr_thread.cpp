#include "speech-util/utilcxx/dispatch_queue/asr_thread.h"

#include <signal.h>

#include <cstring>

#include "speech-util/glog2speech/glog2speech.h"

namespace speech {
namespace asrcore {

namespace {

const char kLogSource[] = "dispatch_queue/asr_thread";

const char* errorText(int err, char* buf, size_t len) { return strerror_r(err, buf, len); }

}  // namespace

int ASRThread::start() {
    LockGuard guard(_lock);
    if (_thread_handle != 0) {
        glog2speech_writelog(GLOG_ERROR, kLogSource, __LINE__, "[ASRThread::start] thread is run");
        return -1;
    }
    _is_detach = false;
    _is_stop.store(false);
    pthread_t handle;
    int err = pthread_create(&handle, nullptr, &ASRThread::run, this);
    if (err != 0) {
        // Nothing runs, so nothing is recorded: a later start() may try again.
        char buf[128];
        glog2speech_writelog(GLOG_ERROR, kLogSource, __LINE__,
                             "[ASRThread::start][errno=%d] start thread failed: %s", err,
                             errorText(err, buf, sizeof(buf)));
        return err;
    }
    _thread_handle = handle;
    return 0;
}

void* ASRThread::run(void* p) {
    if (p == nullptr) {
        glog2speech_writelog(GLOG_ERROR, kLogSource, __LINE__, "[ASRThread::run] pThis is NULL");
        return nullptr;
    }
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
    static_cast<ASRThread*>(p)->handle();
    return nullptr;
}

int ASRThread::stop() {
    LockGuard guard(_lock);
    _is_stop.store(true);
    if (_thread_handle == 0 || _is_detach) return 0;

    int err = pthread_join(_thread_handle, nullptr);
    if (err != 0) {
        char buf[128];
        glog2speech_writelog(GLOG_ERROR, kLogSource, __LINE__,
                             "[ASRThread::stop][errno=%d]join thread failed: %s", err,
                             errorText(err, buf, sizeof(buf)));
    }
    _thread_handle = 0;
    return err;
}

int ASRThread::detach() {
    bool changed = false;
    pthread_t handle = 0;
    {
        LockGuard guard(_lock);
        if (!_is_detach) {
            _is_detach = true;
            changed = true;
            handle = _thread_handle;
        }
    }
    if (!changed || handle == 0) return 0;

    int err = pthread_detach(handle);
    if (err != 0) {
        char buf[128];
        glog2speech_writelog(GLOG_ERROR, kLogSource, __LINE__,
                             "[ASRThread::detach][errno=%d] detach thread failed: %s", err,
                             errorText(err, buf, sizeof(buf)));
    }
    return err;
}

}  // namespace asrcore
}  // namespace speech
