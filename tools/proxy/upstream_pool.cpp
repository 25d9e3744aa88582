#include "proxy/upstream_pool.hpp"

#include "load_balancer/runtime.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace quillmar::proxy {

namespace {

// Whether an idle connection is still just that: open, with nothing sent on
// it since its last answer. A backend may close it while it sits here (its
// own keep-alive timeout), or write bytes nobody asked for; those would be
// read as the next request's answer and hand one client another's response.
// One non-blocking peek per reuse: the reactor cannot say, since the bytes
// may have arrived while no read was waiting for them.
bool quiet(Stream& conn) {
    char byte;
    ssize_t n;
    do n = ::recv(conn.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

UpstreamPool::Conn UpstreamPool::take(const std::string& key) {
    auto it = idle_.find(key);
    if (it == idle_.end()) return nullptr;
    auto& list = it->second;
    while (!list.empty()) {
        // Newest last: once one has been idle too long, all before it have.
        if (lb::monotonic() - list.back().since >= kMaxIdleSec) {
            list.clear();
            break;
        }
        Conn c = std::move(list.back().conn);
        list.pop_back();
        if (quiet(*c)) return c;
    }  // each one that is not closes as it goes
    return nullptr;
}

void UpstreamPool::put(const std::string& key, Conn conn, std::size_t max_idle) {
    auto& list = idle_[key];
    // Those idle too long (oldest first) make room before the cap is checked.
    const double now = lb::monotonic();
    const auto fresh =
        std::find_if(list.begin(), list.end(), [now](const Idle& i) { return now - i.since < kMaxIdleSec; });
    list.erase(list.begin(), fresh);
    if (list.size() >= max_idle) return;  // the connection closes as it goes
    conn->expires_never();
    list.push_back(Idle{std::move(conn), now});
}

void UpstreamPool::drop(const std::string& key) { idle_.erase(key); }

std::size_t UpstreamPool::idle(const std::string& key) const {
    auto it = idle_.find(key);
    return it == idle_.end() ? 0 : it->second.size();
}

}  // namespace quillmar::proxy
