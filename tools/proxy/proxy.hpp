// quillmar-proxy: an HTTP/1.1 proxy for OpenAI-compatible model servers,
// with the quillmar load balancer choosing the backend of every request.
//
// Everything runs on one io_context thread, the balancer's loop: the
// listeners, every client session, the upstream connections, the health
// checks, the in-flight reaper and the SIGHUP reload.
//
// One unit per step of a request's road: session.cpp (accept, read, local
// answers), inference.cpp (body scan to admission, refusals), forward.cpp
// (upstream connection, relay, retry), health.cpp (sin-bin and checks);
// proxy.cpp holds the proxy's life (start, reload, stop).
#pragma once

#include "load_balancer/admission.hpp"
#include "load_balancer/balancer.hpp"
#include "load_balancer/request_scan.hpp"
#include "load_balancer/settings.hpp"
#include "proxy/access_log.hpp"
#include "proxy/client_watch.hpp"
#include "proxy/cluster/capacity.hpp"
#include "proxy/config.hpp"
#include "proxy/connections.hpp"
#include "proxy/framing.hpp"
#include "proxy/message.hpp"
#include "proxy/metrics.hpp"
#include "proxy/plain_head.hpp"
#include "proxy/restartable_task.hpp"
#include "proxy/stream.hpp"
#include "proxy/upstream_pool.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/json/array.hpp>
#include <boost/json/value.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmar::proxy {

struct Exchange;
struct Attempt;

// The client's connection (one per session), plain TCP or TLS.
using ClientStream = Stream;

class Proxy {
public:
    // `ports` (from the command line) stand over the file's, also on reload.
    Proxy(boost::asio::io_context& io, lb::LoadBalancer& lb, std::shared_ptr<const Config> cfg,
          std::string config_path, PortOverrides ports = {});

    // Opens the listeners (throws boost::system::system_error when a port
    // cannot be bound), applies the configuration to the balancer and starts
    // the background tasks. Returns the bound ports (admin 0 when disabled).
    std::pair<std::uint16_t, std::uint16_t> start();
    // Closes the listeners and stops the background tasks; sessions end as
    // their clients leave.
    void stop();
    // Graceful stop (SIGTERM, SIGINT): close the listeners at once, answer
    // parked requests 503, let running ones finish for up to the configured
    // drain time, close every client connection, give the cluster grants
    // back (kept renewed until then), then stop the loop.
    boost::asio::awaitable<void> shutdown();
    // Re-reads the configuration file; keeps the old one when the new one is
    // invalid. New requests use the new records; running and parked requests
    // keep the ones they hold.
    bool reload();

private:
    using Stream = ClientStream;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;
    // One upstream exchange: the connection, what was read past the
    // response head, and the response's head: a plain one read on its own,
    // or the general parser that read any other (and reads its body).
    struct Upstream {
        explicit Upstream(FieldAlloc arena) : buffer(arena) {}
        UpstreamPool::Conn conn;
        bool reused = false;
        ArenaBuffer buffer;
        std::optional<PlainResponse> plain;
        // Set when `plain` is not. On the heap: it is most of this struct's
        // size, most answers do without it, and the struct lives in a
        // coroutine frame that Asio recycles only up to about a kilobyte.
        std::unique_ptr<ResponseReader> reader;
        bool complete = false;                 // the whole body was read

        std::optional<std::uint64_t> content_length() const {
            if (plain) return plain->content_length;
            const auto len = reader->content_length();
            return len ? std::optional<std::uint64_t>(*len) : std::nullopt;
        }
        bool keep_alive() const { return plain ? plain->keep_alive : reader->keep_alive(); }
        // The general parser found no body to read: a 204 or 304 (which may
        // carry the Content-Length of a body they never send), or a length of 0.
        bool bodiless() const { return !plain && reader->is_done(); }
        // An event stream is relayed as it comes even when its length is
        // known (a plain head is never one).
        bool event_stream() const {
            return !plain && is_event_stream(reader->get()[boost::beast::http::field::content_type]);
        }
        // Reads a plain head (one whose body is at most `max_body`) from the
        // start of `buffer` into `plain`; false, and nothing changed, when
        // the head is not plain or not whole.
        bool take_plain(FieldAlloc arena, std::uint64_t max_body);
        // Sizes `buffer` for relaying the body in pieces of `piece` bytes
        // read straight into the relay's own storage: room for a piece when
        // the length is known, and a bound on what may stay unparsed.
        void size_for_relay(std::size_t piece);
    };

    // ---- life (proxy.cpp)
    // stop() but for the cluster's renewals.
    void stop_serving();
    // The file's balancer settings; one it does not name takes the value
    // the environment (or the default) gave at start, so a key removed
    // before a reload does not keep its old value. Parked requests are not
    // offered the room a new setting makes: the caller does that.
    void apply_settings(const Config& cfg);
    // Starts the in-flight reaper at cfg_'s interval (none when 0).
    void start_reaper();
    // Ends the running reaper, if any, at its next turn of the loop.
    void stop_reaper();
    // Starts the health checks at cfg_'s interval, ending those running at
    // another (none when 0: a server then counts as healthy).
    void start_health_checks();
    // Logs the https backends whose certificates go unchecked, if any.
    void warn_unverified() const;
    boost::asio::awaitable<void> signal_loop();

    // ---- listener and sessions (session.cpp)
    boost::asio::awaitable<void> accept_loop(boost::asio::ip::tcp::acceptor& acceptor, bool admin);
    // One client connection's requests, one at a time; `watch` cancels the
    // session when a plain-TCP client leaves mid-request.
    boost::asio::awaitable<void> session(Stream stream, bool admin, std::shared_ptr<ClientWatch> watch);
    // The server side of a TLS connection's handshake (true at once for
    // plain TCP); false: it failed, was counted, and the session ends.
    boost::asio::awaitable<bool> handshake(Stream& stream, ClientConnections::Id id);
    // What reading a request came to: one to serve, a client that left
    // (or idled out, or was evicted), or a request refused and answered,
    // whose client may still be sending the rest of it.
    enum class ReadOutcome { request, gone, refused };
    boost::asio::awaitable<ReadOutcome> read_request(Stream& stream, boost::beast::flat_buffer& buffer,
                                                     RequestParser& parser,
                                                     const Config& cfg, ClientConnections::Id id);
    boost::asio::awaitable<ReadOutcome> read_general(Stream& stream, boost::beast::flat_buffer& buffer,
                                                     RequestParser& parser, const Config& cfg);
    boost::asio::awaitable<ReadOutcome> refuse_body(Stream& stream, const Config& cfg, boost::beast::error_code ec,
                                                    std::string_view method, std::string_view target);
    // Answers a request the proxy will not serve, logs and counts it; the
    // connection is closed after it.
    boost::asio::awaitable<void> refuse_request(Stream& stream, const Config& cfg, const Refusal& refusal,
                                                std::string_view method, std::string_view target);
    // One request read whole: admin and local answers here, inference
    // requests down their road. False: close the connection.
    // `client` is the peer's address, read once per connection.
    boost::asio::awaitable<bool> serve(Stream& stream, boost::beast::flat_buffer& buffer, Request& request, bool admin,
                                       const std::string& client, ClientWatch& watch);
    void log_access(const Exchange& ex);

    // ---- the inference road (inference.cpp)
    boost::asio::awaitable<bool> serve_inference(Stream& stream, boost::beast::flat_buffer& buffer, Request& request,
                                                 std::shared_ptr<const Config> cfg, const std::string& client,
                                                 ClientWatch& watch);
    // Runs the request while watching its client; true when the client left
    // first (the request was cancelled). A failure is logged (unless `cut`
    // says the drain cut it) and marks the connection broken. TLS
    // connections; plain ones are watched by their ClientWatch.
    boost::asio::awaitable<bool> race_client(Exchange& ex, Stream& stream, boost::beast::flat_buffer& buffer,
                                             const Request& request, const ClientWatch& cut);
    // TLS: ends when the client leaves; what it sends first is kept for the next request.
    boost::asio::awaitable<void> watch_client(Stream& stream, boost::beast::flat_buffer& buffer);
    // 503 shutting_down, noted on the exchange.
    Response shutting_down(Exchange& ex, const Request& request);
    boost::asio::awaitable<void> answer_cut(Exchange& ex, Stream& stream, const Request& request);
    // The body scanned and checked, the pool found, the request admitted
    // and forwarded, or refused on the way.
    boost::asio::awaitable<void> handle_inference(Exchange& ex, Stream& stream, const Request& request);
    // The body's scan (model, estimate, routed field) and the model's pool
    // (`pool`); the refusal to write when the body or its model is not
    // acceptable (400, 404). Allocates only for a refusal.
    std::optional<Response> scan_inference(Exchange& ex, const Request& request, lb::ScannedRequest& scan,
                                           const PoolConfig*& pool);
    // Requests no backend can take, full or not (too large for all, or all
    // sin-binned or failing checks): the refusal to write, or nothing.
    std::optional<Response> refuse_unservable(Exchange& ex, const Request& request, const PoolConfig& pool,
                                              const std::vector<lb::ServerRecord>& fitting,
                                              const std::vector<std::int64_t>& excluded);
    // Whether every fitting backend is at its cap in force (cluster mode's
    // cue to ask for a larger grant).
    bool all_full(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting);
    // What select() is asked for a request of `pool`.
    static lb::SelectOptions select_options(const PoolConfig& pool, std::int64_t estimate,
                                            const std::vector<std::int64_t>& excluded, const std::string& sticky);
    // True, with `admission` set, when it is decided without waiting: the
    // proxy is stopping (`stopped` set, the admission empty), or a backend
    // has room now (most requests). False otherwise: then admit().
    bool admit_at_once(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                       const lb::SelectOptions& options, bool& stopped, lb::Admission& admission);
    // The admission of `server`, just picked by select, with its lease.
    lb::Admission admitted(lb::ServerRecord server);
    // lb::admit, given up when the proxy starts to stop while the request
    // is parked (`stopped` is then set and the admission is empty).
    boost::asio::awaitable<lb::Admission> admit(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                                                lb::SelectOptions options, bool& stopped);
    boost::asio::awaitable<lb::Admission> admit_after_renewal(const PoolConfig& pool,
                                                              const std::vector<lb::ServerRecord>& fitting,
                                                              lb::SelectOptions options, bool& stopped);
    boost::asio::awaitable<lb::Admission> park(const PoolConfig& pool, const std::vector<lb::ServerRecord>& fitting,
                                               lb::SelectOptions options, bool& stopped);
    // What a parked request waits on after handing back an admission to a
    // backend excluded since it parked: its pool as the configuration has
    // it now, and the backends to avoid now.
    struct Rewait {
        lb::PoolKey key;
        std::vector<lb::ServerRecord> fitting;
        std::vector<std::int64_t> excluded;
        // False when the model is gone or no backend of it fits.
        bool prepare(const Config& current, const std::string& model, std::int64_t estimate, lb::LoadBalancer& lb,
                     std::vector<std::int64_t> avoid);
    };
    lb::Admission requeue_refusal(std::string_view reason, double parked_at);
    boost::asio::awaitable<void> refuse_at_capacity(Exchange& ex, Stream& stream, const Request& request,
                                                    const PoolConfig& pool,
                                                    const std::vector<lb::ServerRecord>& fitting);
    // The queue's refusal of a parked (or unparkable) request.
    boost::asio::awaitable<void> refuse_from_queue(Exchange& ex, Stream& stream, const Request& request,
                                                   const PoolConfig& pool, const lb::Admission& refused);
    // The proxy's own answer to a request (Retry-After when `retry_after`
    // >= 0), recorded in `ex`; built apart from the write, since g++ 12
    // mishandles initializer lists in a full expression with co_await.
    Response refusal_response(Exchange& ex, const Request& request, boost::beast::http::status status,
                              std::string body, double retry_after = -1);
    boost::asio::awaitable<void> write_refusal(Exchange& ex, Stream& stream, Response& res);

    // ---- forwarding (forward.cpp)
    // Forwards inside the admission's lease; after a failure before any
    // response byte, sin-bins the backend and tries once more on another.
    boost::asio::awaitable<void> forward_with_retry(Exchange& ex, Stream& stream, const Request& request,
                                                    const PoolConfig& pool,
                                                    const std::vector<lb::ServerRecord>& fitting,
                                                    std::int64_t estimate, const std::string& sticky,
                                                    lb::Admission admission);
    // After an attempt that failed before any response byte: counts the
    // failure, sin-bins the backend and drops its idle connections (`ep`:
    // its endpoint, null when the configuration does not know it).
    void note_failed_attempt(std::int64_t id, const Endpoint* ep, const Attempt& a, const Config& cfg);
    // Answers a failed attempt on backend `id` with 502 (504 after a timeout).
    boost::asio::awaitable<void> refuse_upstream(Exchange& ex, ClientStream& stream, const Request& request,
                                                 std::int64_t id, const Attempt& a, bool retried);
    // Keeps a connection whose answer was read whole for the next request,
    // unless a reload came since it was made under `cfg` (the reload emptied
    // the pool: its TLS settings, a CA or verification, may have changed).
    void pool_if_clean(Upstream& up, const std::string& pool_key, const Config& cfg);
    boost::asio::awaitable<lb::ServerRecord> reselect(const PoolConfig& pool,
                                                      const std::vector<lb::ServerRecord>& fitting,
                                                      std::int64_t estimate, const std::string& sticky,
                                                      std::int64_t failed);
    // Sends the request and reads the final response head.
    boost::asio::awaitable<Attempt> exchange_head(Exchange& ex, const Request& request, const Endpoint& ep,
                                                  Upstream& up);
    // A head that is not plain, read by the general parser.
    boost::asio::awaitable<Attempt> general_head(Upstream& up);
    boost::asio::awaitable<Attempt> relay_buffered(Exchange& ex, Stream& client, const Request& request,
                                                   Upstream& up);
    boost::asio::awaitable<Attempt> relay_streamed(Exchange& ex, Stream& client, const Request& request,
                                                   Upstream& up);

    // ---- sin-bin and health (health.cpp)
    void sin_bin(std::int64_t server_id, double seconds);
    // Server ids no selection may choose now: sin-binned or unhealthy.
    std::vector<std::int64_t> excluded_ids();
    // Whether `server_id` is one of them; no list is built.
    bool excluded_now(std::int64_t server_id);
    // Every fitting backend is sin-binned or failing its health check: the
    // refusal's per-backend states, and when the first may be back.
    bool all_unavailable(const std::vector<lb::ServerRecord>& fitting, const std::vector<std::int64_t>& excluded,
                         const Config& cfg, double& back_in_sec, boost::json::array& states);
    boost::asio::awaitable<void> health_loop();
    // One probe of server `id` at `ep`; its result counts only while it is
    // the server's latest probe and `ep` is still the server's address.
    boost::asio::awaitable<void> check_health(std::int64_t id, Endpoint ep, std::shared_ptr<const Config> cfg,
                                              std::uint64_t ticket);

    boost::asio::io_context& io_;
    lb::LoadBalancer& lb_;
    std::shared_ptr<const Config> cfg_;
    // The configuration the listeners and the cluster were set up from: a
    // reload cannot change those, and each one that would is told so.
    std::shared_ptr<const Config> started_;
    std::string config_path_;
    ProxyMetrics metrics_;
    UpstreamPool pool_;
    std::unordered_map<std::int64_t, double> sin_bin_until_;  // server id -> monotonic seconds
    // The settings the file may override, as they were before it did.
    struct StartSettings {
        bool queue_enabled = lb::QUEUE_ENABLED;
        double queue_ttl_sec = lb::QUEUE_TTL_SEC;
        std::int64_t queue_max_depth_multiplier = lb::QUEUE_MAX_DEPTH_MULTIPLIER;
        std::int64_t superfast_cap = lb::SUPERFAST_PER_SERVER_CAP;
    } start_settings_;
    PortOverrides ports_;
    std::set<std::int64_t> unhealthy_;
    // Servers whose latest health probe has not answered yet: the address
    // it probes and its ticket (a number no other probe has).
    struct Probe {
        std::string url;
        std::uint64_t ticket = 0;
    };
    std::map<std::int64_t, Probe> probing_;
    std::uint64_t probes_started_ = 0;
    boost::asio::ip::tcp::acceptor listener_;
    boost::asio::ip::tcp::acceptor admin_listener_;
    boost::asio::signal_set signals_;
    RestartableTask reaper_{io_};
    RestartableTask health_{io_};
    std::unique_ptr<AccessLog> access_;
    ClientConnections connections_;
    WatchSweep watches_;  // starts the client watches of requests still running a tick on
    std::size_t live_sessions_ = 0;
    std::unique_ptr<ClusterCapacity> cluster_;  // cluster mode only
    bool stopping_ = false;
    bool listening_ = false;
};

}  // namespace quillmar::proxy
