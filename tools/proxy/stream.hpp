// One connection, plain TCP or TLS over TCP, chosen when it is made: the
// sessions, the forwarding and the health checks read and write it through
// one code path whichever it is.
//
// Stream is an AsyncReadStream and AsyncWriteStream (Beast's HTTP reads and
// writes take it as they take a tcp_stream); each operation goes to the TLS
// layer or straight to the socket, a branch per call. The deadline
// (expires_after, see deadline.hpp) covers the reads and writes made through
// the Stream, TLS records included, and fails them with
// beast::error::timeout; operations made on a layer directly (connect, the
// TLS handshake and shutdown) use that layer's own per-operation deadline,
// tcp().expires_after(). Per-operation cancellation reaches the socket
// through either layer. Header-only.
#pragma once

#include "proxy/deadline.hpp"
#include "proxy/tls.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

namespace quillmar::proxy {

class Stream {
public:
    using executor_type = boost::beast::tcp_stream::executor_type;
    using TlsLayer = boost::beast::ssl_stream<boost::beast::tcp_stream>;

    // Plain TCP over a connected socket.
    explicit Stream(boost::asio::ip::tcp::socket socket) : plain_(std::in_place, std::move(socket)) {}
    // TLS over a connected socket when `ctx` is set (the handshake is the
    // caller's), plain TCP otherwise.
    Stream(boost::asio::ip::tcp::socket socket, TlsContext ctx) : ctx_(std::move(ctx)) {
        if (ctx_) tls_.emplace(std::move(socket), *ctx_);
        else plain_.emplace(std::move(socket));
    }
    // Not yet connected (connect through tcp()), TLS when `ctx` is set.
    Stream(const executor_type& ex, TlsContext ctx) : ctx_(std::move(ctx)) {
        if (ctx_) tls_.emplace(ex, *ctx_);
        else plain_.emplace(ex);
    }

    // The deadline's timer holds the Stream by address: a move rebinds it.
    Stream(Stream&& other) noexcept
        : ctx_(std::move(other.ctx_)), plain_(std::move(other.plain_)), tls_(std::move(other.tls_)),
          deadline_(std::move(other.deadline_)) {
        if (deadline_) deadline_->rebind([this] { close(); });
    }
    Stream& operator=(Stream&&) = delete;
    ~Stream() {
        if (deadline_) deadline_->detach();
    }

    bool tls() const { return tls_.has_value(); }
    TlsLayer& tls_layer() { return *tls_; }
    boost::beast::tcp_stream& tcp() { return tls_ ? tls_->next_layer() : *plain_; }
    boost::asio::ip::tcp::socket& socket() { return tcp().socket(); }
    executor_type get_executor() { return tcp().get_executor(); }

    // Whether bytes the peer sent have left the socket but not been read: a
    // TLS read fills only the first of its buffers, so bytes past it stay in
    // OpenSSL (decrypted or not) or in the BIO pair between it and the
    // socket, where a spill buffer given to the read never sees them. Plain
    // TCP keeps nothing back.
    bool holds_unread_input() {
        if (!tls_) return false;
        SSL* ssl = tls_->native_handle();
        return SSL_has_pending(ssl) != 0 || BIO_ctrl_pending(SSL_get_rbio(ssl)) > 0;
    }

    template <class Duration>
    void expires_after(Duration d) {
        if (!deadline_) deadline_ = std::make_shared<Deadline>(get_executor(), [this] { close(); });
        deadline_->expires_after(std::chrono::duration_cast<Deadline::Clock::duration>(d));
    }
    void expires_never() {
        if (deadline_) deadline_->expires_never();
    }
    // Closes the socket at once; pending operations end with an error.
    void close() { tcp().close(); }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
            [this](auto handler, const MutableBuffers& b) {
                if (!deadline_) return read_some(b, std::move(handler));
                deadline_->begin();
                read_some(b, Timed<decltype(handler)>{deadline_, std::move(handler)});
            },
            token, buffers);
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
            [this](auto handler, const ConstBuffers& b) {
                if (!deadline_) return write_some(b, std::move(handler));
                deadline_->begin();
                write_some(b, Timed<decltype(handler)>{deadline_, std::move(handler)});
            },
            token, buffers);
    }

    // Writes what the socket takes at once, without waiting: a request or an
    // answer of a few kilobytes nearly always fits the socket's buffer, and
    // an asynchronous write that completes at once still costs a handler, a
    // trip through the loop's queue and a coroutine resumption. Plain TCP
    // only; TLS answers would_block (OpenSSL may need a record written over
    // more than one try, which async_write_some handles). Returns the bytes
    // written; `ec` is would_block when the caller has to wait, or the
    // error async_write_some would have given.
    template <class ConstBuffers>
    std::size_t write_now(const ConstBuffers& buffers, boost::beast::error_code& ec) {
        ec = boost::asio::error::would_block;
        if (tls_) return 0;
        auto& s = plain_->socket();
        // The user-level flag: a synchronous write on a socket without it
        // waits for room. Asynchronous operations ignore it.
        if (!s.non_blocking()) {
            boost::beast::error_code set;
            s.non_blocking(true, set);
            if (set) return 0;  // the asynchronous write reports what is wrong
        }
        return s.write_some(buffers, ec);
    }

private:
    // Plain TCP goes to the socket itself: the tcp_stream's own operation
    // would only add its per-operation timer bookkeeping, which the Stream's
    // deadline replaces (the TCP layer's timer is armed only around connect
    // and the TLS handshake and shutdown, never while reading or writing).
    template <class MutableBuffers, class Handler>
    void read_some(const MutableBuffers& b, Handler&& handler) {
        if (tls_) tls_->async_read_some(b, std::forward<Handler>(handler));
        else plain_->socket().async_read_some(b, std::forward<Handler>(handler));
    }
    template <class ConstBuffers, class Handler>
    void write_some(const ConstBuffers& b, Handler&& handler) {
        if (tls_) tls_->async_write_some(b, std::forward<Handler>(handler));
        else plain_->socket().async_write_some(b, std::forward<Handler>(handler));
    }

    TlsContext ctx_;  // kept alive as long as the connection uses it
    std::optional<boost::beast::tcp_stream> plain_;
    std::optional<TlsLayer> tls_;
    std::shared_ptr<Deadline> deadline_;  // made by the first expires_after
};

// Server side: the TLS handshake, given up after `timeout` (a client that
// connects and sends nothing holds its connection no longer). Nothing to do
// for plain TCP.
inline boost::asio::awaitable<boost::beast::error_code> accept_tls(Stream& stream,
                                                                   std::chrono::steady_clock::duration timeout) {
    if (!stream.tls()) co_return boost::beast::error_code{};
    stream.tcp().expires_after(timeout);
    auto [ec] = co_await stream.tls_layer().async_handshake(boost::asio::ssl::stream_base::server,
                                                            boost::asio::as_tuple(boost::asio::use_awaitable));
    stream.tcp().expires_never();
    co_return ec;
}

// How long a close waits for the peer to stop sending: until it hangs up,
// sends nothing for `quiet`, or `total` has passed. Zero: no wait.
struct Linger {
    std::chrono::steady_clock::duration quiet{};
    std::chrono::steady_clock::duration total{};
};

// Reads and drops what the peer sends, for as long as `linger` says. The
// bytes are read below TLS: nothing in them is wanted any more.
inline boost::asio::awaitable<void> drop_input(boost::beast::tcp_stream& tcp, Linger linger) {
    using clock = std::chrono::steady_clock;
    const clock::time_point end = clock::now() + linger.total;
    std::array<char, 16 * 1024> sink;
    for (clock::time_point now = clock::now(); now < end && tcp.socket().is_open(); now = clock::now()) {
        tcp.expires_after(std::min(linger.quiet, end - now));
        auto [ec, n] = co_await tcp.async_read_some(boost::asio::buffer(sink),
                                                    boost::asio::as_tuple(boost::asio::use_awaitable));
        if (ec) break;  // the peer's close, its silence, or the connection evicted
    }
    tcp.expires_never();
}

// Ends a connection whose socket is still open: TLS says close_notify
// first, so the peer can tell the end from a cut, waiting at most `timeout`
// for the peer's own (most peers just close); then the sending side shuts.
// A socket closed with unread bytes in it answers them with a reset, which
// can reach a peer that is still sending before it has read the last
// answer, and most clients then report the reset instead of the answer. So
// with a `linger` the close waits for the peer to stop sending first
// (RFC 9112 9.6).
inline boost::asio::awaitable<void> close_gracefully(Stream& stream, std::chrono::steady_clock::duration timeout,
                                                     Linger linger = {}) {
    boost::beast::error_code ignored;
    if (stream.tls() && stream.socket().is_open()) {
        stream.tcp().expires_after(timeout);
        co_await stream.tls_layer().async_shutdown(boost::asio::as_tuple(boost::asio::use_awaitable));
    }
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    if (linger.total > std::chrono::steady_clock::duration::zero()) co_await drop_input(stream.tcp(), linger);
    stream.close();
}

}  // namespace quillmar::proxy
