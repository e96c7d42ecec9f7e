#include "speech-util/utilcxx/thread_pool/thread.h"

#include <signal.h>

#include "speech-util/utilcxx/mutex/make_core.h"

namespace speech {
namespace util {

BaseThread::BaseThread() : tid_() {
    if (pthread_attr_init(&attr_) != 0) make_core();
}

BaseThread::~BaseThread() { pthread_attr_destroy(&attr_); }

int BaseThread::detach() { return pthread_attr_setdetachstate(&attr_, PTHREAD_CREATE_DETACHED); }

int BaseThread::start() { return pthread_create(&tid_, &attr_, &BaseThread::runFunc, this); }

void* BaseThread::runFunc(void* arg) {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);

    static_cast<BaseThread*>(arg)->run();
    return nullptr;
}

void BaseThread::make_core() { detail::dump_core_and_abort(); }

}  // namespace util
}  // namespace speech
