// Watching a plain-TCP client while one of its requests runs, so that a
// client that hangs up cancels its wait or its upstream request.
//
// The watch is a one-byte peek on the client's socket: it completes when
// the client sends more or leaves (end of stream, reset). Leaving emits a
// terminal cancellation into the session's own coroutine, bound to
// session_slot() when the session is spawned, so the request road unwinds
// where it stands (the waiter removed, the lease released) without a second
// coroutine per request. Bytes sent meanwhile (a pipelined request, a stray
// CRLF) are read into the session's buffer, where the next request's read
// finds them, and the watch goes on: a client that sends a byte and then
// hangs up has still left. A client that sends more than kWatchBufferLimit
// this way is plainly there, and is no longer watched.
//
// The peek starts late, through a WatchSweep. Right after a request was
// read the socket has nothing more to give, so a peek started then costs
// a failing receive (the reactor tries every read at once) and a
// cancellation-slot setup on every request, even on those a fast backend
// answers within a millisecond. The sweep starts the peek only for
// requests still running a tick after they began. That first try still
// reads the socket, so a hang-up that arrived before it (even together
// with the request) is seen: a client leaving is noticed within two ticks
// (kWatchTick) of its request's start, or at once after that. A start and
// a stop that come before the peek cost a link and an unlink.
//
// ClientWatch: one per connection, shared with the pending operation's
// handler and with the session's completion handler (the signal must
// outlive the coroutine it cancels). WatchSweep: one per proxy. Loop thread
// only. Header-only.
#pragma once

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>

namespace quillmar::proxy {

// How long a request runs before its client is watched, at the least.
inline constexpr std::chrono::milliseconds kWatchTick{10};
// The most a watched client may send ahead into the session's buffer.
inline constexpr std::size_t kWatchBufferLimit = 64 * 1024;

class ClientWatch;

// The requests whose peek has not started yet, oldest first, and the one
// timer that starts them. The timer runs only while the list holds any.
class WatchSweep {
public:
    explicit WatchSweep(const boost::asio::any_io_executor& ex) : timer_(ex) {}
    ~WatchSweep();
    WatchSweep(const WatchSweep&) = delete;
    WatchSweep& operator=(const WatchSweep&) = delete;

private:
    friend class ClientWatch;
    void link(ClientWatch& w);
    void unlink(ClientWatch& w);
    void arm();  // the next tick, one kWatchTick from now
    void tick(const boost::system::error_code& ec);

    boost::asio::steady_timer timer_;
    ClientWatch* head_ = nullptr;
    ClientWatch* tail_ = nullptr;
    std::uint64_t generation_ = 0;  // ticks so far
    bool armed_ = false;
};

class ClientWatch : public std::enable_shared_from_this<ClientWatch> {
public:
    explicit ClientWatch(WatchSweep& sweep) : sweep_(sweep) {}
    ~ClientWatch() {
        if (linked_) sweep_.unlink(*this);
    }

    // The slot to bind to the session's co_spawn.
    boost::asio::cancellation_slot session_slot() { return session_.slot(); }

    // Watches `socket` for the request about to run: the peek starts with
    // the sweep's next tick but one, if the request still runs then. What
    // the client sends meanwhile is appended to `buffer`.
    void start(boost::asio::ip::tcp::socket& socket, boost::beast::flat_buffer& buffer) {
        active_ = true;
        gone_ = false;
        socket_ = &socket;
        buffer_ = &buffer;
        sweep_.link(*this);
    }

    // The request has ended: the watch stops. True when the client left
    // while it ran; the session's cancellation state then still says
    // cancelled, and the caller resets it before awaiting anything else.
    // The buffer is the session's again only once settled().
    bool stop() {
        if (linked_) sweep_.unlink(*this);
        if (active_) {
            active_ = false;
            if (peeks_ > 0) peek_.emit(boost::asio::cancellation_type::terminal);
        }
        return gone_;
    }

    // Whether no handler of this watch is still to run: a read may have
    // taken bytes that its handler has yet to commit to the buffer. After
    // stop(), handlers only wait their turn in the loop's queue.
    bool settled() const { return peeks_ == 0; }

    bool gone() const { return gone_; }

    // The proxy is stopping and the request outlived the drain: the road
    // unwinds where it stands, as for a client that left, and the session
    // answers what it still can.
    void cut() {
        cut_ = true;
        session_.emit(boost::asio::cancellation_type::terminal);
    }
    bool cut_off() const { return cut_; }

private:
    friend class WatchSweep;

    // Allocates nothing but the peek's operation (from Asio's recycling
    // cache). A socket closed meanwhile (a client write timed out) is the
    // request's own failure, not a client leaving: nothing to watch.
    void peek() {
        if (!socket_->is_open()) return;
        ++peeks_;
        socket_->async_receive(boost::asio::buffer(&byte_, 1), boost::asio::socket_base::message_peek,
                               boost::asio::bind_cancellation_slot(peek_.slot(), Peeked{shared_from_this()}));
    }

    // Bytes are waiting: into the buffer with them, and on watching.
    void read_in() {
        if (!socket_->is_open() || buffer_->size() >= kWatchBufferLimit) {
            active_ = false;  // sending this much, the client is there
            return;
        }
        ++peeks_;
        socket_->async_read_some(buffer_->prepare(4096),
                                 boost::asio::bind_cancellation_slot(peek_.slot(), Peeked{shared_from_this(), true}));
    }

    struct Peeked {
        std::shared_ptr<ClientWatch> watch;
        bool read = false;  // a read (the bytes are taken), not a peek
        void operator()(const boost::system::error_code& ec, std::size_t n) const {
            --watch->peeks_;
            // Taken bytes are the next request's, whatever became of this one.
            if (read && n > 0) watch->buffer_->commit(n);
            // A request that ended already, or a stopped watch: nothing to say.
            if (!watch->active_ || ec == boost::asio::error::operation_aborted) return;
            if (!ec) return watch->read_in();
            watch->active_ = false;
            watch->gone_ = true;  // end of stream, reset or a socket error: the client left
            watch->session_.emit(boost::asio::cancellation_type::terminal);
        }
    };

    WatchSweep& sweep_;
    boost::asio::ip::tcp::socket* socket_ = nullptr;
    boost::beast::flat_buffer* buffer_ = nullptr;
    boost::asio::cancellation_signal session_;
    boost::asio::cancellation_signal peek_;
    // The sweep's list.
    ClientWatch* prev_ = nullptr;
    ClientWatch* next_ = nullptr;
    std::uint64_t generation_ = 0;  // the sweep's tick count at start()
    // Peeks and reads whose handler has not run.
    int peeks_ = 0;
    bool linked_ = false;
    bool active_ = false;
    bool gone_ = false;
    bool cut_ = false;
    char byte_ = 0;
};

inline WatchSweep::~WatchSweep() {
    // Watches that outlive the proxy must not reach back into it.
    for (ClientWatch* w = head_; w; w = w->next_) w->linked_ = false;
}

inline void WatchSweep::link(ClientWatch& w) {
    w.generation_ = generation_;
    w.prev_ = tail_;
    w.next_ = nullptr;
    (tail_ ? tail_->next_ : head_) = &w;
    tail_ = &w;
    w.linked_ = true;
    if (!armed_) arm();
}

inline void WatchSweep::arm() {
    armed_ = true;
    timer_.expires_after(kWatchTick);
    timer_.async_wait([this](const boost::system::error_code& ec) { tick(ec); });
}

inline void WatchSweep::unlink(ClientWatch& w) {
    (w.prev_ ? w.prev_->next_ : head_) = w.next_;
    (w.next_ ? w.next_->prev_ : tail_) = w.prev_;
    w.prev_ = w.next_ = nullptr;
    w.linked_ = false;
}

inline void WatchSweep::tick(const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;  // the proxy is gone
    armed_ = false;
    // Requests that started before the last tick have run at least a tick:
    // they are at the front, since the list is in order of start.
    while (head_ && head_->generation_ < generation_) {
        ClientWatch& w = *head_;
        unlink(w);
        w.peek();
    }
    ++generation_;
    if (head_) arm();
}

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
