#include "proxy/usage_scanner.hpp"

#include <boost/json/basic_parser_impl.hpp>

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
        member = whole == "prompt_tokens"       ? &usage.prompt_tokens
                 : whole == "completion_tokens" ? &usage.completion_tokens
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

// The counts of the object that starts at `text` (after optional blanks):
// the first complete JSON value there, when it is a valid object; nothing
// when it is broken or cut short. What follows the object is not read.
Usage usage_at(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || text[start] != '{') return {};
    json::basic_parser<UsageEvents> parser{json::parse_options{}};
    boost::system::error_code ec;
    parser.write_some(false, text.data() + start, text.size() - start, ec);
    if (ec || !parser.done()) return {};
    return parser.handler().usage;
}

}  // namespace

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

void UsageScanner::scan(std::string_view line) {
    if (line.find("\"usage\"") == std::string_view::npos) return;
    Usage u = find_usage(line);
    if (!u.empty()) usage_ = u;
}

}  // namespace quillmar::proxy
