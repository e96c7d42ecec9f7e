// Command line of asr-server.
#pragma once

#include <chrono>
#include <string>

#include "server/asr-server/http_server.h"
#include "server/asr-server/pocketsphinx_recognizer.h"
#include "server/asr-server/service.h"

namespace asrserver {

struct Options {
    HttpConfig http;
    ServiceConfig service;
    PocketSphinxConfig pocketsphinx;
    std::string recognizer = "pocketsphinx";  // or "echo"
    bool model_given = false;                 // --model named the model folder
    std::chrono::seconds drain{2};            // on SIGTERM, time live sessions get to finish
    bool verbose = false;
};

enum class ParseOutcome { Run, Help, Version, Error };

// Fills `options` from the arguments; on Error `message` says what is wrong.
ParseOutcome parseOptions(int argc, const char* const* argv, Options& options, std::string& message);

std::string usage();

}  // namespace asrserver
