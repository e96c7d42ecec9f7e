// The asr-server program itself: the address line that scripts read, the
// fallback when the model is missing, and a clean exit on SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

TEST(ServerProgram, PrintsItsAddressFallsBackToEchoAndStopsOnSigterm) {
    const std::string bin = std::string(VELA_BIN_DIR) + "/asr-server";
    int out[2];
    ASSERT_EQ(0, pipe(out));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(bin.c_str(), bin.c_str(), "--port", "0", "--model", "/nonexistent",
              static_cast<char*>(nullptr));
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

}  // namespace
