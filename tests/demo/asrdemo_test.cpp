// The asrdemo program, run as it is in a temporary directory against the
// scripted server: its console output line by line and what the server saw.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_http_server.h"

using vela_test::RecordedRequest;
using vela_test::Reply;
using vela_test::ScriptedHttpServer;

namespace {

const char kVersionLine[] = "ver:BuildTime:2019-04-24 11:53:20,Version:1.0,GitVersion:045cd6";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string sidOf(const std::string& query) {
    const size_t at = query.find("sid=");
    if (at == std::string::npos) return "";
    return query.substr(at + 4, query.find('&', at) - at - 4);
}

// A run's output split by origin: the main thread's lines in order, and per
// audio file the listener's messages in order. Pointers, offsets and time
// costs vary from run to run and are masked.
struct Output {
    std::vector<std::string> main;
    std::map<std::string, std::vector<std::string>> results;
};

// Replaces the run of `chars` after each `prefix` with `with` (the prefix stays,
// "0x" excepted, which is replaced too).
std::string mask(const std::string& line, const std::string& prefix, const char* chars, const char* with) {
    std::string out;
    size_t from = 0;
    for (size_t at = line.find(prefix); at != std::string::npos; at = line.find(prefix, from)) {
        const size_t end = line.find_first_not_of(chars, at + prefix.size());
        out += line.substr(from, at - from) + (prefix == "0x" ? "" : prefix) + with;
        from = end == std::string::npos ? line.size() : end;
    }
    return out + line.substr(from);
}

Output parse(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = mask(mask(mask(line, "0x", "0123456789abcdef", "PTR"), "\"begintime\":", "-0123456789", "T"),
                    "\"endtime\":", "-0123456789", "T");
        lines.push_back(line);
    }
    Output out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        const bool result = l.rfind("中间结果asr:", 0) == 0 || l.rfind("最后结果asr:", 0) == 0 ||
                            l.rfind("未识别asr:", 0) == 0;
        if (result && i + 1 < lines.size()) {
            // The JSON ends with a line feed: ",<path>" starts the next line.
            out.results[lines[i + 1].substr(1)].push_back(l);
            ++i;
        } else if (l.rfind("Final asr\t", 0) == 0 && i + 1 < lines.size()) {
            const size_t path_at = l.find('\t', 10) + 1;
            const std::string path = l.substr(path_at, l.find('\t', path_at) - path_at);
            out.results[path].push_back("Final asr\tTC" + l.substr(path_at - 1) + "|" + lines[i + 1]);
            ++i;
        } else {
            out.main.push_back(l);
        }
    }
    return out;
}

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/asrdemo_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        url_ = server_.url("/asr/v2");
        server_.on(vela_test::hasPart("create-session"), [this](const RecordedRequest&) {
            return Reply::json(R"({"asr_param":{"err_no":0,"sid":"sid-)" + std::to_string(++sessions_) +
                               R"("}})");
        });
        // Per session: one intermediate result once the last packet is in,
        // then the final one.
        server_.on(vela_test::hasPart("asr_audio"), [this](const RecordedRequest& req) {
            if (req.query.find("&idx=-") != std::string::npos) lastPacketGate(sidOf(req.query))->open();
            return Reply::json(R"({"asr_param":{"err_no":0}})");
        });
        server_.on(vela_test::methodIs("GET"), [this](const RecordedRequest& req) {
            const std::string sid = sidOf(req.query);
            int n;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                n = fetches_[sid]++;
            }
            if (n == 0) return Reply::json(result(2, "part")).heldBy(lastPacketGate(sid));
            return Reply::json(result(3, "all"));
        });
    }
    static std::string result(int status, const char* text) {
        return R"({"asr_param":{"err_no":0,"status":)" + std::to_string(status) +
               R"(},"asr_content":{"text":")" + text + R"("}})";
    }
    std::shared_ptr<vela_test::Gate> lastPacketGate(const std::string& sid) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::shared_ptr<vela_test::Gate>& gate = gates_[sid];
        if (!gate) gate = std::make_shared<vela_test::Gate>();
        return gate;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Runs asrdemo in the test directory; once `ended` sessions have printed
    // their final result or error, closes its standard input and returns its
    // exit status.
    int run(int ended, const std::string& env = "") {
        const std::string cmd = "cd '" + dir_ + "' && VELA_ASR_SERVER_URL='" + url_ + "' " + env + " exec '" +
                                VELA_BIN_DIR + "/asrdemo' >out.txt 2>err.txt";
        FILE* in = popen(cmd.c_str(), "w");
        if (in == nullptr) return -1;
        for (int i = 0; i < 6000 && endedSessions() < ended; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const int status = pclose(in);
        output_ = readFile(dir_ + "/out.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int endedSessions() const {
        const std::string text = readFile(dir_ + "/out.txt");
        int n = 0;
        for (const char* mark : {"\n最后结果asr:", "\n未识别asr:"}) {
            for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) ++n;
        }
        return n;
    }

    // Uploads of one session as "idx:size" in arrival order sorted by index.
    std::vector<std::string> uploads(const std::string& sid) const {
        std::map<int, std::string> by_idx;
        for (const RecordedRequest& req : server_.requests()) {
            const vela_test::FormPart* part = req.part("asr_audio");
            if (part == nullptr || sidOf(req.query) != sid) continue;
            const int idx = std::atoi(req.query.c_str() + req.query.find("&idx=") + 5);
            by_idx[idx < 0 ? 100000 - idx : idx] =
                std::to_string(idx) + ":" + std::to_string(part->data.size());
        }
        std::vector<std::string> out;
        for (const auto& entry : by_idx) out.push_back(entry.second);
        return out;
    }

    std::string dir_;
    std::string url_;
    std::string output_;
    ScriptedHttpServer server_;
    std::atomic<int> sessions_{0};
    std::mutex mutex_;
    std::map<std::string, int> fetches_;
    std::map<std::string, std::shared_ptr<vela_test::Gate>> gates_;
};

std::vector<std::string> fileLines(const std::string& path, const std::string& sid, int rounds) {
    return {"line:" + path,
            "",
            "read_mch_wav mic_file: " + path + "  mic_len：PTR  mData：PTR",
            "sid:" + sid + ",seq:" + path,
            "argPTR",
            "round:" + std::to_string(rounds)};
}

std::vector<std::string> resultLines(const std::string& path) {
    const std::string part = R"({"header":{"status":105},"payload":{"asr_content":"{\"text\":\"part\"}\n",)"
                             R"("begintime":T,"endtime":T}})";
    const std::string all = R"({"header":{"status":107},"payload":{"asr_content":"{\"text\":\"all\"}\n",)"
                            R"("begintime":T,"endtime":T}})";
    return {"中间结果asr:" + part, "最后结果asr:" + all, "Final asr\tTC\t" + path + "\t" + all + "|"};
}

}  // namespace

TEST_F(DemoTest, ListOfFullShortEmptyAndMissingFiles) {
    std::string audio(6400, '\0');
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>((i * 37) % 251);
    writeFile(dir_ + "/a.pcm", audio);
    writeFile(dir_ + "/b.pcm", audio.substr(0, 100));
    writeFile(dir_ + "/c.pcm", "");
    writeFile(dir_ + "/list.txt", "a.pcm\nb.pcm\nc.pcm\nmissing.pcm\n");
    ASSERT_EQ(0, run(2));

    const Output out = parse(output_);
    std::vector<std::string> want = {kVersionLine};
    for (const auto& part :
         {fileLines("a.pcm", "sid-1", 2), fileLines("b.pcm", "sid-2", 1),
          std::vector<std::string>{"line:c.pcm", "", "read_mch_wav mic_file: c.pcm  mic_len：PTR  mData：PTR",
                                   "line:missing.pcm", "",
                                   "read_mch_wav mic_file: missing.pcm  mic_len：PTR  mData：PTR",
                                   "Failed to open mch wav file[missing.pcm]."}}) {
        want.insert(want.end(), part.begin(), part.end());
    }
    EXPECT_EQ(want, out.main) << output_;
    EXPECT_EQ(resultLines("a.pcm"), out.results.at("a.pcm"));
    EXPECT_EQ(resultLines("b.pcm"), out.results.at("b.pcm"));
    EXPECT_EQ(2u, out.results.size());  // the empty file takes no instance

    // Two chunks and the stop's filler; the short file's single chunk is its
    // last packet, and the stop after it sends nothing.
    EXPECT_EQ((std::vector<std::string>{"1:3204", "2:3200", "-3:100"}), uploads("sid-1"));
    EXPECT_EQ((std::vector<std::string>{"-1:100"}), uploads("sid-2"));
    EXPECT_EQ(2, sessions_.load());
}

TEST_F(DemoTest, EndOfSpeechStartsANewSessionForTheRest) {
    // Speech ends in chunk 13; seven silent chunks follow.
    std::string audio = readFile(std::string(VELA_TEST_DATA_DIR) + "/vad/speech_8k.pcm").substr(0, 13 * 3200);
    audio.append(7 * 3200, '\0');
    writeFile(dir_ + "/speech.pcm", audio);
    writeFile(dir_ + "/list.txt", "speech.pcm\n");
    ASSERT_EQ(0, run(2, "VELA_ASRDEMO_VAD=1"));

    const Output out = parse(output_);
    std::vector<std::string> want = {kVersionLine};
    std::vector<std::string> first = fileLines("speech.pcm", "sid-1", 20);
    want.insert(want.end(), first.begin(), first.end());
    want.push_back("detect speech end,continuesid-1");
    first = fileLines("speech.pcm", "sid-2", 7);
    want.insert(want.end(), first.begin() + 3, first.end());
    EXPECT_EQ(want, out.main) << output_;
    ASSERT_EQ(6u, out.results.at("speech.pcm").size());

    // The first session ends with its end-of-speech packet, the second (all
    // silence) with the stop's filler.
    const std::vector<std::string> first_ups = uploads("sid-1");
    ASSERT_FALSE(first_ups.empty());
    EXPECT_EQ("-" + std::to_string(first_ups.size()) + ":100", first_ups.back());
    EXPECT_EQ((std::vector<std::string>{"-1:100"}), uploads("sid-2"));
}

TEST_F(DemoTest, MissingListFails) {
    EXPECT_NE(0, run(0));
    EXPECT_EQ(std::string(kVersionLine) +
                  "\ncannot open list.txt in the working directory: No such file or directory\n",
              output_);
    EXPECT_EQ(0u, server_.requestCount());
}

// Whatever the server does, every file is gone through, failures are reported
// and the program ends normally (under the sanitizers: without leaks).
TEST_F(DemoTest, ServerFailuresAreReportedAndEveryFileIsProcessed) {
    const std::string audio(5 * 3200 + 700, '\x01');
    writeFile(dir_ + "/a.pcm", audio);
    writeFile(dir_ + "/b.pcm", audio);
    writeFile(dir_ + "/list.txt", "a.pcm\nb.pcm\n");
    const std::string no_session = "sdk inst a.pcm error:create session  failure";

    struct Case {
        const char* name;
        bool sessions;  // whether sessions are opened at all
        Reply reply;
    };
    const std::vector<Case> cases = {
        {"all 500", false, Reply::withStatus(500)},
        {"all dropped", false, Reply::dropped()},
        {"500 after the session", true, Reply::withStatus(500)},
        {"dropped after the session", true, Reply::dropped()},
    };
    for (const Case& c : cases) {
        server_.clearScript();
        server_.clearRequests();
        sessions_ = 0;
        if (c.sessions) {
            server_.on(vela_test::hasPart("create-session"), [this](const RecordedRequest&) {
                return Reply::json(R"({"asr_param":{"err_no":0,"sid":"sid-)" + std::to_string(++sessions_) +
                                   R"("}})");
            });
        }
        server_.setDefaultReply(c.reply);
        ASSERT_EQ(0, run(c.sessions ? 2 : 0)) << c.name;
        const Output out = parse(output_);
        for (const char* path : {"a.pcm", "b.pcm"}) {
            const std::string p = path;
            EXPECT_NE(std::string::npos, output_.find("line:" + p + "\n")) << c.name;
            if (c.sessions) {
                ASSERT_EQ(1u, out.results.count(p)) << c.name << "\n" << output_;
                EXPECT_EQ(1u, out.results.at(p).size()) << c.name;
                EXPECT_EQ(0u, out.results.at(p)[0].rfind("未识别asr:{\"header\":{\"status\":108}", 0))
                    << c.name;
            } else {
                EXPECT_NE(std::string::npos, output_.find("sdk inst " + p + " error:create session  failure"))
                    << c.name;
            }
        }
    }

    // Nobody listening at all.
    url_ = "http://127.0.0.1:" + std::to_string(vela_test::unusedLoopbackPort()) + "/asr/v2";
    ASSERT_EQ(0, run(0));
    EXPECT_NE(std::string::npos, output_.find(no_session));
    EXPECT_NE(std::string::npos, output_.find("sdk inst b.pcm error:create session  failure"));
}
