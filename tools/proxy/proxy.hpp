// quillmar-proxy: an HTTP/1.1 proxy for OpenAI-compatible model servers,
// with the quillmar load balancer choosing the backend of every request.
//
// Everything runs on one io_context thread, the balancer's loop: the
// listeners, every client session, the upstream connections, the health
// checks, the in-flight reaper and the SIGHUP reload.
#pragma once

#include "load_balancer/balancer.hpp"
#include "proxy/cluster/capacity.hpp"
#include "proxy/config.hpp"
#include "proxy/metrics.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <spdlog/logger.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmar::proxy {

// Idle keep-alive connections to the backends, a few per backend, most
// recently used first out (the warmest socket is the least likely to have
// been closed by the server).
class UpstreamPool {
public:
    using Conn = std::unique_ptr<boost::beast::tcp_stream>;
    Conn take(const std::string& key);
    void put(const std::string& key, Conn conn, std::size_t max_idle);
    // Closes every idle connection to one backend (after it failed).
    void drop(const std::string& key);
    std::size_t idle(const std::string& key) const;

private:
    std::unordered_map<std::string, std::vector<Conn>> idle_;
};

class Proxy {
public:
    Proxy(boost::asio::io_context& io, lb::LoadBalancer& lb, std::shared_ptr<const Config> cfg,
          std::string config_path);

    // Opens the listeners (throws boost::system::system_error when a port
    // cannot be bound), applies the configuration to the balancer and starts
    // the background tasks. Returns the bound ports (admin 0 when disabled).
    std::pair<std::uint16_t, std::uint16_t> start();
    // Closes the listeners and stops the background tasks; sessions end as
    // their clients leave.
    void stop();
    // Re-reads the configuration file; keeps the old one when the new one is
    // invalid. New requests use the new records; running and parked requests
    // keep the ones they hold.
    bool reload();

private:
    struct Exchange;
    struct Attempt;
    using Stream = boost::beast::tcp_stream;
    using Request = boost::beast::http::request<boost::beast::http::string_body>;

    boost::asio::awaitable<void> accept_loop(boost::asio::ip::tcp::acceptor& acceptor, bool admin);
    boost::asio::awaitable<void> session(Stream stream, bool admin);
    boost::asio::awaitable<bool> serve(Stream& stream, boost::beast::flat_buffer& buffer, Request& request, bool admin);
    boost::asio::awaitable<bool> serve_inference(Stream& stream, boost::beast::flat_buffer& buffer, Request& request,
                                                 std::shared_ptr<const Config> cfg);
    boost::asio::awaitable<void> handle_inference(Exchange& ex, Stream& stream, const Request& request);
    boost::asio::awaitable<Attempt> forward(Exchange& ex, Stream& client, const Request& request,
                                            const lb::ServerRecord& server);
    boost::asio::awaitable<void> watch_client(Stream& stream, boost::beast::flat_buffer& buffer);
    boost::asio::awaitable<void> health_loop();
    boost::asio::awaitable<void> check_health(std::int64_t id, Endpoint ep, std::shared_ptr<const Config> cfg);
    boost::asio::awaitable<void> signal_loop();

    void apply_settings(const Config& cfg);
    std::vector<std::int64_t> excluded_ids();
    void sin_bin(std::int64_t server_id, double seconds);
    void log_access(const Exchange& ex);

    boost::asio::io_context& io_;
    lb::LoadBalancer& lb_;
    std::shared_ptr<const Config> cfg_;
    std::string config_path_;
    ProxyMetrics metrics_;
    UpstreamPool pool_;
    std::unordered_map<std::int64_t, double> sin_bin_until_;  // server id -> monotonic seconds
    std::set<std::int64_t> unhealthy_;
    boost::asio::ip::tcp::acceptor listener_;
    boost::asio::ip::tcp::acceptor admin_listener_;
    boost::asio::signal_set signals_;
    boost::asio::cancellation_signal stop_reaper_;
    boost::asio::cancellation_signal stop_health_;
    std::shared_ptr<spdlog::logger> access_;
    std::unique_ptr<ClusterCapacity> cluster_;  // cluster mode only
    bool stopping_ = false;
};

}  // namespace quillmar::proxy
