#include "proxy/upstream_pool.hpp"

namespace quillmar::proxy {

UpstreamPool::Conn UpstreamPool::take(const std::string& key) {
    auto it = idle_.find(key);
    if (it == idle_.end() || it->second.empty()) return nullptr;
    Conn c = std::move(it->second.back());
    it->second.pop_back();
    return c;
}

void UpstreamPool::put(const std::string& key, Conn conn, std::size_t max_idle) {
    auto& list = idle_[key];
    if (list.size() >= max_idle) return;  // the connection closes as it goes
    conn->expires_never();
    list.push_back(std::move(conn));
}

void UpstreamPool::drop(const std::string& key) { idle_.erase(key); }

std::size_t UpstreamPool::idle(const std::string& key) const {
    auto it = idle_.find(key);
    return it == idle_.end() ? 0 : it->second.size();
}

}  // namespace quillmar::proxy
