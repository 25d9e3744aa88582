#include "load_balancer/detail/json_scan.hpp"

#include <simdjson.h>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillmar::lb::detail {

namespace {

// Texts this long and longer are left undecided: positions fit 32 bits,
// no string, array or object can reach Boost.JSON's size limits (about
// 2^31), and its exponent bias (one per mantissa digit) plus an exponent
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

// Bit i set where byte i of v is an ASCII digit. Signed compares: bytes of
// 0x80 and up are negative, not digits.
inline unsigned digit_mask(__m128i v) noexcept {
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    return static_cast<unsigned>(_mm_movemask_epi8(digit));
}

inline unsigned byte_mask(__m128i v, char c) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
}
#endif

#if defined(__SSE2__)
// Skips whole 64-byte blocks free of '"', '\\' and control bytes; returns
// the first block holding one (or the last place a whole block fits).
const char* skip_blocks_sse2(const char* p, const char* end, unsigned& high) noexcept {
    __m128i acc = _mm_setzero_si128();
    while (p + 64 <= end) {
        const __m128i a = load16(p), b = load16(p + 16), c = load16(p + 32), d = load16(p + 48);
        acc = _mm_or_si128(acc, _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)));
        const __m128i any = _mm_or_si128(_mm_or_si128(string_stops(a), string_stops(b)),
                                         _mm_or_si128(string_stops(c), string_stops(d)));
        if (_mm_movemask_epi8(any) != 0) break;
        p += 64;
    }
    high |= static_cast<unsigned>(_mm_movemask_epi8(acc));
    return p;
}

#if defined(__x86_64__)
// The same with 32-byte registers, for CPUs that have them (checked once
// at run time; the rest of the program is built for baseline x86-64).
__attribute__((target("avx2"))) const char* skip_blocks_avx2(const char* p, const char* end,
                                                            unsigned& high) noexcept {
    const __m256i quote = _mm256_set1_epi8('"'), slash = _mm256_set1_epi8('\\');
    const __m256i space = _mm256_set1_epi8(0x1F), zero = _mm256_setzero_si256();
    __m256i acc = zero;
    while (p + 64 <= end) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        acc = _mm256_or_si256(acc, _mm256_or_si256(a, b));
        const __m256i sa = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(a, quote), _mm256_cmpeq_epi8(a, slash)),
                                           _mm256_cmpeq_epi8(_mm256_subs_epu8(a, space), zero));
        const __m256i sb = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(b, quote), _mm256_cmpeq_epi8(b, slash)),
                                           _mm256_cmpeq_epi8(_mm256_subs_epu8(b, space), zero));
        if (_mm256_movemask_epi8(_mm256_or_si256(sa, sb)) != 0) break;
        p += 64;
    }
    high |= static_cast<unsigned>(_mm256_movemask_epi8(acc));
    return p;
}

// libgcc's check includes the OS saving the wide registers.
bool have_avx2() noexcept {
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return yes;
}
#endif
#endif

// The first '"', '\\' or control byte in [p, end), or end. Leaves `high`
// non-zero when a byte read was above 0x7F (bytes past the stop may be
// included, which only costs a UTF-8 check). Short strings end
// in the first sixteen bytes; longer ones go block by block.
inline const char* skip_plain(const char* p, const char* end, unsigned& high) noexcept {
#if defined(__SSE2__)
    bool first = true;
    while (p + 16 <= end) {
        const __m128i v = load16(p);
        const int mask = _mm_movemask_epi8(string_stops(v));
        high |= static_cast<unsigned>(_mm_movemask_epi8(v));
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
        if (first) {
            first = false;
#if defined(__x86_64__)
            if (have_avx2()) {
                p = skip_blocks_avx2(p, end, high);
                continue;
            }
#endif
            p = skip_blocks_sse2(p, end, high);
        }
    }
#endif
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) return p;
        high |= c & 0x80u;
    }
    return end;
}

// The first byte in [p, end) that is not an ASCII digit, or end.
inline const char* skip_digits(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    for (; p + 16 <= end; p += 16) {
        const unsigned other = ~digit_mask(load16(p)) & 0xFFFFu;
        if (other != 0) return p + __builtin_ctz(other);
    }
#endif
    while (p < end && is_digit(*p)) ++p;
    return p;
}

#if defined(__SSE2__)
// Where the commas, digits and zeros are in a block of 16 or 64 bytes.
struct IdBlock {
    std::uint64_t commas = 0, digits = 0, zeros = 0;

    void add(__m128i v, int shift) noexcept {
        commas |= std::uint64_t{byte_mask(v, ',')} << shift;
        digits |= std::uint64_t{digit_mask(v)} << shift;
        zeros |= std::uint64_t{byte_mask(v, '0')} << shift;
    }
    static IdBlock of16(const char* p) noexcept {
        IdBlock b;
        b.add(load16(p), 0);
        return b;
    }
    static IdBlock of64(const char* p) noexcept {
        IdBlock b;
        b.add(load16(p), 0);
        b.add(load16(p + 16), 16);
        b.add(load16(p + 32), 32);
        b.add(load16(p + 48), 48);
        return b;
    }
};
#endif

class Scanner {
public:
    Scanner(std::string_view text, std::size_t max_depth, JsonNode* nodes, std::vector<std::uint32_t>& open) noexcept
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), max_depth_(max_depth),
          nodes_(nodes), open_(open) {}

    bool run();

private:
    enum class Step { value, key, after, done, fail };

    char peek() const noexcept { return p_ < end_ ? *p_ : '\0'; }
    void skip_space() noexcept {
        if (p_ < end_ && static_cast<unsigned char>(*p_) > ' ') return;  // compact text: no blanks
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    std::uint32_t offset(const char* p) const noexcept { return static_cast<std::uint32_t>(p - begin_); }
    JsonNode& push(JsonKind kind, const char* from, const char* to) noexcept {
        JsonNode& n = nodes_[count_++];
        n = {offset(from), static_cast<std::uint32_t>(to - from), 0, kind, false};
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
    bool integer_run() noexcept;
#if defined(__SSE2__)
    std::size_t take_ids(const char* p, const IdBlock& b) noexcept;
#endif
    bool literal(std::string_view word, JsonKind kind, std::uint32_t aux);

    const char* begin_;
    const char* p_;
    const char* end_;
    std::size_t max_depth_;
    JsonNode* nodes_;
    std::uint32_t count_ = 0;
    std::vector<std::uint32_t>& open_;
    bool in_object_ = false;  // the innermost open container is an object
};

bool Scanner::run() {
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
    return step == Step::done;
}

Scanner::Step Scanner::value() {
    switch (peek()) {
    case '{': return open(JsonKind::object, '}');
    case '[': return open(JsonKind::array, ']');
    case '"': return string() ? Step::after : Step::fail;
    case 't': return literal("true", JsonKind::boolean, 1) ? Step::after : Step::fail;
    case 'f': return literal("false", JsonKind::boolean, 0) ? Step::after : Step::fail;
    case 'n': return literal("null", JsonKind::null, 0) ? Step::after : Step::fail;
    default:
        if (!in_object_ && !open_.empty() && integer_run()) return Step::value;
        return number() ? Step::after : Step::fail;
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
    open_.push_back(count_);
    in_object_ = kind == JsonKind::object;
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
    nodes_[at].aux = count_ - at - 1;
    in_object_ = !open_.empty() && nodes_[open_.back()].kind == JsonKind::object;
}

// After a value: a separator, the end of the enclosing container, or the
// end of the text.
Scanner::Step Scanner::after() {
    skip_space();
    if (open_.empty()) return p_ == end_ ? Step::done : Step::fail;
    const bool in_object = in_object_;
    const char c = peek();
    if (c == ',') {
        ++p_;
        skip_space();
        return in_object ? key() : value();
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
    unsigned high = 0;
    for (;;) {
        p_ = skip_plain(p_, end_, high);
        if (p_ == end_) return false;
        if (*p_ == '"') break;
        if (*p_ != '\\' || !escape(lost)) return false;  // a control byte, or a bad escape
        escaped = true;
    }
    // Only strings holding non-ASCII bytes need the UTF-8 check: outside
    // strings such bytes are refused as structure.
    if (high != 0 && !simdjson::validate_utf8(start, static_cast<std::size_t>(p_ - start))) return false;
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
// Works on a local cursor so it stays in a register.
bool Scanner::number() {
    const char* p = p_;
    const char* const end = end_;
    const bool negative = p < end && *p == '-';
    p += negative;
    const char* digits = p;
    if (p < end && *p == '0') ++p;
    else if (p < end && is_digit(*p)) p = skip_digits(p + 1, end);
    else return false;
    const std::size_t whole = static_cast<std::size_t>(p - digits);
    bool floating = false;
    if (p < end && *p == '.') {
        if (++p == end || !is_digit(*p)) return false;
        p = skip_digits(p, end);
        floating = true;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return false;
        while (p < end && *p == '0') ++p;
        const char* significant = p;
        p = skip_digits(p, end);
        if (static_cast<std::size_t>(p - significant) >= kMaxExponentDigits) return false;
        floating = true;
    }
    const bool integer = !floating && (whole < 19 || integer_fits({digits, whole}, negative));
    push(integer ? JsonKind::integer : JsonKind::floating, p_, p);
    p_ = p;
    return true;
}

// Whole "digits," elements of an array, 64 then 16 bytes at a time: the
// shape of token id lists. The loop depends on the cursor once per block
// rather than once per number. True when it read any; the element where it
// stopped (a sign, a fraction, blanks, the last one, anything else) is read
// the ordinary way.
bool Scanner::integer_run() noexcept {
#if defined(__SSE2__)
    const char* p = p_;
    std::size_t used = 0;
    while (p + 64 <= end_ && (used = take_ids(p, IdBlock::of64(p))) != 0) p += used;
    while (p + 16 <= end_ && (used = take_ids(p, IdBlock::of16(p))) != 0) p += used;
    const bool read = p != p_;
    p_ = p;
    return read;
#else
    return false;
#endif
}

#if defined(__SSE2__)
// The elements of block b at p up to its last comma, when every byte there
// is a digit or a comma and every element a valid integer literal; the
// bytes read, or 0.
inline std::size_t Scanner::take_ids(const char* p, const IdBlock& b) noexcept {
    std::uint64_t commas = b.commas;
    if (commas == 0) return 0;
    const int last = 63 - __builtin_clzll(commas);
    const std::uint64_t span = last == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << last) - 1;
    const std::uint64_t starts = ((commas << 1) | 1u) & span & ~commas;
    if (((b.digits | commas) & span) != span ||          // only digits and commas
        (commas & ~(b.digits << 1)) != 0 ||              // no empty element
        (starts & b.zeros & (b.digits >> 1)) != 0) {     // no leading zero
        return 0;
    }
    // A local cursor: the node stores (32-bit fields) could otherwise alias
    // count_ and force it through memory once per id.
    JsonNode* out = nodes_ + count_;
    const std::uint32_t base = offset(p);
    std::uint32_t start = 0;
    for (; commas != 0; commas &= commas - 1) {
        const auto comma = static_cast<std::uint32_t>(__builtin_ctzll(commas));
        const std::string_view digits(p + start, comma - start);
        const bool integer = digits.size() < 19 || integer_fits(digits, false);
        *out++ = {base + start, comma - start, 0, integer ? JsonKind::integer : JsonKind::floating, false};
        start = comma + 1;
    }
    count_ = static_cast<std::uint32_t>(out - nodes_);
    return static_cast<std::size_t>(last) + 1;
}
#endif

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
    const std::size_t most = text.size() / 2 + 1;
    if (capacity_ < most) {
        nodes_ = std::make_unique_for_overwrite<JsonNode[]>(most);
        capacity_ = most;
    }
    return Scanner(text, max_depth, nodes_.get(), open_).run();
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
