// The asr-server program itself: the address line that scripts read, a clean
// exit on SIGTERM, and no fallback to echo when the model or vocabulary asked
// for cannot be used.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_dir.h"

namespace {

TEST(ServerProgram, PrintsItsAddressAnswersAndStopsOnSigterm) {
    const std::string bin = std::string(VELA_BIN_DIR) + "/asr-server";
    int out[2];
    ASSERT_EQ(0, pipe(out));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(bin.c_str(), bin.c_str(), "--port", "0", "--recognizer", "echo", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* stdout_of_child = fdopen(out[0], "r");
    char line[256] = {};
    const bool got_line = std::fgets(line, sizeof line, stdout_of_child) != nullptr;
    fclose(stdout_of_child);
    int port = 0;
    if (got_line) std::sscanf(line, "listening on http://127.0.0.1:%d/asr/v2\n", &port);

    std::string reply;
    if (port > 0) {
        httplib::Client client("127.0.0.1", port);
        const auto res = client.Post("/asr/v2?pid=1&appname=t&idx=0&rate=8", "", "text/plain");
        const std::string body = res ? res->body : "";
        const size_t at = body.find("\"sid\":\"") + 7;
        const std::string sid = body.substr(at, body.find('"', at) - at);
        client.Post(("/asr/v2?idx=-1&sid=" + sid).c_str(),
                    httplib::MultipartFormDataItems{{"asr_audio", std::string(320, 'a'), "", "audio/pcm"}});
        const auto fetched = client.Get(("/asr/v2?sid=" + sid).c_str());
        reply = fetched ? fetched->body : "";
    }
    int status = -1;
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);

    ASSERT_GT(port, 0) << line;
    EXPECT_NE(std::string::npos, reply.find("received 320 bytes in 1 packets"))
        << reply;  // the echo recogniser
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ServerProgram, StopsInsteadOfFallingBackWhenTheModelOrGrammarIsUnusable) {
    const bool have_model = std::filesystem::exists("/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict");
    const struct {
        const char* args;
        bool needs_model;
        const char* message;
    } cases[] = {
        {"--model /nonexistent", false, "asr-server: model file /nonexistent/en-us/mdef is missing\n"},
        {"--words 'yes|xyzzyq'", true,
         "asr-server: the grammar of the phrases uses words the dictionary lacks: xyzzyq\n"},
    };
    const std::string bin = std::string(VELA_BIN_DIR) + "/asr-server";
    const std::string err = vela_test::processTempDir() + "stderr";
    for (const auto& c : cases) {
        if (c.needs_model && !have_model) continue;
        // `timeout` only guards against a server that starts anyway.
        const int status =
            std::system(("timeout 60 " + bin + " --port 0 " + c.args + " >/dev/null 2>" + err).c_str());
        std::ifstream in(err);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.args << ": " << status;
        EXPECT_EQ(c.message, text) << c.args;
    }
}

}  // namespace
