#include "speech-util/utilcxx/dispatch_queue/asr_lock.h"

#include <cstdlib>
#include <cstring>

#include "speech-util/glog2speech/glog2speech.h"

namespace speech {
namespace asrcore {

namespace {

const char kLogSource[] = "dispatch_queue/asr_lock";

// Logs `fmt` (taking the error number and its text) at FATAL and aborts.
[[noreturn]] void die(int line, const char* fmt, int err) {
    char text[128];
    const char* reason = strerror_r(err, text, sizeof(text));
    glog2speech_writelog(GLOG_FATAL, kLogSource, line, fmt, err, reason);
    std::abort();
}

}  // namespace

ASRLock::ASRLock() {
    int err = pthread_mutex_init(&_lock, nullptr);
    if (err != 0) die(__LINE__, "[ASRLock::ASRLock][errno=%d] init mutex failed: %s", err);
}

ASRLock::~ASRLock() {
    int err = pthread_mutex_destroy(&_lock);
    if (err != 0) die(__LINE__, "[ASRLock::~ASRLock][errno=%d] destroy mutex failed: %s", err);
}

int ASRLock::lock() {
    int err = pthread_mutex_lock(&_lock);
    if (err != 0) die(__LINE__, "[ASRLock::lock][errno=%d] lock failed: %s", err);
    return 0;
}

int ASRLock::unlock() {
    int err = pthread_mutex_unlock(&_lock);
    if (err != 0) die(__LINE__, "[ASRLock::unlock][errno=%d] unlock failed: %s", err);
    return 0;
}

ASRCondition::ASRCondition() {
    int err = pthread_cond_init(&_cond, nullptr);
    if (err != 0) die(__LINE__, "[ASRCondition::ASRCondition][errno=%d] init condition failed: %s", err);
}

ASRCondition::~ASRCondition() {
    int err = pthread_cond_destroy(&_cond);
    if (err != 0) die(__LINE__, "[ASRCondition::~ASRCondition][errno=%d] destroy condition failed: %s", err);
}

int ASRCondition::wait(ASRLock& lock) {
    int err = pthread_cond_wait(&_cond, &lock._lock);
    if (err != 0) die(__LINE__, "[ASRCondition::wait][errno=%d] wait condition failed: %s", err);
    return 0;
}

int ASRCondition::signal() {
    int err = pthread_cond_signal(&_cond);
    if (err != 0) die(__LINE__, "[ASRCondition::push_back][err_no=%d] condition signal failed: %s", err);
    return 0;
}

int ASRCondition::broadcast() {
    int err = pthread_cond_broadcast(&_cond);
    if (err != 0) die(__LINE__, "[ASRCondition::push_back][err_no=%d] condition broadcast failed: %s", err);
    return 0;
}

}  // namespace asrcore
}  // namespace speech
