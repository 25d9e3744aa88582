// Watching a plain-TCP client while one of its requests runs, so that a
// client that hangs up cancels its wait or its upstream request at once.
//
// The watch is a one-byte peek on the client's socket: it completes when
// the client sends more (its next request, pipelined: the bytes stay in the
// socket for the next read) or leaves (end of stream, reset). Leaving emits
// a terminal cancellation into the session's own coroutine, bound to
// session_slot() when the session is spawned, so the request road unwinds
// where it stands (the waiter removed, the lease released) without a second
// coroutine per request. The peek is speculative: when the socket has been
// drained it costs no system call until the socket becomes readable.
//
// One per connection, shared with the pending peek's handler and with the
// session's completion handler (the signal must outlive the coroutine it
// cancels). Loop thread only. Header-only.
#pragma once

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <exception>
#include <memory>

namespace quillmar::proxy {

class ClientWatch : public std::enable_shared_from_this<ClientWatch> {
public:
    // The slot to bind to the session's co_spawn.
    boost::asio::cancellation_slot session_slot() { return session_.slot(); }

    // Watches `socket` for the request about to run. Allocates nothing but
    // the peek's operation (from Asio's recycling cache).
    void start(boost::asio::ip::tcp::socket& socket) {
        active_ = true;
        gone_ = false;
        socket.async_receive(boost::asio::buffer(&byte_, 1), boost::asio::socket_base::message_peek,
                             boost::asio::bind_cancellation_slot(peek_.slot(), Peeked{shared_from_this()}));
    }

    // The request has ended: the watch stops. True when the client left
    // while it ran; the session's cancellation state then still says
    // cancelled, and the caller resets it before awaiting anything else.
    bool stop() {
        if (active_) {
            active_ = false;
            peek_.emit(boost::asio::cancellation_type::terminal);
        }
        return gone_;
    }

    bool gone() const { return gone_; }

private:
    struct Peeked {
        std::shared_ptr<ClientWatch> watch;
        void operator()(const boost::system::error_code& ec, std::size_t) const {
            // A request that ended already, or a stopped watch: nothing to say.
            if (!watch->active_ || ec == boost::asio::error::operation_aborted) return;
            watch->active_ = false;
            if (!ec) return;  // its next request is waiting: the client is still there
            watch->gone_ = true;  // end of stream, reset or a socket error: the client left
            watch->session_.emit(boost::asio::cancellation_type::terminal);
        }
    };

    boost::asio::cancellation_signal session_;
    boost::asio::cancellation_signal peek_;
    bool active_ = false;
    bool gone_ = false;
    char byte_ = 0;
};

// The session's completion handler: keeps its watch (and the signal holding
// the session's cancellation state) until the session's coroutine is gone,
// one turn of the loop after it finished.
struct ReleaseWatch {
    std::shared_ptr<ClientWatch> watch;
    boost::asio::io_context* io;
    void operator()(const std::exception_ptr&) {
        boost::asio::post(*io, [w = std::move(watch)] {});
    }
};

}  // namespace quillmar::proxy
