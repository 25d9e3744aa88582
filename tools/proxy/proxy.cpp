// The proxy's life: construction, opening the listeners, the background
// tasks (health checks, reaper, cluster renewal), SIGHUP reloads, and the
// graceful stop on SIGTERM/SIGINT.
#include "proxy/http_util.hpp"
#include "proxy/proxy.hpp"

#include "load_balancer/reaper.hpp"
#include "load_balancer/settings.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/spdlog.h>

#include <csignal>

namespace quillmar::proxy {

namespace {

// Throws ConfigError when the file cannot be opened.
std::unique_ptr<AccessLog> open_access_log(const Config& cfg) {
    return std::make_unique<AccessLog>(cfg.access_log, cfg.access_log_format == "text" ? AccessLog::Format::text
                                                                                        : AccessLog::Format::json);
}

}  // namespace

Proxy::Proxy(net::io_context& io, lb::LoadBalancer& lb, std::shared_ptr<const Config> cfg, std::string config_path,
             PortOverrides ports)
    : io_(io),
      lb_(lb),
      cfg_(with_overrides(std::move(cfg), ports)),
      config_path_(std::move(config_path)),
      listener_(io),
      admin_listener_(io),
      signals_(io),
      access_(open_access_log(*cfg_)),
      connections_(io),
      watches_(io.get_executor()) {
    ports_ = ports;
    started_ = cfg_;
    // Cluster mode: the records handed to the balancer carry this replica's
    // grant as their cap, kept up to date by the cluster's renewal loop.
    if (cfg_->cluster) {
        cluster_ = std::make_unique<ClusterCapacity>(io_, lb_, *cfg_->cluster);
        cfg_ = cluster_->adopt(cfg_);
    }
}

void Proxy::apply_settings(const Config& cfg) {
    lb_.set_routing_mode(std::string_view(cfg.routing_mode));
    lb::QUEUE_ENABLED = cfg.queue_enabled.value_or(start_settings_.queue_enabled);
    lb::QUEUE_TTL_SEC = cfg.queue_ttl_sec.value_or(start_settings_.queue_ttl_sec);
    lb::QUEUE_MAX_DEPTH_MULTIPLIER =
        cfg.queue_max_depth_multiplier.value_or(start_settings_.queue_max_depth_multiplier);
    lb::SUPERFAST_PER_SERVER_CAP = cfg.superfast_cap.value_or(start_settings_.superfast_cap);
}

void Proxy::start_reaper() {
    if (cfg_->reaper_interval_sec <= 0 || stopping_) return;
    // The reaper's list of running servers: every backend of the current
    // configuration. A backend a reload dropped loses its in-flight count.
    // One failing its health check keeps it: each count is a request this
    // process still runs, which ends by itself if the backend is gone, and
    // a backend whose health answer is late under load is still running
    // them; cleared, the count would let as many requests more in once it
    // passes again (and in a cluster, hand its share to other replicas).
    lb::ServerLister lister = [this]() -> awaitable<std::vector<lb::ServerRecord>> {
        std::vector<lb::ServerRecord> running;
        std::set<std::int64_t> seen;
        for (const auto& [model, pool] : cfg_->models)
            for (const auto& rec : pool.records)
                if (seen.insert(lb::server_id(rec)).second) running.push_back(rec);
        co_return running;
    };
    reaper_.restart(lb::inflight_reaper_loop(
        lb_, {.interval_sec = cfg_->reaper_interval_sec, .list_running_servers = std::move(lister)}));
}

void Proxy::stop_reaper() { reaper_.stop(); }

void Proxy::start_health_checks() {
    if (cfg_->health_interval_sec <= 0 || stopping_) health_.stop();
    else health_.restart(health_loop());
}

void Proxy::warn_unverified() const {
    const std::string unverified = cfg_->unverified_servers();
    if (!unverified.empty())
        spdlog::warn("upstream_tls.insecure_skip_verify: certificates of these backends are NOT verified, anyone "
                     "on the path can read and change their traffic: {}",
                     unverified);
}

std::pair<std::uint16_t, std::uint16_t> Proxy::start() {
    auto open = [](tcp::acceptor& a, const std::string& address, std::uint16_t port) {
        tcp::endpoint ep(net::ip::make_address(address), port);
        a.open(ep.protocol());
        a.set_option(net::socket_base::reuse_address(true));
        a.bind(ep);
        a.listen(net::socket_base::max_listen_connections);
        return a.local_endpoint().port();
    };
    apply_settings(*cfg_);
    warn_unverified();
    connections_.set_limit(cfg_->max_client_connections);
    std::uint16_t port = open(listener_, cfg_->listen_address, cfg_->listen_port);
    std::uint16_t admin_port = 0;
    if (cfg_->admin_enabled) admin_port = open(admin_listener_, cfg_->admin_address, cfg_->admin_port);

    net::co_spawn(io_, accept_loop(listener_, false), net::detached);
    if (cfg_->admin_enabled) net::co_spawn(io_, accept_loop(admin_listener_, true), net::detached);

    signals_.add(SIGHUP);
    signals_.add(SIGTERM);
    signals_.add(SIGINT);
    net::co_spawn(io_, signal_loop(), net::detached);

    start_health_checks();
    if (cluster_) cluster_->start();

    start_reaper();
    listening_ = true;
    return {port, admin_port};
}

void Proxy::stop() {
    stop_serving();
    if (cluster_) cluster_->stop();
}

void Proxy::stop_serving() {
    if (stopping_) return;
    stopping_ = true;
    beast::error_code ec;
    listener_.close(ec);
    admin_listener_.close(ec);
    signals_.cancel(ec);
    stop_reaper();
    health_.stop();
}

bool Proxy::reload() {
    std::shared_ptr<const Config> next;
    std::unique_ptr<AccessLog> access;
    try {
        next = with_overrides(load_config(config_path_), ports_);
        // Opened anew on every reload, also when its name stays: rotation
        // renames the file and then sends SIGHUP, and the lines that follow
        // belong in a new file under the old name.
        access = open_access_log(*next);
    } catch (const std::exception& e) {
        spdlog::error("reload of {} failed, keeping the running configuration: {}", config_path_, e.what());
        metrics_.count_reload(false);
        return false;
    }
    metrics_.count_reload(true);
    if (next->listen_address != started_->listen_address || next->listen_port != started_->listen_port ||
        next->admin_address != started_->admin_address || next->admin_port != started_->admin_port ||
        next->admin_enabled != started_->admin_enabled)
        spdlog::warn("reload: listener changes take effect only after a restart");
    if (next->cluster != started_->cluster) spdlog::warn("reload: cluster changes take effect only after a restart");
    const bool new_reaper_interval = next->reaper_interval_sec != cfg_->reaper_interval_sec;
    const bool new_health_interval = next->health_interval_sec != cfg_->health_interval_sec;
    if (cluster_) next = cluster_->adopt(next);  // new caps and backends, records carrying the grants
    apply_settings(*next);
    access_ = std::move(access);
    connections_.set_limit(next->max_client_connections);
    // Idle upstream connections were made under the old TLS settings (a CA
    // or a verification switch may have changed with the same file names):
    // new ones are made under the new.
    pool_.clear();
    // Forget health and sin-bin state of backends that left the
    // configuration, and all health state when checks are off: nothing
    // would ever clear it again.
    std::erase_if(unhealthy_, [&](std::int64_t id) {
        return next->health_interval_sec <= 0 || !next->servers.contains(id);
    });
    if (next->health_interval_sec <= 0) probing_.clear();  // what they find no longer counts
    std::erase_if(sin_bin_until_, [&](const auto& kv) { return !next->servers.contains(kv.first); });
    cfg_ = std::move(next);
    if (new_reaper_interval) {
        stop_reaper();
        start_reaper();
    }
    // A new interval applies now, not after the old one has run out.
    if (new_health_interval) start_health_checks();
    // Parked requests wait on the records they were parked with: hand them
    // the new ones, so that a raised cap lets them in now rather than only
    // the requests that come after the reload. This also offers them the
    // room a new mode or superfast_cap makes.
    lb_.refresh_waiters([this](const lb::PoolKey& key, std::int64_t id) -> lb::ServerRecord {
        auto pool = cfg_->models.find(key.model_id());
        return pool == cfg_->models.end() || !(pool->second.key == key) ? nullptr : pool->second.record(id);
    });
    warn_unverified();
    spdlog::info("reloaded {}: {} models, {} servers", config_path_, cfg_->models.size(), cfg_->servers.size());
    return true;
}

awaitable<void> Proxy::shutdown() {
    // The cluster's renewals go on while requests drain: the grants they
    // run on stay reserved, so no other replica takes slots still in use.
    stop_serving();
    co_await connections_.drain(cfg_->drain_sec);
    // The sessions closed by the drain unwind on their next turn of the
    // loop (leases released, upstream requests cancelled); give them that.
    net::steady_timer tick(io_);
    for (int i = 0; i < 100 && live_sessions_ > 0; ++i) {
        tick.expires_after(std::chrono::milliseconds(10));
        co_await tick.async_wait(use_tuple);
    }
    spdlog::info("stopped ({} connections left)", live_sessions_);
    if (cluster_) co_await cluster_->release();  // give the shares back for the other replicas
    stop();
    io_.stop();
}

awaitable<void> Proxy::signal_loop() {
    for (;;) {
        auto [ec, sig] = co_await signals_.async_wait(use_tuple);
        if (ec) co_return;
        if (sig == SIGHUP) {
            reload();
        } else {
            spdlog::info("signal {}: stopping, running requests get up to {:.1f}s", sig, cfg_->drain_sec);
            co_await shutdown();
            co_return;
        }
    }
}

}  // namespace quillmar::proxy
