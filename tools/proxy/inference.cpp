// The inference road: from a request's body to an admitted backend. The
// body is scanned (model, estimate, sticky field), the pool's backends are
// filtered by token fit and availability, the balancer admits the request
// (parking it when all are full and the queue is on), and the proxy's own
// refusal is written when any step says no.
#include "proxy/exchange.hpp"
#include "proxy/proxy.hpp"

#include "load_balancer/estimator.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cmath>

namespace quillmar::proxy {

using net::use_awaitable;

namespace {

// The pool's stickiness key of a request: its configured header, or its
// configured top-level body field (a string's value, or the serialized
// text of any other non-null value, as the scan read it); empty: none.
std::string sticky_key(const PoolConfig& pool, const Request& req,
                       const lb::ScannedRequest& scan) {
    if (!pool.sticky_header.empty()) {
        if (auto it = req.find(pool.sticky_header); it != req.end()) return std::string(it->value());
    } else if (scan.routed_kind == lb::FieldKind::string || scan.routed_kind == lb::FieldKind::other) {
        return scan.routed_text;
    }
    return {};
}

}  // namespace

awaitable<void> Proxy::watch_client(Stream& stream, beast::flat_buffer& buffer) {
    // Over TLS, readability says nothing (the bytes may be a record the TLS
    // layer keeps to itself), so the watch is a read of the stream: bytes
    // are kept for the next request (pipelining), and the end of the stream
    // means the client has gone, whatever it sent before.
    while (buffer.size() < kWatchBufferLimit) {
        auto [ec, n] = co_await stream.async_read_some(buffer.prepare(4096), use_tuple);
        if (ec) co_return;  // end of stream or reset: the client left
        buffer.commit(n);
    }
    net::steady_timer forever(io_, net::steady_timer::time_point::max());
    co_await forever.async_wait(use_awaitable);  // until the request ends and cancels us
}

awaitable<bool> Proxy::race_client(Exchange& ex, Stream& stream, beast::flat_buffer& buffer, const Request& req,
                                   const ClientWatch& cut) {
    // Whichever ends first cancels the other, so a client that hangs up
    // mid-wait or mid-stream cancels its wait or upstream request at once
    // (the lease's and the waiter's own clean-up run as the coroutine
    // unwinds).
    auto exec = co_await net::this_coro::executor;
    auto [order, e1, e2] = co_await net::experimental::make_parallel_group(
                               net::co_spawn(exec, handle_inference(ex, stream, req), net::deferred),
                               net::co_spawn(exec, watch_client(stream, buffer), net::deferred))
                               .async_wait(net::experimental::wait_for_one(), use_awaitable);
    const bool gone = order[0] == 1;
    if (e1 && !gone && !cut.cut_off()) {
        try {
            std::rethrow_exception(e1);
        } catch (const std::exception& e) {
            spdlog::error("request failed: {}", e.what());
        }
        ex.client_broken = true;
    }
    co_return gone;
}

awaitable<bool> Proxy::serve_inference(Stream& stream, beast::flat_buffer& buffer, Request& req,
                                       std::shared_ptr<const Config> cfg, const std::string& client,
                                       ClientWatch& watch) {
    Exchange ex;
    ex.cfg = std::move(cfg);
    ex.method = req.method_string();
    ex.target = req.target();
    ex.client_keep = req.keep_alive() && !connections_.draining();
    ex.client = client;
    // The backend gets the same id in the head forward writes; the request
    // keeps the client's own, which a pool may route on.
    ex.request_id = request_id_for(req["x-request-id"]);

    bool client_gone = false;
    if (stream.tls()) {
        // Race the request against the client's departure.
        try {
            client_gone = co_await race_client(ex, stream, buffer, req, watch);
        } catch (const std::exception&) {
            if (!watch.cut_off()) throw;
        }
    } else {
        // Plain TCP: the watch cancels this coroutine if the client leaves.
        watch.start(stream.socket(), buffer);
        try {
            co_await handle_inference(ex, stream, req);
        } catch (const std::exception& e) {
            if (!watch.gone() && !watch.cut_off()) {
                spdlog::error("request failed: {}", e.what());
                ex.client_broken = true;
            }
        }
        client_gone = watch.stop();
    }
    if (client_gone || watch.cut_off()) co_await net::this_coro::reset_cancellation_state();
    // Bytes the plain watch took may still be on their way into the buffer.
    while (!watch.settled()) co_await net::post(co_await net::this_coro::executor, use_awaitable);
    if (watch.cut_off() && !client_gone) co_await answer_cut(ex, stream, req);
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
    // An answer finished while the proxy drains closes its connection, and says so.
    if (connections_.draining()) ex.client_keep = false;
    auto res = make_response(status, std::move(body), ex.client_keep, "application/json", req.version());
    if (retry_after >= 0)
        res.set(http::field::retry_after, std::to_string(static_cast<long>(std::ceil(retry_after))));
    res.set("X-Request-Id", ex.request_id);
    ex.status = static_cast<int>(status);
    ex.response_started = true;
    ex.bytes += res.body().size();
    return res;
}

http::response<http::string_body> Proxy::shutting_down(Exchange& ex, const Request& req) {
    ex.note = ex.note.empty() ? "shutting_down" : ex.note + ",shutting_down";
    return refusal_response(ex, req, http::status::service_unavailable,
                            error_body("the proxy is shutting down; send the request again", "shutting_down",
                                       "shutting_down"));
}

// A request the drain cut short: a 503 when nothing of its answer went out
// yet, else the end of the connection (the client sees the answer cut off).
awaitable<void> Proxy::answer_cut(Exchange& ex, Stream& stream, const Request& req) {
    ex.client_keep = false;
    if (ex.response_started) {
        ex.note = ex.note.empty() ? "shutting_down" : ex.note + ",shutting_down";
        ex.client_broken = true;
        co_return;
    }
    Response refusal = shutting_down(ex, req);
    co_await write_refusal(ex, stream, refusal);
}

awaitable<void> Proxy::write_refusal(Exchange& ex, Stream& stream, http::response<http::string_body>& res) {
    // The result is named, and the body ends in co_return: g++ 12 emits a
    // trap for a coroutine made of one `if (co_await ...)`.
    const double deadline = ex.cfg->client_write_timeout_sec;
    const beast::error_code ec = co_await write_message(stream, res, deadline);
    if (ec) ex.client_broken = true;
    co_return;
}

// Whether every fitting backend is at its cap in force.
bool Proxy::all_full(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting) {
    for (const auto& r : fitting) {
        const std::int64_t cap = lb_.effective_cap_for(*r, std::span<const lb::ServerRecord>(fitting), &pool.key);
        if (cap <= 0 || lb_.get_inflight(lb::server_id(r)) < cap) return false;
    }
    return true;
}

lb::SelectOptions Proxy::select_options(const PoolConfig& pool, std::int64_t estimate,
                                        const std::vector<std::int64_t>& excluded, const std::string& sticky) {
    return {.estimated_tokens = estimate, .sin_binned = excluded, .algorithm = pool.algorithm, .sticky_key = sticky};
}

// The common road of admit() as a plain call: a coroutine frame for every
// request costs more than the decision. Cluster mode's demand and a pick
// that waits for the round-robin lock take the whole road.
bool Proxy::admit_at_once(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                          const lb::SelectOptions& options, bool& stopped, lb::Admission& admission) {
    stopped = connections_.draining();
    if (stopped) return true;
    if (cluster_ && all_full(pool, fitting)) return false;
    std::optional<lb::ServerRecord> server = lb_.select_now(pool.key, fitting, options);
    // No room (a select that finds none records nothing, so admit() may
    // make it again), or the lock is taken.
    if (!server || !*server) return false;
    admission = admitted(std::move(*server));
    return true;
}

// The admission of a server select has just picked, its lease entered:
// nothing has suspended since the pick, so its slot is still free.
lb::Admission Proxy::admitted(lb::ServerRecord server) {
    lb::Admission now{std::move(server), std::nullopt, "ok", 0.0, false};
    now.lease.emplace(lb::InflightLease::acquire(lb_, lb::server_id(*now.server)));
    return now;
}

// Parks the request until a backend has room, the queue refuses it, or the
// proxy stops (`stopped`: the wait was abandoned for the shutdown).
awaitable<lb::Admission> Proxy::admit(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                                      lb::SelectOptions options, bool& stopped) {
    stopped = connections_.draining();
    if (stopped) co_return lb::Admission{};
    // Cluster mode: when every backend is full under this replica's grants,
    // ask Redis for more while the request waits (or once, when refused).
    std::optional<ClusterCapacity::Demand> demand;
    if (cluster_ && all_full(pool, fitting)) demand.emplace(cluster_->note_demand(fitting));
    // Without a queue nothing parks, and nothing needs racing against a stop.
    if (!lb_.queue_enabled()) {
        if (demand && cluster_->may_grow(fitting))
            co_return co_await admit_after_renewal(pool, fitting, options, stopped);
        co_return co_await lb::admit(lb_, pool.key, fitting, options);
    }
    // Most requests find room at once: only one that parks needs racing
    // against a stop (two spawned coroutines and a group per request). A
    // select that finds no room records nothing, so admit() may make it
    // again before parking.
    if (lb::ServerRecord server = co_await lb_.select(pool.key, fitting, options))
        co_return admitted(std::move(server));
    co_return co_await park(pool, fitting, options, stopped);
}

// Cluster mode without a queue: a share that shrank while the replica was
// idle grows at the renewal the request's demand brought forward, and a
// request the cluster has room for should not be refused meanwhile. A
// coroutine of its own, like park(), to keep admit()'s frame small. The
// access log shows the wait (wait_ms).
awaitable<lb::Admission> Proxy::admit_after_renewal(const PoolConfig& pool,
                                                    const std::vector<lb::ServerRecord>& fitting,
                                                    lb::SelectOptions options, bool& stopped) {
    const double started = now();
    co_await cluster_->next_renewal();
    stopped = connections_.draining();
    if (stopped) co_return lb::Admission{};
    lb::Admission after = co_await lb::admit(lb_, pool.key, fitting, options);
    after.waited_sec = now() - started;
    co_return after;
}

// The parked road, a coroutine of its own so that the requests that find
// room at once (most) do not carry its state in their frame. The backends
// to avoid were read when the request parked; one sin-binned or failing its
// health check since may still free a slot for it (a failed request freed
// it), and sending the queue there would turn every parked request into a
// 502. Such an admission is handed back and the request waits again, on the
// pool as the configuration has it now and avoiding the backends as they
// stand now, for what is left of the queue's time-out. At most one round
// per fitting backend: after that the request is refused, not sent.
awaitable<lb::Admission> Proxy::park(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                                     lb::SelectOptions options, bool& stopped) {
    auto exec = co_await net::this_coro::executor;
    const double parked_at = now();
    Rewait next{pool.key, {}, {}};                   // what a later round waits on
    std::span<const lb::ServerRecord> on = fitting;  // the round's candidates
    net::steady_timer left(exec, net::steady_timer::time_point::max());
    for (std::size_t round = 0;; ++round) {
        auto [order, e1, admission, e2, e3] =
            co_await net::experimental::make_parallel_group(
                net::co_spawn(exec, lb::admit(lb_, next.key, on, options), net::deferred),
                net::co_spawn(exec, connections_.until_stop(), net::deferred), left.async_wait(net::deferred))
                .async_wait(net::experimental::wait_for_one(), use_awaitable);
        if (order[0] == 1) {
            stopped = true;  // the waiter was removed as its wait was cancelled
            co_return lb::Admission{};
        }
        // A later round's share of the queue's time ran out (its wait was
        // cancelled, and the waiter removed, like a stop's).
        if (order[0] == 2) co_return requeue_refusal(lb::RejectReason::QUEUE_TIMEOUT, parked_at);
        if (e1) std::rethrow_exception(e1);  // cancelled: the client left
        if (round > 0) {
            admission.waited_sec = now() - parked_at;
            admission.parked = true;
        }
        if (!admission || !excluded_now(lb::server_id(admission.server))) co_return std::move(admission);
        admission.lease->release();  // the slot goes to whoever may use it
        const double remaining = lb_.queue_ttl_sec() - (now() - parked_at);
        const bool more = round < fitting.size() &&
                          next.prepare(*cfg_, pool.model, options.estimated_tokens, lb_, excluded_ids());
        if (!more) co_return requeue_refusal(lb::RejectReason::NO_BACKENDS, parked_at);
        if (remaining <= 0) co_return requeue_refusal(lb::RejectReason::QUEUE_TIMEOUT, parked_at);
        if (remaining < 1e9) left.expires_after(seconds(remaining));
        on = next.fitting;
        options.sin_binned = next.excluded;
    }
}

// A parked request's refusal after a round handed its admission back,
// counted as the balancer counts its own.
lb::Admission Proxy::requeue_refusal(std::string_view reason, double parked_at) {
    lb_.note_reject(reason);
    return lb::Admission{nullptr, std::nullopt, reason, now() - parked_at, true};
}

bool Proxy::Rewait::prepare(const Config& current, const std::string& model, std::int64_t estimate,
                            lb::LoadBalancer& lb, std::vector<std::int64_t> avoid) {
    const auto pit = current.models.find(model);
    if (pit == current.models.end()) return false;
    key = pit->second.key;
    fitting = lb.filter_by_fit(pit->second.records, estimate);
    excluded = std::move(avoid);
    return !fitting.empty();
}

std::optional<http::response<http::string_body>> Proxy::scan_inference(Exchange& ex, const Request& req,
                                                                  lb::ScannedRequest& scan,
                                                                  const PoolConfig*& pool) {
    const Config& cfg = *ex.cfg;

    // The body is read straight from its bytes: validated whole, but no
    // document tree is built for what the road needs (model, estimate,
    // sticky field).
    scan = lb::scan_request(req.body(), {.max_depth = cfg.json_max_depth});
    if (scan.status != lb::ScanStatus::ok) {
        const bool deep = scan.status == lb::ScanStatus::too_deep;
        ex.note = deep ? "json_too_deep" : "invalid_json";
        return refusal_response(ex, req, http::status::bad_request,
                              error_body(deep ? fmt::format("request body is nested too deeply (limit {})",
                                                            cfg.json_max_depth)
                                              : "request body is not valid JSON: " + scan.error,
                                         "invalid_request_error", ex.note));
    }
    if (!scan.is_object) {
        ex.note = "not_object";
        return refusal_response(ex, req, http::status::bad_request,
                              error_body("request body must be a JSON object", "invalid_request_error", "invalid_json"));
    }
    if (!scan.model || scan.model->empty()) {
        ex.note = "missing_model";
        return refusal_response(ex, req, http::status::bad_request,
                              error_body("you must provide a model parameter", "invalid_request_error",
                                         "missing_model"));
    }
    const std::string& model = *scan.model;
    auto pit = cfg.models.find(model);
    // A configured model is logged and labelled by its whole id; a name
    // nobody configured only reaches the log, cut short.
    ex.model = pit != cfg.models.end() ? std::string_view(model) : std::string_view(model).substr(0, 256);
    if (pit == cfg.models.end()) {
        ex.note = "unknown_model";
        return refusal_response(ex, req, http::status::not_found,
                              error_body("the model `" + model + "` does not exist",
                                         "invalid_request_error", "model_not_found"));
    }
    // The field a pool routes on is known only once the model is: read it
    // in a second pass, for the pools that have one.
    if (!pit->second.sticky_body_field.empty())
        scan = lb::scan_request(req.body(),
                                {.routed_field = pit->second.sticky_body_field, .max_depth = cfg.json_max_depth});
    pool = &pit->second;
    return std::nullopt;
}

// Requests no backend can take, full or not: larger than every backend of
// the pool accepts, or every fitting backend sin-binned or failing its
// health check. The refusal to write, counted, or nothing.
std::optional<http::response<http::string_body>> Proxy::refuse_unservable(
    Exchange& ex, const Request& req, const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
    const std::vector<std::int64_t>& excluded) {
    const std::int64_t estimate = ex.input_tokens;
    if (fitting.empty()) {
        lb_.note_reject(lb::RejectReason::TOO_LARGE);
        std::int64_t largest = 0;
        for (const auto& r : pool.records) largest = std::max(largest, lb::int_or_zero(*r, "max_input_tokens"));
        ex.note = "too_large";
        return refusal_response(
            ex, req, http::status::bad_request,
            error_body(fmt::format("this request needs about {} input tokens, more than any backend of model "
                                   "`{}` accepts (largest limit {})",
                                   estimate, pool.model, largest),
                       "context_length_exceeded", "context_length_exceeded",
                       json::object{{"estimated_tokens", estimate}, {"max_input_tokens", largest}}));
    }
    double back_in = 0;
    json::array states;
    if (!all_unavailable(fitting, excluded, *ex.cfg, back_in, states)) return std::nullopt;
    lb_.note_reject(lb::RejectReason::NO_BACKENDS);
    ex.note = std::string(lb::RejectReason::NO_BACKENDS);
    return refusal_response(
        ex, req, http::status::service_unavailable,
        error_body(fmt::format("no backend of model `{}` is available: all {} are sin-binned after failures or "
                               "failing their health checks; the first may be back in {:.0f} s",
                               pool.model, fitting.size(), std::ceil(back_in)),
                   "no_backends", "no_backends", json::object{{"backends", std::move(states)}}),
        back_in);
}

awaitable<void> Proxy::handle_inference(Exchange& ex, Stream& stream, const Request& req) {
    // One coroutine for the whole road up to the forward: the checks before
    // it are plain calls, and only their refusal is awaited. Every refusal
    // on the way shares one slot: each is a whole response, and the frame
    // holds room for each local, used or not.
    lb::ScannedRequest scan;
    const PoolConfig* found = nullptr;
    std::optional<Response> refusal = scan_inference(ex, req, scan, found);
    if (refusal) {
        co_await write_refusal(ex, stream, *refusal);
        co_return;
    }
    const PoolConfig& pool = *found;
    ex.pool_label = pool.label;
    const std::int64_t estimate = scan.estimate;
    ex.input_tokens = estimate;
    std::vector<lb::ServerRecord> fitting = lb_.filter_by_fit(pool.records, estimate);
    std::vector<std::int64_t> excluded = excluded_ids();
    refusal = refuse_unservable(ex, req, pool, fitting, excluded);
    if (refusal) {
        co_await write_refusal(ex, stream, *refusal);
        co_return;
    }
    const std::string sticky = sticky_key(pool, req, scan);
    ex.wait_started = now();
    bool stopped = false;
    // The options are made twice rather than kept: what lives across a
    // suspension sits in the frame, and a frame over about a kilobyte misses
    // Asio's recycling.
    lb::Admission admission;
    if (!admit_at_once(pool, fitting, select_options(pool, estimate, excluded, sticky), stopped, admission))
        admission = co_await admit(pool, fitting, select_options(pool, estimate, excluded, sticky), stopped);
    // A wait the stop cut short is as long as it lasted: the admission
    // that says so was never made.
    ex.wait = stopped ? now() - ex.wait_started : admission.waited_sec;
    ex.wait_started = -1.0;
    if (stopped) {
        metrics_.observe_queue_wait(pool.model, ex.wait);
        refusal = shutting_down(ex, req);
        co_await write_refusal(ex, stream, *refusal);
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

}  // namespace quillmar::proxy
