// The proxy's own counters: observations of interleaved pools and models
// each land in their own series, also in a copy taken part-way.
#include "proxy/metrics.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using quillmar::proxy::ProxyMetrics;

bool shows(const std::string& text, const std::string& line) { return text.find(line + "\n") != std::string::npos; }

TEST(ProxyMetrics, InterleavedPoolsAndModelsKeepTheirOwnSeries) {
    ProxyMetrics m;
    for (const char* pool : {"a", "b", "a", "a", "b"}) m.count_request(pool, 200);
    m.count_request("a", 503);
    for (const char* model : {"x", "y", "x"}) m.observe_end(model, 0.2, 10, 1);
    ProxyMetrics copy = m;  // then both go on alone
    copy.count_request("a", 200);
    copy.observe_end("x", 0.2, 5, 0);
    m.count_request("a", 200);
    m.observe_end("x", 0.2, 1, 0);

    EXPECT_EQ(m.requests("a", 200), 4u);
    EXPECT_EQ(m.requests("a", 503), 1u);
    EXPECT_EQ(m.requests("b", 200), 2u);
    EXPECT_EQ(copy.requests("a", 200), 4u);
    EXPECT_EQ(copy.requests("b", 200), 2u);
    const std::string text = m.text({});
    EXPECT_TRUE(shows(text, R"(quillmar_proxy_prompt_tokens_total{model="x"} 21)")) << text;
    EXPECT_TRUE(shows(text, R"(quillmar_proxy_prompt_tokens_total{model="y"} 10)")) << text;
    EXPECT_TRUE(shows(copy.text({}), R"(quillmar_proxy_prompt_tokens_total{model="x"} 25)"));
    EXPECT_TRUE(shows(text, R"(quillmar_proxy_request_duration_seconds_count{model="x"} 3)")) << text;
}

}  // namespace
