// Per-request cost of the HTTP client against a loopback server, with and
// without zero-filling a fresh 1 MiB receive buffer for every request.
//
// The client takes its receive buffers already zeroed from a cache and clears
// only the bytes a request wrote. BM_RequestWithZeroFill adds what a client
// that allocates and zero-fills its whole buffer per request pays on top of
// that (one 1 MiB + 1 allocation, memset and free), so the ratio
// BM_RequestWithZeroFill / BM_Request is the before/after cost of a request.
#include "speech-util/curlreq/curlreq.h"

#include <benchmark/benchmark.h>

#include <boost/shared_array.hpp>
#include <cstring>

#include "support/scripted_http_server.h"

namespace {

constexpr size_t kBufLen = 0x100000;
const char kReply[] = R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"text":"hello"}})";

vela_test::ScriptedHttpServer& server() {
    static vela_test::ScriptedHttpServer* s = [] {
        auto* srv = new vela_test::ScriptedHttpServer(4);
        srv->setDefaultReply(vela_test::Reply::json(kReply));
        return srv;
    }();
    return *s;
}

void zeroFilledBuffer() {
    boost::shared_array<char> buffer(new char[kBufLen + 1]);
    std::memset(buffer.get(), 0, kBufLen + 1);
    benchmark::DoNotOptimize(buffer.get());
    benchmark::ClobberMemory();
}

void request(benchmark::State& state, const std::string& url) {
    speech::util::CurlRequest req(kBufLen, 10, 10);
    if (req.doGet(url.c_str()) != 0) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(req.getData().get());
}

void BM_Request(benchmark::State& state) {
    const std::string url = server().url() + "?pid=37001&appname=bench&sid=s&rate=8";
    for (auto _ : state) request(state, url);
}
BENCHMARK(BM_Request)->MinTime(3.0);

void BM_RequestWithZeroFill(benchmark::State& state) {
    const std::string url = server().url() + "?pid=37001&appname=bench&sid=s&rate=8";
    for (auto _ : state) {
        zeroFilledBuffer();
        request(state, url);
    }
}
BENCHMARK(BM_RequestWithZeroFill)->MinTime(3.0);

// The two buffer strategies alone (the client's includes its easy handle).
void BM_ZeroFill1MiB(benchmark::State& state) {
    for (auto _ : state) zeroFilledBuffer();
}
BENCHMARK(BM_ZeroFill1MiB);

void BM_ClientConstructDestroy(benchmark::State& state) {
    for (auto _ : state) {
        speech::util::CurlRequest req(kBufLen, 10, 10);
        benchmark::DoNotOptimize(req.getData().get());
    }
}
BENCHMARK(BM_ClientConstructDestroy);

}  // namespace

BENCHMARK_MAIN();
