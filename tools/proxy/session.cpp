// The client side of the road: accepting connections (and backing off when
// descriptors run out), one session per connection reading requests one at
// a time under their deadlines, and the answers the proxy gives itself
// (admin endpoints, /v1/models, refusals of malformed requests).
#include "proxy/admin.hpp"
#include "proxy/exchange.hpp"
#include "proxy/framing.hpp"
#include "proxy/step_io.hpp"
#include "proxy/proxy.hpp"
#include "proxy/target.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace quillmar::proxy {

namespace {

// Out of descriptors (or kernel memory): retrying at once spins, since the
// pending connection stays in the backlog.
bool resource_exhausted(const beast::error_code& ec) {
    return ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory ||
           ec == beast::error_code(ENFILE, beast::system_category());
}

std::string_view buffered(const beast::flat_buffer& buffer) {
    auto data = buffer.data();
    return {static_cast<const char*>(data.data()), data.size()};
}

constexpr std::size_t kHeaderLimit = 64 * 1024;
// A body is read into storage that grows as its bytes come: up to 64 KiB
// first, then doubling. Storage for the whole announced length at once
// would let heads that announce large bodies and send none take memory
// they never pay for; this way a body holds at most about twice what has
// arrived, at the cost of a copy of what has when it grows.
constexpr std::size_t kFirstBodyStage = 64 * 1024;
std::size_t body_stage(std::size_t got, std::size_t length) {
    return std::min(length, std::max(kFirstBodyStage, 2 * got));
}
// A refused client still sending its request (a body over the limit, most
// often) has this long to finish and turn to the answer: the close waits
// until it hangs up, sends nothing for 2 s, or 30 s have passed.
constexpr Linger kRefusedLinger{std::chrono::seconds(2), std::chrono::seconds(30)};
// A connection's read buffer grows to take a large body in few reads (and
// a large head whole); between requests, one larger than this gives its
// spare room back, so idle keep-alive connections do not each hold what
// their largest request needed.
constexpr std::size_t kIdleBufferCapacity = 16 * 1024;

// GET /v1/models: every configured model; GET /v1/models/{id}: that one,
// or 404 model_not_found as for an inference request naming it.
http::response<http::string_body> models_answer(const Config& cfg, std::string_view path, bool keep,
                                                unsigned version) {
    auto model = [](std::string_view id) {
        return json::object{{"id", id}, {"object", "model"}, {"created", 0}, {"owned_by", "quillmar"}};
    };
    http::response<http::string_body> res;
    if (path == "/v1/models") {
        json::array data;
        for (const auto& m : cfg.model_order) data.push_back(model(m));
        res = make_response(http::status::ok, json::serialize(json::object{{"object", "list"}, {"data", std::move(data)}}),
                            keep, "application/json", version);
    } else {
        const std::string id = percent_decoded(path.substr(std::string_view("/v1/models/").size()));
        res = cfg.models.contains(id)
                  ? make_response(http::status::ok, json::serialize(model(id)), keep, "application/json", version)
                  : make_response(http::status::not_found,
                                  error_body("the model `" + id + "` does not exist", "invalid_request_error",
                                             "model_not_found"),
                                  keep, "application/json", version);
    }
    return res;
}

// A POST under /v1/: the inference road.
bool inference_request(const Request& req) {
    const std::string_view target = req.target();
    return req.method() == http::verb::post && target.substr(0, target.find('?')).starts_with("/v1/");
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
        // The context in force now: after a reload, new connections present
        // the new certificate while open ones keep theirs.
        const auto& tls = admin ? cfg_->admin_tls : cfg_->listen_tls;
        auto watch = std::make_shared<ClientWatch>(watches_);
        const net::cancellation_slot slot = watch->session_slot();
        net::co_spawn(io_, session(Stream(std::move(socket), tls ? tls->context : nullptr), admin, watch),
                      net::bind_cancellation_slot(slot, ReleaseWatch{watch, &io_}));
    }
}

awaitable<void> Proxy::session(Stream stream, bool admin, std::shared_ptr<ClientWatch> watch) {
    beast::flat_buffer buffer;
    // The header fields of this connection's requests and their answers,
    // and the buffers the answers are read into.
    RequestArena arena;
    ++live_sessions_;
    bool refused = false;
    const ClientConnections::Id id = connections_.add(
        [&stream] {
            beast::error_code ignored;
            stream.socket().close(ignored);
        },
        [&watch] { watch->cut(); });
    try {
        if (co_await handshake(stream, id)) {
            const std::string client = peer_of(stream);
            while (!connections_.draining()) {
                auto cfg = cfg_;
                arena.release();  // the last request's messages are gone
                RequestParser parser(std::piecewise_construct, std::make_tuple(), std::make_tuple(arena.allocator()));
                parser.body_limit(cfg->body_limit_bytes);
                parser.header_limit(kHeaderLimit);
                const ReadOutcome read = co_await read_request(stream, buffer, parser, *cfg, id);
                if (read != ReadOutcome::request) {
                    refused = read == ReadOutcome::refused && !connections_.draining();
                    break;
                }
                Request req = parser.release();
                // An inference request on the public listener goes straight
                // down its road: one coroutine frame fewer per request. The
                // admin listener's answers (its token check first) and every
                // local answer go through serve.
                bool keep = false;
                if (!admin && !connections_.draining() && inference_request(req))
                    keep = co_await serve_inference(stream, buffer, req, cfg, client, *watch);
                else
                    keep = co_await serve(stream, buffer, req, admin, client, *watch);
                if (!keep) break;
                if (buffer.capacity() > kIdleBufferCapacity) buffer.shrink_to_fit();  // keeps pipelined bytes
            }
        }
    } catch (const std::exception& e) {
        spdlog::debug("session ended: {}", e.what());
    }
    // A refused client may still be sending. While the close lingers for it
    // the connection stays listed, as idle: the connection cap may close it
    // like an idle keep-alive one, and a stop closes it at once. What the
    // refused request held is freed first.
    if (refused) {
        arena.release();
        buffer = beast::flat_buffer();
        connections_.set_idle(id, true);
    } else {
        connections_.remove(id);
    }
    // A session the drain cut is still marked cancelled (every await would
    // throw at once); the close is bounded by its own time-outs.
    co_await net::this_coro::reset_cancellation_state();
    // TLS: close_notify, but no waiting on a peer that does not answer it.
    co_await close_gracefully(stream, seconds(std::min(1.0, cfg_->client_write_timeout_sec)),
                              refused ? kRefusedLinger : Linger{});
    connections_.remove(id);  // a no-op unless it lingered (and was not evicted)
    --live_sessions_;
}

awaitable<bool> Proxy::handshake(Stream& stream, ClientConnections::Id id) {
    if (!stream.tls()) co_return true;
    // Idle until it has shaken hands: at the connection cap it makes room
    // like a keep-alive connection waiting for its next request. The client
    // idle time-out bounds the handshake, so a client that connects and
    // sends nothing cannot hold its slot.
    connections_.set_idle(id, true);
    const beast::error_code ec = co_await accept_tls(stream, seconds(cfg_->client_idle_timeout_sec));
    connections_.set_idle(id, false);
    if (!ec) co_return true;
    // Scanners, plain HTTP sent to the TLS port, clients that do not trust
    // the certificate: counted, one debug line each, never a warning storm.
    metrics_.count_client_event("tls_handshake_failed");
    spdlog::debug("TLS handshake with {} failed: {}", peer_of(stream), ec.message());
    co_return false;
}

awaitable<void> Proxy::refuse_request(Stream& stream, const Config& cfg, const Refusal& refusal,
                                      std::string_view method, std::string_view target) {
    Exchange ex;
    ex.cfg = cfg_;
    ex.method = method;
    ex.target = target;
    // Refused requests are the ones an operator most wants to trace.
    const std::string client = peer_of(stream);
    ex.client = client;
    ex.request_id = request_id_for({});
    ex.status = refusal.status;
    ex.note = refusal.code;
    auto res = make_response(static_cast<http::status>(refusal.status),
                             error_body(refusal.message, refusal.type, refusal.code), false);
    res.set("X-Request-Id", ex.request_id);
    strip_body_for_head(res, method == "HEAD");
    ex.bytes = res.body().size();
    co_await write_message(stream, res, cfg.client_write_timeout_sec);
    metrics_.count_request(ex.pool_label, ex.status);
    log_access(ex);
}

namespace {

std::string too_large_message(const Config& cfg) {
    return "request body exceeds " + std::to_string(cfg.body_limit_bytes) + " bytes";
}

// The parsed head's refusal: a parse error, framing the proxy will not
// forward, a target it will not route, or a body announced larger than the
// limit. Without one, a target that was not `normal` already becomes the
// normalized one.
std::optional<Refusal> check_head(RequestParser& parser, const beast::error_code& ec,
                                  const Config& cfg, bool normal, bool& expect_continue) {
    auto& head = parser.get();
    if (ec == http::error::body_limit) return Refusal{413, "body_too_large", too_large_message(cfg)};
    if (ec) return Refusal{400, "bad_request", "malformed HTTP request: " + ec.message()};
    if (auto refusal = check_framing(head, expect_continue)) return refusal;
    if (!normal) {
        NormalizedTarget target = normalize_target(head.target());
        if (!target.error.empty()) return Refusal{400, "invalid_target", target.error};
        head.target(target.target);
    }
    if (expect_continue && parser.content_length() && *parser.content_length() > cfg.body_limit_bytes)
        return Refusal{413, "body_too_large", too_large_message(cfg)};
    return std::nullopt;
}

// A failed body read: refused when the bytes were wrong, not when the
// client left or idled out.
std::optional<Refusal> check_body(const beast::error_code& ec, const Config& cfg) {
    if (ec == http::error::body_limit) return Refusal{413, "body_too_large", too_large_message(cfg)};
    if (ec == http::error::header_limit)
        return Refusal{400, "bad_request", "a chunk's size line or the trailer exceeds 64 KiB"};
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == http::error::partial_message ||
        ec == net::error::connection_reset || ec == net::error::operation_aborted)
        return std::nullopt;
    return Refusal{400, "bad_request", "malformed HTTP request: " + ec.message()};
}

}  // namespace

// Reads one request: its head's raw bytes (checked before any parser sees
// them: a bare CR or LF, obsolete folding, a head over 64 KiB), the parsed
// head (framing and target checked), then its body. A refusal is answered
// here and ends the connection.
// (No temporaries in a full expression with co_await: g++ 12 mishandles them.)
awaitable<Proxy::ReadOutcome> Proxy::read_request(Stream& stream, beast::flat_buffer& buffer,
                                                  RequestParser& parser, const Config& cfg,
                                                  ClientConnections::Id id) {
    // Idle until a whole head is in (below), pipelined bytes or not.
    connections_.set_idle(id, true);
    stream.expires_after(seconds(cfg.client_idle_timeout_sec));
    // The head's raw bytes, read here rather than in a coroutine of their
    // own: one frame fewer per request. Empty lines before it go as they
    // come, so they never count towards the head's size.
    auto scan_buffered = [&buffer] {
        buffer.consume(leading_empty_lines(buffered(buffer)));
        return scan_head(buffered(buffer));
    };
    HeadScan scan = scan_buffered();
    while (scan.end == 0 && !scan.refusal && buffer.size() < kHeaderLimit) {
        auto [rec, rn] = co_await stream.async_read_some(buffer.prepare(4096), use_tuple);
        if (rec) co_return ReadOutcome::gone;  // gone, idle too long, or evicted
        buffer.commit(rn);
        scan = scan_buffered();
    }
    // The limit is on the head itself, not on the reads that found its end
    // (4 KiB each): no field of it can then reach the size a parsed message
    // cannot store.
    if (!scan.refusal && (scan.end == 0 || scan.end > kHeaderLimit))
        scan.refusal = Refusal{431, "header_too_large", "the request head exceeds 64 KiB"};
    // Busy only once its head is whole: a client that sends a byte or two
    // and stops holds no request yet, and at the cap it makes room like an
    // idle one (or a trickle of bytes would lock every new client out).
    connections_.set_idle(id, false);
    if (scan.refusal) {
        const std::string_view unknown = "-";
        co_await refuse_request(stream, cfg, *scan.refusal, unknown, unknown);
        co_return ReadOutcome::refused;
    }
    // The common request's head is read without the general parser, and
    // its body straight into the message.
    const std::optional<PlainRequest> plain =
        read_plain_request(buffered(buffer).substr(0, scan.end), cfg.body_limit_bytes, parser.get());
    if (plain) {
        buffer.consume(plain->head_bytes);
        std::string& bytes = parser.get().body();
        beast::error_code ec;
        for (std::size_t got = 0; got < plain->content_length && !ec;) {
            const std::size_t size = body_stage(got, plain->content_length);
            bytes.resize(size);
            LengthRead body(buffer, net::buffer(bytes.data() + got, size - got));
            while (body.wants_bytes()) {
                auto [rec, rn] = co_await stream.async_read_some(body.space(), use_tuple);
                body.received(rec, rn);
            }
            ec = body.error();
            got = size;
        }
        stream.expires_never();
        if (!ec) co_return ReadOutcome::request;
        const std::string_view method = parser.get().method_string();
        const std::string_view target = parser.get().target();
        co_return co_await refuse_body(stream, cfg, ec, method, target);
    }
    co_return co_await read_general(stream, buffer, parser, cfg);
}

// A head the plain reader declined, read by the general parser. A coroutine
// of its own: its state would otherwise push every request's frame past the
// size Asio recycles, costing an allocation per request.
awaitable<Proxy::ReadOutcome> Proxy::read_general(Stream& stream, beast::flat_buffer& buffer,
                                                  RequestParser& parser, const Config& cfg) {
    // The whole head is buffered by now: this parses it without reading.
    MessageRead head(buffer, parser, MessageRead<true>::Until::header);
    while (head.wants_bytes()) {
        auto [rec, rn] = co_await stream.async_read_some(head.space(), use_tuple);
        head.received(rec, rn);
    }
    const beast::error_code hec = head.error();
    const std::string_view method = parser.get().method_string();
    // The target as sent, for a refusal's log line. The check below
    // rewrites only a target that is not normal already, and only that one
    // needs a copy of its own.
    const bool normal_target = is_normal_target(parser.get().target());
    const std::string raw_copy = normal_target ? std::string() : std::string(parser.get().target());
    const std::string_view raw_target =
        normal_target ? std::string_view(parser.get().target()) : std::string_view(raw_copy);
    bool expect_continue = false;
    const std::optional<Refusal> refusal = check_head(parser, hec, cfg, normal_target, expect_continue);
    if (refusal) {
        co_await refuse_request(stream, cfg, *refusal, method, raw_target);
        co_return ReadOutcome::refused;
    }
    if (expect_continue && !parser.is_done()) {
        // The client holds its body back until told to send it.
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        stream.expires_after(seconds(cfg.client_write_timeout_sec));
        auto [wec, wn] = co_await net::async_write(stream, net::buffer(kContinue), use_tuple);
        if (wec) co_return ReadOutcome::gone;
        stream.expires_after(seconds(cfg.client_idle_timeout_sec));
    }
    // Only the chunked coding carries a trailer.
    std::optional<HeadFields> head_fields;
    if (parser.chunked()) head_fields.emplace(parser.get());
    MessageRead body(buffer, parser, MessageRead<true>::Until::message);
    while (body.wants_bytes()) {
        auto [rec, rn] = co_await stream.async_read_some(body.space(), use_tuple);
        body.received(rec, rn);
    }
    stream.expires_never();
    if (!body.error()) {
        if (head_fields) head_fields->drop_trailer(parser.get());
        co_return ReadOutcome::request;
    }
    co_return co_await refuse_body(stream, cfg, body.error(), method, raw_target);
}

// A body read that failed: refused when its bytes were wrong, otherwise
// the client left or idled out.
awaitable<Proxy::ReadOutcome> Proxy::refuse_body(Stream& stream, const Config& cfg, beast::error_code ec,
                                                 std::string_view method, std::string_view target) {
    const std::optional<Refusal> refusal = check_body(ec, cfg);
    if (!refusal) co_return ReadOutcome::gone;
    co_await refuse_request(stream, cfg, *refusal, method, target);
    co_return ReadOutcome::refused;
}

awaitable<bool> Proxy::serve(Stream& stream, beast::flat_buffer& buffer, Request& req, bool admin,
                             const std::string& client, ClientWatch& watch) {
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
    if (inference_request(req)) co_return co_await serve_inference(stream, buffer, req, cfg, client, watch);

    // Every other answer is local: built synchronously, written below (no
    // coroutine lambdas: g++ 12 mishandles their frames).
    auto simple = [&](http::status status, std::string body, std::string_view ctype = "application/json") {
        return make_response(status, std::move(body), keep, ctype, req.version());
    };
    auto route = [&]() -> http::response<http::string_body> {
        const bool get = req.method() == http::verb::get || head;  // HEAD: the same head, no body
        const bool models = path == "/v1/models" || path.starts_with("/v1/models/");
        if (get && models) return models_answer(*cfg, path, keep, req.version());
        if (path.starts_with("/v1/")) {
            auto res = simple(http::status::method_not_allowed,
                              error_body(models ? "the model list takes GET" : "only POST is served under /v1/",
                                         "invalid_request_error", "method_not_allowed"));
            res.set(http::field::allow, models ? "GET, HEAD" : "POST");
            return res;
        }
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

void Proxy::log_access(const Exchange& ex) {
    AccessRecord r{ex.wall_start, ex.request_id, ex.client, ex.method, ex.target, ex.model, ex.pool_label,
                   ex.server_id, ex.status, ex.input_tokens, ex.usage.prompt_tokens, ex.usage.completion_tokens,
                   ex.wait_started >= 0 ? now() - ex.wait_started : ex.wait, ex.ttfb, now() - ex.start, ex.bytes,
                   ex.note};
    if (r.pool == "-") r.pool = {};
    if (ex.pool_label != "-") {  // a configured model: per-model series
        // A wait the client cut short counts too: it was parked that long.
        metrics_.observe_end(ex.model, r.total, r.prompt_tokens.value_or(0), r.completion_tokens.value_or(0),
                             ex.wait_started >= 0 ? r.wait : -1.0);
    }
    if (!access_->write(r)) metrics_.count_dropped_log_line();
}


}  // namespace quillmar::proxy
