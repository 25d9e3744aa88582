#include "proxy/plain_head.hpp"

#include "proxy/framing.hpp"
#include "proxy/target.hpp"

#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quillmar::proxy {

namespace {

// A response parser's default limit on its head: a longer head is for the
// general parser to refuse. (A request's head is whole and within the
// proxy's own limit before it is read.)
constexpr std::size_t kMaxHead = 8192;
// A plain head has a handful of fields; more than this is declined.
constexpr std::size_t kMaxFields = 64;

enum ByteClass : unsigned char { kText = 1, kToken = 2 };

// kText: a byte a field value or the reason phrase may hold (HTAB, SP,
// VCHAR, obs-text: the general parser's rule). kToken: a field name's byte
// (RFC 9110 tchar).
constexpr std::array<unsigned char, 256> kBytes = [] {
    std::array<unsigned char, 256> table{};
    table['\t'] = kText;
    for (int c = 0x20; c < 0x100; ++c)
        if (c != 0x7f) table[c] = kText;
    for (const char* p = "!#$%&'*+-.^_`|~"; *p != '\0'; ++p) table[static_cast<unsigned char>(*p)] |= kToken;
    for (int c = '0'; c <= '9'; ++c) table[c] |= kToken;
    for (int c = 0; c < 26; ++c) {
        table['a' + c] |= kToken;
        table['A' + c] |= kToken;
    }
    return table;
}();

// The first byte at or after `p` that is not of class `cls`, or `end`.
const char* skip_class(const char* p, const char* end, unsigned char cls) {
    while (p < end && (kBytes[static_cast<unsigned char>(*p)] & cls) != 0) ++p;
    return p;
}

// skip_class(p, end, kText), sixteen bytes at a time: the values are most
// of a head's bytes, and their line's end is the first byte that is not
// text.
const char* skip_text(const char* p, const char* end) {
#ifdef __SSE2__
    const __m128i below_space = _mm_set1_epi8(0x1f);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i del = _mm_set1_epi8(0x7f);
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v);  // v <= 0x1f, unsigned
        const __m128i bad = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(v, tab), control), _mm_cmpeq_epi8(v, del));
        if (const int mask = _mm_movemask_epi8(bad); mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    return skip_class(p, end, kText);
}

// skip_class(p, end, kToken), sixteen bytes at a time while they are
// letters, digits and '-' (all a common name holds); the byte loop takes
// over at the first other byte, which ends the name unless it is one of
// the rarer token bytes.
const char* skip_token(const char* p, const char* end) {
#ifdef __SSE2__
    const __m128i case_bit = _mm_set1_epi8(0x20);
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compares: bytes of 0x80 and up are negative, in no range.
        const __m128i lower = _mm_or_si128(v, case_bit);
        const __m128i letter =
            _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(lower, _mm_set1_epi8('z' + 1)));
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
        const __m128i common = _mm_or_si128(_mm_or_si128(letter, digit), _mm_cmpeq_epi8(v, _mm_set1_epi8('-')));
        if (const int mask = _mm_movemask_epi8(common) ^ 0xffff; mask != 0)
            return skip_class(p + __builtin_ctz(static_cast<unsigned>(mask)), end, kToken);
    }
#endif
    return skip_class(p, end, kToken);
}

// A field line's name and value, trimmed. Left uninitialised in the
// parser's array of them (zeroing 64 of them cost more than the parse).
struct Line {
    const char* name;
    std::size_t name_size;
    const char* value;
    std::size_t value_size;
};

// The framing the fields say, read the general parser's way; false when a
// field is outside the plain subset.
struct Framing {
    std::optional<std::uint64_t> length;
    bool close = false;
    bool keep_alive = false;
    bool event_stream = false;  // Content-Type: text/event-stream
    int hosts = 0;

    bool add(std::string_view name, std::string_view value) {
        using boost::beast::iequals;
        // Most fields are none of these: their lengths tell at once.
        switch (name.size()) {
        case 14:
            return !iequals(name, "content-length") || add_length(value);
        case 10:
            if (!iequals(name, "connection")) return true;
            if (iequals(value, "close")) close = true;
            else if (iequals(value, "keep-alive")) keep_alive = true;
            else return false;
            return true;
        case 4:
            hosts += iequals(name, "host") ? 1 : 0;
            return true;
        case 12:  // the value first: it is rarely an event stream, and tells at once
            event_stream = event_stream || (is_event_stream(value) && iequals(name, "content-type"));
            return true;
        case 6:  // an expectation is the general path's to answer
            return !iequals(name, "expect");
        case 17:
            return !iequals(name, "transfer-encoding");
        case 16:
            return !iequals(name, "proxy-connection");
        default:
            return true;
        }
    }

    // One plain decimal; a list or a second one goes to the general parser.
    bool add_length(std::string_view value) {
        if (length || value.empty() || value.size() > 19) return false;
        std::uint64_t n = 0;
        for (char c : value) {
            if (c < '0' || c > '9') return false;
            n = n * 10 + static_cast<std::uint64_t>(c - '0');
        }
        length = n;
        return true;
    }
};

// A cursor over a head's bytes, one line at a time. A line ends at its
// first byte that is not text, which must be the CR of a CRLF: a bare CR or
// LF declines the head, and running out of bytes means it is not whole.
class Cursor {
public:
    Cursor(const char* p, const char* end) : p_(p), end_(end) {}

    const char* at() const { return p_; }
    // The rest of the line as text, through its CRLF; false when not plain.
    bool text_to_eol(std::string_view& text) {
        const char* eol = skip_text(p_, end_);
        if (end_ - eol < 2 || eol[0] != '\r' || eol[1] != '\n') return false;
        text = std::string_view(p_, static_cast<std::size_t>(eol - p_));
        p_ = eol + 2;
        return true;
    }
    // `literal` next; false, and nothing consumed, otherwise.
    bool take(std::string_view literal) {
        if (static_cast<std::size_t>(end_ - p_) < literal.size() || std::string_view(p_, literal.size()) != literal)
            return false;
        p_ += literal.size();
        return true;
    }
    // Token bytes up to the next byte that is not one; empty when none.
    std::string_view token() {
        const char* first = p_;
        p_ = skip_token(p_, end_);
        return std::string_view(first, static_cast<std::size_t>(p_ - first));
    }
    // One "name: value" line; false when not plain. A line that starts
    // with a blank (obsolete folding) has no name and is declined.
    bool field(std::string_view& name, std::string_view& value) {
        name = token();
        if (name.empty() || !take(":") || !text_to_eol(value)) return false;
        value = trim_blanks(value);
        return true;
    }
    // The field lines up to the blank line that ends the head.
    bool fields(std::array<Line, kMaxFields>& lines, std::size_t& count, Framing& framing) {
        for (count = 0; !take("\r\n"); ++count) {
            std::string_view name;
            std::string_view value;
            if (count == kMaxFields || !field(name, value) || !framing.add(name, value)) return false;
            lines[count] = Line{name.data(), name.size(), value.data(), value.size()};
        }
        return true;
    }

private:
    const char* p_;
    const char* end_;
};

// "HTTP/1.x ddd reason": the version and status; false when not plain.
bool read_status_line(Cursor& in, unsigned& version, unsigned& status, std::string_view& reason) {
    if (in.take("HTTP/1.1 ")) version = 11;
    else if (in.take("HTTP/1.0 ")) version = 10;
    else return false;
    const std::string_view code = in.token();  // digits are token bytes
    if (code.size() != 3 || !in.take(" ")) return false;
    status = 0;
    for (char c : code) {
        if (c < '0' || c > '9') return false;
        status = status * 10 + static_cast<unsigned>(c - '0');
    }
    // Interim answers and those that never have a body follow rules of their own.
    if (status < 200 || status == 204 || status == 304) return false;
    return in.text_to_eol(reason);
}

// "METHOD /target HTTP/1.1": false when not plain or the target is not
// one the proxy forwards as it is.
bool read_request_line(Cursor& in, std::string_view& method, std::string_view& target) {
    method = in.token();
    if (method.empty() || !in.take(" ")) return false;
    const char* first = in.at();
    std::string_view rest;
    if (!in.text_to_eol(rest)) return false;
    const std::size_t sp = rest.find(' ');
    if (sp == std::string_view::npos || rest.substr(sp) != " HTTP/1.1") return false;
    target = std::string_view(first, sp);
    return is_normal_target(target);
}

}  // namespace

std::optional<PlainRequest> read_plain_request(std::string_view bytes, std::uint64_t body_limit, Request& req) {
    Cursor in(bytes.data(), bytes.data() + bytes.size());
    std::string_view method;
    std::string_view target;
    std::array<Line, kMaxFields> lines;
    std::size_t count = 0;
    Framing framing;
    if (!read_request_line(in, method, target) || !in.fields(lines, count, framing) || framing.hosts != 1 ||
        !framing.length || *framing.length > body_limit)
        return std::nullopt;
    req.method_string(method);
    req.target(target);
    req.version(11);
    for (std::size_t i = 0; i < count; ++i)
        req.insert(std::string_view(lines[i].name, lines[i].name_size),
                   std::string_view(lines[i].value, lines[i].value_size));
    return PlainRequest{static_cast<std::size_t>(in.at() - bytes.data()), *framing.length};
}

std::optional<PlainResponse> read_plain_response(std::string_view bytes, FieldAlloc arena) {
    Cursor in(bytes.data(), bytes.data() + std::min(bytes.size(), kMaxHead));
    PlainResponse out;
    std::array<Line, kMaxFields> lines;
    std::size_t count = 0;
    Framing framing;
    if (!read_status_line(in, out.version, out.status, out.reason_text) || !in.fields(lines, count, framing) ||
        !framing.length || framing.event_stream)
        return std::nullopt;
    // The head is plain: its text moves to the arena (the buffer it was read
    // into takes the body next), and the views with it.
    out.head_bytes = static_cast<std::size_t>(in.at() - bytes.data());
    char* text = arena.allocate(out.head_bytes);
    std::memcpy(text, bytes.data(), out.head_bytes);
    auto moved = [&](const char* p, std::size_t n) { return std::string_view(text + (p - bytes.data()), n); };
    out.reason_text = moved(out.reason_text.data(), out.reason_text.size());
    PlainField* fields = arena.allocate_object<PlainField>(count);
    for (std::size_t i = 0; i < count; ++i)
        new (fields + i) PlainField(moved(lines[i].name, lines[i].name_size), moved(lines[i].value, lines[i].value_size));
    out.fields = std::span<const PlainField>(fields, count);
    out.content_length = *framing.length;
    // The general parser's rule: HTTP/1.1 stays open unless told to close,
    // HTTP/1.0 only when told to stay open.
    out.keep_alive = out.version == 11 ? !framing.close : framing.keep_alive;
    return out;
}

}  // namespace quillmar::proxy
