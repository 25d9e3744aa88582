// Request token estimate against the cost of parsing the same body: the
// estimate should stay a small fraction of what the host already pays for
// boost::json::parse. Bodies are built in code, deterministic.
#include "load_balancer/estimator.hpp"
#include "load_balancer/request_scan.hpp"

#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

namespace json = boost::json;

// Small deterministic generator so every run measures the same bodies.
struct Lcg {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    std::uint32_t next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(s >> 33);
    }
};

// Text of about `bytes` bytes: mostly ASCII words with roughly one word in
// eight accented, CJK or emoji, as in multilingual chat traffic.
std::string prose(Lcg& rng, std::size_t bytes) {
    static const char* ascii[] = {"the", "model", "request", "latency", "token", "balance", "server",
                                  "please", "explain", "why", "queue", "inference", "and", "of", "a"};
    static const char* other[] = {"café", "naïve", "größe", "日本語", "中文字", "😀", "привет", "ελληνικά"};
    std::string out;
    while (out.size() < bytes) {
        std::uint32_t r = rng.next();
        out += (r % 8 == 0) ? other[(r >> 8) % 8] : ascii[(r >> 8) % 15];
        out += (r % 13 == 0) ? ". " : " ";
    }
    return out;
}

std::string long_chat() {
    Lcg rng;
    json::array messages;
    messages.push_back(json::object{{"role", "system"}, {"content", prose(rng, 400)}});
    for (int i = 0; i < 199; ++i) {
        messages.push_back(json::object{{"role", i % 2 == 0 ? "user" : "assistant"},
                                        {"content", prose(rng, 200 + rng.next() % 600)}});
    }
    return json::serialize(json::object{{"model", "chat-large"}, {"max_tokens", 1024}, {"messages", messages}});
}

std::string multimodal_chat() {
    Lcg rng;
    json::array messages;
    for (int i = 0; i < 12; ++i) {
        json::array parts;
        parts.push_back(json::object{{"type", "text"}, {"text", prose(rng, 300)}});
        std::string data = "data:image/jpeg;base64,";
        for (int j = 0; j < 12000; ++j) data += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[rng.next() % 64];
        parts.push_back(json::object{{"type", "image_url"}, {"image_url", json::object{{"url", data}}}});
        parts.push_back(json::object{{"type", "image"},
                                     {"source", json::object{{"type", "url"}, {"url", "https://img.example/x.png"}}}});
        messages.push_back(json::object{{"role", "user"}, {"content", parts}});
        messages.push_back(json::object{{"role", "assistant"}, {"content", prose(rng, 400)}});
    }
    return json::serialize(json::object{{"model", "vision"}, {"messages", messages}});
}

std::string embeddings_ids() {
    Lcg rng;
    json::array ids;
    for (int i = 0; i < 8192; ++i) ids.push_back(rng.next() % 150000);
    return json::serialize(json::object{{"model", "embed"}, {"input", ids}});
}

std::string rerank_docs() {
    Lcg rng;
    json::array docs;
    for (int i = 0; i < 100; ++i) docs.push_back(json::value(prose(rng, 300 + rng.next() % 700)));
    return json::serialize(json::object{
        {"model", "rerank"}, {"query", prose(rng, 120)}, {"documents", docs}, {"instruct", "Rank by relevance"}});
}

const std::string& body_text(int which) {
    static const std::string bodies[] = {long_chat(), multimodal_chat(), embeddings_ids(), rerank_docs()};
    return bodies[which];
}

enum Body { kLongChat = 0, kMultimodal = 1, kEmbeddings = 2, kRerank = 3 };

void BM_Estimate(benchmark::State& state, Body which) {
    const std::string& text = body_text(which);
    json::value body = json::parse(text);
    std::int64_t estimate = 0;
    for (auto _ : state) {
        estimate = quillmar::lb::estimate_request_tokens(body);
        benchmark::DoNotOptimize(estimate);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["body_bytes"] = static_cast<double>(text.size());
    state.counters["estimate"] = static_cast<double>(estimate);
}

void BM_Parse(benchmark::State& state, Body which) {
    const std::string& text = body_text(which);
    for (auto _ : state) {
        json::value v = json::parse(text);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

// What the host pays per request: parse, then estimate.
void BM_ParseAndEstimate(benchmark::State& state, Body which) {
    const std::string& text = body_text(which);
    for (auto _ : state) {
        json::value v = json::parse(text);
        benchmark::DoNotOptimize(quillmar::lb::estimate_request_tokens(v));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

// The same with a reused buffer as the arena for each request's value
// instead of the global heap.
void BM_ParseAndEstimateArena(benchmark::State& state, Body which) {
    const std::string& text = body_text(which);
    std::vector<unsigned char> buffer(text.size() * 3);
    for (auto _ : state) {
        json::monotonic_resource arena(buffer.data(), buffer.size());
        json::value v = json::parse(text, &arena);
        benchmark::DoNotOptimize(quillmar::lb::estimate_request_tokens(v));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

// The raw-bytes road: validate, estimate and read "model" and a routed
// member straight from the text, with no document tree.
void BM_ScanRequest(benchmark::State& state, Body which) {
    const std::string& text = body_text(which);
    for (auto _ : state) {
        auto scanned = quillmar::lb::scan_request(text, {.routed_field = "user"});
        benchmark::DoNotOptimize(scanned);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

BENCHMARK_CAPTURE(BM_ScanRequest, long_chat, kLongChat);
BENCHMARK_CAPTURE(BM_ScanRequest, multimodal_chat, kMultimodal);
BENCHMARK_CAPTURE(BM_ScanRequest, embeddings_8192_ids, kEmbeddings);
BENCHMARK_CAPTURE(BM_ScanRequest, rerank_100_docs, kRerank);
BENCHMARK_CAPTURE(BM_ParseAndEstimate, multimodal_chat, kMultimodal);
BENCHMARK_CAPTURE(BM_ParseAndEstimate, embeddings_8192_ids, kEmbeddings);
BENCHMARK_CAPTURE(BM_ParseAndEstimate, rerank_100_docs, kRerank);
BENCHMARK_CAPTURE(BM_Estimate, long_chat, kLongChat);
BENCHMARK_CAPTURE(BM_Parse, long_chat, kLongChat);
BENCHMARK_CAPTURE(BM_ParseAndEstimate, long_chat, kLongChat);
BENCHMARK_CAPTURE(BM_ParseAndEstimateArena, long_chat, kLongChat);
BENCHMARK_CAPTURE(BM_Estimate, multimodal_chat, kMultimodal);
BENCHMARK_CAPTURE(BM_Parse, multimodal_chat, kMultimodal);
BENCHMARK_CAPTURE(BM_Estimate, embeddings_8192_ids, kEmbeddings);
BENCHMARK_CAPTURE(BM_Parse, embeddings_8192_ids, kEmbeddings);
BENCHMARK_CAPTURE(BM_Estimate, rerank_100_docs, kRerank);
BENCHMARK_CAPTURE(BM_Parse, rerank_100_docs, kRerank);

}  // namespace
