// The asrdemo program, run as it is in a temporary directory against the
// scripted server: its console output line by line and what the server saw.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

using vela_test::readFile;
using vela_test::RecordedRequest;
using vela_test::Reply;

namespace {

const char kVersion[] = "ver:BuildTime:2019-04-24 11:53:20,Version:1.0,GitVersion:045cd6";

std::string sidOf(const std::string& query) {
    const size_t at = query.find("sid=");
    return at == std::string::npos ? "" : query.substr(at + 4, query.find('&', at) - at - 4);
}

// Replaces the run of `chars` after each `prefix` by `with`.
std::string mask(std::string line, const std::string& prefix, const char* chars, const char* with) {
    for (size_t at = line.find(prefix); at != std::string::npos; at = line.find(prefix, at + 1)) {
        const size_t from = at + prefix.size();
        line.replace(from, std::min(line.find_first_not_of(chars, from), line.size()) - from, with);
    }
    return line;
}

// Output lines with pointers, offsets and time costs masked. A result message
// spans two lines (its JSON ends with a line feed) and is kept as one entry
// "first|second" in `results`, sorted; all other lines stay in order in `main`.
struct Output {
    std::vector<std::string> main, results;
    explicit Output(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) {
            l = mask(mask(l, "0x", "0123456789abcdef", "P"), "time\":", "-0123456789", "T");
            lines.push_back(mask(l, "Final asr\t", "0123456789.e+-", "TC"));
        }
        for (size_t i = 0; i < lines.size(); ++i) {
            const bool result = lines[i].rfind("中间结果asr:", 0) == 0 ||
                                lines[i].rfind("最后结果asr:", 0) == 0 ||
                                lines[i].rfind("未识别asr:", 0) == 0 || lines[i].rfind("Final asr\t", 0) == 0;
            if (result && i + 1 < lines.size()) {
                results.push_back(lines[i] + "|" + lines[i + 1]);
                ++i;
            } else {
                main.push_back(lines[i]);
            }
        }
        std::sort(results.begin(), results.end());
    }
};

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path().empty());
        dir_ = tmp_.path();
        url_ = server_.url();
        openSessions();
        // Per session one intermediate result, released by the last packet,
        // then the final one.
        server_.on(vela_test::hasPart("asr_audio"), [this](const RecordedRequest& req) {
            if (req.query.find("&idx=-") != std::string::npos) gate(sidOf(req.query))->open();
            return Reply::json(R"({"asr_param":{"err_no":0}})");
        });
        server_.on(vela_test::methodIs("GET"), [this](const RecordedRequest& req) {
            const std::string sid = sidOf(req.query);
            std::lock_guard<std::mutex> lock(mutex_);
            if (fetches_[sid]++ == 0) return Reply::json(result(2, "part")).heldBy(gate(sid));
            return Reply::json(result(3, "all"));
        });
    }
    void openSessions() {
        server_.on(vela_test::hasPart("create-session"), [this](const RecordedRequest&) {
            return Reply::json(R"({"asr_param":{"err_no":0,"sid":"sid-)" + std::to_string(++sessions_) +
                               "\"}}");
        });
    }

    static std::string result(int status, const char* text) {
        return R"({"asr_param":{"err_no":0,"status":)" + std::to_string(status) +
               R"(},"asr_content":{"text":")" + text + "\"}}";
    }
    std::shared_ptr<vela_test::Gate> gate(const std::string& sid) {
        std::lock_guard<std::mutex> lock(gate_mutex_);
        std::shared_ptr<vela_test::Gate>& g = gates_[sid];
        if (!g) g = std::make_shared<vela_test::Gate>();
        return g;
    }
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    }

    // Runs asrdemo in the test directory; once `ended` sessions have printed
    // a final result or an error, closes its standard input. Returns the exit
    // status and keeps the output.
    int run(int ended, const std::string& env = "") {
        const std::string cmd = "cd '" + dir_ + "' && VELA_ASR_SERVER_URL='" + url_ + "' " + env + " exec '" +
                                VELA_BIN_DIR + "/asrdemo' >out.txt";
        FILE* in = popen(cmd.c_str(), "w");
        if (in == nullptr) return -1;
        auto endedSoFar = [&] {
            const std::string out = readFile(dir_ + "/out.txt");
            int n = 0;
            for (const char* mark : {"\n最后结果asr:", "\n未识别asr:"}) {
                for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) ++n;
            }
            return n;
        };
        for (int i = 0; i < 6000 && endedSoFar() < ended; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int status = pclose(in);
        output_ = readFile(dir_ + "/out.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // "idx:bytes" of one session's uploads, by index (the last packet last).
    std::vector<std::string> uploads(const std::string& sid) const {
        std::map<int, std::string> by_idx;
        for (const RecordedRequest& req : server_.requests()) {
            if (req.part("asr_audio") == nullptr || sidOf(req.query) != sid) continue;
            const int idx = std::atoi(req.query.c_str() + req.query.find("&idx=") + 5);
            by_idx[idx < 0 ? 1000 - idx : idx] =
                std::to_string(idx) + ":" + std::to_string(req.part("asr_audio")->data.size());
        }
        std::vector<std::string> out;
        for (const auto& entry : by_idx) out.push_back(entry.second);
        return out;
    }

    const vela_test::TempDir tmp_;  // the program's working folder
    std::string dir_, url_, output_;
    vela_test::ScriptedHttpServer server_;
    std::atomic<int> sessions_{0};
    std::mutex mutex_;
    std::mutex gate_mutex_;
    std::map<std::string, int> fetches_;
    std::map<std::string, std::shared_ptr<vela_test::Gate>> gates_;
};

std::vector<std::string> opened(const std::string& path) {
    return {"line:" + path, "", "read_mch_wav mic_file: " + path + "  mic_len：0xP  mData：0xP"};
}
std::vector<std::string> session(const std::string& path, int sid, int rounds) {
    return {"sid:sid-" + std::to_string(sid) + ",seq:" + path, "arg0xP", "round:" + std::to_string(rounds)};
}
std::vector<std::string> results(const std::string& path) {
    auto json = [](int status, const std::string& text) {
        return R"({"header":{"status":)" + std::to_string(status) +
               R"(},"payload":{"asr_content":"{\"text\":\")" + text + R"(\"}\n","begintime":T,"endtime":T}})";
    };
    return {"Final asr\tTC\t" + path + "\t" + json(107, "all") + "|",
            "中间结果asr:" + json(105, "part") + "|," + path,
            "最后结果asr:" + json(107, "all") + "|," + path};
}
template <typename... Parts>
std::vector<std::string> join(const Parts&... parts) {
    std::vector<std::string> out;
    for (const std::vector<std::string>& p : {parts...}) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST_F(DemoTest, ListOfFullShortEmptyAndMissingFiles) {
    std::string pcm(6400, '\0');
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<char>(i * 37 % 251);
    write("a.pcm", pcm);
    write("b.pcm", pcm.substr(0, 100));
    write("c.pcm", "");
    write("list.txt", "a.pcm\nb.pcm\nc.pcm\nmissing.pcm\n");
    ASSERT_EQ(0, run(2));

    const Output out(output_);
    EXPECT_EQ(join(std::vector<std::string>{kVersion}, opened("a.pcm"), session("a.pcm", 1, 2),
                   opened("b.pcm"), session("b.pcm", 2, 1), opened("c.pcm"), opened("missing.pcm"),
                   std::vector<std::string>{"Failed to open mch wav file[missing.pcm]."}),
              out.main)
        << output_;
    std::vector<std::string> want = join(results("a.pcm"), results("b.pcm"));
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, out.results);
    // Two chunks and the stop's filler; the short file's chunk is its last
    // packet, so the stop after it sends nothing. The empty file opens nothing.
    EXPECT_EQ((std::vector<std::string>{"1:3204", "2:3200", "-3:100"}), uploads("sid-1"));
    EXPECT_EQ((std::vector<std::string>{"-1:100"}), uploads("sid-2"));
    EXPECT_EQ(2, sessions_.load());
}

TEST_F(DemoTest, EndOfSpeechStartsANewSessionForTheRest) {
    // With detection on, speech ends in the 13th chunk; seven silent ones follow.
    std::string pcm = vela_test::testAudio("speech_8k.pcm").substr(0, 13 * 3200);
    write("speech.pcm", pcm + std::string(7 * 3200, '\0'));
    write("list.txt", "speech.pcm\n");
    ASSERT_EQ(0, run(2, "VELA_ASRDEMO_VAD=1"));

    const Output out(output_);
    EXPECT_EQ(join(std::vector<std::string>{kVersion}, opened("speech.pcm"), session("speech.pcm", 1, 20),
                   std::vector<std::string>{"detect speech end,continuesid-1"}, session("speech.pcm", 2, 7)),
              out.main)
        << output_;
    EXPECT_EQ(6u, out.results.size());
    // The first session ends with its end-of-speech packet, the second (all
    // silence) with the stop's filler.
    const std::vector<std::string> first = uploads("sid-1");
    EXPECT_EQ("-" + std::to_string(first.size()) + ":100", first.back());
    EXPECT_EQ((std::vector<std::string>{"-1:100"}), uploads("sid-2"));
}

TEST_F(DemoTest, MissingListFails) {
    EXPECT_EQ(1, run(0));
    EXPECT_EQ(std::string(kVersion) +
                  "\ncannot open list.txt in the working directory: No such file or directory\n",
              output_);
    EXPECT_EQ(0u, server_.requestCount());
}

// Whatever the server does, every file is gone through, the failure is
// reported and the program ends normally (under the sanitizers: without leaks).
TEST_F(DemoTest, ServerFailuresAreReportedAndEveryFileIsProcessed) {
    write("a.pcm", std::string(5 * 3200 + 700, '\x01'));
    write("b.pcm", std::string(5 * 3200 + 700, '\x01'));
    write("list.txt", "a.pcm\nb.pcm\n");
    const std::string down =
        "http://127.0.0.1:" + std::to_string(vela_test::unusedLoopbackPort()) + "/asr/v2";
    struct Case {
        const char* name;
        bool sessions;  // whether the session requests succeed
        Reply reply;    // to every other request
    };
    for (const Case& c : {Case{"down", false, Reply()}, Case{"all 500", false, Reply::withStatus(500)},
                          Case{"all dropped", false, Reply::dropped()},
                          Case{"500 after the session", true, Reply::withStatus(500)},
                          Case{"dropped after the session", true, Reply::dropped()}}) {
        server_.clearScript();
        if (c.sessions) openSessions();
        server_.setDefaultReply(c.reply);
        url_ = c.name == std::string("down") ? down : server_.url();
        ASSERT_EQ(0, run(c.sessions ? 2 : 0)) << c.name;
        const Output out(output_);
        for (const std::string path : {"a.pcm", "b.pcm"}) {
            EXPECT_NE(std::string::npos, output_.find("line:" + path + "\n")) << c.name;
            const std::string failure = "未识别asr:{\"header\":{\"status\":108}";
            EXPECT_EQ(c.sessions ? 1 : 0, std::count_if(out.results.begin(), out.results.end(),
                                                        [&](const std::string& r) {
                                                            return r.rfind(failure, 0) == 0 &&
                                                                   r.find("|," + path) != std::string::npos;
                                                        }))
                << c.name;
            EXPECT_EQ(!c.sessions, output_.find("sdk inst " + path + " error:create session  failure") !=
                                       std::string::npos)
                << c.name;
        }
        EXPECT_EQ(c.sessions ? 2u : 0u, out.results.size()) << c.name;
    }
}
