#include "proxy/usage_scanner.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>

#include <cstddef>
#include <cstring>

namespace quillmar::proxy {
namespace json = boost::json;

namespace {

std::optional<std::int64_t> count(const json::object& usage, std::string_view key) {
    const json::value* v = usage.if_contains(key);
    if (v == nullptr) return std::nullopt;
    if (v->is_int64() && v->as_int64() >= 0) return v->as_int64();
    if (v->is_uint64() && v->as_uint64() <= static_cast<std::uint64_t>(INT64_MAX))
        return static_cast<std::int64_t>(v->as_uint64());
    return std::nullopt;
}

// The counts of the object that starts at `text` (after optional blanks). Its
// extent is found first (braces outside strings), then only that span is
// parsed, into a stack arena: no heap allocation for an ordinary usage.
Usage usage_at(std::string_view text) {
    std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || text[start] != '{') return {};
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            alignas(std::max_align_t) unsigned char arena[2048];
            json::monotonic_resource memory(arena, sizeof arena);
            boost::system::error_code ec;
            json::value v = json::parse(text.substr(start, i + 1 - start), ec, &memory);
            if (ec || !v.is_object()) return {};
            return Usage{count(v.as_object(), "prompt_tokens"), count(v.as_object(), "completion_tokens")};
        }
    }
    return {};
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
