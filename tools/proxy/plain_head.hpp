// Message heads read without the general HTTP parser, for the messages
// nearly every request and answer are: a client's POST with a normal
// target, one Host and a Content-Length; a backend's final answer with a
// Content-Length and a few plain fields; whole in the bytes at hand.
//
// Beast's parser spent about a fifth of the proxy's work per small request
// on such heads (its state machine, a call per field, the framing fields
// parsed as lists). These readers recognise a strict subset of what that
// parser accepts and give the same message for it; anything outside the
// subset (HTTP/1.0 requests, an interim or bodiless status, an event
// stream (relayed as it comes, never read whole), Transfer-Encoding, Expect, a repeated or listed Content-Length, a
// Connection that lists more than one option, obsolete folding, a byte
// either parser might read otherwise, a head not yet whole) is declined,
// and the general parser reads the same bytes with all of its rules and the
// proxy's framing checks. So a mistake here can only decline too much, as
// long as what it accepts is read exactly as the general parser reads it.
//
// Cost: one pass over the head's bytes. A request's fields go into its
// message as the general parser puts them; an answer's are copied once into
// the request's arena and stay views into that copy, looked up in the field
// table once, and never enter a Beast field container (its tree and an
// allocation per field cost more than the whole parse).
#pragma once

#include "proxy/framing.hpp"
#include "proxy/message.hpp"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillmar::proxy {

// One field of a plain head, read the way a Beast field is. Only whether
// it is hop-by-hop is asked of its name; that is settled here, once.
class PlainField {
public:
    PlainField(std::string_view name, std::string_view value)
        : hop_by_hop_(proxy::hop_by_hop(name)), name_(name), value_(value) {}
    bool hop_by_hop() const noexcept { return hop_by_hop_; }
    std::string_view name_string() const noexcept { return name_; }
    std::string_view value() const noexcept { return value_; }

private:
    bool hop_by_hop_;
    std::string_view name_;
    std::string_view value_;
};

struct PlainResponse {
    std::size_t head_bytes = 0;  // through the blank line that ends the head
    unsigned version = 11;       // 10 or 11
    unsigned status = 0;
    std::string_view reason_text;
    std::span<const PlainField> fields;  // in the order received
    std::uint64_t content_length = 0;
    bool keep_alive = false;  // the connection may carry the next request

    // The same reading as a Beast response head's.
    unsigned result_int() const noexcept { return status; }
    // An empty reason reads as the status's standard one, as Beast's does.
    std::string_view reason() const {
        if (!reason_text.empty()) return reason_text;
        return boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(status));
    }
    auto begin() const noexcept { return fields.begin(); }
    auto end() const noexcept { return fields.end(); }
};

// Whether a Content-Type value names an event stream (whatever parameters follow).
inline bool is_event_stream(std::string_view content_type) {
    constexpr std::string_view kType = "text/event-stream";
    return content_type.size() >= kType.size() && (content_type[0] | 0x20) == 't' &&
           boost::beast::iequals(content_type.substr(0, kType.size()), kType);
}

struct PlainRequest {
    std::size_t head_bytes = 0;  // through the blank line that ends the head
    std::uint64_t content_length = 0;
};

// Reads the request head at the start of `bytes` into `req` (empty on
// entry) when it is whole and plain, its target normal (is_normal_target)
// and its body at most `body_limit`; nullopt, and `req` untouched,
// otherwise. A plain request is HTTP/1.1 with exactly one Host and one
// Content-Length, and passes check_framing.
std::optional<PlainRequest> read_plain_request(std::string_view bytes, std::uint64_t body_limit, Request& req);

// Reads the head at the start of `bytes` when it is whole and plain, its
// text and fields held by `arena`; nullopt otherwise (nothing allocated).
// A plain head's Connection field, if any, is "close" or "keep-alive": it
// names no other field.
std::optional<PlainResponse> read_plain_response(std::string_view bytes, FieldAlloc arena);

}  // namespace quillmar::proxy
