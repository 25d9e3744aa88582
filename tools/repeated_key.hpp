// The first key a JSON text names twice in one object. Boost.JSON keeps
// the last value of a repeated key, so a second entry would silently
// replace the first (a second model of one name, a second "duration_sec");
// the configuration, scenario and trace readers refuse such a text instead.
// Header-only; one extra pass over the text, no document built.
#pragma once

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse_options.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::tools_json {

struct RepeatedKey {
    std::string key;
    std::size_t offset;  // of the byte just past the key's second naming
};

namespace detail {

struct RepeatedKeyFinder {
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);
    using error_code = boost::system::error_code;
    using string_view = boost::json::string_view;

    std::vector<std::set<std::string, std::less<>>> open;  // the keys of each object being read
    std::string key;                                       // the key being read, in parts
    std::optional<std::string> repeated;

    bool on_object_begin(error_code&) {
        open.emplace_back();
        return true;
    }
    bool on_object_end(std::size_t, error_code&) {
        open.pop_back();
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        key.append(s.data(), s.size());
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code& ec) {
        key.append(s.data(), s.size());
        if (!open.back().insert(key).second) {
            repeated = key;
            ec = boost::json::error::syntax;
            return false;
        }
        key.clear();
        return true;
    }
    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_array_begin(error_code&) { return true; }
    bool on_array_end(std::size_t, error_code&) { return true; }
    bool on_string_part(string_view, std::size_t, error_code&) { return true; }
    bool on_string(string_view, std::size_t, error_code&) { return true; }
    bool on_number_part(string_view, error_code&) { return true; }
    bool on_int64(std::int64_t, string_view, error_code&) { return true; }
    bool on_uint64(std::uint64_t, string_view, error_code&) { return true; }
    bool on_double(double, string_view, error_code&) { return true; }
    bool on_bool(bool, error_code&) { return true; }
    bool on_null(error_code&) { return true; }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }
};

}  // namespace detail

// Nothing for a text without a repeated key (or one that is not valid
// JSON: its syntax error is the parser's to report).
inline std::optional<RepeatedKey> first_repeated_key(std::string_view text) {
    boost::json::basic_parser<detail::RepeatedKeyFinder> keys{boost::json::parse_options{}};
    boost::system::error_code ec;
    const std::size_t at = keys.write_some(false, text.data(), text.size(), ec);
    if (!keys.handler().repeated) return std::nullopt;
    return RepeatedKey{*keys.handler().repeated, at};
}

}  // namespace quillmar::tools_json
