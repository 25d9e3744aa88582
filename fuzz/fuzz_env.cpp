// Environment readers against small reference parsers written from the
// documented grammar: input byte 0 chooses set/unset, the text up to the
// first NUL is the variable's value, up to 8 bytes after it the fallback.
#include "load_balancer/settings.hpp"

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "fuzz_env: %s for value \"%.*s\"\n", what, static_cast<int>(text.size()), text.data());
    std::abort();
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A run of digits with single underscores between digits, appended to `out`
// without the underscores. Returns the number of digits, or -1 when an
// underscore is misplaced; `pos` moves past what was read.
int digit_run(std::string_view s, std::size_t& pos, std::string& out) {
    int n = 0;
    while (pos < s.size()) {
        if (digit(s[pos])) {
            out.push_back(s[pos++]);
            ++n;
        } else if (s[pos] == '_') {
            if (n == 0 || pos + 1 >= s.size() || !digit(s[pos + 1])) return -1;
            ++pos;
        } else {
            break;
        }
    }
    return n;
}

std::optional<std::int64_t> ref_int(std::string_view text) {
    std::string_view s = trim(text);
    std::size_t pos = 0;
    bool neg = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) neg = s[pos++] == '-';
    std::string digits;
    if (digit_run(s, pos, digits) <= 0 || pos != s.size()) return std::nullopt;
    unsigned __int128 mag = 0;
    for (char c : digits) {
        mag = mag * 10 + static_cast<unsigned>(c - '0');
        if (mag > (static_cast<unsigned __int128>(1) << 63)) return std::nullopt;
    }
    if (!neg && mag == (static_cast<unsigned __int128>(1) << 63)) return std::nullopt;
    return neg ? static_cast<std::int64_t>(-static_cast<__int128>(mag)) : static_cast<std::int64_t>(mag);
}

std::optional<double> ref_float(std::string_view text) {
    std::string_view s = trim(text);
    std::size_t pos = 0;
    bool neg = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) neg = s[pos++] == '-';
    std::string word = lower(s.substr(pos));
    if (word == "inf" || word == "infinity") return neg ? -INFINITY : INFINITY;
    if (word == "nan") return NAN;
    std::string clean = neg ? "-" : "";
    int whole = digit_run(s, pos, clean);
    if (whole < 0) return std::nullopt;
    int frac = 0;
    if (pos < s.size() && s[pos] == '.') {
        clean.push_back('.');
        ++pos;
        frac = digit_run(s, pos, clean);
        if (frac < 0) return std::nullopt;
    }
    if (whole + frac == 0) return std::nullopt;
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        clean.push_back('e');
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) clean.push_back(s[pos++]);
        if (digit_run(s, pos, clean) <= 0) return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    // strtod rounds correctly and saturates to +-inf or +-0 on range errors.
    return std::strtod(clean.c_str(), nullptr);
}

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace d = quillmar::lb::detail;
    if (size == 0) return 0;
    const bool set = (data[0] & 1) != 0;
    const char* begin = reinterpret_cast<const char*>(data + 1);
    const std::size_t rest = size - 1;
    const void* nul = std::memchr(begin, 0, rest);
    const std::size_t len = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : rest;
    const std::string value(begin, len);

    std::uint64_t bits = 0;
    if (nul != nullptr) std::memcpy(&bits, begin + len + 1, std::min<std::size_t>(8, rest - len - 1));
    const auto int_fallback = static_cast<std::int64_t>(bits);
    double float_fallback = 0.0;
    std::memcpy(&float_fallback, &bits, sizeof float_fallback);
    const bool bool_fallback = (data[0] & 2) != 0;

    // The readers' text, as getenv would hand it over (unset reads as
    // empty); setenv is not used, since glibc keeps every value it was given
    // and a long run would grow without bound.
    const std::string_view seen = set ? std::string_view(value) : std::string_view();

    // Boolean: empty gives the fallback; any other text is true only for the
    // four accepted words.
    bool want_bool = bool_fallback;
    if (!seen.empty()) {
        std::string w = lower(trim(seen));
        want_bool = w == "1" || w == "true" || w == "yes" || w == "on";
    }
    if (d::bool_from_text(seen, bool_fallback) != want_bool) fail("env_bool disagrees", seen);

    const std::int64_t want_int = seen.empty() ? int_fallback : ref_int(seen).value_or(int_fallback);
    if (d::int_from_text(seen, int_fallback) != want_int) fail("env_int disagrees", seen);

    const double want_float = seen.empty() ? float_fallback : ref_float(seen).value_or(float_fallback);
    const double got_float = d::float_from_text(seen, float_fallback);
    if (!same(got_float, want_float)) {
        std::fprintf(stderr, "got %.17g want %.17g\n", got_float, want_float);
        fail("env_float disagrees", seen);
    }
    return 0;
}
