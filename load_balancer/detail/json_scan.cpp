#include "load_balancer/detail/json_scan.hpp"

#include <simdjson.h>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmar::lb::detail {

namespace {

// Texts this long and longer are left undecided: positions fit 32 bits,
// and Boost.JSON's exponent bias (one per mantissa digit) plus an exponent
// below kMaxExponentDigits digits stays inside int32.
constexpr std::size_t kMaxText = std::size_t{1} << 30;
// Exponents with this many significant digits or more are left to Boost.JSON,
// which refuses those beyond INT32_MAX.
constexpr std::size_t kMaxExponentDigits = 9;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at p as a number, or -1.
long hex4(const char* p) noexcept {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_value(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Whether digits (no sign, no leading zero) fit the integer kinds: int64
// when negative, uint64 otherwise. Same length compares as text.
bool integer_fits(std::string_view digits, bool negative) noexcept {
    const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
    if (digits.size() != limit.size()) return digits.size() < limit.size();
    return digits <= limit;
}

#if defined(__SSE2__)
// Bit i set where byte i of v is '"', '\\' or below 0x20.
inline __m128i string_stops(__m128i v) noexcept {
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    const __m128i control = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), _mm_setzero_si128());
    return _mm_or_si128(_mm_or_si128(quote, slash), control);
}

inline __m128i load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

// The first '"', '\\' or control byte in [p, end), or end. Ors every byte
// read into `high` (bit 7 tells a non-ASCII byte was seen; bytes past the
// stop may be included, which only costs a UTF-8 check).
const char* skip_plain(const char* p, const char* end, unsigned& high) noexcept {
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (;;) {
        while (p + 64 <= end) {
            const __m128i a = load16(p), b = load16(p + 16), c = load16(p + 32), d = load16(p + 48);
            acc = _mm_or_si128(acc, _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)));
            const __m128i any = _mm_or_si128(_mm_or_si128(string_stops(a), string_stops(b)),
                                             _mm_or_si128(string_stops(c), string_stops(d)));
            if (_mm_movemask_epi8(any) != 0) break;
            p += 64;
        }
        if (p + 16 > end) break;
        const __m128i v = load16(p);
        acc = _mm_or_si128(acc, v);
        const int mask = _mm_movemask_epi8(string_stops(v));
        if (mask != 0) {
            high |= static_cast<unsigned>(_mm_movemask_epi8(acc));
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        }
        p += 16;
    }
    high |= static_cast<unsigned>(_mm_movemask_epi8(acc));
#endif
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) return p;
        high |= c;
    }
    return end;
}

// The first byte in [p, end) that is not an ASCII digit, or end.
const char* skip_digits(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    for (; p + 16 <= end; p += 16) {
        const __m128i v = load16(p);
        // Signed compares: bytes of 0x80 and up are negative, not digits.
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit)) & 0xFFFFu;
        if (other != 0) return p + __builtin_ctz(other);
    }
#endif
    while (p < end && is_digit(*p)) ++p;
    return p;
}

class Scanner {
public:
    Scanner(std::string_view text, std::size_t max_depth, std::vector<JsonNode>& nodes,
            std::vector<std::uint32_t>& open) noexcept
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), max_depth_(max_depth),
          nodes_(nodes), open_(open) {}

    bool run();

private:
    enum class Step { value, key, after, done, fail };

    char peek() const noexcept { return p_ < end_ ? *p_ : '\0'; }
    void skip_space() noexcept {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    std::uint32_t offset(const char* p) const noexcept { return static_cast<std::uint32_t>(p - begin_); }
    JsonNode& push(JsonKind kind, const char* from, const char* to) {
        JsonNode& n = nodes_.emplace_back();
        n.kind = kind;
        n.pos = offset(from);
        n.len = static_cast<std::uint32_t>(to - from);
        return n;
    }

    Step value();
    Step key();
    Step after();
    Step open(JsonKind kind, char closer);
    void close() noexcept;
    bool string();
    bool escape(std::uint32_t& lost);
    bool number();
    bool literal(std::string_view word, JsonKind kind, std::uint32_t aux);

    const char* begin_;
    const char* p_;
    const char* end_;
    std::size_t max_depth_;
    std::vector<JsonNode>& nodes_;
    std::vector<std::uint32_t>& open_;
    unsigned high_ = 0;
};

bool Scanner::run() {
    nodes_.clear();
    open_.clear();
    skip_space();
    Step step = Step::value;
    while (step != Step::done && step != Step::fail) {
        switch (step) {
        case Step::value: step = value(); break;
        case Step::key: step = key(); break;
        default: step = after(); break;
        }
    }
    if (step == Step::fail) return false;
    return (high_ & 0x80u) == 0 || simdjson::validate_utf8(begin_, static_cast<std::size_t>(end_ - begin_));
}

Scanner::Step Scanner::value() {
    switch (peek()) {
    case '{': return open(JsonKind::object, '}');
    case '[': return open(JsonKind::array, ']');
    case '"': return string() ? Step::after : Step::fail;
    case 't': return literal("true", JsonKind::boolean, 1) ? Step::after : Step::fail;
    case 'f': return literal("false", JsonKind::boolean, 0) ? Step::after : Step::fail;
    case 'n': return literal("null", JsonKind::null, 0) ? Step::after : Step::fail;
    default: return number() ? Step::after : Step::fail;
    }
}

// A member's key and colon; the value follows.
Scanner::Step Scanner::key() {
    if (peek() != '"' || !string()) return Step::fail;
    skip_space();
    if (peek() != ':') return Step::fail;
    ++p_;
    skip_space();
    return Step::value;
}

Scanner::Step Scanner::open(JsonKind kind, char closer) {
    if (open_.size() >= max_depth_) return Step::fail;
    open_.push_back(static_cast<std::uint32_t>(nodes_.size()));
    push(kind, p_, p_ + 1);
    ++p_;
    skip_space();
    if (peek() == closer) {
        ++p_;
        close();
        return Step::after;
    }
    return kind == JsonKind::object ? Step::key : Step::value;
}

void Scanner::close() noexcept {
    const std::uint32_t at = open_.back();
    open_.pop_back();
    nodes_[at].aux = static_cast<std::uint32_t>(nodes_.size() - at - 1);
}

// After a value: a separator, the end of the enclosing container, or the
// end of the text.
Scanner::Step Scanner::after() {
    skip_space();
    if (open_.empty()) return p_ == end_ ? Step::done : Step::fail;
    const bool in_object = nodes_[open_.back()].kind == JsonKind::object;
    const char c = peek();
    if (c == ',') {
        ++p_;
        skip_space();
        return in_object ? Step::key : Step::value;
    }
    if (c != (in_object ? '}' : ']')) return Step::fail;
    ++p_;
    close();
    return Step::after;
}

bool Scanner::string() {
    const char* start = ++p_;
    std::uint32_t lost = 0;
    bool escaped = false;
    for (;;) {
        p_ = skip_plain(p_, end_, high_);
        if (p_ == end_) return false;
        if (*p_ == '"') break;
        if (*p_ != '\\' || !escape(lost)) return false;  // a control byte, or a bad escape
        escaped = true;
    }
    JsonNode& n = push(JsonKind::string, start, p_);
    n.aux = lost;
    n.escaped = escaped;
    ++p_;
    return true;
}

// One escape at p_ (a backslash). Adds to `lost` the code points its text
// has beyond the one it stands for. Lone or reversed surrogates are left
// undecided, as Boost.JSON refuses them.
bool Scanner::escape(std::uint32_t& lost) {
    if (end_ - p_ < 2) return false;
    if (std::strchr("\"\\/bfnrt", p_[1]) != nullptr && p_[1] != '\0') {
        p_ += 2;
        lost += 1;
        return true;
    }
    if (p_[1] != 'u' || end_ - p_ < 6) return false;
    const long unit = hex4(p_ + 2);
    if (unit < 0) return false;
    if (unit < 0xD800 || unit > 0xDFFF) {
        p_ += 6;
        lost += 5;
        return true;
    }
    if (unit > 0xDBFF || end_ - p_ < 12 || p_[6] != '\\' || p_[7] != 'u') return false;
    const long low = hex4(p_ + 8);
    if (low < 0xDC00 || low > 0xDFFF) return false;
    p_ += 12;
    lost += 11;
    return true;
}

// RFC 8259 number grammar. Integers that fit int64 (negative) or uint64
// are integers, as Boost.JSON stores them; everything else is a float.
bool Scanner::number() {
    const char* start = p_;
    const bool negative = peek() == '-';
    if (negative) ++p_;
    const char* digits = p_;
    if (peek() == '0') ++p_;
    else if (is_digit(peek())) p_ = skip_digits(p_, end_);
    else return false;
    bool floating = false;
    const std::string_view whole(digits, static_cast<std::size_t>(p_ - digits));
    if (peek() == '.') {
        ++p_;
        if (!is_digit(peek())) return false;
        p_ = skip_digits(p_, end_);
        floating = true;
    }
    if (peek() == 'e' || peek() == 'E') {
        ++p_;
        if (peek() == '+' || peek() == '-') ++p_;
        if (!is_digit(peek())) return false;
        while (peek() == '0') ++p_;
        const char* significant = p_;
        p_ = skip_digits(p_, end_);
        if (static_cast<std::size_t>(p_ - significant) >= kMaxExponentDigits) return false;
        floating = true;
    }
    const bool integer = !floating && integer_fits(whole, negative);
    push(integer ? JsonKind::integer : JsonKind::floating, start, p_);
    return true;
}

bool Scanner::literal(std::string_view word, JsonKind kind, std::uint32_t aux) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) {
        return false;
    }
    push(kind, p_, p_ + word.size()).aux = aux;
    p_ += word.size();
    return true;
}

// Appends code point cp as UTF-8.
void append_utf8(unsigned long cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool JsonTape::scan(std::string_view text, std::size_t max_depth) {
    if (text.size() >= kMaxText) return false;
    return Scanner(text, max_depth, nodes_, open_).run();
}

void decode_json_string(std::string_view raw, std::string& out) {
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::size_t slash = raw.find('\\', i);
        out.append(raw.substr(i, slash == std::string_view::npos ? std::string_view::npos : slash - i));
        if (slash == std::string_view::npos) return;
        const char c = raw[slash + 1];
        i = slash + 2;
        switch (c) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            unsigned long cp = static_cast<unsigned long>(hex4(raw.data() + i));
            i += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {  // a validated pair: "\uXXXX" follows
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(hex4(raw.data() + i + 2)) - 0xDC00);
                i += 6;
            }
            append_utf8(cp, out);
            break;
        }
        default: out += c; break;  // '"', '\\', '/'
        }
    }
}

}  // namespace quillmar::lb::detail
