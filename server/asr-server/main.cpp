// asr-server: reference recognition server for running the whole chain
// (SDK, server, results) on one machine. See --help.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "server/asr-server/echo_recognizer.h"
#include "server/asr-server/http_server.h"
#include "server/asr-server/options.h"
#include "server/asr-server/pocketsphinx_recognizer.h"
#include "server/asr-server/service.h"
#include "vela_version.h"

int main(int argc, char** argv) {
    using namespace asrserver;
    Options options;
    std::string message;
    switch (parseOptions(argc, argv, options, message)) {
        case ParseOutcome::Help:
            std::fputs(usage().c_str(), stdout);
            return 0;
        case ParseOutcome::Version:
            std::printf("asr-server %s\n", VELA_VERSION);
            return 0;
        case ParseOutcome::Error:
            std::fprintf(stderr, "asr-server: %s\nTry 'asr-server --help'.\n", message.c_str());
            return 2;
        case ParseOutcome::Run:
            break;
    }

    // Ctrl-C and SIGTERM are taken by sigwait below; every thread started from
    // here on inherits the blocked mask. Writes to closed sockets must not kill us.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Recognizer> recognizer;
    if (options.recognizer == "pocketsphinx") {
        std::string error;
        SetupFailure failure = SetupFailure::Model;
        recognizer = PocketSphinxRecognizer::create(options.pocketsphinx, error, &failure);
        if (!recognizer && (failure == SetupFailure::Grammar || options.model_given)) {
            // A vocabulary or a model was asked for: answering with another recogniser would mislead.
            std::fprintf(stderr, "asr-server: %s\n", error.c_str());
            return 2;
        }
        if (!recognizer) {
            std::fprintf(stderr, "asr-server: warning: %s; falling back to the echo recognizer\n",
                         error.c_str());
        }
    }
    if (!recognizer) recognizer = std::make_unique<EchoRecognizer>(options.pocketsphinx.nbest);

    Service service(*recognizer, options.service);
    HttpServer http(service, options.http);
    std::string error;
    if (!http.start(error)) {
        std::fprintf(stderr, "asr-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s\n", http.url().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "asr-server: recognizer %s\n", recognizer->name());
    if (!options.service.node.empty())
        std::fprintf(stderr, "asr-server: node %s\n", options.service.node.c_str());

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::fprintf(stderr, "asr-server: stopping on signal %d\n", signal_number);
    // New sessions are refused from here on; live ones get the drain time, less
    // what answering the waiting requests and closing take, so that the whole
    // stop fits in the drain time.
    constexpr std::chrono::milliseconds kStopAllowance{250};
    const auto drain = std::chrono::duration_cast<std::chrono::milliseconds>(options.drain);
    service.drain(drain > kStopAllowance ? drain - kStopAllowance : std::chrono::milliseconds(0));
    http.stop();
    if (service.stuckDecodeThreads() > 0) {
        // A decode thread is stuck in the recogniser: nothing may be torn down under it.
        std::fprintf(stderr, "asr-server: a decoder did not stop; exiting without cleanup\n");
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
