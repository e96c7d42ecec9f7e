// Streams one second of audio and returns from main as soon as the final
// result is there: through the C++ client (which shuts the SDK down as it
// goes out of scope), or with --raw through the C interface without closing
// or shutting down anything. scripts/exit-check.sh runs it many times in a row
// under the sanitizers.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vela/asr.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: api_exit_check SERVER_URL LOG_DIR [--raw]\n");
        return 2;
    }
    const std::vector<int16_t> audio(16000, 100);
    if (argc > 3 && std::strcmp(argv[3], "--raw") == 0) {
        vela_asr_options o{};
        o.server_url = argv[1];
        o.log_dir = argv[2];
        vela_asr_session* s = nullptr;
        vela_asr_result* r = nullptr;
        if (vela_asr_init(&o) != VELA_ASR_OK || vela_asr_open(nullptr, nullptr, nullptr, &s) != VELA_ASR_OK ||
            vela_asr_push(s, audio.data(), audio.size()) != VELA_ASR_OK || vela_asr_finish(s) != VELA_ASR_OK ||
            vela_asr_wait(s, -1, &r) != VELA_ASR_OK) {
            std::fprintf(stderr, "api_exit_check: %s\n", vela_asr_last_error(nullptr));
            return 1;
        }
        std::printf("%s\n", r->text);
        vela_asr_result_free(r);
        return 0;
    }
    try {
        vela::asr::ClientOptions o;
        o.server_url = argv[1];
        o.log_dir = argv[2];
        vela::asr::Client client(o);
        std::printf("%s\n", vela::asr::transcribe(client, audio).text.c_str());
    } catch (const vela::asr::Error& e) {
        std::fprintf(stderr, "api_exit_check: %s\n", e.what());
        return 1;
    }
    return 0;
}
