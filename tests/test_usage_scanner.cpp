// Token usage read from backend answers: whole bodies and streams fed in
// arbitrary pieces; malformed or misleading input yields no counts.
#include "proxy/usage_scanner.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using quillmar::proxy::find_usage;
using quillmar::proxy::Usage;
using quillmar::proxy::UsageScanner;

struct Case {
    const char* name;
    std::string text;
    std::optional<std::int64_t> prompt;
    std::optional<std::int64_t> completion;
};

void expect_usage(const Usage& u, const Case& c) {
    EXPECT_EQ(u.prompt_tokens, c.prompt) << c.name;
    EXPECT_EQ(u.completion_tokens, c.completion) << c.name;
}

TEST(UsageScanner, FindsTheUsageObjectOfAWholeBody) {
    const std::vector<Case> cases{
        {"plain", R"({"id":"x","usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17}})", 12, 5},
        {"blanks", "{\"usage\" :\n {\"prompt_tokens\": 3}}", 3, std::nullopt},
        {"mentioned in content only", R"({"content":"say \"usage\": {\"prompt_tokens\": 9}"})", std::nullopt,
         std::nullopt},
        {"content mention and real usage",
         R"({"content":"\"usage\": {\"prompt_tokens\": 9}","usage":{"prompt_tokens":1,"completion_tokens":2}})", 1, 2},
        {"null usage", R"({"usage":null})", std::nullopt, std::nullopt},
        {"negative and fractional", R"({"usage":{"prompt_tokens":-4,"completion_tokens":2.5}})", std::nullopt,
         std::nullopt},
        {"string counts", R"({"usage":{"prompt_tokens":"4"}})", std::nullopt, std::nullopt},
        {"cut short", R"({"usage":{"prompt_tokens":4,"compl)", std::nullopt, std::nullopt},
        {"key without colon", R"({"a":"usage","usage"})", std::nullopt, std::nullopt},
        {"none", R"({"id":"x"})", std::nullopt, std::nullopt},
        {"repeated key: the last wins", R"({"usage":{"prompt_tokens":4,"prompt_tokens":6,"completion_tokens":1,)"
                                        R"("completion_tokens":{"n":2}}})", 6, std::nullopt},
        {"nested counts are not the usage's", R"({"usage":{"details":{"prompt_tokens":8},"completion_tokens":3}})",
         std::nullopt, 3},
        {"escaped key", R"({"usage":{"prompt\u005ftokens":7}})", 7, std::nullopt},
        {"beyond int64", R"({"usage":{"prompt_tokens":9223372036854775808}})", std::nullopt, std::nullopt},
        {"broken inside", R"({"usage":{"prompt_tokens":4,"completion_tokens":[}})", std::nullopt, std::nullopt},
        // The edges of plain integer counts, which are read without the full parser.
        {"zero and blanks everywhere", "{\"usage\":{ \"prompt_tokens\" :\t0 ,\r\n\"completion_tokens\":7 }}", 0, 7},
        {"empty object", R"({"usage":{}})", std::nullopt, std::nullopt},
        {"leading zero", R"({"usage":{"prompt_tokens":01,"completion_tokens":2}})", std::nullopt, std::nullopt},
        {"trailing comma", R"({"usage":{"prompt_tokens":1,"completion_tokens":2,}})", std::nullopt, std::nullopt},
        {"exponent", R"({"usage":{"prompt_tokens":1e2,"completion_tokens":2}})", std::nullopt, 2},
        {"eighteen and nineteen digits", R"({"usage":{"prompt_tokens":999999999999999999,)"
                                         R"("completion_tokens":1000000000000000000}})",
         999999999999999999, 1000000000000000000},
        {"non-ASCII key", "{\"usage\":{\"prompt_tok\xc3\xa9ns\":3,\"completion_tokens\":2}}", std::nullopt, 2},
        {"control byte in a key", "{\"usage\":{\"prompt\x01\":3,\"completion_tokens\":2}}", std::nullopt,
         std::nullopt},
        {"object cut after a count", R"({"usage":{"prompt_tokens":4)", std::nullopt, std::nullopt},
        // The Responses API's names, flat and with their detail objects.
        {"responses", R"({"object":"response","usage":{"input_tokens":12,"output_tokens":34,"total_tokens":46}})",
         12, 34},
        {"responses with details", R"({"response":{"usage":{"input_tokens":5,"input_tokens_details":)"
                                   R"({"cached_tokens":0},"output_tokens":9,"total_tokens":14}}})",
         5, 9},
    };
    for (const Case& c : cases) expect_usage(find_usage(c.text), c);
}

TEST(UsageScanner, ReadsTheLastUsageOfAStreamFedInAnyPieces) {
    const std::string events =
        "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}],\"usage\":null}\n\n"
        "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":7,\"completion_tokens\":1}}\n\n"
        "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":7,\"completion_tokens\":30}}\n\n"
        "data: [DONE]\n\n";
    // A JSON body far longer than the scanner keeps, with no newline.
    const std::string long_body = "{\"content\":\"" + std::string(5 * UsageScanner::kMaxLine, 'x') +
                                  "\",\"usage\":{\"prompt_tokens\":40,\"completion_tokens\":2}}";
    // Pretty-printed, as some servers answer: the object spans lines.
    const std::string pretty = "{\n  \"id\": \"x\",\n  \"usage\": {\n    \"prompt_tokens\": 9,\n"
                               "    \"completion_tokens\": 4\n  }\n}\n";
    const std::string brace_below = "{\n  \"usage\":\n  {\"prompt_tokens\": 3,\n   \"completion_tokens\": 2}\n}\n";
    const std::vector<Case> cases{{"events", events, 7, 30},
                                  {"long body", long_body, 40, 2},
                                  {"pretty", pretty, 9, 4},
                                  {"brace below", brace_below, 3, 2}};
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, c.text.size()}) {
            SCOPED_TRACE(piece);
            UsageScanner scanner;
            for (std::size_t at = 0; at < c.text.size(); at += piece)
                scanner.feed(std::string_view(c.text).substr(at, piece));
            scanner.finish();
            expect_usage(scanner.usage(), c);
        }
    }
}

}  // namespace
