#include "proxy/connections.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <vector>

namespace quillmar::proxy {

namespace net = boost::asio;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

ClientConnections::ClientConnections(net::io_context& io)
    : io_(io), room_(io, net::steady_timer::time_point::max()), stop_(io, net::steady_timer::time_point::max()) {}

ClientConnections::Id ClientConnections::add(std::function<void()> close, std::function<void()> cut) {
    Id id = next_++;
    open_.emplace(id, Entry{id, std::move(close), std::move(cut)});
    return id;
}

void ClientConnections::remove(Id id) {
    auto it = open_.find(id);
    if (it == open_.end()) return;
    if (it->second.idle) unlink_idle(it->second);
    open_.erase(it);
    room_.cancel();  // wakes a listener waiting for room
}

void ClientConnections::set_idle(Id id, bool idle) {
    auto it = open_.find(id);
    if (it == open_.end() || it->second.idle == idle) return;
    it->second.idle = idle;
    if (idle) link_idle(it->second);
    else unlink_idle(it->second);
}

void ClientConnections::link_idle(Entry& e) {
    e.older = newest_idle_;
    e.newer = nullptr;
    (newest_idle_ ? newest_idle_->newer : oldest_idle_) = &e;
    newest_idle_ = &e;
}

void ClientConnections::unlink_idle(Entry& e) {
    (e.older ? e.older->newer : oldest_idle_) = e.newer;
    (e.newer ? e.newer->older : newest_idle_) = e.older;
    e.older = e.newer = nullptr;
}

void ClientConnections::close_entry(Id id) {
    auto it = open_.find(id);
    if (it == open_.end()) return;
    std::function<void()> close = std::move(it->second.close);
    remove(id);  // counted as gone at once: its coroutine unwinds later
    close();
}

bool ClientConnections::evict_oldest_idle() {
    if (oldest_idle_ == nullptr) return false;
    close_entry(oldest_idle_->id);
    return true;
}

net::awaitable<bool> ClientConnections::wait_for_room() {
    while (!draining_ && limit_ > 0 && open_.size() >= limit_) {
        if (evict_oldest_idle()) continue;
        co_await room_.async_wait(use_tuple);  // cancelled by remove()
    }
    co_return !draining_;
}

net::awaitable<void> ClientConnections::until_stop() {
    if (draining_) co_return;
    co_await stop_.async_wait(use_tuple);
}

void ClientConnections::close_idle() {
    while (evict_oldest_idle()) {
    }
}

net::awaitable<void> ClientConnections::drain(double seconds) {
    draining_ = true;
    stop_.cancel();
    room_.cancel();
    close_idle();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    net::steady_timer tick(io_);
    while (!open_.empty() && std::chrono::steady_clock::now() < deadline) {
        close_idle();  // those that finished their last request since
        tick.expires_after(std::chrono::milliseconds(20));
        co_await tick.async_wait(use_tuple);
    }
    close_idle();
    // A request cut short still gets its answer (or the end of the one it
    // was sending) and its line in the access log; the connection then
    // closes as its session ends.
    std::vector<std::function<void()>> cuts;
    for (auto& kv : open_) cuts.push_back(kv.second.cut);
    for (auto& cut : cuts) cut();
}

}  // namespace quillmar::proxy
