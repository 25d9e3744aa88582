// Checks of a client request's framing, made before the proxy acts on it.
//
// The proxy re-frames every request it forwards (its own Content-Length, no
// Transfer-Encoding), so the danger is not what it sends on but what it
// reads: a head whose body length the proxy and an upstream or a later
// parser would see differently lets bytes of one request run as another.
// Every such head is refused with 400 (or 501/417 where those say it
// better) and the connection closed. Nothing here allocates per call except
// the refusal's message; the costs are one pass over the head's bytes and
// one over its Transfer-Encoding, Host and Expect fields.
#pragma once

#include "proxy/message.hpp"

#include <boost/beast/http/field.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::proxy {

// A request the proxy answers itself and then closes the connection.
struct Refusal {
    int status = 400;
    std::string code;     // the error body's "code"
    std::string message;  // the error body's "message"
    std::string type = "invalid_request_error";
};

// Result of scanning the raw bytes a client sent for a request head.
struct HeadScan {
    std::size_t end = 0;             // bytes up to and including the blank line; 0: not complete yet
    std::optional<Refusal> refusal;  // set when the bytes seen so far are already unacceptable
};

// The bytes of the empty lines (CRLF) before a request line, which a server
// ignores (RFC 9112 2.2): some clients end a body with an extra CRLF.
std::size_t leading_empty_lines(std::string_view bytes) noexcept;

// Scans `bytes` (the start of a request head, possibly followed by more) for
// what a lenient parser would accept but this proxy must not: a bare CR or
// bare LF as a line end, and obsolete line folding (a field line starting
// with a space or tab). Stops at the blank line ending the head.
HeadScan scan_head(std::string_view bytes) noexcept;

// Checks a parsed head's framing rules: Transfer-Encoding only in HTTP/1.1,
// only with "chunked" as its one and final coding, never beside
// Content-Length; exactly one Host in HTTP/1.1; Expect only "100-continue".
// `expect_continue` is set when the client waits for "100 Continue".
std::optional<Refusal> check_framing(const RequestHead& head, bool& expect_continue);

// The fields of a chunked request's head, remembered so that its trailer
// can be taken off again. Beast's parser adds trailer fields to the head's,
// where they would be forwarded, routed on and logged as if the client had
// sent them in its head, which a recipient must never do (RFC 9110 6.5.1).
// It does not append them: a trailer field whose name the head has goes
// right behind the head's fields of that name. So the head is remembered
// field by field (the fields are list nodes that stay where they are), and
// every field added since goes. Both calls are O(n log n) in the fields.
class HeadFields {
public:
    explicit HeadFields(const Fields& fields);
    void drop_trailer(Fields& fields) const;

private:
    std::vector<const Fields::value_type*> head_;  // sorted
};

// Field names a message's Connection header lists as options for this hop
// only (RFC 9110 7.6.1), "close" and "keep-alive" left out. They are not
// forwarded. Views into `fields`.
std::vector<std::string_view> connection_options(const Fields& fields);

// `s` without the blanks (SP, HTAB) that may surround a field value or a
// list element. Inline: every field of a plain head goes through it.
// `strip` lists the characters that go: a list's ends lose commas too.
inline std::string_view trim_blanks(std::string_view s, std::string_view strip = " \t") {
    const auto first = s.find_first_not_of(strip);
    if (first == std::string_view::npos) return s.substr(s.size());  // empty, still pointing into `s`
    return s.substr(first, s.find_last_not_of(strip) - first + 1);
}

// True when `name` is one of `options` (case-insensitive).
bool listed(const std::vector<std::string_view>& options, std::string_view name);

// Headers that describe one hop, not the message: never forwarded. By
// Beast's code for a field, or by name in any case (what the code of that
// name would say, without the look-up in Beast's table of every name).
bool hop_by_hop(boost::beast::http::field f);
bool hop_by_hop(std::string_view name);
// The same for a field of a Beast message or of a plain head (which
// classifies its fields as it reads them).
template <class Field>
bool hop_by_hop_field(const Field& f) {
    if constexpr (requires { f.hop_by_hop(); }) return f.hop_by_hop();
    else return hop_by_hop(f.name());
}

}  // namespace quillmar::proxy
