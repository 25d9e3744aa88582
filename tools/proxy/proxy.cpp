#include "proxy/proxy.hpp"

#include "load_balancer/estimator.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/reaper.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"

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
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
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
            return true;
        default:
            return false;
    }
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
    double start = now();
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

// ---- Construction, start, stop, reload -------------------------------------

Proxy::Proxy(net::io_context& io, lb::LoadBalancer& lb, std::shared_ptr<const Config> cfg, std::string config_path)
    : io_(io),
      lb_(lb),
      cfg_(std::move(cfg)),
      config_path_(std::move(config_path)),
      listener_(io),
      admin_listener_(io),
      signals_(io) {
    if (cfg_->access_log == "off") {
        access_ = nullptr;
    } else if (cfg_->access_log == "stderr") {
        access_ = std::make_shared<spdlog::logger>("access", std::make_shared<spdlog::sinks::stderr_sink_st>());
    } else if (cfg_->access_log == "stdout") {
        access_ = std::make_shared<spdlog::logger>("access", std::make_shared<spdlog::sinks::stdout_sink_st>());
    } else {
        access_ = std::make_shared<spdlog::logger>(
            "access", std::make_shared<spdlog::sinks::basic_file_sink_st>(cfg_->access_log));
    }
    if (access_) {
        access_->set_pattern("%Y-%m-%dT%H:%M:%S.%e %v");
        access_->flush_on(spdlog::level::info);
    }
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
    // Forget health and sin-bin state of backends that left the configuration.
    std::erase_if(unhealthy_, [&](std::int64_t id) { return !next->servers.contains(id); });
    std::erase_if(sin_bin_until_, [&](const auto& kv) { return !next->servers.contains(kv.first); });
    cfg_ = std::move(next);
    spdlog::info("reloaded {}: {} models, {} servers", config_path_, cfg_->models.size(), cfg_->servers.size());
    return true;
}

awaitable<void> Proxy::signal_loop() {
    for (;;) {
        auto [ec, sig] = co_await signals_.async_wait(use_tuple);
        if (ec) co_return;
        if (sig == SIGHUP) {
            reload();
        } else {
            spdlog::info("signal {}: stopping", sig);
            if (cluster_) co_await cluster_->release();
            stop();
            io_.stop();
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

awaitable<void> Proxy::check_health(std::int64_t id, Endpoint ep, std::shared_ptr<const Config> cfg) {
    bool ok = false;
    std::string why;
    try {
        Stream s(io_);
        tcp::resolver resolver(io_);
        auto [rec, results] = co_await resolver.async_resolve(ep.host, std::to_string(ep.port), use_tuple);
        if (rec) throw beast::system_error(rec);
        s.expires_after(seconds(cfg->health_timeout_sec));
        auto [cec, unused] = co_await s.async_connect(results, use_tuple);
        if (cec) throw beast::system_error(cec);
        http::request<http::empty_body> req{http::verb::get, ep.prefix + cfg->health_path, 11};
        req.set(http::field::host, ep.host);
        req.keep_alive(false);
        co_await http::async_write(s, req, use_awaitable);
        beast::flat_buffer buf;
        http::response<http::string_body> res;
        co_await http::async_read(s, buf, res, use_awaitable);
        ok = res.result_int() / 100 == 2;
        if (!ok) why = "status " + std::to_string(res.result_int());
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (!cfg_->servers.contains(id)) co_return;  // left the configuration meanwhile
    if (ok) {
        if (unhealthy_.erase(id) > 0) spdlog::info("server {} passes its health check again", id);
    } else if (unhealthy_.insert(id).second) {
        spdlog::warn("server {} fails its health check: {}", id, why);
    }
}

// ---- Listeners and sessions ------------------------------------------------------

awaitable<void> Proxy::accept_loop(tcp::acceptor& acceptor, bool admin) {
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
        if (ec) {
            if (ec == net::error::operation_aborted || !acceptor.is_open()) co_return;
            continue;  // e.g. out of file descriptors: try again
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        net::co_spawn(io_, session(Stream(std::move(socket)), admin), net::detached);
    }
}

namespace {

template <class Body>
awaitable<beast::error_code> write_message(beast::tcp_stream& stream, http::response<Body>& res) {
    auto [ec, n] = co_await http::async_write(stream, res, use_tuple);
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

}  // namespace

awaitable<void> Proxy::session(Stream stream, bool admin) {
    beast::flat_buffer buffer;
    try {
        for (;;) {
            auto cfg = cfg_;
            http::request_parser<http::string_body> parser;
            parser.body_limit(cfg->body_limit_bytes);
            parser.header_limit(64 * 1024);
            stream.expires_after(seconds(cfg->client_idle_timeout_sec));
            auto [ec, n] = co_await http::async_read(stream, buffer, parser, use_tuple);
            if (ec) {
                if (ec == http::error::body_limit) {
                    Exchange ex;
                    ex.cfg = cfg;
                    ex.method = std::string(parser.get().method_string());
                    ex.target = std::string(parser.get().target());
                    ex.status = 413;
                    ex.note = "body_limit";
                    auto res = make_response(http::status::payload_too_large,
                                             error_body("request body exceeds " +
                                                            std::to_string(cfg->body_limit_bytes) + " bytes",
                                                        "invalid_request_error", "body_too_large"),
                                             false);
                    stream.expires_after(seconds(cfg->client_idle_timeout_sec));
                    co_await write_message(stream, res);
                    metrics_.count_request(ex.pool_label, ex.status);
                    log_access(ex);
                } else if (parser.got_some() && ec != beast::error::timeout && ec != http::error::end_of_stream &&
                           ec != http::error::partial_message && ec != net::error::connection_reset) {
                    auto res = make_response(http::status::bad_request,
                                             error_body("malformed HTTP request: " + ec.message(),
                                                        "invalid_request_error", "bad_request"),
                                             false);
                    co_await write_message(stream, res);
                    metrics_.count_request("-", 400);
                }
                break;
            }
            stream.expires_never();
            Request req = parser.release();
            bool keep = co_await serve(stream, buffer, req, admin);
            if (!keep) break;
        }
    } catch (const std::exception& e) {
        spdlog::debug("session ended: {}", e.what());
    }
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
}

awaitable<bool> Proxy::serve(Stream& stream, beast::flat_buffer& buffer, Request& req, bool admin) {
    auto cfg = cfg_;
    std::string_view target = req.target();
    std::string_view path = target.substr(0, target.find('?'));
    bool keep = req.keep_alive();

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
        const bool get = req.method() == http::verb::get;
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
        if (get && path == "/healthz") return simple(http::status::ok, R"({"status":"ok"})");
        if (get && path == "/metrics")
            return simple(http::status::ok,
                          lb_.prometheus_text() + metrics_.text() + (cluster_ ? cluster_->metrics_text() : ""),
                          "text/plain; version=0.0.4");
        if (get && path == "/lb/snapshot") {
            json::object snap = lb_.snapshot();
            if (cluster_) snap["cluster"] = cluster_->snapshot();
            return simple(http::status::ok, json::serialize(snap));
        }
        if (path == "/lb/routing-mode" && admin) {
            if (get)
                return simple(http::status::ok,
                              json::serialize(json::object{{"routing_mode", lb_.get_routing_mode()}}));
            if (req.method() != http::verb::put && req.method() != http::verb::post)
                return simple(http::status::method_not_allowed,
                              error_body("use GET or PUT", "invalid_request_error", "method_not_allowed"));
            // {"routing_mode": "..."} or {"mode": "..."} or the bare name.
            std::string mode;
            boost::system::error_code jec;
            json::value v = json::parse(req.body(), jec);
            if (!jec && v.is_object()) {
                for (const char* key : {"routing_mode", "mode"})
                    if (auto* m = v.as_object().if_contains(key); m && m->is_string()) mode = m->as_string();
            } else if (!jec && v.is_string()) {
                mode = v.as_string();
            } else {
                mode = req.body();
            }
            while (!mode.empty() && std::isspace(static_cast<unsigned char>(mode.back()))) mode.pop_back();
            auto& valid = lb::VALID_ROUTING_MODES;
            if (std::find(valid.begin(), valid.end(), mode) == valid.end())
                return simple(http::status::bad_request,
                              error_body("routing mode must be one of superfast, hybrid, max_concurrency, queue_all",
                                         "invalid_request_error", "invalid_routing_mode"));
            std::string previous(lb_.get_routing_mode());
            std::string_view active = lb_.set_routing_mode(std::string_view(mode));
            return simple(http::status::ok,
                          json::serialize(json::object{{"routing_mode", active}, {"previous", previous}}));
        }
        return simple(http::status::not_found,
                      error_body("no route for " + std::string(path), "invalid_request_error", "not_found"));
    };
    http::response<http::string_body> res = route();
    int status = res.result_int();
    auto ec = co_await write_message(stream, res);
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
    ex.client_keep = req.keep_alive();

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

awaitable<void> Proxy::handle_inference(Exchange& ex, Stream& stream, const Request& req) {
    const Config& cfg = *ex.cfg;

    // Refusals are built synchronously and written by send_refusal.
    std::optional<http::response<http::string_body>> refusal;
    auto refuse = [&](http::status status, std::string body, double retry_after = -1) {
        auto res = make_response(status, std::move(body), ex.client_keep);
        res.version(req.version());
        if (retry_after >= 0)
            res.set(http::field::retry_after, std::to_string(static_cast<long>(std::ceil(retry_after))));
        ex.status = static_cast<int>(status);
        ex.response_started = true;
        ex.bytes += res.body().size();
        refusal.emplace(std::move(res));
    };
#define QUILLMAR_REFUSE(...)                                         \
    do {                                                             \
        refuse(__VA_ARGS__);                                         \
        if (co_await write_message(stream, *refusal)) ex.client_broken = true; \
        co_return;                                                   \
    } while (0)

    // Small bodies parse into an arena in this frame: no heap allocation per
    // JSON node (larger ones spill into the heap through the same resource).
    alignas(std::max_align_t) unsigned char arena[8192];
    json::monotonic_resource json_memory(arena, sizeof arena);
    boost::system::error_code jec;
    json::value body = json::parse(req.body(), jec, &json_memory);
    if (jec) {
        ex.note = "invalid_json";
        QUILLMAR_REFUSE(http::status::bad_request,
                                  error_body("request body is not valid JSON: " + jec.message(),
                                             "invalid_request_error", "invalid_json"));
    }
    if (!body.is_object()) {
        ex.note = "not_object";
        QUILLMAR_REFUSE(http::status::bad_request,
                                  error_body("request body must be a JSON object", "invalid_request_error",
                                             "invalid_json"));
    }
    const json::value* model = body.as_object().if_contains("model");
    if (model == nullptr || !model->is_string() || model->as_string().empty()) {
        ex.note = "missing_model";
        QUILLMAR_REFUSE(http::status::bad_request,
                                  error_body("you must provide a model parameter", "invalid_request_error",
                                             "missing_model"));
    }
    auto pit = cfg.models.find(std::string(model->as_string()));
    if (pit == cfg.models.end()) {
        ex.note = "unknown_model";
        QUILLMAR_REFUSE(http::status::not_found,
                                  error_body("the model `" + std::string(model->as_string()) + "` does not exist",
                                             "invalid_request_error", "model_not_found"));
    }
    const PoolConfig& pool = pit->second;
    ex.pool_label = pool.label;

    std::int64_t estimate = lb::estimate_request_tokens(body);
    std::vector<lb::ServerRecord> fitting = lb_.filter_by_fit(pool.records, estimate);
    if (fitting.empty()) {
        lb_.note_reject(lb::RejectReason::TOO_LARGE);
        std::int64_t largest = 0;
        for (const auto& r : pool.records) largest = std::max(largest, lb::int_or_zero(*r, "max_input_tokens"));
        ex.note = "too_large";
        QUILLMAR_REFUSE(
            http::status::bad_request,
            error_body(fmt::format("this request needs about {} input tokens, more than any backend of model "
                                   "`{}` accepts (largest limit {})",
                                   estimate, pool.model, largest),
                       "context_length_exceeded", "context_length_exceeded",
                       json::object{{"estimated_tokens", estimate}, {"max_input_tokens", largest}}));
    }

    std::string sticky;
    if (!pool.sticky_header.empty()) {
        if (auto it = req.find(pool.sticky_header); it != req.end()) sticky = it->value();
    } else if (!pool.sticky_body_field.empty()) {
        if (auto* v = body.as_object().if_contains(pool.sticky_body_field)) {
            if (v->is_string()) sticky = v->as_string();
            else if (!v->is_null()) sticky = json::serialize(*v);
        }
    }

    std::vector<std::int64_t> excluded = excluded_ids();
    lb::ServerRecord server = co_await lb_.select(pool.key, fitting,
                                                  {.estimated_tokens = estimate,
                                                   .sin_binned = excluded,
                                                   .algorithm = pool.algorithm,
                                                   .sticky_key = sticky});
    if (!server) {
        // Cluster mode: ask Redis for more while this request waits.
        auto demand = cluster_ ? cluster_->note_demand(fitting) : ClusterCapacity::Demand();
        if (lb_.queue_enabled()) {
            lb::WaitResult w = co_await lb_.wait_for_slot(pool.key, fitting, estimate, excluded);
            ex.wait = w.seconds;
            // Only requests that were parked: queue_full and no_backends
            // answer at once and say nothing about waiting.
            if (w.server || w.reason == lb::RejectReason::QUEUE_TIMEOUT)
                metrics_.observe_queue_wait(pool.label, w.seconds);
            if (!w.server) {
                ex.note = std::string(w.reason);
                bool full = w.reason == lb::RejectReason::QUEUE_FULL;
                QUILLMAR_REFUSE(full ? http::status::too_many_requests : http::status::service_unavailable,
                                          error_body(fmt::format("no backend of model `{}` can take the request: {}",
                                                                 pool.model, w.reason),
                                                     w.reason, w.reason,
                                                     json::object{{"waited_sec", w.seconds}}),
                                          cfg.retry_after_sec);
            }
            server = w.server;
        } else {
            lb_.note_reject(lb::RejectReason::AT_CAPACITY);
            // Quote the cap in force next to the configured one, per backend.
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
            QUILLMAR_REFUSE(
                http::status::service_unavailable,
                error_body(fmt::format("every backend of model `{}` is at its in-flight cap ({}, routing mode {})",
                                       pool.model, largest, lb_.get_routing_mode()),
                           "at_capacity", "at_capacity",
                           json::object{{"effective_cap", largest}, {"backends", std::move(caps)}}),
                cfg.retry_after_sec);
        }
    }

    // Forward inside a lease; on a failure before any response byte, sin-bin
    // the backend and try once more on another one.
    std::string first_failure;
    for (int attempt = 0;; ++attempt) {
        std::int64_t id = lb::server_id(server);
        ex.server_id = id;
        Attempt a;
        {
            lb::InflightLease lease = lb::InflightLease::acquire(lb_, id);
            a = co_await forward(ex, stream, req, server);
            lease.release();  // the stream has ended, however it ended
        }
        if (a.ok || ex.response_started) co_return;
        if (!a.retry) {
            // The backend answered, then failed within its body: nothing
            // went to the client, and the request is not sent twice.
            ex.note = a.kind;
            QUILLMAR_REFUSE(http::status::bad_gateway,
                            error_body(fmt::format("upstream server {} failed while sending its response ({})", id,
                                                   a.kind),
                                       "upstream_error", a.kind));
        }

        metrics_.count_upstream_error(a.kind);
        if (first_failure.empty()) first_failure = a.kind;
        sin_bin(id, cfg.sin_bin_sec);
        if (auto e = cfg.servers.find(id); e != cfg.servers.end()) pool_.drop(e->second.pool_key());
        if (attempt == 0) {
            excluded = excluded_ids();
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
        QUILLMAR_REFUSE(timeout ? http::status::gateway_timeout : http::status::bad_gateway,
                                  error_body(fmt::format("upstream server {} failed before responding ({}){}", id,
                                                         a.kind, attempt == 0 ? "" : "; retry failed too"),
                                             "upstream_error", a.kind));
    }
}

#undef QUILLMAR_REFUSE

awaitable<Proxy::Attempt> Proxy::forward(Exchange& ex, Stream& client, const Request& req,
                                         const lb::ServerRecord& server) {
    const Config& cfg = *ex.cfg;
    std::int64_t id = lb::server_id(server);
    auto eit = cfg.servers.find(id);
    if (eit == cfg.servers.end()) co_return Attempt{false, "unknown_server"};
    const Endpoint& ep = eit->second;
    const std::string key = ep.pool_key();

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
                std::tie(cec) = co_await up->async_connect(tcp::endpoint(addr, ep.port), use_tuple);
            } else {
                tcp::resolver resolver(io_);
                auto [rec, results] = co_await resolver.async_resolve(ep.host, std::to_string(ep.port), use_tuple);
                throw_if_cancelled(rec);
                if (rec) co_return Attempt{false, "resolve_error"};
                tcp::endpoint unused;
                std::tie(cec, unused) = co_await up->async_connect(results, use_tuple);
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
        for (const auto& f : req)
            if (!hop_by_hop(f) && f.name() != http::field::host)
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

        beast::flat_buffer upbuf;
        http::response_parser<http::buffer_body> parser;
        parser.body_limit(boost::none);
        auto [hec, hn] = co_await http::async_read_header(*up, upbuf, parser, use_tuple);
        throw_if_cancelled(hec);
        if (hec) {
            if (reused && hec != beast::error::timeout && !parser.got_some()) continue;
            co_return Attempt{false, classify(hec, "first_byte")};
        }
        ex.ttfb = now() - ex.start;
        metrics_.observe_ttfb(ex.pool_label, ex.ttfb);

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
        auto client_failed = [&] {
            ex.client_broken = true;
            ex.note = "client_write_failed";
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
                if (!hop_by_hop(f)) out.append(f.name_string()).append(": ").append(f.value()).append("\r\n");
            out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
            if (!ex.client_keep) out.append("Connection: close\r\n");
            else if (req.version() == 10) out.append("Connection: keep-alive\r\n");
            out.append("\r\n");
            ex.status = head.result_int();
            ex.response_started = true;
            const std::array<net::const_buffer, 2> whole{net::buffer(out), net::buffer(body)};
            auto [wec2, wn2] = co_await net::async_write(client, whole, use_tuple);
            throw_if_cancelled(wec2);
            if (wec2) co_return client_failed();
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
                if (!hop_by_hop(f)) res.insert(f.name_string(), f.value());
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
            auto [hwec, hwn] = co_await http::async_write_header(client, sr, use_tuple);
            throw_if_cancelled(hwec);
            if (hwec) co_return client_failed();

            std::array<char, 16384> chunk;
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
                auto [cwec, cwn] = co_await http::async_write(client, sr, use_tuple);
                if (cwec == http::error::need_buffer) cwec = {};
                throw_if_cancelled(cwec);
                if (cwec) co_return client_failed();
                ex.bytes += got;
            }
            if (!sr.is_done()) {
                res.body().data = nullptr;
                res.body().size = 0;
                res.body().more = false;
                auto [fec, fn] = co_await http::async_write(client, sr, use_tuple);
                throw_if_cancelled(fec);
                if (fec && fec != http::error::need_buffer) ex.client_broken = true;
            }
        }

        if (parser.keep_alive() && upbuf.size() == 0) pool_.put(key, std::move(up), cfg.upstream_pool_size);
        co_return Attempt{true, {}};
    }
    co_return Attempt{false, "stale_connection"};
}

void Proxy::log_access(const Exchange& ex) {
    if (!access_) return;
    double total = now() - ex.start;
    access_->info("{} {} pool={} server={} status={} wait_ms={:.1f} ttfb_ms={} total_ms={:.1f} bytes={}{}{}",
                  ex.method, ex.target, ex.pool_label, ex.server_id < 0 ? std::string("-") : std::to_string(ex.server_id),
                  ex.status, ex.wait * 1000.0, ex.ttfb < 0 ? std::string("-") : fmt::format("{:.1f}", ex.ttfb * 1000.0),
                  total * 1000.0, ex.bytes, ex.note.empty() ? "" : " note=", ex.note);
}

}  // namespace quillmar::proxy
