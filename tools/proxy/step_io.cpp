// g++ 12 at -O1 (the sanitizer build) takes the empty optional that
// Beast's content_length_remaining returns for a read of uninitialised
// storage: the storage is copied along with its flag, which is never
// true. A false positive; the one call lives out of line here so that the
// warning is off for this file only, set before Beast's headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "proxy/step_io.hpp"

namespace quillmar::proxy {

namespace {

template <bool isRequest>
std::uint64_t length_left(const boost::beast::http::basic_parser<isRequest>& parser) noexcept {
    if (!parser.is_header_done()) return 0;
    return parser.content_length_remaining().value_or(0);
}

}  // namespace

std::uint64_t body_length_left(const boost::beast::http::basic_parser<true>& parser) noexcept {
    return length_left(parser);
}

std::uint64_t body_length_left(const boost::beast::http::basic_parser<false>& parser) noexcept {
    return length_left(parser);
}

}  // namespace quillmar::proxy
