// Idle keep-alive connections to the backends, plain or TLS, a few per backend, most
// recently used first out (the warmest socket is the least likely to have
// been closed by the server). One idle for kMaxIdleSec is closed instead of
// handed out: a NAT or firewall on the way may have forgotten it without a
// word, and a request written into it would wait its whole first-byte
// time-out (and sin-bin a sound backend). Loop thread only; every call is
// O(1) apart from drop(), which closes that backend's idle connections
// (take() is O(1) per connection it hands out or closes).
#pragma once

#include "proxy/stream.hpp"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmar::proxy {

class UpstreamPool {
public:
    using Conn = std::unique_ptr<Stream>;
    static constexpr double kMaxIdleSec = 60.0;
    // An idle connection to `key` ("scheme://host:port"), or null when none is idle.
    // Each candidate costs one non-blocking peek: one the backend closed, or
    // sent unasked-for bytes on, is closed instead of handed out.
    Conn take(const std::string& key);
    // Keeps `conn` for reuse unless `max_idle` are idle already (it closes then).
    void put(const std::string& key, Conn conn, std::size_t max_idle);
    // Closes every idle connection to one backend (after it failed).
    void drop(const std::string& key);
    // Closes every idle connection.
    void clear() { idle_.clear(); }
    std::size_t idle(const std::string& key) const;

private:
    struct Idle {
        Conn conn;
        double since;  // monotonic seconds when it was put back
    };
    std::unordered_map<std::string, std::vector<Idle>> idle_;  // oldest first
};

}  // namespace quillmar::proxy
