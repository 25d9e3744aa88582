// Input-token estimates of request bodies: every body shape the proxy
// forwards, the nesting depths that count, and the image cost setting.
#include "load_balancer/estimator.hpp"
#include "load_balancer/request_scan.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

namespace json = boost::json;
using quillmar::lb::count_request_tokens;
using quillmar::lb::estimate_from_counts;
using quillmar::lb::estimate_request_tokens;
using quillmar::lb::TokenCounts;

// Sets IMAGE_TOKEN_COST for one test and puts the previous value back.
class ImageCost {
public:
    explicit ImageCost(std::int64_t cost) : saved_(quillmar::lb::IMAGE_TOKEN_COST) {
        quillmar::lb::IMAGE_TOKEN_COST = cost;
    }
    ~ImageCost() { quillmar::lb::IMAGE_TOKEN_COST = saved_; }
    ImageCost(const ImageCost&) = delete;
    ImageCost& operator=(const ImageCost&) = delete;

private:
    std::int64_t saved_;
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

struct Case {
    const char* name;
    std::string body;  // JSON text
    std::int64_t expected;  // with IMAGE_TOKEN_COST = 2048
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class EstimateTable : public ::testing::TestWithParam<Case> {};

TEST_P(EstimateTable, GivesExpectedEstimate) {
    ImageCost cost(2048);
    const Case& c = GetParam();
    json::value body = json::parse(c.body);
    json::value before = body;
    EXPECT_EQ(estimate_request_tokens(body), c.expected) << c.body;
    EXPECT_EQ(body, before) << "the estimate must not change its input";
    EXPECT_EQ(quillmar::lb::scan_request(c.body).estimate, c.expected) << "from the raw bytes";
}

const std::string s21 = "abcdefghijabcdefghija";  // 21 characters

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, EstimateTable,
    ::testing::Values(
        Case{"chat_text_and_image",
             R"({"messages":[{"role":"user","content":"hello, world!!"},)"
             R"({"role":"user","content":[{"type":"text","text":")" + s21 +
                 R"("},{"type":"image_url","image_url":{"url":"data:image/png;base64,AAAA"}}]}]})",
             35 / 4 + 2048},
        Case{"embeddings_batches_of_ids", R"({"input":[[1,2,3],[4,5]],"model":"e"})", 5},
        Case{"rerank_query_documents_instruct",
             R"({"query":"0123456789","documents":[")" + repeat("x", 20) + R"(",")" + repeat("y", 30) +
                 R"("],"instruct":"abcdefghijkl"})",
             18},
        Case{"completions_prompt_list", R"({"prompt":["abcdef","abcdefg",42]})", 3}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Shapes, EstimateTable,
    ::testing::Values(
        Case{"array_body", R"(["abcdefgh"])", 0},
        Case{"string_body", R"("abcdefghabcdefgh")", 0},
        Case{"null_body", "null", 0},
        Case{"number_body", "12345", 0},
        Case{"empty_object", "{}", 0},
        Case{"unknown_keys_only", R"({"model":"abcdefgh","max_tokens":4096,"text":"abcdefgh"})", 0},
        Case{"three_chars", R"({"prompt":"abc"})", 0},
        Case{"four_chars", R"({"prompt":"abcd"})", 1},
        Case{"messages_win_over_prompt", R"({"messages":[{"content":"abcd"}],"prompt":"abcdefghabcdefgh"})", 1},
        Case{"empty_messages_still_skip_prompt", R"({"messages":[],"prompt":"abcdefgh"})", 0},
        Case{"null_messages_read_prompt", R"({"messages":null,"prompt":"abcdefgh"})", 2},
        Case{"string_messages_read_prompt", R"({"messages":"abcdefghijkl","prompt":"abcd"})", 1},
        Case{"object_messages_read_prompt", R"({"messages":{"content":"abcdefgh"},"prompt":"abcd"})", 1},
        Case{"prompt_ids_count_nothing", R"({"prompt":[1,2,3,4]})", 0},
        Case{"prompt_other_kinds", R"({"prompt":{"text":"abcdefgh"}})", 0},
        Case{"message_entries_not_objects", R"({"messages":["abcdefgh",null,[1,2],{"content":"abcd"}]})", 1},
        Case{"message_keys_other_than_content",
             R"({"messages":[{"role":"assistant","name":"abcdefgh","tool_calls":[{"x":"abcdefgh"}],"content":"abcd"}]})",
             1},
        Case{"message_without_content", R"({"messages":[{"role":"user"}]})", 0},
        Case{"characters_pooled_before_division", R"({"messages":[{"content":"ab"}],"system":"cd"})", 1},
        Case{"content_object_outside_array", R"({"messages":[{"content":{"type":"text","text":"abcdefgh"}}]})", 0},
        Case{"content_object_inside_array", R"({"messages":[{"content":[{"type":"text","text":"abcdefgh"}]}]})", 2},
        Case{"content_string_parts", R"({"messages":[{"content":["abcd","efgh",7,null]}]})", 2},
        Case{"text_part_without_usable_text",
             R"({"messages":[{"content":[{"type":"text"},{"type":"text","text":null},)"
             R"({"type":"text","text":12345678},{"type":"text","text":["abcdefgh"]},{"type":"text","text":"abcd"}]}]})",
             1},
        Case{"input_and_output_text_parts",
             R"({"messages":[{"content":[{"type":"input_text","text":"abcd"},{"type":"output_text","text":"abcd"}]}]})",
             2},
        Case{"every_image_type_once",
             R"({"messages":[{"content":[{"type":"image_url","image_url":{"url":"u"}},)"
             R"({"type":"image","source":{"type":"base64","media_type":"image/png","data":"abcdefghabcdefgh"}},)"
             R"({"type":"input_image","image_url":"u"},{"type":"video_url","video_url":{"url":"v"}}]}]})",
             4 * 2048},
        Case{"image_part_text_not_read", R"({"messages":[{"content":[{"type":"image","text":"abcdefgh"}]}]})", 2048},
        Case{"unknown_or_missing_type",
             R"({"messages":[{"content":[{"type":"audio","text":"abcdefgh"},{"text":"abcdefgh"},)"
             R"({"type":null,"text":"abcdefgh"},{"type":["text"],"text":"abcdefgh"},{"type":"TEXT","text":"abcdefgh"}]}]})",
             0},
        Case{"system_string", R"({"system":"abcdefgh"})", 2},
        Case{"system_text_parts", R"({"system":[{"type":"text","text":"abcdefgh"},{"type":"text","text":"abcd"}]})", 3},
        Case{"system_object_alone", R"({"system":{"type":"text","text":"abcdefgh"}})", 0},
        Case{"instruct_not_string", R"({"instruct":["abcdefgh"],"query":"abcd"})", 1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Inputs, EstimateTable,
    ::testing::Values(
        Case{"input_string", R"({"input":"abcdefgh"})", 2},
        Case{"input_mix",
             R"({"input":["abcd",7,[1,2],{"type":"text","text":"abcdefgh"},1.5,null]})", 12 / 4 + 1 + 2},
        Case{"input_object_alone", R"({"input":{"type":"text","text":"abcdefgh"}})", 0},
        Case{"ids_three_levels_deep", R"({"input":[[[1,2,3],[4]]]})", 0},
        Case{"floats_at_every_depth", R"({"input":[1.5,[2.5,[3.5]]],"query":4.5})", 0},
        Case{"booleans_are_ids", R"({"input":[true,false,[true]]})", 3},
        Case{"large_unsigned_id", R"({"input":[18446744073709551615,[18446744073709551615]]})", 2},
        Case{"sub_items_are_content",
             R"({"input":[["abcd",{"type":"image"},[{"type":"text","text":"abcdefgh"}],["abcd"],{"type":"text"}]]})",
             16 / 4 + 2048},
        Case{"sub_sub_object_alone_counts_nothing", R"({"input":[[{"nested":{"type":"image"}}]]})", 0},
        Case{"null_keys", R"({"input":null,"query":null,"items":null,"documents":null,"instruct":null})", 0},
        Case{"score_query_and_items", R"({"query":"abcd","items":["abcd",[1,2,3]]})", 2 + 3},
        Case{"multimodal_rerank",
             R"({"query":[{"type":"text","text":"abcd"}],"documents":[{"type":"image_url","image_url":{"url":"u"}},"abcd"]})",
             2 + 2048},
        Case{"all_input_keys_add_up", R"({"input":"abcd","query":"abcd","items":"abcd","documents":"abcd"})", 4}),
    [](const auto& info) { return std::string(info.param.name); });

// Characters are code points; strings of over 64 bytes go through the block
// loop, and block edges may fall inside a multi-byte character.
INSTANTIATE_TEST_SUITE_P(
    CodePoints, EstimateTable,
    ::testing::Values(
        Case{"two_byte", R"({"messages":[{"content":"héllo wörld"}]})", 2},
        Case{"four_byte", R"({"prompt":"😀😀😀😀"})", 1},
        Case{"escaped_in_source", R"({"prompt":"\u00e9\u00e9\u00e9\ud83d\ude00"})", 1},
        Case{"long_two_byte", R"({"prompt":")" + repeat("é", 100) + R"("})", 25},
        Case{"long_mixed_straddling_blocks", R"({"prompt":")" + repeat("aé€😀", 50) + R"("})", 50},
        Case{"long_ascii_not_multiple_of_block", R"({"input":")" + repeat("x", 131) + R"("})", 32},
        Case{"non_ascii_text_part", R"({"messages":[{"content":[{"type":"text","text":")" + repeat("日本語", 30) +
                                        R"("}]}]})",
             22}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Estimator, CountsShowTheThreeCounters) {
    json::value body = json::parse(
        R"({"messages":[{"content":[{"type":"text","text":"abcdefg"},{"type":"image_url"}]}],"input":[[1,2]]})");
    EXPECT_EQ(count_request_tokens(body), (TokenCounts{7, 2, 1}));
    EXPECT_EQ(count_request_tokens(json::parse("[1,2]")), TokenCounts{});
}

TEST(Estimator, ImageCostIsReadAtEachCall) {
    json::value body = json::parse(R"({"messages":[{"content":[{"type":"image"},{"type":"image"},"abcd"]}]})");
    {
        ImageCost cost(2048);
        EXPECT_EQ(estimate_request_tokens(body), 2 * 2048 + 1);
    }
    {
        ImageCost cost(100);
        EXPECT_EQ(estimate_request_tokens(body), 201);
        quillmar::lb::IMAGE_TOKEN_COST = 0;
        EXPECT_EQ(estimate_request_tokens(body), 1);
    }
}

TEST(Estimator, ExtremeImageCostsSaturate) {
    constexpr auto hi = std::numeric_limits<std::int64_t>::max();
    constexpr auto lo = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(estimate_from_counts(TokenCounts{8, 3, 2}, hi), hi);
    EXPECT_EQ(estimate_from_counts(TokenCounts{8, 3, 2}, lo), lo + 5);
    EXPECT_EQ(estimate_from_counts(TokenCounts{8, 3, 1}, hi), hi);  // hi + 5 saturates
    EXPECT_EQ(estimate_from_counts(TokenCounts{8, 3, 1}, -10), -5);
    EXPECT_EQ(estimate_from_counts(TokenCounts{7, 0, 0}, hi), 1);
}

}  // namespace
