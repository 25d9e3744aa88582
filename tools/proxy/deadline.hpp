// The deadline of a connection's reads and writes, kept without a timer
// operation per read or write.
//
// A stream that times out each operation on its own arms and cancels a
// timer around every read and write: a timer-queue insertion, a
// cancellation, a completion run for nothing and, when the new deadline is
// the earliest, a system call to re-arm the loop's timer. Here setting a
// deadline stores a time point; one timer per connection, armed no later
// than the deadline, looks at it when it fires and waits again if the
// deadline has moved on. A busy keep-alive connection whose deadline keeps
// moving forward re-arms once per deadline's length, not once per request.
//
// What a caller sees is a timed-out stream's behaviour: when the deadline
// passes with a read or write pending, the connection closes and the
// operation fails with beast::error::timeout; when it passes between
// operations, the next one fails so (setting a new deadline first clears
// it). Loop thread only. Header-only.
#pragma once

#include <boost/asio/associator.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace quillmar::proxy {

class Deadline : public std::enable_shared_from_this<Deadline> {
public:
    using Clock = std::chrono::steady_clock;

    // `close` ends the connection (and so its pending operations).
    Deadline(const boost::asio::any_io_executor& ex, std::function<void()> close)
        : timer_(ex), close_(std::move(close)) {}

    // The connection is gone: the timer's wait ends and closes nothing.
    void detach() {
        close_ = nullptr;
        timer_.cancel();
    }
    // Rebinds what closes the connection (its owner moved).
    void rebind(std::function<void()> close) { close_ = std::move(close); }

    // Reads and writes from now on must end within `d`. One clock read; a
    // timer operation only when no wait that fires by then is pending.
    void expires_after(Clock::duration d) {
        const Clock::time_point now = Clock::now();
        // Saturates: a deadline beyond the clock's range is none.
        at_ = d >= Clock::time_point::max() - now ? Clock::time_point::max() : now + d;
        lapsed_ = false;
        if (at_ != Clock::time_point::max() && (!armed_ || armed_for_ > at_)) arm(at_);
    }
    void expires_never() {
        at_ = Clock::time_point::max();
        lapsed_ = false;
    }

    // Bracket each read and write. begin() fails the operation about to
    // start (closing the connection) if the deadline passed since the last
    // one; end() gives the error the operation reports.
    void begin() {
        if (lapsed_) {
            lapsed_ = false;
            time_out();
        }
        ++pending_;
    }
    boost::beast::error_code end(boost::beast::error_code ec) {
        --pending_;
        return ec && timed_out_ ? boost::beast::error::timeout : ec;
    }

private:
    void arm(Clock::time_point at) {
        armed_ = true;
        armed_for_ = at;
        timer_.expires_at(at);  // cancels a later wait still pending
        timer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) { self->fired(ec); });
    }

    void fired(const boost::system::error_code& ec) {
        if (ec) return;  // replaced by an earlier wait, or the connection is gone
        armed_ = false;
        if (at_ == Clock::time_point::max() || !close_) return;
        if (at_ > Clock::now()) {
            arm(at_);  // the deadline moved on since this wait began
            return;
        }
        if (pending_ == 0) lapsed_ = true;
        else time_out();
    }

    void time_out() {
        timed_out_ = true;
        if (close_) close_();
    }

    boost::asio::steady_timer timer_;
    std::function<void()> close_;
    Clock::time_point at_ = Clock::time_point::max();
    Clock::time_point armed_for_{};
    bool armed_ = false;      // a wait is pending on the timer, to fire at armed_for_
    bool lapsed_ = false;     // the deadline passed with no operation pending
    bool timed_out_ = false;  // the deadline closed the connection
    int pending_ = 0;
};

// A read's or write's completion handler under a deadline: reports the
// deadline's error. Associated executor, allocator and cancellation slot
// are the wrapped handler's, so per-operation cancellation still reaches
// the socket.
template <class Handler>
struct Timed {
    std::shared_ptr<Deadline> deadline;
    Handler handler;
    void operator()(boost::beast::error_code ec, std::size_t n) {
        ec = deadline->end(ec);
        std::move(handler)(ec, n);
    }
};

}  // namespace quillmar::proxy

namespace boost::asio {
template <template <typename, typename> class Associator, typename Handler, typename DefaultCandidate>
struct associator<Associator, quillmar::proxy::Timed<Handler>, DefaultCandidate> : Associator<Handler, DefaultCandidate> {
    static typename Associator<Handler, DefaultCandidate>::type get(const quillmar::proxy::Timed<Handler>& h) noexcept {
        return Associator<Handler, DefaultCandidate>::get(h.handler);
    }
    static auto get(const quillmar::proxy::Timed<Handler>& h, const DefaultCandidate& c) noexcept
        -> decltype(Associator<Handler, DefaultCandidate>::get(h.handler, c)) {
        return Associator<Handler, DefaultCandidate>::get(h.handler, c);
    }
};
}  // namespace boost::asio
