// A small application built only against the installed SDK. Each check uses
// one public unit through its installed header; a unit that lands later adds
// its own check and a call in main().
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-asr-sdk/VelaASRMessage.h"
#include "speech-util/curlreq/curlreq.h"
#include "speech-util/glog2speech/glog2speech.h"

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

bool check_logging(const std::string& dir) {
    if (glog2speech_init(speech::GLOG_NOTICE, "consumer.log", dir.c_str(), "consumer.log", 0) != 0)
        return fail("logging not initialised");
    speech::glog2speech_writelog(speech::GLOG_NOTICE, __FILE__, __LINE__, "consumer says %s", "hello");
    speech::glog2speech_shutdown();
    std::ifstream in(dir + "/consumer.log.NOTICE");
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find("] consumer says hello\n") == std::string::npos) return fail("log line missing");
    return true;
}

bool check_sdk() {
    if (vela::VelaASRLinuxSDK::get_sdk_version() !=
        "BuildTime:2019-04-24 11:53:20,Version:1.0,GitVersion:045cd6")
        return fail("unexpected version");
    speech::util::CurlRequest req(16, 1, 1);
    if (req.getCapacity() != 17 || req.getData()[0] != '\0' || req.getCurl() == nullptr)
        return fail("HTTP client not set up");
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
