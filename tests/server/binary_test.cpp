// The asr-server program itself: the address line scripts read, the fallback
// when the model is missing, and a clean exit on SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

class Child {
  public:
    explicit Child(const char* const* argv) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execv(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = fdopen(out[0], "r");
        err_ = fdopen(err[0], "r");
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) fclose(out_);
        if (err_ != nullptr) fclose(err_);
    }

    std::string line() {
        char buf[256] = {};
        return out_ != nullptr && std::fgets(buf, sizeof buf, out_) != nullptr ? buf : "";
    }
    // Sends `sig`, waits for the exit and returns the wait status.
    int stop(int sig) {
        int status = -1;
        kill(pid_, sig);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    std::string stderrText() {
        std::string text;
        char buf[256];
        while (err_ != nullptr && std::fgets(buf, sizeof buf, err_) != nullptr) text += buf;
        return text;
    }

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    FILE* err_ = nullptr;
};

TEST(ServerProgram, PrintsItsAddressFallsBackToEchoAndStopsOnSigterm) {
    const std::string bin = std::string(VELA_BIN_DIR) + "/asr-server";
    const char* argv[] = {bin.c_str(), "--port", "0", "--model", "/nonexistent", nullptr};
    Child child(argv);
    const std::string first = child.line();
    int port = 0;
    ASSERT_EQ(1, std::sscanf(first.c_str(), "listening on http://127.0.0.1:%d/asr/v2\n", &port)) << first;
    ASSERT_GT(port, 0);

    httplib::Client client("127.0.0.1", port);
    auto res = client.Post("/asr/v2?pid=1&appname=t&idx=0&rate=8", "", "text/plain");
    ASSERT_TRUE(res);
    const size_t at = res->body.find("\"sid\":\"");
    ASSERT_NE(std::string::npos, at) << res->body;
    const std::string sid = res->body.substr(at + 7, res->body.find('"', at + 7) - at - 7);
    httplib::MultipartFormDataItems items{{"asr_audio", std::string(320, 'a'), "", "audio/pcm"}};
    ASSERT_TRUE(client.Post(("/asr/v2?idx=-1&sid=" + sid).c_str(), items));
    res = client.Get(("/asr/v2?sid=" + sid).c_str());
    ASSERT_TRUE(res);
    EXPECT_NE(std::string::npos, res->body.find("received 320 bytes in 1 packets")) << res->body;

    const int status = child.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(std::string::npos, child.stderrText().find("falling back to the echo recognizer"));
}

TEST(ServerProgram, RejectsBadArguments) {
    const std::string bin = std::string(VELA_BIN_DIR) + "/asr-server";
    const char* argv[] = {bin.c_str(), "--port", "x", nullptr};
    Child child(argv);
    const int status = child.stop(0);  // signal 0 only checks; waitpid collects the exit
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_NE(std::string::npos, child.stderrText().find("invalid value 'x' for --port"));
}

}  // namespace
