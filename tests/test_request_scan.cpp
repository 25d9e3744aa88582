// Reading a request from its raw bytes: tricky JSON texts, each checked
// against the expected reading and against the same reading of the
// Boost.JSON document, so both entry points agree wherever the text is
// valid, and refuse together where it is not.
#include "load_balancer/request_scan.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/parse.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

namespace json = boost::json;
using quillmar::lb::FieldKind;
using quillmar::lb::scan_parsed_request;
using quillmar::lb::scan_request;
using quillmar::lb::ScanStatus;
using quillmar::lb::TokenCounts;

std::string nested(int depth, const std::string& inner) {
    return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
}

// A prompt of strings of every length from 0 to 129 bytes of 'a', each
// followed by `tail`, so the tail (an escape, or nothing: the closing quote)
// falls at every offset around the scanner's 16- and 64-byte blocks.
std::string every_length(const std::string& tail) {
    std::string body = R"({"prompt":[)";
    for (std::size_t k = 0; k < 130; ++k) {
        body += (k ? ",\"" : "\"") + std::string(k, 'a') + tail + "\"";
    }
    return body + "]}";
}

// A prompt of 100 'a', `middle`, then 100 'a': a byte deep inside a long
// string, past the first block.
std::string long_string_around(const std::string& middle) {
    return R"({"prompt":")" + std::string(100, 'a') + middle + std::string(100, 'a') + "\"}";
}

// An id list long enough for the scanner's 64-byte steps with `element`
// second.
std::string ids_around(const std::string& element) {
    std::string body = R"({"input":[1000,)" + element;
    for (int i = 0; i < 13; ++i) body += ",1000";
    return body + "]}";
}

struct Case {
    const char* name;
    std::string body;
    ScanStatus status = ScanStatus::ok;
    TokenCounts counts = {};
    std::optional<std::string> model = std::nullopt;
    FieldKind routed_kind = FieldKind::absent;  // of the member "user"
    std::string routed_text = {};
    std::size_t max_depth = 32;
};

class ScanTable : public ::testing::TestWithParam<Case> {};

TEST_P(ScanTable, ReadsLikeTheParsedDocument) {
    const Case& c = GetParam();
    const auto got = scan_request(c.body, {.routed_field = "user", .max_depth = c.max_depth});
    ASSERT_EQ(got.status, c.status) << got.error;
    if (c.status != ScanStatus::ok) {
        EXPECT_FALSE(got.error.empty());
        EXPECT_LE(got.error_offset, c.body.size());
        return;
    }
    EXPECT_EQ(got.counts, c.counts);
    EXPECT_EQ(got.estimate, c.counts.total_chars / 4 + c.counts.token_ids +
                                c.counts.image_count * quillmar::lb::IMAGE_TOKEN_COST);
    EXPECT_EQ(got.model, c.model);
    EXPECT_EQ(got.routed_kind, c.routed_kind);
    EXPECT_EQ(got.routed_text, c.routed_text);

    json::parse_options po;
    po.max_depth = c.max_depth;
    const auto dom = scan_parsed_request(json::parse(c.body, {}, po), "user");
    EXPECT_EQ(dom.counts, got.counts);
    EXPECT_EQ(dom.model, got.model);
    EXPECT_EQ(dom.routed_kind, got.routed_kind);
    EXPECT_EQ(dom.routed_text, got.routed_text);
    EXPECT_EQ(dom.is_object, got.is_object);
}

TEST_P(ScanTable, RefusesWhatBoostRefuses) {
    const Case& c = GetParam();
    json::parse_options po;
    po.max_depth = c.max_depth;
    boost::system::error_code ec;
    json::parse(c.body, ec, {}, po);
    const auto got = scan_request(c.body, {.max_depth = c.max_depth});
    EXPECT_EQ(bool(ec), got.status != ScanStatus::ok) << ec.message();
    EXPECT_EQ(ec == json::error::too_deep, got.status == ScanStatus::too_deep);
}

// Escapes decode before counting: "\n", "\"" and "\u00e9" are one
// character each, and a surrogate pair is one code point.
INSTANTIATE_TEST_SUITE_P(
    Strings, ScanTable,
    ::testing::Values(
        Case{"simple_escapes", R"({"prompt":"a\n\t\"\\\/\b\f\r"})", ScanStatus::ok, {9, 0, 0}},
        Case{"unicode_escapes", R"({"prompt":"\u00e9\u20ac\u0000x"})", ScanStatus::ok, {4, 0, 0}},
        Case{"surrogate_pair", R"({"prompt":"\ud83d\ude00\uDBFF\uDFFF"})", ScanStatus::ok, {2, 0, 0}},
        Case{"raw_multibyte", R"({"prompt":"é€😀"})", ScanStatus::ok, {3, 0, 0}},
        Case{"escaped_keys_match", R"({"\u006dodel":"m","pr\u006fmpt":"abcd"})", ScanStatus::ok, {4, 0, 0}, "m"},
        Case{"lone_high_surrogate", R"({"prompt":"\ud800"})", ScanStatus::invalid_json},
        Case{"lone_low_surrogate", R"({"prompt":"\udc00"})", ScanStatus::invalid_json},
        Case{"high_then_letter", R"({"prompt":"\ud800\u0041"})", ScanStatus::invalid_json},
        Case{"bad_escape", R"({"prompt":"\x"})", ScanStatus::invalid_json},
        Case{"raw_control_char", "{\"prompt\":\"a\x01\"}", ScanStatus::invalid_json},
        Case{"invalid_utf8", "{\"prompt\":\"\xff\"}", ScanStatus::invalid_json},
        Case{"encoded_surrogate_utf8", "{\"prompt\":\"\xed\xa0\x80\"}", ScanStatus::invalid_json},
        Case{"quote_at_every_offset", every_length(""), ScanStatus::ok, {129 * 130 / 2, 0, 0}},
        Case{"escaped_quote_at_every_offset", every_length(R"(\")"), ScanStatus::ok, {130 * 131 / 2, 0, 0}},
        Case{"backslash_at_every_offset", every_length(R"(\\)"), ScanStatus::ok, {130 * 131 / 2, 0, 0}},
        Case{"unicode_escape_at_every_offset", every_length(R"(\u00e9)"), ScanStatus::ok, {130 * 131 / 2, 0, 0}},
        Case{"multibyte_in_long_string", long_string_around("\xc3\xa9\xf0\x9f\x98\x80"), ScanStatus::ok,
             {202, 0, 0}},
        Case{"delete_byte_in_long_string", long_string_around("\x7f"), ScanStatus::ok, {201, 0, 0}},
        Case{"invalid_utf8_in_long_string", long_string_around("\xff"), ScanStatus::invalid_json},
        Case{"truncated_utf8_in_long_string", long_string_around("\xe2\x82"), ScanStatus::invalid_json},
        Case{"overlong_utf8_in_long_string", long_string_around("\xc0\xaf"), ScanStatus::invalid_json},
        Case{"control_byte_in_long_string", long_string_around("\x1f"), ScanStatus::invalid_json},
        Case{"newline_in_long_string", long_string_around("\n"), ScanStatus::invalid_json},
        Case{"unterminated_long_string", R"({"prompt":")" + std::string(200, 'a'), ScanStatus::invalid_json},
        Case{"escape_cut_at_end", R"({"prompt":"\u00)", ScanStatus::invalid_json}),
    [](const auto& info) { return std::string(info.param.name); });

// Integers that fit int64 or uint64 are ids; anything with a fraction or
// exponent, or beyond uint64, is a float (Boost.JSON accepts floats beyond
// double range as infinity, which the scanner hands to the Boost path).
INSTANTIATE_TEST_SUITE_P(
    Numbers, ScanTable,
    ::testing::Values(
        Case{"integer_limits", R"({"input":[-9223372036854775808,18446744073709551615,-0,0,true,false]})",
             ScanStatus::ok, {0, 6, 0}},
        Case{"floats_are_not_ids", R"({"input":[1.0,1e2,-0.0,1E-400,2.5e+3,null]})", ScanStatus::ok, {0, 0, 0}},
        Case{"beyond_int_range", R"({"input":[18446744073709551616,-9223372036854775809,7]})", ScanStatus::ok,
             {0, 1, 0}},
        Case{"beyond_double_range", R"({"input":[1e400,-1e400,123456789012345678901234567890,1]})", ScanStatus::ok,
             {0, 1, 0}},
        Case{"exponent_beyond_int32", R"({"input":[0e400773051616,7]})", ScanStatus::invalid_json},
        Case{"negative_exponent_beyond_int32", R"({"input":[1E-2147483648]})", ScanStatus::invalid_json},
        Case{"exponent_at_int32_edge", R"({"input":[0e2147483647,1e-2147483647,0e0000000000005,7]})", ScanStatus::ok,
             {0, 1, 0}},
        Case{"long_digit_runs_elsewhere", R"({"input":[1234567890123],"prompt":"e12345678901"})", ScanStatus::ok,
             {12, 1, 0}},
        Case{"leading_zero", R"({"input":[01]})", ScanStatus::invalid_json},
        Case{"bare_fraction", R"({"input":[1.]})", ScanStatus::invalid_json},
        Case{"plus_sign", R"({"input":[+1]})", ScanStatus::invalid_json},
        Case{"id_runs_mixed", R"({"input":[1,2,3,4,5,6,7,8,9,"ab",10,-11,1e2,0,1234567890123456,12, 13 ,0]})",
             ScanStatus::ok, {2, 16, 0}},
        Case{"long_ids_in_wide_blocks",
             R"({"input":[18446744073709551615,18446744073709551616,12345678901234567890123,1000,1000,1,2,3]})",
             ScanStatus::ok, {0, 6, 0}},
        Case{"leading_zero_in_wide_block", ids_around("0123"), ScanStatus::invalid_json},
        Case{"empty_element_in_wide_block", ids_around(""), ScanStatus::invalid_json},
        Case{"blank_in_wide_block", ids_around(" 7"), ScanStatus::ok, {0, 15, 0}},
        Case{"leading_zero_inside_id_run", R"({"input":[1,2,3,4,5,6,01,7,8,9]})", ScanStatus::invalid_json},
        Case{"empty_element_inside_id_run", R"({"input":[1,2,3,,4,5,6,7,8,9]})", ScanStatus::invalid_json},
        Case{"id_run_in_object", R"({"input":{"a":1,"b":2,"c":3,"d":4},"x":[1,2,3,4,5,6,7,8,9]})", ScanStatus::ok},
        Case{"exponent_zeros_then_digits", R"({"input":[1e000000000000000012,1e123456789,0.0e-0,1E+5]})",
             ScanStatus::ok},
        Case{"number_grammar_cuts", R"({"input":[-]})", ScanStatus::invalid_json},
        Case{"dot_then_exponent", R"({"input":[1.e5]})", ScanStatus::invalid_json},
        Case{"exponent_without_digits", R"({"input":[1e+]})", ScanStatus::invalid_json},
        Case{"negative_leading_zero", R"({"input":[-01]})", ScanStatus::invalid_json},
        Case{"number_then_letter", R"({"input":[12x]})", ScanStatus::invalid_json}),
    [](const auto& info) { return std::string(info.param.name); });

// Boost.JSON keeps the last member of a duplicate key; so does the scanner,
// at every level it reads.
INSTANTIATE_TEST_SUITE_P(
    DuplicateKeys, ScanTable,
    ::testing::Values(
        Case{"last_model_and_prompt", R"({"model":"a","prompt":"abcdefgh","model":"b","prompt":"abcd"})",
             ScanStatus::ok, {4, 0, 0}, "b"},
        Case{"model_string_then_number", R"({"model":"a","model":7})", ScanStatus::ok, {}},
        Case{"messages_array_then_null", R"({"messages":[{"content":"abcdefgh"}],"messages":null,"prompt":"ab"})",
             ScanStatus::ok, {2, 0, 0}},
        Case{"content_and_type_twice",
             R"({"messages":[{"content":"abcdefgh","content":[{"type":"image","type":"text","text":"a","text":"abc"}]}]})",
             ScanStatus::ok, {3, 0, 0}},
        Case{"routed_twice", R"({"user":"first","user":"second"})", ScanStatus::ok, {}, std::nullopt,
             FieldKind::string, "second"}),
    [](const auto& info) { return std::string(info.param.name); });

// The routed member as the host keys on it: a string's value, else
// boost::json::serialize of the value (floats and containers in Boost's
// own spelling).
INSTANTIATE_TEST_SUITE_P(
    RoutedField, ScanTable,
    ::testing::Values(
        Case{"escaped_string", R"({"user":"s\u00e9\"1"})", ScanStatus::ok, {}, std::nullopt, FieldKind::string,
             "s\xc3\xa9\"1"},
        Case{"empty_string", R"({"user":""})", ScanStatus::ok, {}, std::nullopt, FieldKind::string, ""},
        Case{"null", R"({"user":null})", ScanStatus::ok, {}, std::nullopt, FieldKind::null, ""},
        Case{"integers", R"({"user":-42})", ScanStatus::ok, {}, std::nullopt, FieldKind::other, "-42"},
        Case{"unsigned", R"({"user":18446744073709551615})", ScanStatus::ok, {}, std::nullopt, FieldKind::other,
             "18446744073709551615"},
        Case{"negative_zero", R"({"user":-0})", ScanStatus::ok, {}, std::nullopt, FieldKind::other, "0"},
        Case{"boolean", R"({"user":false})", ScanStatus::ok, {}, std::nullopt, FieldKind::other, "false"},
        Case{"float", R"({"user":1.50})", ScanStatus::ok, {}, std::nullopt, FieldKind::other, "1.5E0"},
        Case{"object_with_duplicates", R"({"user":{"b":[1,2.0],"a":"x","b":true}})", ScanStatus::ok, {},
             std::nullopt, FieldKind::other, R"({"b":true,"a":"x"})"},
        Case{"not_at_top_level", R"({"messages":[{"user":"x","content":"abcd"}]})", ScanStatus::ok, {4, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Nesting is limited like Boost.JSON's parser: max_depth containers are
// accepted, one more is "too deep", whichever member holds them.
INSTANTIATE_TEST_SUITE_P(
    Depth, ScanTable,
    ::testing::Values(
        Case{"at_default_limit", R"({"prompt":"abcd","x":)" + nested(31, "1") + "}", ScanStatus::ok, {4, 0, 0}},
        Case{"past_default_limit", R"({"prompt":"abcd","x":)" + nested(32, "1") + "}", ScanStatus::too_deep},
        Case{"top_level_array_at_limit", nested(32, ""), ScanStatus::ok},
        Case{"small_limit", R"({"input":[[1]]})", ScanStatus::too_deep, {}, std::nullopt, FieldKind::absent, "", 2},
        Case{"small_limit_met", R"({"input":[[1]]})", ScanStatus::ok, {0, 1, 0}, std::nullopt, FieldKind::absent,
             "", 3},
        Case{"limit_beyond_tape", nested(40, ""), ScanStatus::ok, {}, std::nullopt, FieldKind::absent, "",
             std::size_t{1} << 20}),
    [](const auto& info) { return std::string(info.param.name); });

// Not one whole JSON text; a body that is valid but not an object reads as
// nothing.
INSTANTIATE_TEST_SUITE_P(
    Structure, ScanTable,
    ::testing::Values(
        Case{"empty", "", ScanStatus::invalid_json},
        Case{"blank", " \n\t", ScanStatus::invalid_json},
        Case{"truncated", R"({"prompt":"abcd")", ScanStatus::invalid_json},
        Case{"trailing_comma", R"({"prompt":"abcd",})", ScanStatus::invalid_json},
        Case{"extra_data", R"({"prompt":"abcd"} {})", ScanStatus::invalid_json},
        Case{"byte_order_mark", "\xef\xbb\xbf{}", ScanStatus::invalid_json},
        Case{"comment", "{} // c", ScanStatus::invalid_json},
        Case{"nul_after_text", std::string("{}\0", 3), ScanStatus::invalid_json},
        Case{"whitespace_around", " \r\n{\"prompt\":\"abcd\"}\t ", ScanStatus::ok, {4, 0, 0}},
        Case{"array_root", R"([{"prompt":"abcd"}])", ScanStatus::ok},
        Case{"string_root", R"("abcd")", ScanStatus::ok}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScanRequest, ErrorNamesTheOffsetWhereParsingStopped) {
    const auto got = scan_request(R"({"prompt":"abcd",,})");
    EXPECT_EQ(got.status, ScanStatus::invalid_json);
    EXPECT_EQ(got.error_offset, 17u);
    EXPECT_EQ(got.error, "syntax error");
}

TEST(ScanRequest, LargeBodiesUseTheirOwnParserAndStillAgree) {
    std::string body = R"({"model":"big","messages":[)";
    for (int i = 0; i < 5000; ++i) body += std::string(i ? "," : "") + R"({"content":")" + std::string(300, 'x') + "\"}";
    body += "]}";
    ASSERT_GT(body.size(), std::size_t{1} << 20);
    for (int round = 0; round < 2; ++round) {  // then a small body on the reused parser
        const auto got = scan_request(round == 0 ? body : R"({"prompt":"abcd"})");
        EXPECT_EQ(got.counts, round == 0 ? (TokenCounts{5000 * 300, 0, 0}) : (TokenCounts{4, 0, 0}));
    }
}

}  // namespace
