// Which backends no request may be sent to now: sin-binned after a failure
// (for a configured time) or failing their periodic health check (until
// one passes again).
#include "proxy/dial.hpp"
#include "proxy/http_util.hpp"
#include "proxy/proxy.hpp"
#include "proxy/step_io.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/beast/http.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <limits>

namespace quillmar::proxy {

void Proxy::sin_bin(std::int64_t server_id, double secs) {
    if (secs <= 0) return;
    sin_bin_until_[server_id] = now() + secs;
    spdlog::warn("server {} sin-binned for {:.1f}s", server_id, secs);
}

// Server ids that no selection may choose now: sin-binned or unhealthy.
std::vector<std::int64_t> Proxy::excluded_ids() {
    std::vector<std::int64_t> out;
    if (sin_bin_until_.empty() && unhealthy_.empty()) return out;
    double t = now();
    std::erase_if(sin_bin_until_, [t](const auto& kv) { return kv.second <= t; });
    for (const auto& kv : sin_bin_until_) out.push_back(kv.first);
    for (std::int64_t id : unhealthy_) out.push_back(id);
    return out;
}

bool Proxy::excluded_now(std::int64_t server_id) {
    if (unhealthy_.contains(server_id)) return true;
    const auto it = sin_bin_until_.find(server_id);
    return it != sin_bin_until_.end() && it->second > now();
}

// Runs while checks are on; a reload that changes the interval starts a
// new loop in place of this one.
awaitable<void> Proxy::health_loop() {
    for (;;) {
        co_await lb::sleep(cfg_->health_interval_sec);
        auto cfg = cfg_;
        // A probe may wait longer than the interval (timeout_sec is its
        // own): a backend still being probed is left to that probe, or one
        // that hangs would collect a connection every interval. A backend a
        // reload gave a new address is probed there at once.
        for (const auto& [id, ep] : cfg->servers) {
            auto [probe, fresh] = probing_.try_emplace(id);
            if (!fresh && probe->second.url == ep.url) continue;
            probe->second = {ep.url, ++probes_started_};
            net::co_spawn(io_, check_health(id, ep, cfg, probe->second.ticket), net::detached);
        }
    }
}

namespace {

// One health probe: empty when the server answered 2xx, otherwise what went
// wrong as one readable line (no exception texts: they carry source paths).
// g++ 12 at -O1 inlines Asio's frame allocator (aligned_alloc) and its
// operator delete into this coroutine and takes them for a mismatched pair;
// they are Asio's own matched functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
awaitable<std::string> probe_health(const Endpoint& ep, const Config& cfg) {
    Dialed dialed = co_await dial(ep, cfg.upstream_tls.context, cfg.health_timeout_sec);
    if (!dialed.stream) co_return dialed.detail;
    Stream& s = *dialed.stream;
    s.expires_after(seconds(cfg.health_timeout_sec));
    http::request<http::empty_body> req{http::verb::get, ep.prefix + cfg.health_path, 11};
    req.set(http::field::host, ep.host_header);
    req.keep_alive(false);
    auto [wec, wn] = co_await http::async_write(s, req, use_tuple);
    if (wec) co_return "send: " + wec.message();
    beast::flat_buffer buf;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024);  // a health answer is small; a backend cannot make us buffer more
    MessageRead read(buf, parser, MessageRead<false>::Until::message);
    while (read.wants_bytes()) {
        auto [rec, rn] = co_await s.async_read_some(read.space(), use_tuple);
        read.received(rec, rn);
    }
    if (read.error()) co_return "read: " + read.error().message();
    const unsigned status = parser.get().result_int();
    if (status / 100 != 2) co_return "status " + std::to_string(status);
    co_return std::string{};
}
#pragma GCC diagnostic pop

}  // namespace

awaitable<void> Proxy::check_health(std::int64_t id, Endpoint ep, std::shared_ptr<const Config> cfg,
                                    std::uint64_t ticket) {
    const std::string why = co_await probe_health(ep, *cfg);
    // What an older probe, or one of an address the server no longer has,
    // found says nothing about the server now.
    auto probe = probing_.find(id);
    if (probe == probing_.end() || probe->second.ticket != ticket) co_return;
    probing_.erase(probe);
    auto now_at = cfg_->servers.find(id);
    if (now_at == cfg_->servers.end() || now_at->second.url != ep.url) co_return;
    if (why.empty()) {
        if (unhealthy_.erase(id) > 0) spdlog::info("server {} passes its health check again", id);
    } else if (unhealthy_.insert(id).second) {
        spdlog::warn("server {} fails its health check at {}:{}: {}", id, ep.host, ep.port, why);
    }
}

bool Proxy::all_unavailable(const std::vector<lb::ServerRecord>& fitting, const std::vector<std::int64_t>& excluded,
                            const Config& cfg, double& back_in_sec, json::array& states) {
    if (excluded.empty()) return false;
    const double t = now();
    back_in_sec = std::numeric_limits<double>::infinity();
    for (const auto& r : fitting) {
        const std::int64_t id = lb::server_id(r);
        if (std::find(excluded.begin(), excluded.end(), id) == excluded.end()) return false;
        // A failing health check is looked at again at the next interval.
        double back = cfg.health_interval_sec > 0 ? cfg.health_interval_sec : cfg.retry_after_sec;
        const char* state = "unhealthy";
        if (auto it = sin_bin_until_.find(id); it != sin_bin_until_.end() && !unhealthy_.contains(id)) {
            back = std::max(0.0, it->second - t);
            state = "sin_binned";
        }
        back_in_sec = std::min(back_in_sec, back);
        states.push_back(json::object{{"server_id", id}, {"state", state}, {"back_in_sec", back}});
    }
    back_in_sec = std::max(1.0, back_in_sec);
    return true;
}

}  // namespace quillmar::proxy
