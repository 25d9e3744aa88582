// One background coroutine that can be stopped and started again (the
// reaper, whose interval a reload may change).
//
// A stopped coroutine does not end at once: it unwinds on a later turn of
// the loop, and until then its cancellation slot points into the signal it
// was started with. So each start gets a signal of its own, kept until its
// coroutine has ended and freed on the turn after: a proxy that reloads a
// thousand times holds the signals of the coroutines still unwinding, not a
// thousand. Loop thread only; the io_context must not run handlers after
// this object is gone (shut it down first). Header-only.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <exception>
#include <list>
#include <optional>

namespace quillmar::proxy {

class RestartableTask {
public:
    explicit RestartableTask(boost::asio::io_context& io) : io_(io) {}
    RestartableTask(const RestartableTask&) = delete;
    RestartableTask& operator=(const RestartableTask&) = delete;

    // Stops the running coroutine, if any, and starts `task`. An exception
    // the coroutine ends with is dropped, as with `detached`.
    void restart(boost::asio::awaitable<void> task) {
        stop();
        auto signal = signals_.emplace(signals_.end());
        running_ = signal;
        auto ended = [this, signal](std::exception_ptr) {
            if (running_ == signal) running_.reset();
            // This runs inside the coroutine, before it has returned: free
            // its signal only on a later turn, when the coroutine is gone.
            boost::asio::post(io_, [this, signal] { signals_.erase(signal); });
        };
        boost::asio::co_spawn(io_, std::move(task), boost::asio::bind_cancellation_slot(signal->slot(), ended));
    }

    // Asks the running coroutine, if any, to end (terminal cancellation).
    void stop() {
        if (!running_) return;
        auto signal = *running_;
        running_.reset();
        signal->emit(boost::asio::cancellation_type::terminal);
    }

    bool running() const { return running_.has_value(); }
    // Signals still held: the running coroutine's and those still unwinding.
    std::size_t signals_held() const { return signals_.size(); }

private:
    using Signals = std::list<boost::asio::cancellation_signal>;
    boost::asio::io_context& io_;
    Signals signals_;
    std::optional<Signals::iterator> running_;
};

}  // namespace quillmar::proxy
