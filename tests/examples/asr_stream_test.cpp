// The asr-stream example program, run as a child process: its refusals, a
// resampled stereo WAV against the reference server's echo recognizer, a
// spoken sentence against PocketSphinx, word timings from a scripted server,
// and the documentation's copy of its core.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

namespace {

using vela_test::readFile;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A 16-bit PCM WAV file of interleaved `samples`.
std::string wav(int rate, int channels, const std::vector<int16_t>& samples) {
    std::string out;
    auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i) & 0xff);
    };
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    out += "RIFF";
    put(36 + data, 4);
    out += "WAVEfmt ";
    put(16, 4);
    put(1, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * 2, 4);
    put(channels * 2, 2);
    put(16, 2);
    out += "data";
    put(data, 4);
    for (int16_t s : samples) put(static_cast<uint16_t>(s), 2);
    return out;
}

struct Result {
    int status;
    std::string out, err;
};

// Runs asr-stream with `args` in this process's scratch directory (its logs go there).
Result stream(const std::string& args) {
    const std::string dir = vela_test::processTempDir();
    const std::string cmd =
        "cd '" + dir + "' && '" + VELA_BIN_DIR + "/asr-stream' " + args + " >out.txt 2>err.txt";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir + "out.txt"),
            readFile(dir + "err.txt")};
}

// The reference server on a free port, stopped with SIGTERM at the end.
class Server {
  public:
    explicit Server(std::vector<std::string> args) {
        const std::string bin = std::string(VELA_BIN_DIR) + "/asr-server";
        args.insert(args.begin(), {bin, "--port", "0"});
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* from_child = fdopen(out[0], "r");
        char line[256] = {};
        if (std::fgets(line, sizeof line, from_child) != nullptr) {
            const std::string text = line;
            if (text.rfind("listening on ", 0) == 0) url = text.substr(13, text.size() - 14);
        }
        fclose(from_child);
    }
    ~Server() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::string url;

  private:
    pid_t pid_ = -1;
};

TEST(AsrStream, RefusesBadArgumentsAndUnreadableFilesClearly) {
    const std::string dir = vela_test::processTempDir();
    writeFile(dir + "odd.pcm", "abc");
    writeFile(dir + "empty.pcm", "");
    writeFile(dir + "text.wav", "this is not a sound file\n");
    writeFile(dir + "empty.wav", wav(16000, 1, {}));
    writeFile(dir + "quiet.pcm", std::string(3200, '\0'));
    const struct {
        const char* args;
        const char* message;  // the first line of standard error
        int status = 2;
    } cases[] = {
        {"", "asr-stream: no FILE given"},
        {"--rate 11 a.wav", "asr-stream: --rate must be 8 or 16, not '11'"},
        {"a.wav --rate", "asr-stream: --rate needs a value"},
        {"--server", "asr-stream: --server needs a value"},
        {"--loud a.wav", "asr-stream: unknown option --loud"},
        {"a.wav b.wav", "asr-stream: only one FILE, not 'a.wav' and 'b.wav'"},
        {"missing.pcm", "asr-stream: cannot open missing.pcm"},
        {"odd.pcm", "asr-stream: odd.pcm has an odd number of bytes: not 16-bit PCM"},
        {"empty.pcm", "asr-stream: empty.pcm holds no audio"},
        {"empty.wav", "asr-stream: empty.wav holds no audio"},
        {"missing.wav", "asr-stream: cannot read missing.wav: System error : No such file or directory."},
        {"text.wav", "asr-stream: cannot read text.wav: Format not recognised."},
        // Nothing listens on port 1; the message goes on with libcurl's words.
        {"--server http://127.0.0.1:1/asr/v2 quiet.pcm",
         "asr-stream: create session  failure: connection refused (", 1},
    };
    for (const auto& c : cases) {
        const Result r = stream(c.args);
        EXPECT_EQ(c.status, r.status) << c.args;
        const std::string first = r.err.substr(0, r.err.find('\n'));
        if (c.status == 1) {
            EXPECT_EQ(0u, first.find(c.message)) << c.args << ": " << first;
        } else {
            EXPECT_EQ(c.message, first) << c.args;
        }
        if (c.status == 2) {
            EXPECT_EQ("", r.out) << c.args;  // refused before the SDK starts
        }
    }
    const Result help = stream("--help");
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("usage: asr-stream [options] FILE\n"));
}

TEST(AsrStream, ResamplesAndMixesDownAStereoWavForTheSession) {
    Server server({"--recognizer", "echo"});
    ASSERT_FALSE(server.url.empty());
    // One second at 22.05 kHz, two channels: 16,000 samples at 16 kHz, ten
    // 3,200-byte chunks; 8,000 at 8 kHz, five.
    std::vector<int16_t> samples;
    for (int i = 0; i < 22050; ++i) {
        const auto s = static_cast<int16_t>(8000 * std::sin(i * 0.05));
        samples.insert(samples.end(), {s, static_cast<int16_t>(s / 2)});
    }
    writeFile(vela_test::processTempDir() + "tone.wav", wav(22050, 2, samples));
    const struct {
        const char* args;
        const char* expected;
    } cases[] = {
        {"--rate 16",
         "final: received 32000 bytes in 10 packets\naudio: 1.00 s, 32000 bytes of 16 kHz PCM\n"
         "packets: 11 received by the server\n"
         "uploaded: 32000 bytes of PCM, 100.0% of the PCM (the echo recognizer's count)\n"},
        {"--rate 8",
         "final: received 16000 bytes in 5 packets\naudio: 1.00 s, 16000 bytes of 8 kHz PCM\n"
         "packets: 6 received by the server\n"
         "uploaded: 16000 bytes of PCM, 100.0% of the PCM (the echo recognizer's count)\n"},
    };
    for (const auto& c : cases) {
        const Result r = stream(std::string(c.args) + " --fast --server " + server.url + " tone.wav");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.expected)) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("ms from the last audio to the final result\n")) << r.out;
    }
}

TEST(AsrStream, RecognisesASpokenSentenceWithVoiceDetectionAndCompression) {
    if (!std::filesystem::exists("/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"))
        GTEST_SKIP() << "no PocketSphinx model";
    if (std::system("command -v espeak-ng >/dev/null && command -v sox >/dev/null") != 0)
        GTEST_SKIP() << "espeak-ng or sox missing";
    const std::string dir = vela_test::processTempDir();
    // Without dither, so that the audio is the same on every run; espeak-ng's
    // audio library keeps its runtime folder in ours.
    ASSERT_EQ(0, std::system(("PULSE_RUNTIME_PATH=" + dir + "pulse espeak-ng -v en-us+f2 -s 140 -w " + dir +
                              "say.wav 'hello world' && sox -D " + dir + "say.wav -r 16000 " + dir +
                              "hello.wav pad 0.3 0.5")
                                 .c_str()));
    Server server({"--words", "hello world|good morning|hello there|good night|call home|thank you"});
    ASSERT_FALSE(server.url.empty());
    for (const char* settings : {"--vad", "--vad --bv32"}) {
        const Result r = stream(std::string(settings) + " --server " + server.url + " hello.wav");
        EXPECT_EQ(0, r.status) << settings << ": " << r.err;
        EXPECT_NE(std::string::npos, r.out.find("final: hello world\n")) << settings << ": " << r.out;
    }
}

// --words prints the final text's words after it, one line each.
TEST(AsrStream, PrintsWordTimingsWithWords) {
    using vela_test::Reply;
    writeFile(vela_test::processTempDir() + "quiet.pcm", std::string(3200, '\0'));
    const struct {
        const char* words;  // the result content's list
        const char* expected;
    } cases[] = {
        {R"([{"word":"seven","start_ms":120,"end_ms":480,"conf":0.91},)"
         R"({"word":"eight","start_ms":480,"end_ms":900,"conf":1}])",
         "final: seven eight\nword: 120-480 0.91 seven\nword: 480-900 1.00 eight\naudio: "},
        {"null", "final: seven eight\nword: none, the server sent no word timings\naudio: "},
    };
    for (const auto& c : cases) {
        vela_test::ScriptedHttpServer server;
        server.on(vela_test::hasPart("create-session"),
                  Reply::json(R"({"asr_param":{"err_no":0,"sid":"s1"}})"));
        // Fetches start with the first audio: the final comes once the last packet is in.
        auto last_in = std::make_shared<std::atomic<bool>>(false);
        server.on(vela_test::hasPart("asr_audio"), [last_in](const vela_test::RecordedRequest& r) {
            if (r.query.find("idx=-") != std::string::npos) last_in->store(true);
            return Reply::json(R"({"asr_param":{"err_no":0}})");
        });
        const std::string final = std::string(R"({"asr_param":{"err_no":0,"status":3},"asr_content":)") +
                                  R"({"text":"seven eight","words":)" + c.words + "}}";
        server.on(vela_test::methodIs("GET"), [last_in, final](const vela_test::RecordedRequest&) {
            return last_in->load()
                       ? Reply::json(final)
                       : Reply::json(R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"text":""}})");
        });
        const Result r = stream("--words --fast --server " + server.url() + " quiet.pcm");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.expected)) << r.out;
    }
}

// The documented usage code is the program's core, character for character.
TEST(AsrStream, DocumentationShowsTheProgramsCore) {
    const std::string source = readFile(std::string(VELA_SOURCE_DIR) + "/examples/asr-stream/asr_stream.cpp");
    const std::string readme = readFile(std::string(VELA_SOURCE_DIR) + "/docs/api.md");
    const std::string begin = "// [usage-begin]\n", end = "// [usage-end]\n";
    const size_t from = source.find(begin), to = source.find(end);
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to);
    const std::string core = source.substr(from + begin.size(), to - from - begin.size());

    const size_t usage = readme.find("\n## The usage example: asr-stream\n");
    ASSERT_NE(std::string::npos, usage);
    const size_t block = readme.find("\n```cpp\n", usage);
    ASSERT_NE(std::string::npos, block);
    const size_t code = block + 8;
    EXPECT_EQ(core, readme.substr(code, readme.find("\n```\n", code) + 1 - code));
}

}  // namespace
