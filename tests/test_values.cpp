// Value rules for reading server records: falsy, looked-up vs indexed keys,
// integer/float conversion, comparison without conversion, and the text
// grammars behind the string conversions.
#include "load_balancer/values.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace lb = quillmar::lb;
namespace json = boost::json;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

std::string show(const json::value& v) { return json::serialize(v); }

const char* order_name(std::partial_ordering o) {
    if (o == std::partial_ordering::less) return "less";
    if (o == std::partial_ordering::greater) return "greater";
    if (o == std::partial_ordering::equivalent) return "equivalent";
    return "unordered";
}

// ---------------------------------------------------------------- falsy

TEST(ValuesFalsy, EveryJsonKind) {
    struct Case {
        json::value v;
        bool falsy;
    };
    const std::vector<Case> cases = {
        {nullptr, true},
        {false, true},
        {true, false},
        {std::int64_t{0}, true},
        {std::int64_t{-1}, false},
        {std::uint64_t{0}, true},
        {std::uint64_t{1}, false},
        {0.0, true},
        {-0.0, true},
        {0.5, false},
        {kNaN, false},  // NaN is not zero, so it is truthy
        {kInf, false},
        {"", true},
        {" ", false},
        {"0", false},  // a non-empty string is truthy whatever it says
        {"false", false},
        {json::array{}, true},
        {json::array{0}, false},
        {json::object{}, true},
        {json::object{{"a", nullptr}}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(lb::is_falsy(c.v), c.falsy) << show(c.v);
}

// ------------------------------------------------------ lookup and index

TEST(ValuesKeys, LookupGivesNullptrOnlyWhenAbsent) {
    json::object rec{{"id", 3}, {"weight", nullptr}};
    ASSERT_NE(lb::lookup(rec, "id"), nullptr);
    EXPECT_EQ(*lb::lookup(rec, "id"), json::value(3));
    // Present but null is a value, not an absence.
    ASSERT_NE(lb::lookup(rec, "weight"), nullptr);
    EXPECT_TRUE(lb::lookup(rec, "weight")->is_null());
    EXPECT_EQ(lb::lookup(rec, "max_concurrency"), nullptr);
    // The pointer refers into the record itself, not a copy.
    EXPECT_EQ(lb::lookup(rec, "id"), rec.if_contains("id"));
}

TEST(ValuesKeys, IndexThrowsKeyErrorNamingTheKey) {
    json::object rec{{"id", 3}, {"weight", nullptr}};
    EXPECT_EQ(&lb::index(rec, "id"), rec.if_contains("id"));
    EXPECT_TRUE(lb::index(rec, "weight").is_null());
    try {
        (void)lb::index(rec, "max_input_tokens");
        FAIL() << "expected KeyError";
    } catch (const lb::KeyError& e) {
        EXPECT_EQ(e.key(), "max_input_tokens");
        EXPECT_NE(std::string(e.what()).find("max_input_tokens"), std::string::npos) << e.what();
    }
    // Hosts catching the standard exception see it too.
    EXPECT_THROW((void)lb::index(rec, "nope"), std::out_of_range);
}

TEST(ValuesKeys, MakeRecordKeepsTheObject) {
    lb::ServerRecord r = lb::make_record(json::object{{"id", 9}, {"weight", 2}});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(lb::server_id(r), 9);
    EXPECT_EQ(r->size(), 2u);
}

// ---------------------------------------------------------------- to_int

struct IntCase {
    json::value v;
    std::optional<std::int64_t> expected;  // nullopt: ValueError
};

void check_int_cases(const std::vector<IntCase>& cases) {
    for (const auto& c : cases) {
        if (c.expected) {
            try {
                EXPECT_EQ(lb::to_int(c.v), *c.expected) << show(c.v);
            } catch (const std::exception& e) {
                ADD_FAILURE() << show(c.v) << " threw " << e.what();
            }
        } else {
            EXPECT_THROW((void)lb::to_int(c.v), lb::ValueError) << show(c.v);
        }
    }
}

TEST(ValuesToInt, NumbersAndBooleans) {
    check_int_cases({
        {std::int64_t{5}, 5},
        {std::int64_t{-5}, -5},
        {kI64Max, kI64Max},
        {kI64Min, kI64Min},
        {std::uint64_t{7}, 7},
        {std::uint64_t{static_cast<std::uint64_t>(kI64Max)}, kI64Max},
        {std::numeric_limits<std::uint64_t>::max(), std::nullopt},
        {true, 1},
        {false, 0},
        // Floats truncate toward zero, never round and never floor.
        {2.9, 2},
        {2.0, 2},
        {-2.9, -2},
        {-0.5, 0},
        {0.999999, 0},
        {1e18, 1000000000000000000},
        {-9223372036854775808.0, kI64Min},
        {9223372036854775808.0, std::nullopt},  // 2^63 does not fit
        {1e300, std::nullopt},
        {kNaN, std::nullopt},
        {kInf, std::nullopt},
        {-kInf, std::nullopt},
    });
}

TEST(ValuesToInt, StringsAndOtherKinds) {
    check_int_cases({
        {"8", 8},
        {" 8 ", 8},
        {"\t8\n", 8},
        {"1_000", 1000},
        {"-3", -3},
        {"+4", 4},
        {"010", 10},
        {"-0", 0},
        {"9223372036854775807", kI64Max},
        {"-9223372036854775808", kI64Min},
        {"9223372036854775808", std::nullopt},
        {"4.0", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"ten", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {nullptr, std::nullopt},
        {json::array{1}, std::nullopt},
        {json::object{{"a", 1}}, std::nullopt},
    });
}

TEST(ValuesToInt, ErrorNamesTheOffendingValue) {
    try {
        (void)lb::to_int(json::value("ten"));
        FAIL() << "expected ValueError";
    } catch (const lb::ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("ten"), std::string::npos) << e.what();
    }
    // ValueError is a std::invalid_argument for hosts that catch broadly.
    EXPECT_THROW((void)lb::to_int(json::value(nullptr)), std::invalid_argument);
}

// -------------------------------------------------------------- to_float

TEST(ValuesToFloat, ConvertsNumbersBooleansAndNumericText) {
    struct Case {
        json::value v;
        double expected;
    };
    const std::vector<Case> ok = {
        {std::int64_t{3}, 3.0}, {std::uint64_t{4}, 4.0}, {true, 1.0},   {false, 0.0}, {2.5, 2.5},
        {"2.5", 2.5},           {"1e3", 1000.0},         {".5", 0.5},   {"5.", 5.0},  {" 30 ", 30.0},
        {"-1.25", -1.25},       {"1_000.5", 1000.5},     {"1E+2", 100.0}, {"+.5e-1", 0.05},
    };
    for (const auto& c : ok) EXPECT_EQ(lb::to_float(c.v), c.expected) << show(c.v);

    EXPECT_EQ(lb::to_float(json::value("inf")), kInf);
    EXPECT_EQ(lb::to_float(json::value("-Infinity")), -kInf);
    EXPECT_TRUE(std::isnan(lb::to_float(json::value("NaN"))));
    EXPECT_TRUE(std::isnan(lb::to_float(json::value(kNaN))));

    for (const json::value& bad : {json::value(nullptr), json::value("soon"), json::value(""), json::value("0x1p3"),
                                   json::value(json::array{}), json::value(json::object{})})
        EXPECT_THROW((void)lb::to_float(bad), lb::ValueError) << show(bad);
}

// ---------------------------------------------------------- comparisons

TEST(ValuesCompare, NumbersCompareByValueWithoutConversion) {
    struct Case {
        json::value v;
        double rhs;
        std::partial_ordering expected;
    };
    const std::vector<Case> cases = {
        {std::int64_t{5}, 5.0, std::partial_ordering::equivalent},
        {std::int64_t{5}, 5.5, std::partial_ordering::less},
        {2.5, 2.0, std::partial_ordering::greater},
        {true, 1.0, std::partial_ordering::equivalent},
        {false, 0.5, std::partial_ordering::less},
        {std::numeric_limits<std::uint64_t>::max(), 1e18, std::partial_ordering::greater},
        {kNaN, 0.0, std::partial_ordering::unordered},
        {std::int64_t{0}, kNaN, std::partial_ordering::unordered},
        {-kInf, -1e308, std::partial_ordering::less},
    };
    for (const auto& c : cases)
        EXPECT_EQ(order_name(lb::compare_number(c.v, c.rhs)), order_name(c.expected)) << show(c.v) << " vs " << c.rhs;
}

TEST(ValuesCompare, IntegerRightHandSideIsExact) {
    struct Case {
        json::value v;
        std::int64_t rhs;
        std::partial_ordering expected;
    };
    const std::vector<Case> cases = {
        {std::int64_t{0}, 0, std::partial_ordering::equivalent},
        {std::int64_t{-1}, 0, std::partial_ordering::less},
        {true, 1, std::partial_ordering::equivalent},
        {false, 0, std::partial_ordering::equivalent},
        {2.0, 2, std::partial_ordering::equivalent},
        {2.5, 2, std::partial_ordering::greater},
        {-2.5, -2, std::partial_ordering::less},
        {0.5, 0, std::partial_ordering::greater},
        {-0.5, 0, std::partial_ordering::less},
        {kNaN, 0, std::partial_ordering::unordered},
        {kInf, kI64Max, std::partial_ordering::greater},
        {9223372036854775808.0, kI64Max, std::partial_ordering::greater},
        {-9223372036854775808.0, kI64Min, std::partial_ordering::equivalent},
        {std::numeric_limits<std::uint64_t>::max(), kI64Max, std::partial_ordering::greater},
        {std::uint64_t{3}, -1, std::partial_ordering::greater},
        // 2^53 + 1 as a double is 2^53: the fraction test must not go through
        // a conversion of the integer side.
        {9007199254740992.0, 9007199254740993, std::partial_ordering::less},
    };
    for (const auto& c : cases)
        EXPECT_EQ(order_name(lb::compare_number(c.v, c.rhs)), order_name(c.expected)) << show(c.v) << " vs " << c.rhs;
}

TEST(ValuesCompare, DoubleRightHandSideIsExactForLargeIntegers) {
    // 2^53 + 1 stored as an integer is greater than the double 2^53; a
    // comparison that converts the integer to double would call them equal.
    EXPECT_EQ(order_name(lb::compare_number(json::value(std::int64_t{9007199254740993}), 9007199254740992.0)),
              order_name(std::partial_ordering::greater));
}

TEST(ValuesCompare, NonNumbersAreErrors) {
    for (const json::value& bad : {json::value("5"), json::value(""), json::value(nullptr), json::value(json::array{}),
                                   json::value(json::object{})}) {
        EXPECT_THROW((void)lb::compare_number(bad, 0.0), lb::ValueError) << show(bad);
        EXPECT_THROW((void)lb::compare_number(bad, std::int64_t{0}), lb::ValueError) << show(bad);
    }
}

TEST(ValuesCompare, CompareOrZeroReadsFalsyAsZero) {
    json::object rec{{"null", nullptr}, {"empty_str", ""},        {"false", false},    {"empty_arr", json::array{}},
                     {"three", 3},      {"three_half", 3.5},       {"true", true},      {"str", "5"},
                     {"arr", json::array{1}}, {"obj", json::object{{"a", 1}}}, {"nan", kNaN}};
    struct Case {
        const char* key;
        std::int64_t rhs;
        std::partial_ordering expected;
    };
    const std::vector<Case> cases = {
        {"missing", 0, std::partial_ordering::equivalent},
        {"missing", 1, std::partial_ordering::less},
        {"null", 0, std::partial_ordering::equivalent},
        {"empty_str", 0, std::partial_ordering::equivalent},  // falsy, so never parsed
        {"false", -1, std::partial_ordering::greater},
        {"empty_arr", 0, std::partial_ordering::equivalent},
        {"three", 3, std::partial_ordering::equivalent},
        {"three_half", 3, std::partial_ordering::greater},
        {"true", 1, std::partial_ordering::equivalent},
        {"nan", 0, std::partial_ordering::unordered},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(order_name(lb::compare_or_zero(rec, c.key, c.rhs)), order_name(c.expected)) << c.key;
        EXPECT_EQ(order_name(lb::compare_or_zero(rec, c.key, static_cast<double>(c.rhs))), order_name(c.expected))
            << c.key;
    }
    // Truthy non-numbers are not converted: a numeric string is an error.
    for (const char* key : {"str", "arr", "obj"}) {
        EXPECT_THROW((void)lb::compare_or_zero(rec, key, std::int64_t{0}), lb::ValueError) << key;
        EXPECT_THROW((void)lb::compare_or_zero(rec, key, 0.0), lb::ValueError) << key;
    }
}

TEST(ValuesLookups, IntOrZeroAndFloatOr) {
    json::object rec{{"null", nullptr}, {"zero", 0},   {"empty", ""},   {"false", false},     {"seven_str", "7"},
                     {"float", 2.9},    {"true", true}, {"arr", json::array{1}}, {"half_str", "2.5"}, {"bad", "x"}};
    EXPECT_EQ(lb::int_or_zero(rec, "missing"), 0);
    EXPECT_EQ(lb::int_or_zero(rec, "null"), 0);
    EXPECT_EQ(lb::int_or_zero(rec, "zero"), 0);
    EXPECT_EQ(lb::int_or_zero(rec, "empty"), 0);
    EXPECT_EQ(lb::int_or_zero(rec, "false"), 0);
    EXPECT_EQ(lb::int_or_zero(rec, "seven_str"), 7);
    EXPECT_EQ(lb::int_or_zero(rec, "float"), 2);
    EXPECT_EQ(lb::int_or_zero(rec, "true"), 1);
    EXPECT_THROW((void)lb::int_or_zero(rec, "arr"), lb::ValueError);
    EXPECT_THROW((void)lb::int_or_zero(rec, "half_str"), lb::ValueError);

    EXPECT_EQ(lb::float_or(rec, "missing", 1.5), 1.5);
    EXPECT_EQ(lb::float_or(rec, "null", 1.5), 1.5);
    EXPECT_EQ(lb::float_or(rec, "zero", 1.5), 1.5);  // falsy zero gives the fallback
    EXPECT_EQ(lb::float_or(rec, "false", 1.5), 1.5);
    EXPECT_EQ(lb::float_or(rec, "half_str", 1.5), 2.5);
    EXPECT_EQ(lb::float_or(rec, "float", 1.5), 2.9);
    EXPECT_EQ(lb::float_or(rec, "true", 1.5), 1.0);
    EXPECT_THROW((void)lb::float_or(rec, "bad", 1.5), lb::ValueError);
    EXPECT_THROW((void)lb::float_or(rec, "arr", 1.5), lb::ValueError);
}

// -------------------------------------------------------------- server_id

TEST(ValuesServerId, IntegerIdsOnly) {
    EXPECT_EQ(lb::server_id(json::object{{"id", 42}}), 42);
    EXPECT_EQ(lb::server_id(json::object{{"id", -3}}), -3);
    EXPECT_EQ(lb::server_id(json::object{{"id", std::uint64_t{7}}}), 7);

    try {
        (void)lb::server_id(json::object{{"weight", 1}});
        FAIL() << "expected KeyError";
    } catch (const lb::KeyError& e) {
        EXPECT_EQ(e.key(), "id");
    }
    for (const json::value& bad :
         {json::value("5"), json::value(5.0), json::value(nullptr), json::value(true),
          json::value(std::numeric_limits<std::uint64_t>::max()), json::value(json::array{5})})
        EXPECT_THROW((void)lb::server_id(json::object{{"id", bad}}), lb::ValueError) << show(bad);
}

// ------------------------------------------------------- text grammars

TEST(ValuesParseIntText, Grammar) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> expected;
    };
    const std::vector<Case> cases = {
        {"0", 0},
        {"42", 42},
        {"  42\t\n", 42},
        {"+42", 42},
        {"-42", -42},
        {"007", 7},
        {"1_000", 1000},
        {"1_0_0_0", 1000},
        {"-1_024", -1024},
        {"9223372036854775807", kI64Max},
        {"-9223372036854775808", kI64Min},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"--1", std::nullopt},
        {"+-1", std::nullopt},
        {"- 1", std::nullopt},
        {"1 0", std::nullopt},
        {"1__000", std::nullopt},
        {"_1000", std::nullopt},
        {"1000_", std::nullopt},
        {"-_1", std::nullopt},
        {"4.0", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"ten", std::nullopt},
        {"12abc", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(lb::parse_int_text(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ValuesParseFloatText, Grammar) {
    struct Case {
        const char* text;
        std::optional<double> expected;
    };
    const std::vector<Case> cases = {
        {"30", 30.0},
        {"2.5", 2.5},
        {".5", 0.5},
        {"5.", 5.0},
        {"1e3", 1000.0},
        {"1E3", 1000.0},
        {"1e+3", 1000.0},
        {"25e-1", 2.5},
        {" \t-2.5\n", -2.5},
        {"+.5", 0.5},
        {"1_000.000_5", 1000.0005},
        {"1e1_0", 1e10},
        {"0000.5", 0.5},
        {"inf", kInf},
        {"+inf", kInf},
        {"-inf", -kInf},
        {"Infinity", kInf},
        {"-INFINITY", -kInf},
        {" inf ", kInf},
        {"1e400", kInf},
        {"-1e400", -kInf},
        {"1e309", kInf},
        {"0.0001e400", kInf},
        {"1e9223372036854775807", kInf},  // the exponent at the edge of long long
        {"0.001e-9223372036854775807", 0.0},
        {"1e-400", 0.0},
        {"100e-330", 0.0},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {".", std::nullopt},
        {"e3", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"0x1p3", std::nullopt},
        {"0x10", std::nullopt},
        {"1_.5", std::nullopt},
        {"1._5", std::nullopt},
        {"1_e3", std::nullopt},
        {"1e_3", std::nullopt},
        {"_1.5", std::nullopt},
        {"1.5_", std::nullopt},
        {"1__0", std::nullopt},
        {"in f", std::nullopt},
        {"infinit", std::nullopt},
        {"infx", std::nullopt},
        {"soon", std::nullopt},
        {"1.2.3", std::nullopt},
        {"--1", std::nullopt},
        {"1 2", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(lb::parse_float_text(c.text), c.expected) << '"' << c.text << '"';

    for (const char* text : {"nan", "NaN", "-nan", "+NAN", " nan "}) {
        auto parsed = lb::parse_float_text(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_TRUE(std::isnan(*parsed)) << text;
    }
    // Underflow keeps the sign.
    auto neg_zero = lb::parse_float_text("-1e-400");
    ASSERT_TRUE(neg_zero.has_value());
    EXPECT_EQ(*neg_zero, 0.0);
    EXPECT_TRUE(std::signbit(*neg_zero));
}

TEST(ValuesParseFloatText, LongDigitRunsAndSubnormals) {
    // 400 digits before the point overflow; 400 zeros after it underflow.
    EXPECT_EQ(lb::parse_float_text("1" + std::string(400, '0')), kInf);
    EXPECT_EQ(lb::parse_float_text("0." + std::string(400, '0') + "1"), 0.0);
    // Subnormal results are numbers, not zero: only values below half the
    // smallest subnormal round to zero.
    EXPECT_EQ(lb::parse_float_text("1e-310"), 1e-310);
    EXPECT_EQ(lb::parse_float_text("5e-324"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(lb::parse_float_text("2e-324"), 0.0);
}

TEST(ValuesParseFloatText, ExponentsBeyondLongLongStillResolveBySign) {
    // An exponent too long for any integer type still says which way the
    // value goes: hugely negative underflows to zero, hugely positive
    // overflows to infinity.
    EXPECT_EQ(lb::parse_float_text("1e99999999999999999999"), kInf);
    EXPECT_EQ(lb::parse_float_text("1e-99999999999999999999"), 0.0);
    EXPECT_EQ(lb::parse_float_text("-1e-99999999999999999999"), 0.0);
}

}  // namespace
