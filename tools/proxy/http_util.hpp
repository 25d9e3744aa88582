// Small HTTP pieces every step of the proxy's road shares: deadlines in
// seconds, the OpenAI-style error body, which headers stay on one hop, and
// how a response is written to a client under a deadline.
#pragma once

#include "load_balancer/runtime.hpp"
#include "proxy/message.hpp"
#include "proxy/stream.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/object.hpp>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quillmar::proxy {

// The short names every unit of the proxy uses.
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace json = boost::json;
using tcp = boost::asio::ip::tcp;
using boost::asio::awaitable;

// co_await op(..., use_tuple): errors come back as values, not exceptions.
constexpr auto use_tuple = boost::asio::as_tuple(boost::asio::use_awaitable);

inline std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

// Monotonic seconds, the clock of every wait and duration the proxy reports.
inline double now() { return lb::monotonic(); }

// The proxy sets the request id on both hops; a backend's own is dropped.
bool is_request_id(std::string_view name);
// "address:port" of the stream's peer; empty once the socket is gone.
std::string peer_of(Stream& stream);

// An OpenAI-style error body: {"error": {message, type, code, ...extra}}.
std::string error_body(std::string_view message, std::string_view type, std::string_view code,
                       boost::json::object extra = {});

// The kind of an upstream failure in `phase` ("connect", "first_byte", ...),
// for metrics, notes and messages: "<phase>_timeout", "connect_refused", ...
std::string classify(const boost::beast::error_code& ec, std::string_view phase);

// Operations awaited with as_tuple report cancellation as an error code;
// this turns it back into the cancellation error, so that a request whose
// client left unwinds at once instead of being taken for an upstream failure.
void throw_if_cancelled(const boost::beast::error_code& ec);

// Now as an HTTP date (RFC 9110 5.6.7), "Sun, 06 Nov 1994 08:49:37 GMT":
// every answer carries one, the backend's or, when it sent none, ours.
// Formatted once a second per thread; valid until the thread's next call.
std::string_view http_date();

// An answer in HTTP/1.`version`, dated: the connection choice is spelled
// for that version (HTTP/1.0 keeps a connection only when told keep-alive).
boost::beast::http::response<boost::beast::http::string_body> make_response(
    boost::beast::http::status status, std::string body, bool keep_alive,
    std::string_view content_type = "application/json", unsigned version = 11);

// Appends the pieces to `out` in order, growing it once for all of them.
// Message heads are written by hand from a few dozen short pieces each, and
// one append per piece (a capacity check and an out-of-line call each, a
// strlen for every literal) was a visible share of a small request's cost.
template <class String, class... Pieces>
void append_all(String& out, const Pieces&... pieces) {
    const std::string_view views[] = {std::string_view(pieces)...};
    std::size_t total = 0;
    for (std::string_view v : views) total += v.size();
    const std::size_t at = out.size();
    out.resize(at + total);
    char* p = out.data() + at;
    for (std::string_view v : views) {
        std::memcpy(p, v.data(), v.size());
        p += v.size();
    }
}

// An unsigned number's decimal digits, held in place for append_all.
class Decimal {
public:
    explicit Decimal(std::uint64_t value) noexcept
        : size_(static_cast<std::size_t>(std::to_chars(digits_, digits_ + sizeof digits_, value).ptr - digits_)) {}
    operator std::string_view() const noexcept { return {digits_, size_}; }

private:
    char digits_[20];  // 2^64 - 1 has 20 digits
    std::size_t size_;
};

// A response to a HEAD request keeps its Content-Length and loses its body.
template <class Body>
void strip_body_for_head(boost::beast::http::response<Body>& res, bool head) {
    if (!head) return;
    const std::size_t n = res.body().size();
    res.body().clear();
    res.content_length(n);
}

// Writes one response; a client that takes no bytes for `deadline_sec` is
// cut off (the stream closes and the write fails with a time-out).
template <class Stream, class Body>
boost::asio::awaitable<boost::beast::error_code> write_message(Stream& stream,
                                                               boost::beast::http::response<Body>& res,
                                                               double deadline_sec) {
    boost::beast::get_lowest_layer(stream).expires_after(seconds(deadline_sec));
    auto [ec, n] = co_await boost::beast::http::async_write(stream, res, use_tuple);
    boost::beast::get_lowest_layer(stream).expires_never();
    co_return ec;
}

}  // namespace quillmar::proxy
