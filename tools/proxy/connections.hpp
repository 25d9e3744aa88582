// The proxy's client connections: how many may be open, which idle
// keep-alive ones make room for new ones, and the drain when the proxy stops.
//
// A connection is idle while it waits for the first byte of its next
// request. At the cap (or when accept() runs out of descriptors) the oldest
// idle connection is closed to make room, so clients that merely hold
// connections open cannot lock out new ones; when none is idle the listener
// waits until one closes, and new connections queue in the kernel's backlog.
// Everything runs on the proxy's one loop thread; each call is O(1) except
// drain (O(connections) once).
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace quillmar::proxy {

class ClientConnections {
public:
    using Id = std::uint64_t;

    explicit ClientConnections(boost::asio::io_context& io);

    // A listener waiting for room rechecks at once: a reload that raises
    // (or removes) the cap lets it go on.
    void set_limit(std::size_t limit) {
        limit_ = limit;
        room_.cancel();
    }
    std::size_t open() const { return open_.size(); }
    bool draining() const { return draining_; }

    // Registers a new connection; `close` ends it (cancels its pending I/O),
    // `cut` ends the request it runs when the drain's time is up (the
    // connection closes once that request has unwound).
    Id add(std::function<void()> close, std::function<void()> cut);
    // Forgets a connection that ended; a no-op for one already evicted.
    void remove(Id id);
    // Marks a connection idle (waiting for a request) or busy.
    void set_idle(Id id, bool idle);
    // Closes the connection that has been idle longest; false when none is.
    bool evict_oldest_idle();

    // Returns once one more connection fits under the cap: at once below
    // it; at the cap after closing the oldest idle connection, or after one
    // closes. Returns false when the proxy is stopping.
    boost::asio::awaitable<bool> wait_for_room();

    // Completes when the proxy starts to stop (at once if it has).
    boost::asio::awaitable<void> until_stop();

    // Stops: closes every idle connection, lets busy ones finish their
    // request for up to `seconds`, then cuts the requests still running and
    // closes whatever is idle.
    boost::asio::awaitable<void> drain(double seconds);

private:
    // The idle ones are linked through their entries, oldest first (map
    // nodes stay put), so a request's idle-busy round trip allocates nothing.
    struct Entry {
        Id id;
        std::function<void()> close;
        std::function<void()> cut;
        bool idle = false;
        Entry* older = nullptr;
        Entry* newer = nullptr;
    };
    void close_entry(Id id);
    void close_idle();  // every connection idle now
    void link_idle(Entry& e);
    void unlink_idle(Entry& e);

    boost::asio::io_context& io_;
    std::size_t limit_ = 0;  // 0: no cap
    Id next_ = 1;
    std::unordered_map<Id, Entry> open_;
    Entry* oldest_idle_ = nullptr;
    Entry* newest_idle_ = nullptr;
    boost::asio::steady_timer room_;
    boost::asio::steady_timer stop_;
    bool draining_ = false;
};

}  // namespace quillmar::proxy
