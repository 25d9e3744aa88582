// Forwarding: one request to one backend over a pooled or new connection,
// the response relayed to the client (read whole when small, streamed
// otherwise), and the retry on another backend after a failure that
// happened before the backend's first response byte.
#include "proxy/dial.hpp"
#include "proxy/exchange.hpp"
#include "proxy/framing.hpp"
#include "proxy/step_io.hpp"
#include "proxy/proxy.hpp"

#include "load_balancer/lease.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <array>

namespace quillmar::proxy {

namespace {

using Conn = UpstreamPool::Conn;

// Length-delimited bodies up to this size are read whole before the client
// gets the response head.
constexpr std::uint64_t kBufferedBodyLimit = 256 * 1024;
// Request bodies up to this size are sent in the same buffer as the head:
// the copy costs less than the kernel's handling of a second buffer. A
// larger one is not copied.
constexpr std::size_t kJoinedBodyLimit = 4096;
bool joins_head(std::string_view body) { return body.size() <= kJoinedBodyLimit; }
// The room for the first read of a backend's answer.
constexpr std::size_t kFirstResponseRead = 4096;
// What a relayed body may leave unparsed in the read buffer: a chunk's
// size line with its extensions, or the trailer (64 KiB, as for a
// request's), and room for a read past it.
constexpr std::size_t kStreamPendingLimit = 128 * 1024;
// More interim responses than this before the final one: a broken backend.
constexpr int kMaxInterimResponses = 16;
// A pooled connection the backend had closed before the request was
// written whole (it cannot have been served): the attempt is made again on
// a new connection, without counting it as the backend's failure.
constexpr std::string_view kStale = "stale_connection";

// A new connection to `ep` (server `id`) in `up`; the failure kind, or
// empty. A TLS failure says why in the log: the kind alone does not tell
// an expired certificate from a wrong host name.
awaitable<std::string> connect_upstream(std::int64_t id, const Endpoint& ep, const Config& cfg, Conn& up) {
    Dialed dialed = co_await dial(ep, cfg.upstream_tls.context, cfg.connect_timeout_sec);
    throw_if_cancelled(dialed.ec);
    if (dialed.stream) {
        up = std::move(dialed.stream);
        co_return std::string{};
    }
    if (dialed.kind.starts_with("tls_")) spdlog::warn("server {} at {}: {}", id, ep.url, dialed.detail);
    co_return dialed.kind.empty() ? classify(dialed.ec, "connect") : dialed.kind;
}

// The upstream request head, written by hand as one string: the client's
// end-to-end headers, the request's id (the backend logs the one the proxy
// logs), the client's address after those that forwarded it before
// (X-Forwarded-For: what a client sends is only its claim, the last entry is
// the one the proxy saw), our Host and the body's length; HTTP/1.1 keeps the
// connection open by default. A body small enough to join the head follows.
ArenaString upstream_head(const Request& req, const Endpoint& ep, std::string_view request_id,
                          std::string_view client) {
    const std::string_view body = req.body();
    ArenaString head(req.get_allocator());
    head.reserve(256 + req.target().size() + (joins_head(body) ? body.size() : 0));
    append_all(head, req.method_string(), " ", ep.prefix, req.target(), " HTTP/1.1\r\n");
    const auto options = connection_options(req);
    ArenaString forwarded_for(req.get_allocator());
    for (const auto& f : req) {
        if (hop_by_hop_field(f) || f.name() == http::field::host || listed(options, f.name_string()) ||
            is_request_id(f.name_string()))
            continue;
        if (f.name() == http::field::unknown && beast::iequals(f.name_string(), "x-forwarded-for")) {
            // Several fields join into one list; an empty one adds nothing.
            if (const std::string_view v = trim_blanks(f.value(), " \t,"); !v.empty())
                append_all(forwarded_for, v, ", ");
        } else {
            append_all(head, f.name_string(), ": ", f.value(), "\r\n");
        }
    }
    // The peer's address without its port ("address:port", the address
    // perhaps IPv6); none when the socket was already gone.
    const std::string_view address = client.substr(0, std::min(client.rfind(':'), client.size()));
    if (address.empty() && !forwarded_for.empty()) forwarded_for.resize(forwarded_for.size() - 2);  // its ", "
    if (!address.empty() || !forwarded_for.empty())
        append_all(head, "X-Forwarded-For: ", forwarded_for, address, "\r\n");
    append_all(head, "X-Request-Id: ", request_id, "\r\nHost: ", ep.host_header, "\r\nContent-Length: ",
               Decimal(body.size()), "\r\n\r\n");
    if (joins_head(body)) head.append(body);
    return head;
}

// A failed read of the answer's head, the request written whole. A
// connection reset, closed or timed out before answering is tried once
// more on another backend; only the time-out sin-bins the backend (see
// Attempt::blame). An answer that is not HTTP is not tried again: the
// backend took the request and answered it, badly, and a request is not
// sent twice once it may have been served.
Attempt head_failed(const beast::error_code& ec) {
    const bool not_http = ec.category() == beast::error_code(http::error::bad_version).category() &&
                          ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (not_http) return Attempt{false, classify(ec, "first_byte"), false};
    return Attempt{false, classify(ec, "first_byte"), true, ec == beast::error::timeout};
}

// A failure reading the backend's body: counted, and the client connection
// closed when part of the response already went out (the missing end tells
// the client the response is incomplete).
Attempt upstream_failed(Exchange& ex, const beast::error_code& ec, ProxyMetrics& metrics) {
    std::string kind = classify(ec, "mid_stream");
    metrics.count_upstream_error(kind);
    ex.note = kind;
    if (ex.response_started) ex.client_broken = true;
    return Attempt{false, kind, false};
}

// A client that took no bytes within the write deadline is cut off:
// returning ends the upstream request and releases the lease.
Attempt client_failed(Exchange& ex, const beast::error_code& ec, ProxyMetrics& metrics) {
    ex.client_broken = true;
    ex.note = ec == beast::error::timeout ? "client_write_timeout" : "client_write_failed";
    if (ec == beast::error::timeout) metrics.count_client_event("write_timeout");
    return Attempt{false, "client", false};
}

// The client's response head for a body read whole, by hand: status line,
// the backend's end-to-end headers, the length and the connection choice;
// with room for the body after it.
// `head` is a Beast response head or a plain one; `options`, the field
// names its Connection header lists.
template <class Head>
ArenaString buffered_head(const Exchange& ex, const Request& req, const Head& head,
                          const std::vector<std::string_view>& options, std::size_t length) {
    ArenaString out(req.get_allocator());
    out.reserve(512 + length);  // the body is read in after the head
    append_all(out, req.version() == 10 ? "HTTP/1.0 " : "HTTP/1.1 ", Decimal(head.result_int()), " ", head.reason(),
               "\r\n");
    bool dated = false;
    for (const auto& f : head)
        if (!hop_by_hop_field(f) && !listed(options, f.name_string()) && !is_request_id(f.name_string())) {
            append_all(out, f.name_string(), ": ", f.value(), "\r\n");
            dated = dated || beast::iequals(f.name_string(), "date");
        }
    // A proxy dates an answer that came without a date (RFC 9110 6.6.1).
    if (!dated) append_all(out, "Date: ", http_date(), "\r\n");
    append_all(out, "X-Request-Id: ", ex.request_id, "\r\nContent-Length: ", Decimal(length), "\r\n");
    if (!ex.client_keep) append_all(out, "Connection: close\r\n");
    else if (req.version() == 10) append_all(out, "Connection: keep-alive\r\n");
    append_all(out, "\r\n");
    return out;
}

// The client's response head for a streamed body: the backend's status and
// end-to-end headers; the framing follows the backend's (chunked stays
// chunked, a length stays a length), so event streams reach the client as
// they are produced.
http::response<http::buffer_body> streamed_head(Exchange& ex, const Request& req, ResponseReader& parser) {
    const auto& head = parser.get();
    const auto options = connection_options(head);
    http::response<http::buffer_body> res;
    res.version(req.version());
    res.result(head.result_int());
    res.reason(head.reason());
    for (const auto& f : head)
        if (!hop_by_hop_field(f) && !listed(options, f.name_string())) res.insert(f.name_string(), f.value());
    res.set("X-Request-Id", ex.request_id);
    if (res.find(http::field::date) == res.end()) res.set(http::field::date, http_date());
    const int status = head.result_int();
    const bool bodiless = status / 100 == 1 || status == 204 || status == 304;
    // A 304 may name the length of the body it stands for; a 204 (or 1xx)
    // must not name one at all (RFC 9110 8.6).
    if (auto len = parser.content_length(); len && status != 204 && status / 100 != 1) {
        res.content_length(*len);
    } else if (!bodiless) {
        if (req.version() >= 11) res.chunked(true);
        else ex.client_keep = false;  // HTTP/1.0: the end of the body is the end of the connection
    }
    res.keep_alive(ex.client_keep);
    return res;
}

}  // namespace

// A small length-delimited body (every non-streaming answer): read whole,
// then head and body go out in one write. Nothing is gained by passing such
// a body on piece by piece, and one write instead of two is most of the
// proxy's cost per request.
awaitable<Attempt> Proxy::relay_buffered(Exchange& ex, ClientStream& client, const Request& req, Upstream& up) {
    // The client's head comes first in the buffer and the body's bytes are
    // read in right after it, as they are (a length-delimited body has no
    // framing of its own), past any parser: the kernel gets one buffer.
    // A plain head's Connection names no fields.
    const auto length = static_cast<std::size_t>(*up.content_length());
    ArenaString whole = up.plain ? buffered_head(ex, req, *up.plain, {}, length)
                                 : buffered_head(ex, req, up.reader->get(), connection_options(up.reader->get()), length);
    const std::size_t head_size = whole.size();
    whole.resize(head_size + length);
    LengthRead read(up.buffer, net::buffer(whole.data() + head_size, length));
    while (read.wants_bytes()) {
        up.conn->expires_after(seconds(ex.cfg->idle_timeout_sec));
        auto [rec, rn] = co_await up.conn->async_read_some(read.space(), use_tuple);
        read.received(rec, rn);
    }
    throw_if_cancelled(read.error());
    if (read.error()) co_return upstream_failed(ex, read.error(), metrics_);
    up.complete = true;
    ex.status = static_cast<int>(up.plain ? up.plain->result_int() : up.reader->get().result_int());
    ex.response_started = true;
    ex.usage = find_usage(std::string_view(whole).substr(head_size));
    client.expires_after(seconds(ex.cfg->client_write_timeout_sec));
    WriteAll out(net::buffer(whole));
    out.write_now(client);
    while (out.wants_write()) {
        auto [cwec, cwn] = co_await client.async_write_some(out.rest(), use_tuple);
        out.wrote(cwec, cwn);
    }
    client.expires_never();
    const beast::error_code wec = out.error();
    throw_if_cancelled(wec);
    if (wec) co_return client_failed(ex, wec, metrics_);
    ex.bytes += length;
    co_return Attempt{true, {}};
}

// g++ 12 with the sanitizers at -O1 takes this coroutine's frame, allocated
// and freed by Asio's own operator new and delete, for a mismatched pair (a
// false positive since the client stream became a class with a TLS layer).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
awaitable<Attempt> Proxy::relay_streamed(Exchange& ex, ClientStream& client, const Request& req, Upstream& up) {
    ResponseReader& parser = *up.reader;
    const auto write_deadline = seconds(ex.cfg->client_write_timeout_sec);
    http::response<http::buffer_body> res = streamed_head(ex, req, parser);
    ex.status = parser.get().result_int();
    ex.response_started = true;
    http::response_serializer<http::buffer_body> sr{res};
    client.expires_after(write_deadline);
    auto [hwec, hwn] = co_await http::async_write_header(client, sr, use_tuple);
    client.expires_never();
    throw_if_cancelled(hwec);
    if (hwec) co_return client_failed(ex, hwec, metrics_);

    std::array<char, 16384> chunk;
    up.size_for_relay(chunk.size());
    UsageScanner usage;
    while (!parser.is_done()) {
        parser.get().body().data = chunk.data();
        parser.get().body().size = chunk.size();
        up.conn->expires_after(seconds(ex.cfg->idle_timeout_sec));
        MessageRead read(up.buffer, parser, MessageRead<false>::Until::some);
        while (read.wants_bytes()) {
            auto [rec, rn] = co_await up.conn->async_read_some(read.space(), use_tuple);
            read.received(rec, rn);
        }
        beast::error_code rec = read.error();
        if (rec == http::error::need_buffer) rec = {};  // the piece is full
        throw_if_cancelled(rec);
        if (rec) co_return upstream_failed(ex, rec, metrics_);
        std::size_t got = chunk.size() - parser.get().body().size;
        if (got == 0 && !parser.is_done()) continue;
        // The last piece carries the end of the body (the final chunk) in
        // the same write.
        res.body().data = got > 0 ? chunk.data() : nullptr;
        res.body().size = got;
        res.body().more = !parser.is_done();
        client.expires_after(write_deadline);
        auto [cwec, cwn] = co_await http::async_write(client, sr, use_tuple);
        client.expires_never();
        if (cwec == http::error::need_buffer) cwec = {};
        throw_if_cancelled(cwec);
        if (cwec) co_return client_failed(ex, cwec, metrics_);
        ex.bytes += got;
        usage.feed(std::string_view(chunk.data(), got));
    }
    usage.finish();
    ex.usage = usage.usage();
    up.complete = true;
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
    co_return Attempt{true, {}};
}
#pragma GCC diagnostic pop

void Proxy::Upstream::size_for_relay(std::size_t piece) {
    // Beast's read asks for the room its buffer has (512 bytes once the
    // head is parsed): a body of known length (only a large one comes this
    // way) would take a read per 512 bytes. An event stream is chunked and
    // arrives an event at a time, and keeps the small buffer: thousands of
    // them may be open at once.
    if (reader->content_length()) buffer.reserve(piece);
    // Body bytes go straight to the relay's piece; what stays in the buffer
    // is a chunk's size line or the trailer, not yet whole. A backend
    // sending one without end is cut off here instead of growing the buffer.
    buffer.max_size(buffer.size() + kStreamPendingLimit);
}

bool Proxy::Upstream::take_plain(FieldAlloc arena, std::uint64_t max_body) {
    const auto bytes = buffer.data();
    auto head = read_plain_response(std::string_view(static_cast<const char*>(bytes.data()), bytes.size()), arena);
    if (!head || head->content_length > max_body) return false;
    buffer.consume(head->head_bytes);
    plain = *head;
    return true;
}

// Sends the request on `up` and reads the final response's head; a pooled
// connection the backend had closed before the request was written whole
// comes back as kStale.
awaitable<Attempt> Proxy::exchange_head(Exchange& ex, const Request& req, const Endpoint& ep, Upstream& up) {
    const ArenaString head = upstream_head(req, ep, ex.request_id, ex.client);
    const std::string_view body = req.body();
    const std::array<net::const_buffer, 2> upreq{net::buffer(head),
                                                 net::buffer(joins_head(body) ? std::string_view() : body)};
    up.conn->expires_after(seconds(ex.cfg->first_byte_timeout_sec));
    WriteAll out(upreq);
    out.write_now(*up.conn);
    while (out.wants_write()) {
        auto [uwec, uwn] = co_await up.conn->async_write_some(out.rest(), use_tuple);
        out.wrote(uwec, uwn);
    }
    const beast::error_code wec = out.error();
    throw_if_cancelled(wec);
    // A backend that answers early (a 413, a 401) and closes resets the
    // connection under a body still being written: not its fault, unless it
    // took nothing for a whole time-out.
    if (wec) {
        if (up.reused) co_return Attempt{false, std::string(kStale)};
        co_return Attempt{false, classify(wec, "write"), true, wec == beast::error::timeout};
    }
    // A typical answer, its head and a JSON body of a kilobyte or two,
    // arrives in one read; Beast's first read would take 512 bytes of it.
    // A plain head in it needs no general parser.
    up.buffer.reserve(kFirstResponseRead);
    auto [rec, rn] = co_await up.conn->async_read_some(up.buffer.prepare(kFirstResponseRead), use_tuple);
    up.buffer.commit(rn);
    if (rec) {
        const beast::error_code ec = rec == net::error::eof ? beast::error_code(http::error::end_of_stream) : rec;
        throw_if_cancelled(ec);
        co_return head_failed(ec);
    }
    if (!up.take_plain(req.get_allocator(), kBufferedBodyLimit)) {
        Attempt general = co_await general_head(up);
        if (!general.ok) co_return general;
    }
    ex.ttfb = now() - ex.start;
    metrics_.observe_ttfb(ex.model, ex.ttfb);
    co_return Attempt{true, {}};
}

// The rest of a head that is not plain, read by the general parser from
// what the first read left in the buffer on. Interim (1xx) responses are
// read and dropped: the whole body has been sent, and the final response
// follows on the same connection; all of them fall under the first-byte
// deadline.
awaitable<Attempt> Proxy::general_head(Upstream& up) {
    for (int interim = 0;; ++interim) {
        // Its fields share the request's arena.
        up.reader = std::make_unique<ResponseReader>(std::piecewise_construct, std::make_tuple(),
                                                     std::make_tuple(up.buffer.get_allocator()));
        up.reader->body_limit(boost::none);
        MessageRead read(up.buffer, *up.reader, MessageRead<false>::Until::header);
        while (read.wants_bytes()) {
            auto [rec, rn] = co_await up.conn->async_read_some(read.space(), use_tuple);
            read.received(rec, rn);
        }
        const beast::error_code ec = read.error();
        throw_if_cancelled(ec);
        if (ec) {
            // Part of an answer came (the first read never returns nothing):
            // the backend may have served the request, which is not sent twice.
            Attempt failed = head_failed(ec);
            failed.retry = false;
            metrics_.count_upstream_error(failed.kind);
            co_return failed;
        }
        const int code = up.reader->get().result_int();
        if (code / 100 != 1) {
            // A coding other than chunked would reach the client undone: the
            // proxy re-frames the body and drops Transfer-Encoding.
            const auto& head = up.reader->get();
            const auto te = head.count(http::field::transfer_encoding);
            if (te > 1 || (te == 1 && !beast::iequals(trim_blanks(head[http::field::transfer_encoding]), "chunked"))) {
                metrics_.count_upstream_error("bad_transfer_coding");
                co_return Attempt{false, "bad_transfer_coding", false};
            }
            break;
        }
        // 101 was never asked for (Upgrade is not forwarded).
        if (code == 101 || interim >= kMaxInterimResponses) {
            metrics_.count_upstream_error("bad_interim_response");
            co_return Attempt{false, "bad_interim_response", false};
        }
    }
    co_return Attempt{true, {}};
}

// Back to the pool only after a complete, cleanly framed response with
// nothing after it, neither in our buffer nor held back in the TLS layer;
// anything else closes the connection.
void Proxy::pool_if_clean(Upstream& up, const std::string& pool_key, const Config& cfg) {
    if (&cfg == cfg_.get() && up.complete && up.keep_alive() && up.buffer.size() == 0 && !up.conn->holds_unread_input())
        pool_.put(pool_key, std::move(up.conn), cfg.upstream_pool_size);
}

void Proxy::note_failed_attempt(std::int64_t id, const Endpoint* ep, const Attempt& a, const Config& cfg) {
    metrics_.count_upstream_error(a.kind);
    if (a.blame) sin_bin(id, cfg.sin_bin_sec);
    if (ep) pool_.drop(ep->pool_key);
}

// A coroutine of its own, so that the response it holds is not part of
// forward_with_retry's frame on every request's road.
awaitable<void> Proxy::refuse_upstream(Exchange& ex, ClientStream& stream, const Request& req, std::int64_t id,
                                       const Attempt& a, bool retried) {
    const bool timeout = a.retry && a.kind.ends_with("_timeout");
    Response refusal = refusal_response(
        ex, req, timeout ? http::status::gateway_timeout : http::status::bad_gateway,
        error_body(a.retry ? fmt::format("upstream server {} failed before responding ({}){}", id, a.kind,
                                         retried ? "; retry failed too" : "")
                           : fmt::format("upstream server {} failed while sending its response ({})", id, a.kind),
                   "upstream_error", a.kind));
    co_await write_refusal(ex, stream, refusal);
}

// The retry's backend: any other fitting one that may take the request now.
awaitable<lb::ServerRecord> Proxy::reselect(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                                            std::int64_t estimate, const std::string& sticky, std::int64_t failed) {
    std::vector<std::int64_t> excluded = excluded_ids();
    if (std::find(excluded.begin(), excluded.end(), failed) == excluded.end()) excluded.push_back(failed);
    co_return co_await lb_.select(pool.key, fitting, select_options(pool, estimate, excluded, sticky));
}

// Forwards inside a lease; on a failure before any response byte, sin-bins
// the backend and tries once more on another one. Each attempt takes a
// pooled connection first and a new one when the pooled one turns out
// closed. Attempts are not a coroutine of their own: a request's road is
// deep enough that each frame more misses Asio's two-slot frame cache.
awaitable<void> Proxy::forward_with_retry(Exchange& ex, ClientStream& stream, const Request& req, const PoolConfig& pool,
                                          const std::vector<lb::ServerRecord>& fitting, std::int64_t estimate,
                                          const std::string& sticky, lb::Admission admission) {
    const Config& cfg = *ex.cfg;
    std::string first_failure;
    lb::ServerRecord server = std::move(admission.server);
    std::optional<lb::InflightLease> lease = std::move(admission.lease);
    for (int attempt = 0;; ++attempt) {
        const std::int64_t id = lb::server_id(server);
        ex.server_id = id;
        // A retry's server comes from a select with nothing suspending
        // before its lease is entered here.
        if (!lease) lease.emplace(lb::InflightLease::acquire(lb_, id));
        // The server's address and the TLS settings as they are now: a
        // reload while the request was parked may have moved the id (the
        // lease counts against the server at its new address) or changed
        // how backends are verified.
        const std::shared_ptr<const Config> current = cfg_;
        const auto eit = current->servers.find(id);
        // Every try below sets the outcome; this one stands when there is no try.
        Attempt a{false, eit == current->servers.end() ? "unknown_server" : ""};
        for (int fresh_try = 0; eit != current->servers.end() && fresh_try < 2; ++fresh_try) {
            const Endpoint& ep = eit->second;
            Upstream up(req.get_allocator());  // the request's arena
            up.conn = fresh_try == 0 ? pool_.take(ep.pool_key) : nullptr;
            up.reused = up.conn != nullptr;
            if (!up.conn) {
                std::string failed = co_await connect_upstream(eit->first, ep, *current, up.conn);
                if (!failed.empty()) {
                    a = Attempt{false, std::move(failed)};
                    break;
                }
            }
            a = co_await exchange_head(ex, req, ep, up);
            if (!a.ok && a.kind == kStale) continue;
            if (!a.ok) break;
            // An answer that starts while the proxy drains closes its
            // connection after it, and says so.
            if (connections_.draining()) ex.client_keep = false;
            // An answer without a body goes out as a head alone, whatever length it names.
            const auto len = up.content_length();
            if (len && *len <= kBufferedBodyLimit && !up.bodiless() && !up.event_stream())
                a = co_await relay_buffered(ex, stream, req, up);
            else a = co_await relay_streamed(ex, stream, req, up);
            if (a.ok) pool_if_clean(up, ep.pool_key, *current);
            break;
        }
        lease->release();  // the stream has ended, however it ended
        lease.reset();
        if (a.ok || ex.response_started) co_return;
        if (!a.retry) {
            // The backend answered, then failed within its body: nothing
            // went to the client, and the request is not sent twice.
            ex.note = a.kind;
        } else {
            note_failed_attempt(id, eit == current->servers.end() ? nullptr : &eit->second, a, cfg);
            if (first_failure.empty()) first_failure = a.kind;
            if (attempt == 0 && (server = co_await reselect(pool, fitting, estimate, sticky, id))) {
                ex.note = "retried:" + a.kind;
                continue;
            }
            ex.note = attempt == 0 ? a.kind : first_failure + "," + a.kind;
        }
        co_await refuse_upstream(ex, stream, req, id, a, attempt > 0);
        co_return;
    }
}

}  // namespace quillmar::proxy
