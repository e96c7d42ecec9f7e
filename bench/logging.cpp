// Cost of one log call: a short line written to the file, a line below the
// minimum level (dropped before formatting), and a line that needs the large
// formatting buffer. Also the cost of serialising one result.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "speech-asr-sdk/VelaASRMessage.h"
#include "speech-util/glog2speech/glog2speech.h"

namespace {

class LogDir {
  public:
    LogDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vela-bench-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
        glog2speech_init(speech::GLOG_NOTICE, "bench.log", path_.c_str(), "bench.log", 0);
    }
    ~LogDir() {
        speech::glog2speech_shutdown();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

  private:
    std::string path_;
};

void BM_LogLineWritten(benchmark::State& state) {
    LogDir dir;
    unsigned logid = 123456789u;
    for (auto _ : state) {
        speech::glog2speech_writelog(speech::GLOG_NOTICE, "bench.cpp", 42, "reply status:%d [logid:%u]", 2,
                                     logid);
    }
}
BENCHMARK(BM_LogLineWritten);

void BM_LogLineFiltered(benchmark::State& state) {
    LogDir dir;
    for (auto _ : state) {
        speech::glog2speech_writelog(speech::GLOG_DEBUG, "bench.cpp", 42, "received %d bytes", 4096);
    }
}
BENCHMARK(BM_LogLineFiltered);

void BM_LogLineLong(benchmark::State& state) {
    LogDir dir;
    std::string text(20000, 'x');
    for (auto _ : state)
        speech::glog2speech_writelog(speech::GLOG_NOTICE, "bench.cpp", 42, "%s", text.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 20000);
}
BENCHMARK(BM_LogLineLong);

void BM_ResultContent(benchmark::State& state) {
    vela::ASRResultM result;
    result.set_parameter(vela::VELA_ASR_MIDDLE);
    result.set_asr_content("{\"text\":\"今天天气很好\",\"conf\":0.875}\n");
    result.set_offset(120.5f, 2980.25f);
    std::string out;
    for (auto _ : state) {
        result.get_asr_content(out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ResultContent);

}  // namespace

BENCHMARK_MAIN();
