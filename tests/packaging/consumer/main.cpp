// A small application built only against the installed SDK, linked with its
// static libraries or its shared library. Each check uses the public API
// through the installed headers; internal headers are not installed.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-asr-sdk/VelaASRMessage.h"
#if __has_include(<vela/asr.h>)
#include <vela/asr.h>

#include <vela/asr.hpp>
#endif

namespace {

bool fail(const char* what) {
    std::fprintf(stderr, "consumer: %s\n", what);
    return false;
}

bool check_messages() {
    char pcm[3200] = {};
    vela::VelaASRMessage msg;
    msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
    msg.set_parameter(vela::VELA_DATA_CHUNK, pcm, sizeof pcm);
    if (msg._size != sizeof pcm) return fail("chunk not stored");

    vela::ASRResultM result;
    result.set_parameter(vela::VELA_ASR_FINISH);
    result.set_asr_content("你好");
    result.set_offset(12.9f, 40.2f);
    std::string json;
    result.get_asr_content(json);
    if (json !=
        "{\"header\":{\"status\":107},\"payload\":{\"asr_content\":\"你好\",\"begintime\":12,\"endtime\":40}}"
        "\n")
        return fail("unexpected result content");
    return true;
}

// init_env starts logging into DIR; its first line names the server URL.
bool check_logging(const std::string& dir) {
    if (vela::VelaASRLinuxSDK::init_env(dir, "consumer.log", 1) != 0) return fail("init_env failed");
    vela::VelaASRLinuxSDK::clean_resource(true);
    std::ifstream in(dir + "/consumer.log.NOTICE");
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find("] VelaASRLinuxSDK::init_env [url:") == std::string::npos)
        return fail("log line missing");
    return true;
}

bool check_sdk() {
    if (vela::VelaASRLinuxSDK::get_sdk_version() !=
        "BuildTime:2019-04-24 11:53:20,Version:1.0,GitVersion:045cd6")
        return fail("unexpected version");
#if defined(VELA_EXPECTED_VERSION) && __has_include(<vela/asr.h>)
    if (std::string(vela_asr_version()) != VELA_EXPECTED_VERSION)
        return fail("unexpected vela_asr_version()");
#endif
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fail("usage: consumer LOG_DIR");
        return 2;
    }
    bool ok = check_messages();
    ok = check_logging(argv[1]) && ok;
    ok = check_sdk() && ok;
    return ok ? 0 : 1;
}
