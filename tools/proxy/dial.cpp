#include "proxy/dial.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <openssl/ssl.h>

#include <chrono>

namespace quillmar::proxy {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;
using net::awaitable;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

namespace {

// The client half of the handshake, under the deadline already set on the
// stream. SNI carries host names only (never an address, RFC 6066); the
// host name check is OpenSSL's, against the certificate's names or its IP
// addresses.
awaitable<void> handshake(Stream& s, const Endpoint& ep, const TlsContext& ctx, Dialed& out) {
    auto& tls = s.tls_layer();
    boost::system::error_code not_address;
    net::ip::make_address(ep.host, not_address);
    if (not_address) SSL_set_tlsext_host_name(tls.native_handle(), ep.host.c_str());
    if (SSL_CTX_get_verify_mode(ctx->native_handle()) != SSL_VERIFY_NONE)
        tls.set_verify_callback(net::ssl::host_name_verification(ep.host));
    auto [ec] = co_await tls.async_handshake(net::ssl::stream_base::client, use_tuple);
    if (!ec) co_return;
    out.ec = ec;
    if (is_verify_failure(ec)) {
        out.kind = "tls_verify_failed";
        out.detail = "certificate not trusted: " + verify_failure_text(SSL_get_verify_result(tls.native_handle()));
    } else {
        if (ec != beast::error::timeout && ec != net::error::operation_aborted) out.kind = "tls_handshake_failed";
        out.detail = "TLS handshake: " + ec.message();
    }
}

}  // namespace

awaitable<Dialed> dial(const Endpoint& ep, const TlsContext& ctx, double timeout_sec) {
    Dialed out;
    if (ep.tls && !ctx) {
        out.ec = net::error::no_protocol_option;
        out.kind = "tls_handshake_failed";
        out.detail = "no TLS context for " + ep.url;
        co_return out;
    }
    auto executor = co_await net::this_coro::executor;
    auto s = std::make_unique<Stream>(executor, ep.tls ? ctx : nullptr);
    // Connecting and the TLS handshake are the layers' own operations, under
    // the TCP stream's deadline.
    s->tcp().expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeout_sec)));
    boost::system::error_code not_address;
    auto address = net::ip::make_address(ep.host == "localhost" ? "127.0.0.1" : ep.host, not_address);
    if (!not_address) {
        auto [ec] = co_await s->tcp().async_connect(tcp::endpoint(address, ep.port), use_tuple);
        out.ec = ec;
    } else {
        tcp::resolver resolver(executor);
        auto [rec, results] = co_await resolver.async_resolve(ep.host, std::to_string(ep.port), use_tuple);
        if (rec) {
            out.ec = rec;
            out.kind = "resolve_error";
            out.detail = "cannot resolve " + ep.host + ": " + rec.message();
            co_return out;
        }
        auto [ec, unused] = co_await s->tcp().async_connect(results, use_tuple);
        out.ec = ec;
    }
    if (out.ec) {
        out.detail = "connect: " + out.ec.message();
        co_return out;
    }
    beast::error_code ignored;
    s->socket().set_option(tcp::no_delay(true), ignored);
    if (ep.tls) {
        co_await handshake(*s, ep, ctx, out);
        if (out.ec) co_return out;
    }
    s->tcp().expires_never();
    out.stream = std::move(s);
    co_return out;
}

}  // namespace quillmar::proxy
