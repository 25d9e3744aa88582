#include "proxy/framing.hpp"

#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <cctype>
#include <vector>

namespace quillmar::proxy {

namespace http = boost::beast::http;

namespace {

Refusal bad(std::string message) { return Refusal{400, "bad_request", std::move(message)}; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The comma-separated elements of every `name` field, empty ones dropped
// (the list syntax allows them).
std::vector<std::string_view> list_elements(const http::fields& head, http::field name) {
    std::vector<std::string_view> out;
    auto [first, last] = head.equal_range(name);
    for (auto it = first; it != last; ++it) {
        std::string_view value = it->value();
        while (!value.empty()) {
            std::size_t comma = value.find(',');
            std::string_view element = trim(value.substr(0, comma));
            if (!element.empty()) out.push_back(element);
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        }
    }
    return out;
}

std::optional<Refusal> check_transfer_encoding(const http::request_header<>& head) {
    if (head.find(http::field::transfer_encoding) == head.end()) return std::nullopt;
    if (head.version() < 11) return bad("Transfer-Encoding is not allowed in an HTTP/1.0 request");
    if (head.find(http::field::content_length) != head.end())
        return bad("a request must not carry both Transfer-Encoding and Content-Length");
    std::vector<std::string_view> codings = list_elements(head, http::field::transfer_encoding);
    // A body is delimited only by a final "chunked"; without it the length
    // is unknowable, and any other reading lets the body pass as a request.
    if (codings.empty() || !iequals(codings.back(), "chunked"))
        return bad("the final transfer coding of a request must be chunked");
    if (codings.size() > 1)
        return Refusal{501, "unsupported_transfer_coding",
                       "transfer coding `" + std::string(codings.front()) + "` is not supported"};
    return std::nullopt;
}

}  // namespace

HeadScan scan_head(std::string_view bytes) noexcept {
    HeadScan out;
    bool line_start = true;         // no byte of the current line seen yet
    bool request_line_done = false;  // empty lines before the request line are tolerated (RFC 9112 2.2)
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            if (i + 1 == bytes.size()) return out;  // the LF may follow
            if (bytes[i + 1] != '\n') {
                out.refusal = bad("bare CR in the request head");
                return out;
            }
            continue;
        }
        if (c == '\n') {
            if (i == 0 || bytes[i - 1] != '\r') {
                out.refusal = bad("bare LF in the request head");
                return out;
            }
            if (line_start && request_line_done) {
                out.end = i + 1;
                return out;
            }
            request_line_done = request_line_done || !line_start;
            line_start = true;
            continue;
        }
        if (line_start && request_line_done && (c == ' ' || c == '\t')) {
            out.refusal = bad("obsolete line folding is not accepted");
            return out;
        }
        line_start = false;
    }
    return out;
}

std::optional<Refusal> check_framing(const http::request_header<>& head, bool& expect_continue) {
    expect_continue = false;
    if (auto te = check_transfer_encoding(head)) return te;
    if (head.version() >= 11 && head.count(http::field::host) != 1)
        return bad("a request must carry exactly one Host field");
    std::vector<std::string_view> expect = list_elements(head, http::field::expect);
    if (!expect.empty()) {
        if (expect.size() != 1 || !iequals(expect.front(), "100-continue"))
            return Refusal{417, "expectation_failed", "only the expectation 100-continue is supported"};
        expect_continue = head.version() >= 11;
    }
    return std::nullopt;
}

std::vector<std::string_view> connection_options(const http::fields& fields) {
    std::vector<std::string_view> out;
    if (fields.find(http::field::connection) == fields.end()) return out;
    for (std::string_view option : list_elements(fields, http::field::connection))
        if (!iequals(option, "close") && !iequals(option, "keep-alive")) out.push_back(option);
    return out;
}

bool listed(const std::vector<std::string_view>& options, std::string_view name) {
    for (std::string_view o : options)
        if (iequals(o, name)) return true;
    return false;
}

}  // namespace quillmar::proxy
