#include "proxy/target.hpp"

#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <vector>

namespace quillmar::proxy {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One path segment with "%2e" decoded to "."; every other escape is kept as
// written. Returns false (with `error`) for escapes the proxy refuses.
bool decode_segment(std::string_view raw, std::string& out, std::string& error) {
    out.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\\') {
            error = "a backslash in the request path";
            return false;
        }
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= raw.size()) {
            error = "malformed percent-encoding in the request path";
            return false;
        }
        const int hi = hex_value(raw[i + 1]);
        const int lo = hex_value(raw[i + 2]);
        if (hi < 0 || lo < 0) {
            error = "malformed percent-encoding in the request path";
            return false;
        }
        const int byte = hi * 16 + lo;
        if (byte == '/' || byte == '\\') {
            error = "an encoded slash or backslash in the request path";
            return false;
        }
        if (byte < 0x20 || byte == 0x7f) {
            error = "an encoded control character in the request path";
            return false;
        }
        if (byte == '.') out.push_back('.');
        else out.append(raw.substr(i, 3));
        i += 2;
    }
    return true;
}

// A "." or ".." segment anywhere in `path`.
bool has_dot_segment(std::string_view path) {
    for (std::size_t at = path.find("/."); at != std::string_view::npos; at = path.find("/.", at + 1)) {
        std::string_view rest = path.substr(at + 2);
        if (!rest.empty() && rest.front() == '.') rest.remove_prefix(1);
        if (rest.empty() || rest.front() == '/') return true;
    }
    return false;
}

// What a byte means to is_normal_target: most bytes nothing, so the common
// target costs one table look-up per byte.
enum class TargetByte : unsigned char { plain, refused, query, escape, dot };

constexpr std::array<TargetByte, 256> kTargetBytes = [] {
    std::array<TargetByte, 256> table{};
    for (int c = 0; c < 0x21; ++c) table[c] = TargetByte::refused;
    table[0x7f] = TargetByte::refused;
    // A target is ASCII (RFC 9112 3.2); backends read other bytes as they like.
    for (int c = 0x80; c < 0x100; ++c) table[c] = TargetByte::refused;
    table['#'] = TargetByte::refused;
    table['?'] = TargetByte::query;
    table['%'] = TargetByte::escape;
    table['\\'] = TargetByte::escape;
    table['.'] = TargetByte::dot;
    return table;
}();

bool has_refused_byte(std::string_view target) {
    for (char c : target)
        if (kTargetBytes[static_cast<unsigned char>(c)] == TargetByte::refused) return true;
    return false;
}

}  // namespace

// One pass over the bytes: it runs on every request, and a target is
// almost always normal already.
bool is_normal_target(std::string_view target) noexcept {
    if (target.empty() || target.front() != '/') return false;
    std::size_t path_end = target.size();
    bool dot_after_slash = false;
    for (std::size_t i = 0; i < target.size(); ++i) {
        const TargetByte kind = kTargetBytes[static_cast<unsigned char>(target[i])];
        if (kind == TargetByte::plain) continue;
        if (kind == TargetByte::refused) return false;
        if (i >= path_end) continue;  // the query: only the refused bytes matter there
        if (kind == TargetByte::query) path_end = i;
        else if (kind == TargetByte::escape) return false;
        else if (target[i - 1] == '/') dot_after_slash = true;  // i > 0: the target starts with '/'
    }
    return !dot_after_slash || !has_dot_segment(target.substr(0, path_end));
}

namespace {

// The path and query of an absolute-form target ("http://host/path?q"),
// which a server must accept (RFC 9112 3.2.2): the authority goes, since
// the proxy routes by path alone. Nullopt for any other form.
std::optional<std::string> origin_form(std::string_view target) {
    constexpr std::string_view kHttp = "http://", kHttps = "https://";
    auto starts = [&](std::string_view scheme) {
        return target.size() >= scheme.size() && boost::beast::iequals(target.substr(0, scheme.size()), scheme);
    };
    const std::size_t scheme = starts(kHttp) ? kHttp.size() : starts(kHttps) ? kHttps.size() : 0;
    if (scheme == 0) return std::nullopt;
    const std::size_t end = std::min(target.find_first_of("/?", scheme), target.size());
    std::string rest(target.substr(end));
    if (rest.empty() || rest.front() == '?') rest.insert(0, "/");
    return rest;
}

}  // namespace

NormalizedTarget normalize_target(std::string_view target) {
    NormalizedTarget out;
    if (is_normal_target(target)) {  // the rewrite below would give it back unchanged
        out.target.assign(target);
        return out;
    }
    if (has_refused_byte(target)) {
        out.error = "the request target holds a control character, a space, a byte outside ASCII or a fragment";
        return out;
    }
    const std::optional<std::string> origin = origin_form(target);
    if (origin) target = *origin;
    if (target.empty() || target.front() != '/') {
        out.error = "the request target must be an absolute path or an absolute http URL";
        return out;
    }
    const std::size_t q = target.find('?');
    std::string_view path = target.substr(0, q);

    // Dot-segment removal over whole segments: "." is dropped, ".." drops
    // the segment before it and never climbs above the root.
    std::vector<std::string> segments;
    std::string segment;
    bool trailing_slash = false;
    std::size_t pos = 1;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        std::string_view raw = path.substr(pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos);
        if (!decode_segment(raw, segment, out.error)) return out;
        const bool last = slash == std::string_view::npos;
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            trailing_slash = true;
        } else if (segment == ".") {
            trailing_slash = true;
        } else {
            segments.push_back(segment);
            trailing_slash = false;
        }
        if (last) break;
        pos = slash + 1;
    }
    out.target.reserve(target.size());
    for (const auto& s : segments) out.target.append("/").append(s);
    if (out.target.empty() || trailing_slash) out.target.push_back('/');
    if (q != std::string_view::npos) out.target.append(target.substr(q));
    return out;
}

std::string percent_decoded(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const int hi = path[i] == '%' && i + 2 < path.size() ? hex_value(path[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_value(path[i + 2]) : -1;
        if (lo < 0) {
            out += path[i];
            continue;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

}  // namespace quillmar::proxy
