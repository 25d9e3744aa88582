#include "proxy/framing.hpp"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace quillmar::proxy {

namespace beast = boost::beast;
namespace http = boost::beast::http;
// HTTP tokens compare as ASCII, whatever the process locale.
using boost::beast::iequals;

namespace {

Refusal bad(std::string message) { return Refusal{400, "bad_request", std::move(message)}; }

// The comma-separated elements of every `name` field, empty ones dropped
// (the list syntax allows them).
std::vector<std::string_view> list_elements(const Fields& head, http::field name) {
    std::vector<std::string_view> out;
    auto [first, last] = head.equal_range(name);
    for (auto it = first; it != last; ++it) {
        std::string_view value = it->value();
        while (!value.empty()) {
            std::size_t comma = value.find(',');
            std::string_view element = trim_blanks(value.substr(0, comma));
            if (!element.empty()) out.push_back(element);
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        }
    }
    return out;
}

std::optional<Refusal> check_transfer_encoding(const RequestHead& head) {
    if (head.find(http::field::transfer_encoding) == head.end()) return std::nullopt;
    if (head.version() < 11) return bad("Transfer-Encoding is not allowed in an HTTP/1.0 request");
    if (head.find(http::field::content_length) != head.end())
        return bad("a request must not carry both Transfer-Encoding and Content-Length");
    std::vector<std::string_view> codings = list_elements(head, http::field::transfer_encoding);
    // A body is delimited only by a final "chunked"; without it the length
    // is unknowable, and any other reading lets the body pass as a request.
    if (codings.empty() || !iequals(codings.back(), "chunked"))
        return bad("the final transfer coding of a request must be chunked");
    // RFC 9112 6.1: chunked is applied once; twice is a malformed message,
    // not a coding this proxy lacks.
    for (std::size_t i = 0; i + 1 < codings.size(); ++i)
        if (iequals(codings[i], "chunked")) return bad("the chunked transfer coding is applied more than once");
    if (codings.size() > 1)
        return Refusal{501, "unsupported_transfer_coding",
                       "transfer coding `" + std::string(codings.front()) + "` is not supported"};
    return std::nullopt;
}

}  // namespace

std::size_t leading_empty_lines(std::string_view bytes) noexcept {
    std::size_t n = 0;
    while (bytes.substr(n, 2) == "\r\n") n += 2;
    return n;
}

// Line by line: the line's LF and any CR before it are found with memchr,
// so the bytes between are not looked at one by one. The first fault in
// byte order is the one reported.
HeadScan scan_head(std::string_view bytes) noexcept {
    HeadScan out;
    bool request_line_done = false;  // empty lines before the request line are tolerated (RFC 9112 2.2)
    const char* const base = bytes.data();
    const std::size_t size = bytes.size();
    for (std::size_t i = 0; i < size;) {  // i: where a line starts
        if (request_line_done && (base[i] == ' ' || base[i] == '\t')) {
            out.refusal = bad("obsolete line folding is not accepted");
            return out;
        }
        const auto* lf = static_cast<const char*>(std::memchr(base + i, '\n', size - i));
        const std::size_t stop = lf != nullptr ? static_cast<std::size_t>(lf - base) : size;
        if (const auto* cr = static_cast<const char*>(std::memchr(base + i, '\r', stop - i))) {
            const auto at = static_cast<std::size_t>(cr - base);
            if (at + 1 == size) return out;  // the LF may follow
            if (at + 1 != stop) {
                out.refusal = bad("bare CR in the request head");
                return out;
            }
        } else if (lf != nullptr) {
            out.refusal = bad("bare LF in the request head");
            return out;
        }
        if (lf == nullptr) return out;  // the line goes on in bytes not read yet
        const bool empty = stop == i + 1;  // nothing but its CRLF
        if (empty && request_line_done) {
            out.end = stop + 1;
            return out;
        }
        request_line_done = request_line_done || !empty;
        i = stop + 1;
    }
    return out;
}

std::optional<Refusal> check_framing(const RequestHead& head, bool& expect_continue) {
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

std::vector<std::string_view> connection_options(const Fields& fields) {
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

namespace {

constexpr std::array kHopByHop{
    http::field::connection,          http::field::keep_alive,       http::field::proxy_authenticate,
    http::field::proxy_authorization, http::field::proxy_connection, http::field::te,
    http::field::trailer,             http::field::transfer_encoding, http::field::upgrade,
    http::field::content_length,
    http::field::expect,  // answered by the proxy itself
};

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// The names of kHopByHop in lower case by length (the longest has 19 bytes;
// no length has more than two), so that a name is compared with at most
// two of them: this runs for every field of every answer.
struct HopByHopNames {
    std::array<std::array<std::string, 2>, 20> by_length;
    HopByHopNames() {
        for (http::field f : kHopByHop) {
            std::string name(http::to_string(f));
            std::transform(name.begin(), name.end(), name.begin(), ascii_lower);
            auto& slot = by_length.at(name.size());
            (slot[0].empty() ? slot[0] : slot[1]) = std::move(name);
        }
    }
};
const HopByHopNames kHopByHopNames;

}  // namespace

bool hop_by_hop(http::field f) { return std::find(kHopByHop.begin(), kHopByHop.end(), f) != kHopByHop.end(); }

bool hop_by_hop(std::string_view name) {
    if (name.size() >= kHopByHopNames.by_length.size()) return false;
    for (const std::string& h : kHopByHopNames.by_length[name.size()]) {
        if (h.empty()) return false;
        std::size_t i = 0;
        while (i < h.size() && ascii_lower(name[i]) == h[i]) ++i;
        if (i == h.size()) return true;
    }
    return false;
}

HeadFields::HeadFields(const Fields& fields) {
    for (const auto& f : fields) head_.push_back(&f);
    std::sort(head_.begin(), head_.end(), std::less<>());
}

void HeadFields::drop_trailer(Fields& fields) const {
    for (auto it = fields.begin(); it != fields.end();) {
        if (std::binary_search(head_.begin(), head_.end(), &*it, std::less<>())) ++it;
        else it = fields.erase(it);
    }
}

}  // namespace quillmar::proxy
