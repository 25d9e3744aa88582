// Configuration of quillmar-proxy: one JSON file, validated whole before any
// of it is used. Every error names the JSON path of the offending value
// ("$.models.chat.servers[1].url"), so a typo is found without guessing.
#pragma once

#include "load_balancer/values.hpp"
#include "proxy/tls.hpp"
#include "load_balancer/vocabulary.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmar::proxy {

// A configuration that cannot be used. what() is "<json path>: <problem>".
class ConfigError : public std::runtime_error {
public:
    ConfigError(const std::string& path, const std::string& message)
        : std::runtime_error(path + ": " + message) {}
};

// Where one backend listens: http[s]://host:port[/prefix]. The prefix is
// put in front of the client's request target.
struct Endpoint {
    std::string url;
    std::string host;
    std::uint16_t port = 0;
    std::string prefix;
    bool tls = false;  // https://
    std::uint16_t default_port() const { return tls ? 443 : 80; }
    // "scheme://host:port": the key of the backend's connection pool (a TLS
    // connection is never handed to a plain one's request, nor the reverse).
    // Made once, by parse_endpoint: every forward looks it up.
    std::string pool_key;
    // The Host header's value: the host (an IPv6 address in brackets) and
    // the port unless it is the scheme's default.
    std::string host_header;
};

// TLS of a listener: its certificate chain and key (paths resolved against
// the configuration file's folder), loaded into `context` at start and on
// every reload.
struct ListenerTls {
    std::string cert_file;
    std::string key_file;
    TlsContext context;
};

// How the proxy verifies backends reached over https.
struct UpstreamTls {
    std::string ca_file;  // empty: the system's trust store
    bool insecure_skip_verify = false;
    TlsContext context;   // null when no backend is https
};

// One model id's pool: the balancer's PoolKey plus how to pick in it.
struct PoolConfig {
    std::string model;
    lb::PoolKey key;
    std::string label;                // pool_label(key), for metrics and logs
    std::string algorithm;            // one of the balancer's algorithms
    std::string sticky_header;        // lower-case header name, or empty
    std::string sticky_body_field;    // top-level body field, or empty
    std::vector<lb::ServerRecord> records;  // the balancer's server records

    // The record of server `id` in this pool, or null. A scan of `records`.
    lb::ServerRecord record(std::int64_t id) const;
};

// Cluster mode: replicas sharing every backend's "max_concurrency" through
// capacity grants in Redis. Changes take effect on restart only.
struct ClusterConfig {
    std::string redis_url;           // redis://host[:port][/db]
    std::string redis_host;
    std::uint16_t redis_port = 6379;
    std::int64_t redis_db = 0;
    std::string replica_id;          // unique per replica
    double grant_ttl_sec = 5.0;      // a replica that stops renewing loses its grants after this
    double renew_interval_sec = 0.5;
    std::string key_prefix = "quillmar:grants:";
    bool operator==(const ClusterConfig&) const = default;
};

struct Config {
    std::string listen_address = "127.0.0.1";
    std::uint16_t listen_port = 8080;
    bool admin_enabled = true;
    std::string admin_address = "127.0.0.1";
    std::uint16_t admin_port = 0;
    std::optional<ListenerTls> listen_tls;  // absent: plain HTTP
    std::optional<ListenerTls> admin_tls;
    UpstreamTls upstream_tls;

    std::string routing_mode = "superfast";
    // Balancer settings assigned at load and on every reload when present.
    std::optional<bool> queue_enabled;
    std::optional<double> queue_ttl_sec;
    std::optional<std::int64_t> queue_max_depth_multiplier;
    std::optional<std::int64_t> superfast_cap;

    std::size_t body_limit_bytes = 10 * 1024 * 1024;
    double connect_timeout_sec = 5.0;
    double first_byte_timeout_sec = 120.0;
    double idle_timeout_sec = 120.0;
    double client_idle_timeout_sec = 300.0;
    double client_write_timeout_sec = 30.0;  // a client that takes no bytes this long is cut off
    std::size_t max_client_connections = 10000;  // listener and admin connections together
    std::size_t json_max_depth = 512;            // nesting limit of a request body
    double drain_sec = 30.0;  // SIGTERM/SIGINT: time running requests get to finish
    double sin_bin_sec = 10.0;
    double retry_after_sec = 1.0;
    double health_interval_sec = 10.0;  // 0: no health checks
    double health_timeout_sec = 2.0;
    std::string health_path = "/health";
    double reaper_interval_sec = 60.0;  // 0: no reaper
    std::size_t upstream_pool_size = 16;  // idle keep-alive connections per backend
    std::string access_log = "stderr";    // "stderr", "stdout", "off" or a file path
    std::string access_log_format = "json";  // "json" (one object per line) or "text"
    bool public_metrics = false;  // /metrics on the public listener too
    // Bearer token the admin listener demands (empty: none). A secret: never
    // logged, never part of an error message.
    std::string admin_token;

    std::optional<ClusterConfig> cluster;  // absent: this replica enforces every cap alone

    std::unordered_map<std::string, PoolConfig> models;
    std::vector<std::string> model_order;       // models in file order
    std::map<std::int64_t, Endpoint> servers;   // every backend, by server id

    // "1 (https://a:443), 4 (https://b:8443)": the https backends whose
    // certificates go unchecked; empty when every one is verified.
    std::string unverified_servers() const;
};

// Parses and validates `text` (the file's contents); relative file paths in
// it resolve against `base_dir` (the file's folder). Loads the certificates
// and keys it names. Throws ConfigError.
std::shared_ptr<const Config> parse_config(std::string_view text, const std::string& base_dir = "");
// Reads and parses `path`. Throws ConfigError (path "$" for I/O and syntax).
std::shared_ptr<const Config> load_config(const std::string& path);

// Listener ports given on the command line, over the file's (at start and
// on every reload).
struct PortOverrides {
    std::optional<std::uint16_t> listen;
    std::optional<std::uint16_t> admin;
};
// `cfg` with the overrides applied; `cfg` itself when there are none.
std::shared_ptr<const Config> with_overrides(std::shared_ptr<const Config> cfg, const PortOverrides& ports);

// The routing mode `name` spells in any case ("Hybrid" is "hybrid"), or
// nothing for a name that is no mode. The file and /lb/routing-mode accept
// the same names.
std::optional<std::string_view> known_routing_mode(std::string_view name);

// Parses "http[s]://host[:port][/prefix]" (default port 80 or 443). Throws
// ConfigError at `json_path`.
Endpoint parse_endpoint(const std::string& url, const std::string& json_path);

}  // namespace quillmar::proxy
