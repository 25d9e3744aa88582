#include "proxy/proxy.hpp"

#include "proxy/admin.hpp"
#include "proxy/usage_scanner.hpp"

#include "load_balancer/estimator.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/request_scan.hpp"
#include "load_balancer/reaper.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "proxy/framing.hpp"
#include "proxy/target.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <array>
#include <chrono>
#include <csignal>

namespace quillmar::proxy {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using tcp = net::ip::tcp;
using net::awaitable;
using net::use_awaitable;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

namespace {

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

double now() { return lb::monotonic(); }

// Headers that describe one hop, not the message: never forwarded.
bool hop_by_hop(const http::fields::value_type& f) {
    switch (f.name()) {
        case http::field::connection:
        case http::field::keep_alive:
        case http::field::proxy_authenticate:
        case http::field::proxy_authorization:
        case http::field::proxy_connection:
        case http::field::te:
        case http::field::trailer:
        case http::field::transfer_encoding:
        case http::field::upgrade:
        case http::field::content_length:
        case http::field::expect:  // answered by the proxy itself
            return true;
        default:
            return false;
    }
}

// The proxy sets the request id on both hops; a backend's own is dropped.
bool is_request_id(const http::fields::value_type& f) { return beast::iequals(f.name_string(), "x-request-id"); }

std::string peer_of(const beast::tcp_stream& stream) {
    beast::error_code ec;
    auto ep = stream.socket().remote_endpoint(ec);
    return ec ? std::string() : ep.address().to_string() + ":" + std::to_string(ep.port());
}

// An OpenAI-style error body.
std::string error_body(std::string_view message, std::string_view type, std::string_view code,
                       json::object extra = {}) {
    json::object err;
    err["message"] = message;
    err["type"] = type;
    err["code"] = code.empty() ? json::value(nullptr) : json::value(code);
    for (auto& kv : extra) err[kv.key()] = kv.value();
    json::object body;
    body["error"] = std::move(err);
    return json::serialize(body);
}

// The kind of an upstream failure, for metrics and messages.
std::string classify(const beast::error_code& ec, std::string_view phase) {
    if (ec == beast::error::timeout) return std::string(phase) + "_timeout";
    if (ec == net::error::connection_refused) return "connect_refused";
    if (ec == net::error::connection_reset || ec == net::error::broken_pipe) return std::string(phase) + "_reset";
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == http::error::partial_message)
        return std::string(phase) + "_closed";
    return std::string(phase) + "_error";
}

// Operations awaited with as_tuple report cancellation as an error code;
// turn it back into the cancellation error so that a request whose client
// left unwinds at once instead of being taken for an upstream failure.
void throw_if_cancelled(const beast::error_code& ec) {
    if (ec == net::error::operation_aborted) lb::throw_cancelled();
}

}  // namespace

// ---- Upstream connection pool ----------------------------------------------

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

// ---- Per-request state -------------------------------------------------------

struct Proxy::Exchange {
    std::shared_ptr<const Config> cfg;
    std::string method;
    std::string target;
    std::string pool_label = "-";
    std::string request_id;
    std::string client;
    std::string model;
    std::int64_t input_tokens = -1;
    Usage usage;
    double wall_start = lb::wall_time();
    double start = now();
    double wait_started = -1.0;  // while parked: when the wait began
    double wait = 0.0;
    double ttfb = -1.0;
    std::int64_t server_id = -1;
    int status = 0;
    std::uint64_t bytes = 0;
    bool client_keep = true;
    bool response_started = false;  // a byte went to the client: no retry, no error page
    bool client_broken = false;     // the client connection cannot carry another response
    std::string note;               // short reason shown in the access log
};

struct Proxy::Attempt {
    bool ok = false;
    std::string kind;    // failure kind
    bool retry = true;   // a failure before the backend's first response byte
};

// Length-delimited bodies up to this size are read whole before the client
// gets the response head.
constexpr std::uint64_t kBufferedBodyLimit = 256 * 1024;
// More interim responses than this before the final one: a broken backend.
constexpr int kMaxInterimResponses = 16;

// ---- Construction, start, stop, reload -------------------------------------

Proxy::Proxy(net::io_context& io, lb::LoadBalancer& lb, std::shared_ptr<const Config> cfg, std::string config_path)
    : io_(io),
      lb_(lb),
      cfg_(std::move(cfg)),
      config_path_(std::move(config_path)),
      listener_(io),
      admin_listener_(io),
      signals_(io),
      access_(std::make_unique<AccessLog>(cfg_->access_log, cfg_->access_log_format == "text"
                                                                 ? AccessLog::Format::text
                                                                 : AccessLog::Format::json)),
      connections_(io) {
    // Cluster mode: the records handed to the balancer carry this replica's
    // grant as their cap, kept up to date by the cluster's renewal loop.
    if (cfg_->cluster) {
        cluster_ = std::make_unique<ClusterCapacity>(io_, lb_, *cfg_->cluster);
        cfg_ = cluster_->adopt(cfg_);
    }
}

void Proxy::apply_settings(const Config& cfg) {
    lb_.set_routing_mode(std::string_view(cfg.routing_mode));
    if (cfg.queue_enabled) lb::QUEUE_ENABLED = *cfg.queue_enabled;
    if (cfg.queue_ttl_sec) lb::QUEUE_TTL_SEC = *cfg.queue_ttl_sec;
    if (cfg.queue_max_depth_multiplier) lb::QUEUE_MAX_DEPTH_MULTIPLIER = *cfg.queue_max_depth_multiplier;
    if (cfg.superfast_cap) lb::SUPERFAST_PER_SERVER_CAP = *cfg.superfast_cap;
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

    net::co_spawn(io_, health_loop(), net::bind_cancellation_slot(stop_health_.slot(), net::detached));
    if (cluster_) cluster_->start();

    if (cfg_->reaper_interval_sec > 0) {
        // The reaper's list of running servers: every backend of the current
        // configuration that passes its health check. A backend dropped by a
        // reload or failing its check loses its stale in-flight count.
        lb::ServerLister lister = [this]() -> awaitable<std::vector<lb::ServerRecord>> {
            std::vector<lb::ServerRecord> running;
            std::set<std::int64_t> seen;
            for (const auto& [model, pool] : cfg_->models)
                for (const auto& rec : pool.records) {
                    std::int64_t id = lb::server_id(rec);
                    if (!unhealthy_.contains(id) && seen.insert(id).second) running.push_back(rec);
                }
            co_return running;
        };
        net::co_spawn(io_,
                      lb::inflight_reaper_loop(lb_, {.interval_sec = cfg_->reaper_interval_sec,
                                                     .list_running_servers = std::move(lister)}),
                      net::bind_cancellation_slot(stop_reaper_.slot(), net::detached));
    }
    listening_ = true;
    return {port, admin_port};
}

void Proxy::stop() {
    if (stopping_) return;
    stopping_ = true;
    beast::error_code ec;
    listener_.close(ec);
    admin_listener_.close(ec);
    signals_.cancel(ec);
    stop_reaper_.emit(net::cancellation_type::terminal);
    stop_health_.emit(net::cancellation_type::terminal);
    if (cluster_) cluster_->stop();
}

bool Proxy::reload() {
    std::shared_ptr<const Config> next;
    try {
        next = load_config(config_path_);
    } catch (const std::exception& e) {
        spdlog::error("reload of {} failed, keeping the running configuration: {}", config_path_, e.what());
        return false;
    }
    if (next->listen_address != cfg_->listen_address || next->listen_port != cfg_->listen_port ||
        next->admin_address != cfg_->admin_address || next->admin_port != cfg_->admin_port ||
        next->admin_enabled != cfg_->admin_enabled)
        spdlog::warn("reload: listener changes take effect only after a restart");
    if (next->cluster != cfg_->cluster) spdlog::warn("reload: cluster changes take effect only after a restart");
    if (cluster_) next = cluster_->adopt(next);  // new caps and backends, records carrying the grants
    apply_settings(*next);
    connections_.set_limit(next->max_client_connections);
    // Forget health and sin-bin state of backends that left the configuration.
    std::erase_if(unhealthy_, [&](std::int64_t id) { return !next->servers.contains(id); });
    std::erase_if(sin_bin_until_, [&](const auto& kv) { return !next->servers.contains(kv.first); });
    cfg_ = std::move(next);
    spdlog::info("reloaded {}: {} models, {} servers", config_path_, cfg_->models.size(), cfg_->servers.size());
    return true;
}

awaitable<void> Proxy::shutdown() {
    stop();
    co_await connections_.drain(cfg_->drain_sec);
    // The sessions closed by the drain unwind on their next turn of the
    // loop (leases released, upstream requests cancelled); give them that.
    net::steady_timer tick(io_);
    for (int i = 0; i < 100 && live_sessions_ > 0; ++i) {
        tick.expires_after(std::chrono::milliseconds(10));
        co_await tick.async_wait(use_tuple);
    }
    spdlog::info("stopped ({} connections left)", live_sessions_);
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
            if (cluster_) co_await cluster_->release();  // give the shares back for the other replicas
            co_await shutdown();
            co_return;
        }
    }
}

// ---- Sin-bin and health ---------------------------------------------------------

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

awaitable<void> Proxy::health_loop() {
    for (;;) {
        auto cfg = cfg_;
        if (cfg->health_interval_sec <= 0) {
            co_await lb::sleep(1.0);  // checks may be switched on by a reload
            continue;
        }
        co_await lb::sleep(cfg->health_interval_sec);
        cfg = cfg_;
        for (const auto& [id, ep] : cfg->servers) net::co_spawn(io_, check_health(id, ep, cfg), net::detached);
    }
}

namespace {

// One health probe: empty when the server answered 2xx, otherwise what went
// wrong as one readable line (no exception texts: they carry source paths).
awaitable<std::string> probe_health(net::io_context& io, const Endpoint& ep, const Config& cfg) {
    beast::tcp_stream s(io);
    tcp::resolver resolver(io);
    auto [rec, results] = co_await resolver.async_resolve(ep.host, std::to_string(ep.port), use_tuple);
    if (rec) co_return "cannot resolve " + ep.host + ": " + rec.message();
    s.expires_after(seconds(cfg.health_timeout_sec));
    auto [cec, unused] = co_await s.async_connect(results, use_tuple);
    if (cec) co_return "connect: " + cec.message();
    http::request<http::empty_body> req{http::verb::get, ep.prefix + cfg.health_path, 11};
    req.set(http::field::host, ep.host);
    req.keep_alive(false);
    auto [wec, wn] = co_await http::async_write(s, req, use_tuple);
    if (wec) co_return "send: " + wec.message();
    beast::flat_buffer buf;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024);  // a health answer is small; a backend cannot make us buffer more
    auto [hec, hn] = co_await http::async_read(s, buf, parser, use_tuple);
    if (hec) co_return "read: " + hec.message();
    const unsigned status = parser.get().result_int();
    if (status / 100 != 2) co_return "status " + std::to_string(status);
    co_return std::string{};
}

}  // namespace

awaitable<void> Proxy::check_health(std::int64_t id, Endpoint ep, std::shared_ptr<const Config> cfg) {
    const std::string why = co_await probe_health(io_, ep, *cfg);
    if (!cfg_->servers.contains(id)) co_return;  // left the configuration meanwhile
    if (why.empty()) {
        if (unhealthy_.erase(id) > 0) spdlog::info("server {} passes its health check again", id);
    } else if (unhealthy_.insert(id).second) {
        spdlog::warn("server {} fails its health check at {}:{}: {}", id, ep.host, ep.port, why);
    }
}

// ---- Listeners and sessions ------------------------------------------------------

namespace {

// Out of descriptors (or kernel memory): retrying at once spins, since the
// pending connection stays in the backlog.
bool resource_exhausted(const beast::error_code& ec) {
    return ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory ||
           ec == beast::error_code(ENFILE, beast::system_category());
}

}  // namespace

awaitable<void> Proxy::accept_loop(tcp::acceptor& acceptor, bool admin) {
    double backoff = 0.0;
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
        if (ec) {
            if (ec == net::error::operation_aborted || !acceptor.is_open()) co_return;
            if (!resource_exhausted(ec)) continue;  // e.g. the client reset before accept
            // Make room by closing the oldest idle keep-alive connection,
            // and wait a little longer each time the shortage lasts.
            if (backoff == 0.0) spdlog::warn("accept failed ({}): backing off", ec.message());
            metrics_.count_client_event("accept_backoff");
            if (connections_.evict_oldest_idle()) metrics_.count_client_event("idle_evicted");
            backoff = std::min(1.0, backoff == 0.0 ? 0.01 : backoff * 2);
            net::steady_timer pause(io_, seconds(backoff));
            co_await pause.async_wait(use_tuple);
            continue;
        }
        backoff = 0.0;
        // At the cap the oldest idle connection makes room; when none is
        // idle this one waits (and the listener with it) until one closes.
        const std::size_t before = connections_.open();
        if (!co_await connections_.wait_for_room()) co_return;  // stopping: the socket closes
        if (connections_.open() < before) metrics_.count_client_event("idle_evicted");
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        net::co_spawn(io_, session(Stream(std::move(socket)), admin), net::detached);
    }
}

namespace {

// A response to a HEAD request keeps its Content-Length and loses its body.
template <class Body>
void strip_body_for_head(http::response<Body>& res, bool head) {
    if (!head) return;
    const std::size_t n = res.body().size();
    res.body().clear();
    res.content_length(n);
}

// Writes one response; a client that takes no bytes for `deadline_sec` is
// cut off (the stream closes and the write fails with a time-out).
template <class Body>
awaitable<beast::error_code> write_message(beast::tcp_stream& stream, http::response<Body>& res, double deadline_sec) {
    stream.expires_after(seconds(deadline_sec));
    auto [ec, n] = co_await http::async_write(stream, res, use_tuple);
    stream.expires_never();
    co_return ec;
}

http::response<http::string_body> make_response(http::status status, std::string body, bool keep_alive,
                                                std::string_view content_type = "application/json") {
    http::response<http::string_body> res{status, 11};
    res.set(http::field::content_type, content_type);
    res.body() = std::move(body);
    res.keep_alive(keep_alive);
    res.prepare_payload();
    return res;
}

// The pool's stickiness key of a request: its configured header, or its
// configured top-level body field (a string's value, or the serialized
// text of any other non-null value, as the scan read it); empty: none.
std::string sticky_key(const PoolConfig& pool, const http::request<http::string_body>& req,
                       const lb::ScannedRequest& scan) {
    if (!pool.sticky_header.empty()) {
        if (auto it = req.find(pool.sticky_header); it != req.end()) return std::string(it->value());
    } else if (scan.routed_kind == lb::FieldKind::string || scan.routed_kind == lb::FieldKind::other) {
        return scan.routed_text;
    }
    return {};
}

std::string_view buffered(const beast::flat_buffer& buffer) {
    auto data = buffer.data();
    return {static_cast<const char*>(data.data()), data.size()};
}

constexpr std::size_t kHeaderLimit = 64 * 1024;

}  // namespace

awaitable<void> Proxy::session(Stream stream, bool admin) {
    beast::flat_buffer buffer;
    ++live_sessions_;
    const ClientConnections::Id id = connections_.add([&stream] {
        beast::error_code ignored;
        stream.socket().close(ignored);
    });
    try {
        while (!connections_.draining()) {
            auto cfg = cfg_;
            http::request_parser<http::string_body> parser;
            parser.body_limit(cfg->body_limit_bytes);
            parser.header_limit(kHeaderLimit);
            if (!co_await read_request(stream, buffer, parser, *cfg, id)) break;
            Request req = parser.release();
            if (!co_await serve(stream, buffer, req, admin)) break;
        }
    } catch (const std::exception& e) {
        spdlog::debug("session ended: {}", e.what());
    }
    connections_.remove(id);
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
    --live_sessions_;
}

awaitable<void> Proxy::refuse_request(Stream& stream, const Config& cfg, const Refusal& refusal,
                                      std::string_view method, std::string_view target) {
    Exchange ex;
    ex.cfg = cfg_;
    ex.method = method;
    ex.target = target;
    ex.status = refusal.status;
    ex.note = refusal.code;
    auto res = make_response(static_cast<http::status>(refusal.status),
                             error_body(refusal.message, refusal.type, refusal.code), false);
    strip_body_for_head(res, method == "HEAD");
    ex.bytes = res.body().size();
    co_await write_message(stream, res, cfg.client_write_timeout_sec);
    metrics_.count_request(ex.pool_label, ex.status);
    log_access(ex);
}

// Reads one request: its head's raw bytes (checked before any parser sees
// them), the parsed head (framing and target checked), then its body. A
// refusal is answered here and ends the connection; false: stop serving it.
// (No temporaries in a full expression with co_await: g++ 12 mishandles them.)
awaitable<bool> Proxy::read_request(Stream& stream, beast::flat_buffer& buffer,
                                    http::request_parser<http::string_body>& parser, const Config& cfg,
                                    ClientConnections::Id id) {
    connections_.set_idle(id, buffer.size() == 0);
    stream.expires_after(seconds(cfg.client_idle_timeout_sec));
    HeadScan scan = scan_head(buffered(buffer));
    while (scan.end == 0 && !scan.refusal) {
        if (buffer.size() >= kHeaderLimit) {
            scan.refusal = Refusal{431, "header_too_large", "the request head exceeds 64 KiB"};
            break;
        }
        auto [ec, n] = co_await stream.async_read_some(buffer.prepare(4096), use_tuple);
        if (ec) co_return false;  // gone, idle too long, or evicted
        buffer.commit(n);
        connections_.set_idle(id, false);
        scan = scan_head(buffered(buffer));
    }
    const std::string_view unknown = "-";
    if (scan.refusal) {
        co_await refuse_request(stream, cfg, *scan.refusal, unknown, unknown);
        co_return false;
    }
    auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, use_tuple);
    auto& head = parser.get();
    const std::string_view method = head.method_string();
    const std::string raw_target(head.target());
    const std::string too_large = "request body exceeds " + std::to_string(cfg.body_limit_bytes) + " bytes";
    bool expect_continue = false;
    std::optional<Refusal> refusal;
    if (hec == http::error::body_limit) refusal = Refusal{413, "body_too_large", too_large};
    else if (hec) refusal = Refusal{400, "bad_request", "malformed HTTP request: " + hec.message()};
    if (!refusal) refusal = check_framing(head, expect_continue);
    NormalizedTarget target;
    if (!refusal) {
        target = normalize_target(raw_target);
        if (!target.error.empty()) refusal = Refusal{400, "invalid_target", target.error};
    }
    if (!refusal && expect_continue && parser.content_length() && *parser.content_length() > cfg.body_limit_bytes)
        refusal = Refusal{413, "body_too_large", too_large};
    if (refusal) {
        co_await refuse_request(stream, cfg, *refusal, method, raw_target);
        co_return false;
    }
    head.target(target.target);
    if (expect_continue && !parser.is_done()) {
        // The client holds its body back until told to send it.
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        stream.expires_after(seconds(cfg.client_write_timeout_sec));
        auto [wec, wn] = co_await net::async_write(stream, net::buffer(kContinue), use_tuple);
        if (wec) co_return false;
        stream.expires_after(seconds(cfg.client_idle_timeout_sec));
    }
    auto [ec, n] = co_await http::async_read(stream, buffer, parser, use_tuple);
    stream.expires_never();
    if (!ec) co_return true;
    if (ec == http::error::body_limit) refusal = Refusal{413, "body_too_large", too_large};
    else if (ec != beast::error::timeout && ec != http::error::end_of_stream && ec != http::error::partial_message &&
             ec != net::error::connection_reset && ec != net::error::operation_aborted)
        refusal = Refusal{400, "bad_request", "malformed HTTP request: " + ec.message()};
    if (refusal) co_await refuse_request(stream, cfg, *refusal, method, raw_target);
    co_return false;
}

awaitable<bool> Proxy::serve(Stream& stream, beast::flat_buffer& buffer, Request& req, bool admin) {
    auto cfg = cfg_;
    std::string_view target = req.target();
    std::string_view path = target.substr(0, target.find('?'));
    const bool head = req.method() == http::verb::head;
    bool keep = req.keep_alive() && !connections_.draining();

    if (connections_.draining()) {
        const Refusal stopping{503, "shutting_down", "the proxy is shutting down; send the request again",
                               "shutting_down"};
        co_await refuse_request(stream, *cfg, stopping, req.method_string(), target);
        co_return false;
    }
    AdminView view{lb_, metrics_, *cfg, sin_bin_until_, unhealthy_, now(), listening_, admin, cluster_.get()};
    if (auto res = admin_answer(req, path, view)) {
        strip_body_for_head(*res, head);
        auto ec = co_await write_message(stream, *res, cfg->client_write_timeout_sec);
        metrics_.count_request("-", res->result_int());
        co_return keep && !ec;
    }
    if (path.starts_with("/v1/") && req.method() == http::verb::post)
        co_return co_await serve_inference(stream, buffer, req, cfg);

    // Every other answer is local: built synchronously, written below (no
    // coroutine lambdas: g++ 12 mishandles their frames).
    auto simple = [&](http::status status, std::string body, std::string_view ctype = "application/json") {
        auto res = make_response(status, std::move(body), keep, ctype);
        res.version(req.version());
        return res;
    };
    auto route = [&]() -> http::response<http::string_body> {
        const bool get = req.method() == http::verb::get || head;  // HEAD: the same head, no body
        if (get && path == "/v1/models") {
            json::array data;
            for (const auto& m : cfg->model_order)
                data.push_back(json::object{{"id", m}, {"object", "model"}, {"created", 0}, {"owned_by", "quillmar"}});
            return simple(http::status::ok,
                          json::serialize(json::object{{"object", "list"}, {"data", std::move(data)}}));
        }
        if (path.starts_with("/v1/"))
            return simple(http::status::method_not_allowed,
                          error_body("only POST is served under /v1/", "invalid_request_error", "method_not_allowed"));
        return simple(http::status::not_found,
                      error_body("no route for " + std::string(path), "invalid_request_error", "not_found"));
    };
    http::response<http::string_body> res = route();
    int status = res.result_int();
    strip_body_for_head(res, head);
    auto ec = co_await write_message(stream, res, cfg->client_write_timeout_sec);
    metrics_.count_request("-", status);
    co_return keep && !ec;
}

// ---- The road of one inference request -------------------------------------------

awaitable<void> Proxy::watch_client(Stream& stream, beast::flat_buffer& buffer) {
    // The request has been read whole; the only thing the client can send now
    // is its next request (pipelining) or the end of the connection. Waiting
    // for readability costs no system call per request (a read would try a
    // speculative receive first); once readable, bytes are kept for the next
    // request and the end of the stream means the client has gone.
    auto& socket = stream.socket();
    auto [ec] = co_await socket.async_wait(tcp::socket::wait_read, use_tuple);
    if (ec) co_return;  // cancelled (the request ended) or a socket error
    auto n = co_await socket.async_read_some(buffer.prepare(4096), use_tuple);
    if (std::get<0>(n)) co_return;  // end of stream or reset: the client left
    buffer.commit(std::get<1>(n));
    net::steady_timer forever(io_, net::steady_timer::time_point::max());
    co_await forever.async_wait(use_awaitable);  // until the request ends and cancels us
}

awaitable<bool> Proxy::serve_inference(Stream& stream, beast::flat_buffer& buffer, Request& req,
                                       std::shared_ptr<const Config> cfg) {
    Exchange ex;
    ex.cfg = std::move(cfg);
    ex.method = std::string(req.method_string());
    ex.target = std::string(req.target());
    ex.client_keep = req.keep_alive() && !connections_.draining();
    ex.client = peer_of(stream);
    ex.request_id = request_id_for(req["x-request-id"]);
    req.set("X-Request-Id", ex.request_id);  // the backend logs the same id

    bool client_gone = false;
    if (buffer.size() == 0) {
        // Race the request against the client's departure: whichever ends
        // first cancels the other, so a client that hangs up mid-wait or
        // mid-stream cancels its wait or upstream request at once (the
        // lease's and the waiter's own clean-up run as the coroutine unwinds).
        auto ex_exec = co_await net::this_coro::executor;
        auto [order, e1, e2] = co_await net::experimental::make_parallel_group(
                                   net::co_spawn(ex_exec, handle_inference(ex, stream, req), net::deferred),
                                   net::co_spawn(ex_exec, watch_client(stream, buffer), net::deferred))
                                   .async_wait(net::experimental::wait_for_one(), use_awaitable);
        if (order[0] == 1) {
            client_gone = true;
        } else if (e1) {
            try {
                std::rethrow_exception(e1);
            } catch (const std::exception& e) {
                spdlog::error("request failed: {}", e.what());
            }
            ex.client_broken = true;
        }
    } else {
        try {
            co_await handle_inference(ex, stream, req);
        } catch (const std::exception& e) {
            spdlog::error("request failed: {}", e.what());
            ex.client_broken = true;
        }
    }
    if (client_gone) {
        // 499: the client closed the connection before the response ended.
        if (!ex.response_started) ex.status = 499;
        ex.note = ex.note.empty() ? "client_gone" : ex.note + ",client_gone";
        ex.client_broken = true;
    }
    metrics_.count_request(ex.pool_label, ex.status == 0 ? 500 : ex.status);
    log_access(ex);
    co_return ex.client_keep && !ex.client_broken;
}

http::response<http::string_body> Proxy::refusal_response(Exchange& ex, const Request& req, http::status status,
                                                           std::string body, double retry_after) {
    auto res = make_response(status, std::move(body), ex.client_keep);
    res.version(req.version());
    if (retry_after >= 0)
        res.set(http::field::retry_after, std::to_string(static_cast<long>(std::ceil(retry_after))));
    res.set("X-Request-Id", ex.request_id);
    ex.status = static_cast<int>(status);
    ex.response_started = true;
    ex.bytes += res.body().size();
    return res;
}

awaitable<void> Proxy::write_refusal(Exchange& ex, Stream& stream, http::response<http::string_body>& res) {
    // The result is named, and the body ends in co_return: g++ 12 emits a
    // trap for a coroutine made of one `if (co_await ...)`.
    const double deadline = ex.cfg->client_write_timeout_sec;
    const beast::error_code ec = co_await write_message(stream, res, deadline);
    if (ec) ex.client_broken = true;
    co_return;
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

// Parks the request until a backend has room, the queue refuses it, or the
// proxy stops (`stopped`: the wait was abandoned for the shutdown).
bool Proxy::all_full(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting) {
    for (const auto& r : fitting) {
        const std::int64_t cap = lb_.effective_cap_for(*r, std::span<const lb::ServerRecord>(fitting), &pool.key);
        if (cap <= 0 || lb_.get_inflight(lb::server_id(r)) < cap) return false;
    }
    return true;
}

awaitable<lb::Admission> Proxy::admit(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                                      lb::SelectOptions options, bool& stopped) {
    stopped = connections_.draining();
    if (stopped) co_return lb::Admission{};
    // Cluster mode: when every backend is full under this replica's grants,
    // ask Redis for more while the request waits (or once, when refused).
    std::optional<ClusterCapacity::Demand> demand;
    if (cluster_ && all_full(pool, fitting)) demand.emplace(cluster_->note_demand(fitting));
    // Without a queue nothing parks, and nothing needs racing against a stop.
    if (!lb_.queue_enabled()) co_return co_await lb::admit(lb_, pool.key, fitting, options);
    auto exec = co_await net::this_coro::executor;
    auto [order, e1, admission, e2] =
        co_await net::experimental::make_parallel_group(
            net::co_spawn(exec, lb::admit(lb_, pool.key, fitting, options), net::deferred),
            net::co_spawn(exec, connections_.until_stop(), net::deferred))
            .async_wait(net::experimental::wait_for_one(), use_awaitable);
    if (order[0] == 1) {
        stopped = true;  // the waiter was removed as its wait was cancelled
        co_return lb::Admission{};
    }
    if (e1) std::rethrow_exception(e1);  // cancelled: the client left
    co_return std::move(admission);
}

awaitable<void> Proxy::handle_inference(Exchange& ex, Stream& stream, const Request& req) {
    const Config& cfg = *ex.cfg;

    // The body is read straight from its bytes: validated whole, but no
    // document tree is built for what the road needs (model, estimate,
    // sticky field).
    lb::ScannedRequest scan = lb::scan_request(req.body(), {.max_depth = cfg.json_max_depth});
    if (scan.status != lb::ScanStatus::ok) {
        const bool deep = scan.status == lb::ScanStatus::too_deep;
        ex.note = deep ? "json_too_deep" : "invalid_json";
        auto refusal = refusal_response(ex, req, http::status::bad_request,
                              error_body(deep ? fmt::format("request body is nested too deeply (limit {})",
                                                            cfg.json_max_depth)
                                              : "request body is not valid JSON: " + scan.error,
                                         "invalid_request_error", ex.note));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
    if (!scan.is_object) {
        ex.note = "not_object";
        auto refusal = refusal_response(ex, req, http::status::bad_request,
                              error_body("request body must be a JSON object", "invalid_request_error", "invalid_json"));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
    if (!scan.model || scan.model->empty()) {
        ex.note = "missing_model";
        auto refusal = refusal_response(ex, req, http::status::bad_request,
                              error_body("you must provide a model parameter", "invalid_request_error",
                                         "missing_model"));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
    const std::string& model = *scan.model;
    ex.model = std::string_view(model).substr(0, 256);
    auto pit = cfg.models.find(model);
    if (pit == cfg.models.end()) {
        ex.note = "unknown_model";
        auto refusal = refusal_response(ex, req, http::status::not_found,
                              error_body("the model `" + model + "` does not exist",
                                         "invalid_request_error", "model_not_found"));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
    // The field a pool routes on is known only once the model is: read it
    // in a second pass, for the pools that have one.
    if (!pit->second.sticky_body_field.empty())
        scan = lb::scan_request(req.body(),
                                {.routed_field = pit->second.sticky_body_field, .max_depth = cfg.json_max_depth});
    co_await route_inference(ex, stream, req, pit->second, scan);
}

awaitable<void> Proxy::route_inference(Exchange& ex, Stream& stream, const Request& req, const PoolConfig& pool,
                                       const lb::ScannedRequest& scan) {
    const Config& cfg = *ex.cfg;
    ex.pool_label = pool.label;
    const std::int64_t estimate = scan.estimate;
    ex.input_tokens = estimate;
    std::vector<lb::ServerRecord> fitting = lb_.filter_by_fit(pool.records, estimate);
    if (fitting.empty()) {
        lb_.note_reject(lb::RejectReason::TOO_LARGE);
        std::int64_t largest = 0;
        for (const auto& r : pool.records) largest = std::max(largest, lb::int_or_zero(*r, "max_input_tokens"));
        ex.note = "too_large";
        auto refusal = refusal_response(
            ex, req, http::status::bad_request,
            error_body(fmt::format("this request needs about {} input tokens, more than any backend of model "
                                   "`{}` accepts (largest limit {})",
                                   estimate, pool.model, largest),
                       "context_length_exceeded", "context_length_exceeded",
                       json::object{{"estimated_tokens", estimate}, {"max_input_tokens", largest}}));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }

    const std::string sticky = sticky_key(pool, req, scan);

    std::vector<std::int64_t> excluded = excluded_ids();
    double back_in = 0;
    json::array states;
    if (all_unavailable(fitting, excluded, cfg, back_in, states)) {
        // Not a capacity question: nothing can take the request, full or not.
        lb_.note_reject(lb::RejectReason::NO_BACKENDS);
        ex.note = std::string(lb::RejectReason::NO_BACKENDS);
        auto refusal = refusal_response(
            ex, req, http::status::service_unavailable,
            error_body(fmt::format("no backend of model `{}` is available: all {} are sin-binned after failures or "
                                   "failing their health checks; the first may be back in {:.0f} s",
                                   pool.model, fitting.size(), std::ceil(back_in)),
                       "no_backends", "no_backends", json::object{{"backends", std::move(states)}}),
            back_in);
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
    ex.wait_started = now();
    bool stopped = false;
    lb::Admission admission = co_await admit(
        pool, fitting, {.estimated_tokens = estimate, .sin_binned = excluded, .algorithm = pool.algorithm,
                        .sticky_key = sticky},
        stopped);
    ex.wait_started = -1.0;
    ex.wait = admission.waited_sec;
    if (stopped) {
        ex.note = "shutting_down";
        auto refusal = refusal_response(ex, req, http::status::service_unavailable,
                                        error_body("the proxy is shutting down; send the request again",
                                                   "shutting_down", "shutting_down"));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
    // Only requests that were parked: queue_full and no_backends answer at
    // once and say nothing about waiting.
    if (admission.parked && (admission || admission.reason == lb::RejectReason::QUEUE_TIMEOUT))
        metrics_.observe_queue_wait(pool.model, admission.waited_sec);
    if (admission.reason == lb::RejectReason::AT_CAPACITY) {
        co_await refuse_at_capacity(ex, stream, req, pool, fitting);
        co_return;
    }
    if (!admission) {
        co_await refuse_from_queue(ex, stream, req, pool, admission);
        co_return;
    }
    co_await forward_with_retry(ex, stream, req, pool, fitting, estimate, sticky, std::move(admission));
}

awaitable<void> Proxy::refuse_from_queue(Exchange& ex, Stream& stream, const Request& req, const PoolConfig& pool,
                                         const lb::Admission& refused) {
    ex.note = std::string(refused.reason);
    const bool full = refused.reason == lb::RejectReason::QUEUE_FULL;
    auto refusal = refusal_response(ex, req, full ? http::status::too_many_requests : http::status::service_unavailable,
                                    error_body(fmt::format("no backend of model `{}` can take the request: {}",
                                                           pool.model, refused.reason),
                                               refused.reason, refused.reason,
                                               json::object{{"waited_sec", refused.waited_sec}}),
                                    ex.cfg->retry_after_sec);
    co_await write_refusal(ex, stream, refusal);
}

awaitable<void> Proxy::refuse_at_capacity(Exchange& ex, Stream& stream, const Request& req, const PoolConfig& pool,
                                          const std::vector<lb::ServerRecord>& fitting) {
    // admit() has counted the refusal. Quote the cap in force next to the configured one, per backend.
    json::array caps;
    std::int64_t largest = 0;
    for (const auto& r : fitting) {
        std::int64_t cap = lb_.effective_cap_for(*r, std::span<const lb::ServerRecord>(fitting), &pool.key);
        largest = std::max(largest, cap);
        caps.push_back(json::object{{"server_id", lb::server_id(r)},
                                    {"effective_cap", cap},
                                    {"max_concurrency", lb::int_or_zero(*r, "max_concurrency")},
                                    {"inflight", lb_.get_inflight(lb::server_id(r))}});
    }
    ex.note = "at_capacity";
    auto refusal = refusal_response(
        ex, req, http::status::service_unavailable,
        error_body(fmt::format("every backend of model `{}` is at its in-flight cap ({}, routing mode {})", pool.model,
                               largest, lb_.get_routing_mode()),
                   "at_capacity", "at_capacity",
                   json::object{{"effective_cap", largest}, {"backends", std::move(caps)}}),
        ex.cfg->retry_after_sec);
    co_await write_refusal(ex, stream, refusal);
}

// Forwards inside a lease; on a failure before any response byte, sin-bins
// the backend and tries once more on another one.
awaitable<void> Proxy::forward_with_retry(Exchange& ex, Stream& stream, const Request& req, const PoolConfig& pool,
                                          const std::vector<lb::ServerRecord>& fitting, std::int64_t estimate,
                                          const std::string& sticky, lb::Admission admission) {
    const Config& cfg = *ex.cfg;
    std::string first_failure;
    lb::ServerRecord server = std::move(admission.server);
    std::optional<lb::InflightLease> lease = std::move(admission.lease);
    for (int attempt = 0;; ++attempt) {
        std::int64_t id = lb::server_id(server);
        ex.server_id = id;
        // A retry's server comes from a select with nothing suspending
        // before its lease is entered here.
        if (!lease) lease.emplace(lb::InflightLease::acquire(lb_, id));
        Attempt a = co_await forward(ex, stream, req, server);
        lease->release();  // the stream has ended, however it ended
        lease.reset();
        if (a.ok || ex.response_started) co_return;
        if (!a.retry) {
            // The backend answered, then failed within its body: nothing
            // went to the client, and the request is not sent twice.
            ex.note = a.kind;
            auto refusal = refusal_response(ex, req, http::status::bad_gateway,
                                  error_body(fmt::format("upstream server {} failed while sending its response ({})",
                                                         id, a.kind),
                                             "upstream_error", a.kind));
            co_await write_refusal(ex, stream, refusal);
            co_return;
        }
        metrics_.count_upstream_error(a.kind);
        if (first_failure.empty()) first_failure = a.kind;
        sin_bin(id, cfg.sin_bin_sec);
        if (auto e = cfg.servers.find(id); e != cfg.servers.end()) pool_.drop(e->second.pool_key());
        if (attempt == 0) {
            std::vector<std::int64_t> excluded = excluded_ids();
            if (std::find(excluded.begin(), excluded.end(), id) == excluded.end()) excluded.push_back(id);
            server = co_await lb_.select(pool.key, fitting,
                                         {.estimated_tokens = estimate,
                                          .sin_binned = excluded,
                                          .algorithm = pool.algorithm,
                                          .sticky_key = sticky});
            if (server) {
                ex.note = "retried:" + a.kind;
                continue;
            }
        }
        bool timeout = a.kind.ends_with("_timeout");
        ex.note = attempt == 0 ? a.kind : first_failure + "," + a.kind;
        auto refusal = refusal_response(ex, req, timeout ? http::status::gateway_timeout : http::status::bad_gateway,
                              error_body(fmt::format("upstream server {} failed before responding ({}){}", id, a.kind,
                                                     attempt == 0 ? "" : "; retry failed too"),
                                         "upstream_error", a.kind));
        co_await write_refusal(ex, stream, refusal);
        co_return;
    }
}

awaitable<Proxy::Attempt> Proxy::forward(Exchange& ex, Stream& client, const Request& req,
                                         const lb::ServerRecord& server) {
    const Config& cfg = *ex.cfg;
    std::int64_t id = lb::server_id(server);
    auto eit = cfg.servers.find(id);
    if (eit == cfg.servers.end()) co_return Attempt{false, "unknown_server"};
    const Endpoint& ep = eit->second;
    const std::string key = ep.pool_key();
    const auto write_deadline = seconds(cfg.client_write_timeout_sec);

    for (int fresh_try = 0; fresh_try < 2; ++fresh_try) {
        UpstreamPool::Conn up = fresh_try == 0 ? pool_.take(key) : nullptr;
        const bool reused = up != nullptr;
        if (!up) {
            up = std::make_unique<Stream>(io_);
            boost::system::error_code aec;
            auto addr = net::ip::make_address(ep.host == "localhost" ? "127.0.0.1" : ep.host, aec);
            beast::error_code cec;
            up->expires_after(seconds(cfg.connect_timeout_sec));
            if (!aec) {
                const tcp::endpoint target(addr, ep.port);
                auto [connected] = co_await up->async_connect(target, use_tuple);
                cec = connected;
            } else {
                tcp::resolver resolver(io_);
                auto [rec, results] = co_await resolver.async_resolve(ep.host, std::to_string(ep.port), use_tuple);
                throw_if_cancelled(rec);
                if (rec) co_return Attempt{false, "resolve_error"};
                auto [connected, unused] = co_await up->async_connect(results, use_tuple);
                cec = connected;
            }
            throw_if_cancelled(cec);
            if (cec) co_return Attempt{false, classify(cec, "connect")};
            beast::error_code ignored;
            up->socket().set_option(tcp::no_delay(true), ignored);
        }

        // The request head is written by hand (one string, one gather write
        // with the body): the client's end-to-end headers, our Host and the
        // body's length; HTTP/1.1 keeps the connection open by default.
        std::string uphead;
        uphead.reserve(256 + req.target().size());
        uphead.append(req.method_string()).append(" ").append(ep.prefix).append(req.target()).append(" HTTP/1.1\r\n");
        const auto req_options = connection_options(req);
        for (const auto& f : req)
            if (!hop_by_hop(f) && f.name() != http::field::host && !listed(req_options, f.name_string()))
                uphead.append(f.name_string()).append(": ").append(f.value()).append("\r\n");
        uphead.append("Host: ").append(ep.host);
        if (ep.port != 80) uphead.append(":").append(std::to_string(ep.port));
        uphead.append("\r\nContent-Length: ").append(std::to_string(req.body().size())).append("\r\n\r\n");
        const std::array<net::const_buffer, 2> upreq{net::buffer(uphead), net::buffer(req.body())};

        up->expires_after(seconds(cfg.first_byte_timeout_sec));
        auto [wec, wn] = co_await net::async_write(*up, upreq, use_tuple);
        throw_if_cancelled(wec);
        if (wec) {
            if (reused) continue;  // a pooled connection the server had closed
            co_return Attempt{false, classify(wec, "write")};
        }

        // Interim (1xx) responses are read and dropped: the proxy has
        // already sent the whole body, and the final response follows on
        // the same connection. All of them fall under the first-byte deadline.
        beast::flat_buffer upbuf;
        std::optional<http::response_parser<http::buffer_body>> reader;
        for (int interim = 0;; ++interim) {
            reader.emplace();
            reader->body_limit(boost::none);
            auto [hec, hn] = co_await http::async_read_header(*up, upbuf, *reader, use_tuple);
            throw_if_cancelled(hec);
            if (hec) {
                if (reused && interim == 0 && hec != beast::error::timeout && !reader->got_some()) break;
                co_return Attempt{false, classify(hec, "first_byte")};
            }
            const int code = reader->get().result_int();
            if (code / 100 != 1) break;
            // 101 was never asked for (Upgrade is not forwarded).
            if (code == 101 || interim >= kMaxInterimResponses) {
                metrics_.count_upstream_error("bad_interim_response");
                co_return Attempt{false, "bad_interim_response", false};
            }
        }
        if (!reader->is_header_done()) continue;  // a pooled connection the server had closed
        auto& parser = *reader;
        ex.ttfb = now() - ex.start;
        const auto res_options = connection_options(parser.get());
        metrics_.observe_ttfb(ex.model, ex.ttfb);

        auto& head = parser.get();

        // A failure reading the backend's body: counted, and the client
        // connection closed when part of the response already went out (the
        // missing end tells the client the response is incomplete).
        auto upstream_failed = [&](const beast::error_code& rec) {
            std::string kind = classify(rec, "mid_stream");
            metrics_.count_upstream_error(kind);
            ex.note = kind;
            if (ex.response_started) ex.client_broken = true;
            return Attempt{false, kind, false};
        };
        // A client that took no bytes within the write deadline is cut off:
        // returning ends the upstream request and releases the lease.
        auto client_failed = [&](const beast::error_code& wec) {
            ex.client_broken = true;
            ex.note = wec == beast::error::timeout ? "client_write_timeout" : "client_write_failed";
            if (wec == beast::error::timeout) metrics_.count_client_event("write_timeout");
            return Attempt{false, "client", false};
        };

        auto len = parser.content_length();
        if (len && *len <= kBufferedBodyLimit) {
            // A small length-delimited body (every non-streaming answer):
            // read it whole, then send head and body in one write. Nothing
            // is gained by passing such a body on piece by piece, and one
            // write instead of two is most of the proxy's cost per request.
            std::string body(static_cast<std::size_t>(*len), '\0');
            parser.get().body().data = body.data();
            parser.get().body().size = body.size();
            while (!parser.is_done()) {
                up->expires_after(seconds(cfg.idle_timeout_sec));
                auto [rec, rn] = co_await http::async_read_some(*up, upbuf, parser, use_tuple);
                if (rec == http::error::need_buffer) rec = {};
                throw_if_cancelled(rec);
                if (rec) co_return upstream_failed(rec);
            }
            // Head by hand as well: status line, the backend's end-to-end
            // headers, the length and the client's connection choice.
            std::string out;
            out.reserve(512);
            out.append(req.version() == 10 ? "HTTP/1.0 " : "HTTP/1.1 ")
                .append(std::to_string(head.result_int()))
                .append(" ")
                .append(head.reason())
                .append("\r\n");
            for (const auto& f : head)
                if (!hop_by_hop(f) && !listed(res_options, f.name_string()) && !is_request_id(f))
                    out.append(f.name_string()).append(": ").append(f.value()).append("\r\n");
            out.append("X-Request-Id: ").append(ex.request_id).append("\r\n");
            out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
            if (!ex.client_keep) out.append("Connection: close\r\n");
            else if (req.version() == 10) out.append("Connection: keep-alive\r\n");
            out.append("\r\n");
            ex.status = head.result_int();
            ex.response_started = true;
            ex.usage = find_usage(body);
            const std::array<net::const_buffer, 2> whole{net::buffer(out), net::buffer(body)};
            client.expires_after(write_deadline);
            auto [wec2, wn2] = co_await net::async_write(client, whole, use_tuple);
            client.expires_never();
            throw_if_cancelled(wec2);
            if (wec2) co_return client_failed(wec2);
            ex.bytes += body.size();
        } else {
            // Streamed: the backend's status and end-to-end headers; the
            // framing follows the backend's (chunked stays chunked, a length
            // stays a length), so event streams reach the client as they are
            // produced.
            http::response<http::buffer_body> res;
            res.version(req.version());
            res.result(head.result_int());
            res.reason(head.reason());
            for (const auto& f : head)
                if (!hop_by_hop(f) && !listed(res_options, f.name_string())) res.insert(f.name_string(), f.value());
            res.set("X-Request-Id", ex.request_id);
            const bool bodiless =
                head.result_int() / 100 == 1 || head.result_int() == 204 || head.result_int() == 304;
            if (len) {
                res.content_length(*len);
            } else if (!bodiless) {
                if (req.version() >= 11) res.chunked(true);
                else ex.client_keep = false;  // HTTP/1.0: the end of the body is the end of the connection
            }
            res.keep_alive(ex.client_keep);
            ex.status = head.result_int();
            ex.response_started = true;
            http::response_serializer<http::buffer_body> sr{res};
            client.expires_after(write_deadline);
            auto [hwec, hwn] = co_await http::async_write_header(client, sr, use_tuple);
            client.expires_never();
            throw_if_cancelled(hwec);
            if (hwec) co_return client_failed(hwec);

            std::array<char, 16384> chunk;
            UsageScanner usage;
            while (!parser.is_done()) {
                parser.get().body().data = chunk.data();
                parser.get().body().size = chunk.size();
                up->expires_after(seconds(cfg.idle_timeout_sec));
                auto [rec, rn] = co_await http::async_read_some(*up, upbuf, parser, use_tuple);
                if (rec == http::error::need_buffer) rec = {};
                throw_if_cancelled(rec);
                if (rec) co_return upstream_failed(rec);
                std::size_t got = chunk.size() - parser.get().body().size;
                if (got == 0 && !parser.is_done()) continue;
                // The last piece carries the end of the body (the final
                // chunk) in the same write.
                res.body().data = got > 0 ? chunk.data() : nullptr;
                res.body().size = got;
                res.body().more = !parser.is_done();
                client.expires_after(write_deadline);
                auto [cwec, cwn] = co_await http::async_write(client, sr, use_tuple);
                client.expires_never();
                if (cwec == http::error::need_buffer) cwec = {};
                throw_if_cancelled(cwec);
                if (cwec) co_return client_failed(cwec);
                ex.bytes += got;
                usage.feed(std::string_view(chunk.data(), got));
            }
            usage.finish();
            ex.usage = usage.usage();
            if (!sr.is_done()) {
                res.body().data = nullptr;
                res.body().size = 0;
                res.body().more = false;
                client.expires_after(write_deadline);
                auto [fec, fn] = co_await http::async_write(client, sr, use_tuple);
                client.expires_never();
                throw_if_cancelled(fec);
                if (fec && fec != http::error::need_buffer) ex.client_broken = true;
            }
        }

        // Back to the pool only after a complete, cleanly framed response
        // with nothing after it; anything else closes the connection.
        if (parser.is_done() && parser.keep_alive() && upbuf.size() == 0)
            pool_.put(key, std::move(up), cfg.upstream_pool_size);
        co_return Attempt{true, {}};
    }
    co_return Attempt{false, "stale_connection"};
}

void Proxy::log_access(const Exchange& ex) {
    AccessRecord r{ex.wall_start, ex.request_id, ex.client, ex.method, ex.target, ex.model, ex.pool_label,
                   ex.server_id, ex.status, ex.input_tokens, ex.usage.prompt_tokens, ex.usage.completion_tokens,
                   ex.wait_started >= 0 ? now() - ex.wait_started : ex.wait, ex.ttfb, now() - ex.start, ex.bytes,
                   ex.note};
    if (r.pool == "-") r.pool.clear();
    if (ex.pool_label != "-") {  // a configured model: per-model series
        // A wait the client cut short counts too: it was parked that long.
        if (ex.wait_started >= 0) metrics_.observe_queue_wait(ex.model, r.wait);
        metrics_.observe_total(ex.model, r.total);
        metrics_.count_tokens(ex.model, r.prompt_tokens.value_or(0), r.completion_tokens.value_or(0));
    }
    access_->write(r);
}

}  // namespace quillmar::proxy
