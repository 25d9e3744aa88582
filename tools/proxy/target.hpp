// The request target the proxy routes by and forwards: normalised once, so
// that the prefix checks ("/v1/...") and the backend see the same path.
//
// A target like "/v1/../admin/reset" or "/v1/%2e%2e/x" passes a textual
// prefix check and then climbs out of it at the backend (and out of a path
// prefix configured in the backend's URL). normalize_target removes dot
// segments the way RFC 3986 5.2.4 does, with percent-encoded dots taken for
// the dots they decode to; an encoded slash or backslash, a raw backslash,
// NUL or control bytes, a fragment and malformed percent-encoding are
// refused, since backends disagree on what they mean. Cost: one pass over
// the target and one string of its size (none for is_normal_target).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillmar::proxy {

struct NormalizedTarget {
    std::string target;  // normalised path, then "?query" unchanged when present
    std::string error;   // non-empty: the target is refused (400) for this reason
};

// Normalises an origin-form target ("/path?query"), or an absolute-form
// one ("http://host/path?query", reduced to its path and query: the proxy
// routes by path alone); anything else is refused.
NormalizedTarget normalize_target(std::string_view target);

// True when normalize_target would accept `target` and give it back
// unchanged (the common case: no escape, backslash or dot segment), so the
// caller can keep it where it is. One pass, no allocation.
bool is_normal_target(std::string_view target) noexcept;

// `path` with each "%XX" decoded (a normalised target's escapes are well
// formed; a malformed one is kept as it is).
std::string percent_decoded(std::string_view path);

}  // namespace quillmar::proxy
