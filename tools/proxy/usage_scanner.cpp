#include "proxy/usage_scanner.hpp"

#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace quillmar::proxy {
namespace json = boost::json;

namespace {

// Events of the usage object: the counts are its own members, read as the
// document parser would (a count is a non-negative integer; a repeated key's
// last value wins), and no document is built. Anything deeper is skipped.
struct UsageEvents {
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);

    Usage usage;
    int depth = 0;
    std::optional<std::int64_t>* member = nullptr;  // the count named by the key just read, at depth 1
    std::string key;  // a key delivered in parts (it holds escapes)

    // A member's value that is not a count.
    bool other() {
        if (depth == 1 && member != nullptr) *member = std::nullopt;
        return true;
    }
    bool count(std::int64_t n) {
        if (depth == 1 && member != nullptr) *member = n;
        return true;
    }

    bool on_document_begin(boost::system::error_code&) { return true; }
    bool on_document_end(boost::system::error_code&) { return true; }
    bool on_object_begin(boost::system::error_code&) {
        other();
        ++depth;
        return true;
    }
    bool on_object_end(std::size_t, boost::system::error_code&) {
        --depth;
        return true;
    }
    bool on_array_begin(boost::system::error_code&) {
        other();
        ++depth;
        return true;
    }
    bool on_array_end(std::size_t, boost::system::error_code&) {
        --depth;
        return true;
    }
    bool on_key_part(std::string_view s, std::size_t, boost::system::error_code&) {
        if (depth == 1) key.append(s);
        return true;
    }
    bool on_key(std::string_view s, std::size_t, boost::system::error_code&) {
        if (depth != 1) return true;
        const std::string_view whole = key.empty() ? s : std::string_view(key.append(s));
        // The Responses API names them input and output tokens.
        member = whole == "prompt_tokens" || whole == "input_tokens"         ? &usage.prompt_tokens
                 : whole == "completion_tokens" || whole == "output_tokens" ? &usage.completion_tokens
                                                                            : nullptr;
        key.clear();
        return true;
    }
    bool on_string_part(std::string_view, std::size_t, boost::system::error_code&) { return true; }
    bool on_string(std::string_view, std::size_t, boost::system::error_code&) { return other(); }
    bool on_number_part(std::string_view, boost::system::error_code&) { return true; }
    bool on_int64(std::int64_t i, std::string_view, boost::system::error_code&) {
        return i >= 0 ? count(i) : other();
    }
    bool on_uint64(std::uint64_t u, std::string_view, boost::system::error_code&) {
        return u <= static_cast<std::uint64_t>(INT64_MAX) ? count(static_cast<std::int64_t>(u)) : other();
    }
    bool on_double(double, std::string_view, boost::system::error_code&) { return other(); }
    bool on_bool(bool, boost::system::error_code&) { return other(); }
    bool on_null(boost::system::error_code&) { return other(); }
    bool on_comment_part(std::string_view, boost::system::error_code&) { return true; }
    bool on_comment(std::string_view, boost::system::error_code&) { return true; }
};

// Reads the usage object as nearly every backend writes it: flat, keys
// without escapes, counts as plain non-negative integers of at most 18 digits
// (`{"prompt_tokens":9,"completion_tokens":12,"total_tokens":21}`, or the
// Responses API's input_tokens and output_tokens). Gives
// nothing for anything else (a nested object, a string, a fraction, an
// escape, a byte above ASCII, a syntax error), which the full parser then
// decides, so what this accepts it reads exactly as that parser does.
class FlatUsage {
    // Bytes a key may hold on this path: no escapes, control or non-ASCII bytes.
    static constexpr std::array<bool, 256> kPlainKeyByte = [] {
        std::array<bool, 256> t{};
        for (int c = 0x20; c < 0x80; ++c) t[c] = c != '\\';
        return t;
    }();

public:
    explicit FlatUsage(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Usage> read() {
        Usage usage;
        if (!take('{')) return std::nullopt;
        if (take('}')) return usage;
        do {
            if (!take('"')) return std::nullopt;
            // The two keys wanted are matched whole: a byte-by-byte scan of
            // every key cost more than the full parser saves.
            std::optional<std::int64_t>* member =
                key("prompt_tokens\"") || key("input_tokens\"")           ? &usage.prompt_tokens
                : key("completion_tokens\"") || key("output_tokens\"") ? &usage.completion_tokens
                                                                       : nullptr;
            std::int64_t count = 0;
            if ((member == nullptr && !other_key()) || !take(':') || !number(count)) return std::nullopt;
            if (member != nullptr) *member = count;
        } while (take(','));
        if (!take('}')) return std::nullopt;
        return usage;
    }

private:
    void blanks() {
        // Compact JSON has none: one comparison settles the common case.
        while (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ' &&
               (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
            ++p_;
    }
    // Skips blanks, then takes `c` if it comes next.
    bool take(char c) {
        blanks();
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    // Takes `name` (a key's text and its closing quote) if it comes next.
    bool key(std::string_view name) {
        if (static_cast<std::size_t>(end_ - p_) < name.size() || std::memcmp(p_, name.data(), name.size()) != 0)
            return false;
        p_ += name.size();
        return true;
    }
    // Takes the rest of any other key that holds only plain bytes.
    bool other_key() {
        const auto* quote = static_cast<const char*>(std::memchr(p_, '"', static_cast<std::size_t>(end_ - p_)));
        if (quote == nullptr) return false;
        bool plain = true;
        for (; p_ != quote; ++p_) plain &= kPlainKeyByte[static_cast<unsigned char>(*p_)];
        ++p_;
        return plain;
    }
    bool number(std::int64_t& out) {
        blanks();
        const char* start = p_;
        // Unsigned, so that a longer run of digits wraps instead of
        // overflowing; it is refused below, and 18 digits fit an int64_t.
        std::uint64_t value = 0;
        for (unsigned d; p_ != end_ && (d = static_cast<unsigned char>(*p_) - '0') <= 9; ++p_) value = value * 10 + d;
        const auto digits = p_ - start;
        if (digits == 0 || digits > 18 || (digits > 1 && *start == '0')) return false;  // a sign, a leading zero
        out = static_cast<std::int64_t>(value);
        // A fraction or an exponent makes it a double; a cut-off body is the
        // full parser's to refuse.
        return p_ != end_ && *p_ != '.' && *p_ != 'e' && *p_ != 'E';
    }

    const char* p_;
    const char* end_;
};

// The counts of the object that starts at `text` (after optional blanks):
// the first complete JSON value there, when it is a valid object; nothing
// when it is broken or cut short. What follows the object is not read.
Usage usage_at(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || text[start] != '{') return {};
    text.remove_prefix(start);
    if (std::optional<Usage> flat = detail::read_flat_usage(text)) return *flat;
    return detail::parse_usage(text).value_or(Usage{});
}

}  // namespace

std::optional<Usage> detail::read_flat_usage(std::string_view text) { return FlatUsage(text).read(); }

std::optional<Usage> detail::parse_usage(std::string_view text) {
    json::basic_parser<UsageEvents> parser{json::parse_options{}};
    boost::system::error_code ec;
    parser.write_some(false, text.data(), text.size(), ec);
    if (ec || !parser.done()) return std::nullopt;
    return parser.handler().usage;
}

Usage find_usage(std::string_view text) {
    // Inside a JSON string a quote is escaped, so `"usage"` followed by a
    // colon only occurs as a key.
    constexpr std::string_view key = "\"usage\"";
    for (std::size_t at = text.rfind(key); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : text.rfind(key, at - 1)) {
        std::string_view rest = text.substr(at + key.size());
        std::size_t colon = rest.find_first_not_of(" \t\r\n");
        if (colon == std::string_view::npos || rest[colon] != ':') continue;
        return usage_at(rest.substr(colon + 1));  // empty for `"usage": null` or a broken object
    }
    return {};
}

void UsageScanner::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const void* nl = std::memchr(bytes.data(), '\n', bytes.size());
        std::size_t n = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - bytes.data()) : bytes.size();
        line_.append(bytes.data(), n);
        if (line_.size() > kMaxLine) line_.erase(0, line_.size() - kMaxLine / 2);
        if (nl == nullptr) return;
        scan(line_);
        line_.clear();
        bytes.remove_prefix(n + 1);
    }
}

void UsageScanner::finish() {
    scan(line_);
    line_.clear();
}

namespace {

// Whether the usage value that `text` (from its key on) holds has ended:
// as many braces closed as opened, and something after the colon. Counts
// carry no braces; a string that holds one may end the value early, and
// then its counts are missed, never misread.
bool value_ended(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view value = text.substr(colon + 1);
    if (value.find_first_not_of(" \t\r\n") == std::string_view::npos) return false;
    return std::count(value.begin(), value.end(), '{') <= std::count(value.begin(), value.end(), '}');
}

}  // namespace

void UsageScanner::scan(std::string_view line) {
    if (!pending_.empty()) {
        pending_.append("\n").append(line);
        if (Usage u = find_usage(pending_); !u.empty()) usage_ = u;
        // Read once it ends (with counts or without), or given up past the bound.
        if (value_ended(pending_) || pending_.size() > kMaxPending) pending_.clear();
    }
    const std::size_t key = line.rfind("\"usage\"");
    if (key == std::string_view::npos) return;
    if (Usage u = find_usage(line); !u.empty()) {
        usage_ = u;
        pending_.clear();
        return;
    }
    // A value the line leaves open (pretty-printed JSON) is read on over the
    // lines that follow; a null, or an object closed here, costs them nothing.
    const std::string_view rest = line.substr(key);
    if (!value_ended(rest)) pending_.assign(rest);
}

}  // namespace quillmar::proxy
