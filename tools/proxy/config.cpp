#include "proxy/config.hpp"

#include "proxy/cluster/redis_client.hpp"
#include "proxy/small_file.hpp"
#include "repeated_key.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/stream_parser.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>

namespace quillmar::proxy {
namespace json = boost::json;

namespace {

// A configuration is a few kilobytes; this only bounds what a wrong path
// (a log file, say) could make the proxy read into memory.
constexpr std::size_t kConfigFileLimit = 16 * 1024 * 1024;

// One JSON object being read: remembers its path and which keys were used,
// so that a key nobody reads (usually a typo) is an error, not a silent no-op.
class ObjectReader {
public:
    ObjectReader(const json::value& v, std::string path) : path_(std::move(path)) {
        if (!v.is_object()) throw ConfigError(path_, "must be an object");
        obj_ = &v.as_object();
    }

    const std::string& path() const { return path_; }
    std::string child(std::string_view key) const { return path_ + "." + std::string(key); }

    const json::value* get(std::string_view key) {
        used_.insert(std::string(key));
        return obj_->if_contains(key);
    }

    std::string string(std::string_view key, std::string fallback, bool required = false) {
        const json::value* v = get(key);
        if (v == nullptr) {
            if (required) throw ConfigError(child(key), "is required");
            return fallback;
        }
        if (!v->is_string()) throw ConfigError(child(key), "must be a string");
        // A NUL would cut a path or a variable name short where the system
        // reads it, naming another file or variable than the one written.
        if (v->as_string().find('\0') != json::string::npos)
            throw ConfigError(child(key), "must not hold a NUL character");
        return std::string(v->as_string());
    }

    double number(std::string_view key, double fallback, double min, double max) {
        const json::value* v = get(key);
        if (v == nullptr) return fallback;
        if (!v->is_number()) throw ConfigError(child(key), "must be a number");
        double d = v->to_number<double>();
        if (!std::isfinite(d) || d < min || d > max)
            throw ConfigError(child(key), range_text(min, max));
        return d;
    }

    std::int64_t integer(std::string_view key, std::int64_t fallback, std::int64_t min, std::int64_t max,
                         bool required = false) {
        const json::value* v = get(key);
        if (v == nullptr) {
            if (required) throw ConfigError(child(key), "is required");
            return fallback;
        }
        if (!v->is_int64() && !v->is_uint64()) throw ConfigError(child(key), "must be an integer");
        if (v->is_uint64() && v->as_uint64() > static_cast<std::uint64_t>(max))
            throw ConfigError(child(key), range_text(static_cast<double>(min), static_cast<double>(max)));
        std::int64_t i = v->is_int64() ? v->as_int64() : static_cast<std::int64_t>(v->as_uint64());
        if (i < min || i > max)
            throw ConfigError(child(key), range_text(static_cast<double>(min), static_cast<double>(max)));
        return i;
    }

    // A capacity: a non-negative number, truncated to an integer; one beyond
    // the integer range saturates (it means "no practical limit").
    std::int64_t capacity(std::string_view key) {
        const json::value* v = get(key);
        if (v == nullptr) return 0;
        if (v->is_uint64()) return static_cast<std::int64_t>(std::min<std::uint64_t>(
                                v->as_uint64(), static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
        if (!v->is_number()) throw ConfigError(child(key), "must be a number");
        double d = v->to_number<double>();
        if (std::isnan(d) || d < 0) throw ConfigError(child(key), "must be 0 or more");
        // Truncated, a fraction below 1 would be 0, which means no cap at all.
        if (d > 0 && d < 1) throw ConfigError(child(key), "must be 0 (no cap) or at least 1");
        if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
        return static_cast<std::int64_t>(d);
    }

    std::optional<bool> boolean(std::string_view key) {
        const json::value* v = get(key);
        if (v == nullptr) return std::nullopt;
        if (!v->is_bool()) throw ConfigError(child(key), "must be true or false");
        return v->as_bool();
    }

    // Every key present but never asked for is an error.
    void finish() const {
        for (const auto& kv : *obj_)
            if (!used_.contains(std::string(kv.key())))
                throw ConfigError(child(kv.key()), "unknown key");
    }

private:
    static std::string range_text(double min, double max) {
        std::ostringstream os;
        os << "must be between " << min << " and " << max;
        return os.str();
    }

    const json::object* obj_ = nullptr;
    std::string path_;
    std::set<std::string> used_;
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string resolve_path(const std::string& base_dir, const std::string& path) {
    if (path.empty() || path.front() == '/' || base_dir.empty()) return path;
    return base_dir + "/" + path;
}

// A listener's "tls" object: both files required, loaded here so that a bad
// certificate stops the start (or the reload) with the path that named it.
std::optional<ListenerTls> read_listener_tls(ObjectReader& lr, const std::string& base_dir) {
    const json::value* v = lr.get("tls");
    if (v == nullptr) return std::nullopt;
    ObjectReader tr(*v, lr.child("tls"));
    ListenerTls tls;
    tls.cert_file = resolve_path(base_dir, tr.string("cert_file", "", true));
    tls.key_file = resolve_path(base_dir, tr.string("key_file", "", true));
    tr.finish();
    try {
        tls.context = make_server_context(tls.cert_file, tls.key_file);
    } catch (const TlsError& e) {
        throw ConfigError(e.field().empty() ? tr.path() : tr.child(e.field()), e.what());
    }
    return tls;
}

struct ListenerFields {
    std::string& address;
    std::uint16_t& port;
    std::optional<ListenerTls>& tls;
    bool* enabled;  // null: cannot be switched off
};

void read_listener(ObjectReader& r, std::string_view key, const ListenerFields& out, const std::string& base_dir) {
    const json::value* v = r.get(key);
    if (v == nullptr) return;
    ObjectReader lr(*v, r.child(key));
    if (out.enabled != nullptr) {
        if (auto e = lr.boolean("enabled")) *out.enabled = *e;
    }
    out.address = lr.string("address", out.address);
    boost::system::error_code not_address;
    boost::asio::ip::make_address(out.address, not_address);
    if (not_address)
        throw ConfigError(lr.child("address"), "must be an IPv4 or IPv6 address (got \"" + out.address + "\")");
    out.port = static_cast<std::uint16_t>(lr.integer("port", out.port, 0, 65535));
    out.tls = read_listener_tls(lr, base_dir);
    lr.finish();
}

// "upstream_tls": how https backends are verified. The client context is
// built only when some backend is https or the section is there (so that
// a CA file that cannot be loaded is found now, not at the first request).
void read_upstream_tls(ObjectReader& r, Config& cfg, const std::string& base_dir) {
    const json::value* v = r.get("upstream_tls");
    const std::string path = r.child("upstream_tls");
    if (v != nullptr) {
        ObjectReader ur(*v, path);
        cfg.upstream_tls.ca_file = resolve_path(base_dir, ur.string("ca_file", ""));
        cfg.upstream_tls.insecure_skip_verify = ur.boolean("insecure_skip_verify").value_or(false);
        ur.finish();
    }
    const bool any_https =
        std::any_of(cfg.servers.begin(), cfg.servers.end(), [](const auto& kv) { return kv.second.tls; });
    if (!any_https && v == nullptr) return;
    try {
        cfg.upstream_tls.context =
            make_client_context(cfg.upstream_tls.ca_file, cfg.upstream_tls.insecure_skip_verify);
    } catch (const TlsError& e) {
        throw ConfigError(e.field().empty() ? path : path + "." + e.field(), e.what());
    }
}

void read_access_log(ObjectReader& r, Config& cfg) {
    cfg.access_log = r.string("access_log", cfg.access_log);
    if (cfg.access_log.empty()) throw ConfigError(r.child("access_log"), "must not be empty");
    std::error_code ignored;
    if (std::filesystem::is_directory(cfg.access_log, ignored))
        throw ConfigError(r.child("access_log"), "names a directory, not a file (\"" + cfg.access_log + "\")");
    cfg.access_log_format = r.string("access_log_format", cfg.access_log_format);
    if (cfg.access_log_format != "json" && cfg.access_log_format != "text")
        throw ConfigError(r.child("access_log_format"), "must be \"json\" or \"text\"");
}

// The token itself never appears in an error: only where it came from.
std::string checked_token(std::string token, const std::string& json_path, const std::string& source) {
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
    if (token.empty()) throw ConfigError(json_path, source + " holds no token");
    for (char c : token)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
            throw ConfigError(json_path, source + " holds a token with blanks or control characters");
    return token;
}

void read_admin_access(ObjectReader& r, Config& cfg) {
    cfg.public_metrics = r.boolean("public_metrics").value_or(false);
    bool from_file = r.get("admin_token_file") != nullptr;
    bool from_env = r.get("admin_token_env") != nullptr;
    if (from_file && from_env)
        throw ConfigError(r.child("admin_token_env"), "cannot be combined with admin_token_file");
    if (from_file) {
        std::string path = r.string("admin_token_file", "");
        std::string why;
        std::optional<std::string> text = read_regular_file(path, 4096, why);
        if (!text) throw ConfigError(r.child("admin_token_file"), "cannot read a token from " + path + ": " + why);
        cfg.admin_token = checked_token(std::move(*text), r.child("admin_token_file"), path);
    } else if (from_env) {
        std::string name = r.string("admin_token_env", "");
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value == nullptr)
            throw ConfigError(r.child("admin_token_env"), "environment variable " + name + " is not set");
        cfg.admin_token = checked_token(value, r.child("admin_token_env"), "environment variable " + name);
    }
}

// The "cluster" section. The renewal interval must leave room for a few
// renewals within one TTL, or a replica would lose its grants between them.
std::optional<ClusterConfig> read_cluster(ObjectReader& r) {
    const json::value* v = r.get("cluster");
    if (v == nullptr) return std::nullopt;
    ObjectReader cr(*v, r.child("cluster"));
    ClusterConfig c;
    c.redis_url = cr.string("redis_url", "", true);
    try {
        RedisAddress a = parse_redis_url(c.redis_url);
        c.redis_host = a.host;
        c.redis_port = a.port;
        c.redis_db = a.db;
    } catch (const std::invalid_argument& e) {
        throw ConfigError(cr.child("redis_url"), e.what());
    }
    c.replica_id = cr.string("replica_id", "", true);
    const bool id_ok = !c.replica_id.empty() && c.replica_id.size() <= 128 &&
                       std::all_of(c.replica_id.begin(), c.replica_id.end(), [](unsigned char ch) {
                           return std::isalnum(ch) || ch == '-' || ch == '_' || ch == '.' || ch == ':';
                       });
    if (!id_ok) throw ConfigError(cr.child("replica_id"), "must be 1 to 128 of A-Z a-z 0-9 - _ . :");
    c.grant_ttl_sec = cr.number("grant_ttl_sec", c.grant_ttl_sec, 0.2, 3600);
    c.renew_interval_sec = cr.number("renew_interval_sec", c.renew_interval_sec, 0.01, 600);
    if (c.renew_interval_sec * 4 > c.grant_ttl_sec)
        throw ConfigError(cr.child("renew_interval_sec"), "must be at most a quarter of grant_ttl_sec");
    c.key_prefix = cr.string("key_prefix", c.key_prefix);
    if (c.key_prefix.size() > 256) throw ConfigError(cr.child("key_prefix"), "must be at most 256 bytes");
    cr.finish();
    return c;
}

}  // namespace

lb::ServerRecord PoolConfig::record(std::int64_t id) const {
    for (const auto& rec : records)
        if (lb::server_id(rec) == id) return rec;
    return nullptr;
}

std::string Config::unverified_servers() const {
    std::string out;
    if (!upstream_tls.insecure_skip_verify) return out;
    for (const auto& [id, ep] : servers) {
        if (!ep.tls) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(id) + " (" + ep.url + ")";
    }
    return out;
}

namespace {

bool ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The characters a URL's path may hold as they are (RFC 3986 3.3: unreserved,
// sub-delims, ":", "@", "/", and "%" of a percent-encoding). The prefix goes
// into every upstream request line, so a space, a CR or LF, or a quote in
// it would split or corrupt the request.
bool path_text(std::string_view s) {
    static constexpr std::string_view kMarks = "-._~!$&'()*+,;=:@/%";
    return std::all_of(s.begin(), s.end(), [](char c) { return ascii_alnum(c) || kMarks.find(c) != kMarks.npos; });
}

// An origin-form request target: an absolute path and perhaps a query
// (which may also hold "?").
bool target_text(std::string_view s) {
    const std::size_t q = s.find('?');
    if (s.empty() || s.front() != '/' || !path_text(s.substr(0, q))) return false;
    if (q == s.npos) return true;
    const std::string_view query = s.substr(q + 1);
    return std::all_of(query.begin(), query.end(), [](char c) { return c == '?' || path_text({&c, 1}); });
}

// A host name or IPv4 address (letters, digits, "-", "." and "_"), or the
// inside of an IPv6 literal's brackets (hex digits, ":" and "."). Neither
// user information ("user:password@", which would also end up in metrics
// labels) nor anything else that is not a host passes.
bool host_text(std::string_view s, bool v6) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [v6](char c) {
        return ascii_alnum(c) || c == '.' || (v6 ? c == ':' : (c == '-' || c == '_'));
    });
}

}  // namespace

std::optional<std::string_view> known_routing_mode(std::string_view name) {
    const std::string spelled = lower(std::string(name));
    for (std::string_view mode : lb::VALID_ROUTING_MODES)
        if (spelled == mode) return mode;
    return std::nullopt;
}

namespace {

// The scheme before `sep` ("://"), lower case: "http" or "https". A scheme
// is case-insensitive (RFC 3986 3.1). Only the scheme is echoed in the
// error: the rest may hold a password.
std::string http_scheme(const std::string& url, std::size_t sep, const std::string& json_path) {
    std::string scheme = lower(url.substr(0, sep == std::string::npos ? 0 : sep));
    if (scheme != "https" && scheme != "http")
        throw ConfigError(json_path, "must be an http:// or https:// URL" +
                                         (scheme.empty() || !std::all_of(scheme.begin(), scheme.end(), ascii_alnum)
                                              ? std::string(" (it names no scheme)")
                                              : " (its scheme is \"" + scheme + "\")"));
    return scheme;
}

// A port: 1 to 65535 in decimal digits.
std::uint16_t parse_port(const std::string& text, const std::string& json_path) {
    const bool digits = !text.empty() && text.size() <= 5 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int port = digits ? std::stoi(text) : 0;
    if (port < 1 || port > 65535) throw ConfigError(json_path, "has an invalid port \"" + text + "\"");
    return static_cast<std::uint16_t>(port);
}

}  // namespace

Endpoint parse_endpoint(const std::string& url, const std::string& json_path) {
    Endpoint ep;
    const std::size_t sep = url.find("://");
    const std::string scheme = http_scheme(url, sep, json_path);
    ep.tls = scheme == "https";
    std::string rest = url.substr(sep + 3);
    ep.url = scheme + url.substr(sep);
    std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos) ep.prefix = rest.substr(slash);
    while (!ep.prefix.empty() && ep.prefix.back() == '/') ep.prefix.pop_back();
    if (!path_text(ep.prefix))
        throw ConfigError(json_path, "has a path with a character a URL path cannot hold (a query, a fragment, a "
                                     "space or a control byte; percent-encode it)");
    std::size_t colon = authority.rfind(':');
    std::string port_text;
    bool has_port = false;
    const bool v6 = !authority.empty() && authority.front() == '[';
    if (v6) {  // [v6]:port
        std::size_t close = authority.find(']');
        if (close == std::string::npos) throw ConfigError(json_path, "has an unterminated IPv6 address");
        ep.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') throw ConfigError(json_path, "has a malformed host");
            port_text = authority.substr(close + 2);
            has_port = true;
        }
    } else if (colon != std::string::npos) {
        ep.host = authority.substr(0, colon);
        port_text = authority.substr(colon + 1);
        has_port = true;
    } else {
        ep.host = authority;
    }
    if (ep.host.empty()) throw ConfigError(json_path, "has no host");
    // Not echoed: it may hold a password.
    if (authority.find('@') != std::string::npos)
        throw ConfigError(json_path, "holds user information (user:password@), which is never sent; remove it");
    if (!host_text(ep.host, v6))
        throw ConfigError(json_path, "has a malformed host \"" + ep.host +
                                         "\" (no user information; an IPv6 address goes in brackets)");
    ep.port = has_port ? parse_port(port_text, json_path) : ep.default_port();
    const std::string host = v6 ? "[" + ep.host + "]" : ep.host;
    ep.pool_key = (ep.tls ? "https://" : "http://") + host + ":" + std::to_string(ep.port);
    ep.host_header = ep.port == ep.default_port() ? host : host + ":" + std::to_string(ep.port);
    return ep;
}

namespace {

// "line L, column C" of the byte `offset` bytes into `text`.
std::string position(std::string_view text, std::size_t offset) {
    const std::string_view before = text.substr(0, std::min(offset, text.size()));
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t last_break = before.rfind('\n');
    const std::size_t column = 1 + before.size() - (last_break == std::string_view::npos ? 0 : last_break + 1);
    return fmt::format("line {}, column {}", line, column);
}

}  // namespace

// The document, or a ConfigError that points at the line and column where
// the syntax broke (the parser's own message names its source file, which
// means nothing to an operator) or where a key comes a second time.
json::value parse_json_text(std::string_view text) {
    json::stream_parser parser;
    boost::system::error_code ec;
    const std::size_t used = parser.write_some(text.data(), text.size(), ec);
    if (!ec) parser.finish(ec);
    if (ec) throw ConfigError("$", fmt::format("is not valid JSON: {} at {}", ec.message(), position(text, used)));
    if (const auto repeated = tools_json::first_repeated_key(text))
        throw ConfigError("$", fmt::format("names the key {} twice in one object, the second time at {} (it would "
                                           "silently replace the first)",
                                           json::serialize(json::value(repeated->key)), position(text, repeated->offset)));
    return parser.release();
}

namespace {

void read_routing(ObjectReader& r, Config& cfg) {
    const std::string mode = r.string("routing_mode", cfg.routing_mode);
    const std::optional<std::string_view> known = known_routing_mode(mode);
    if (!known)
        throw ConfigError(r.child("routing_mode"),
                          "must be one of superfast, hybrid, max_concurrency, queue_all (got \"" + lower(mode) + "\")");
    cfg.routing_mode = *known;
    if (const json::value* q = r.get("queue")) {
        ObjectReader qr(*q, r.child("queue"));
        cfg.queue_enabled = qr.boolean("enabled");
        if (qr.get("ttl_sec") != nullptr) cfg.queue_ttl_sec = qr.number("ttl_sec", 0, 0, 1e9);
        if (qr.get("max_depth_multiplier") != nullptr)
            cfg.queue_max_depth_multiplier = qr.integer("max_depth_multiplier", 0, 0, 1'000'000);
        qr.finish();
    }
    if (r.get("superfast_cap") != nullptr) cfg.superfast_cap = r.integer("superfast_cap", 0, 1, 1'000'000);
}

void read_timeouts(ObjectReader& r, Config& cfg) {
    const json::value* t = r.get("timeouts");
    if (t == nullptr) return;
    ObjectReader tr(*t, r.child("timeouts"));
    cfg.connect_timeout_sec = tr.number("connect_sec", cfg.connect_timeout_sec, 0.001, 86400);
    cfg.first_byte_timeout_sec = tr.number("first_byte_sec", cfg.first_byte_timeout_sec, 0.001, 86400);
    cfg.idle_timeout_sec = tr.number("idle_sec", cfg.idle_timeout_sec, 0.001, 86400);
    cfg.client_idle_timeout_sec = tr.number("client_idle_sec", cfg.client_idle_timeout_sec, 0.001, 86400);
    cfg.client_write_timeout_sec = tr.number("client_write_sec", cfg.client_write_timeout_sec, 0.001, 86400);
    cfg.drain_sec = tr.number("drain_sec", cfg.drain_sec, 0, 86400);
    tr.finish();
}

// The period of a background loop: 0 switches it off. A positive one below
// 10 ms would keep the proxy's one thread spinning in the loop (and health
// checks would open a connection to every backend on each turn).
double read_period(ObjectReader& r, std::string_view key, double current) {
    const double d = r.number(key, current, 0, 86400);
    if (d > 0 && d < 0.01) throw ConfigError(r.child(key), "must be 0 (off) or at least 0.01");
    return d;
}

void read_health(ObjectReader& r, Config& cfg) {
    cfg.sin_bin_sec = r.number("sin_bin_sec", cfg.sin_bin_sec, 0, 86400);
    cfg.retry_after_sec = r.number("retry_after_sec", cfg.retry_after_sec, 0, 86400);
    if (const json::value* h = r.get("health_check")) {
        ObjectReader hr(*h, r.child("health_check"));
        cfg.health_interval_sec = read_period(hr, "interval_sec", cfg.health_interval_sec);
        cfg.health_timeout_sec = hr.number("timeout_sec", cfg.health_timeout_sec, 0.001, 86400);
        cfg.health_path = hr.string("path", cfg.health_path);
        if (!target_text(cfg.health_path))
            throw ConfigError(hr.child("path"), "must be an absolute path, with a query if any, of the characters a "
                                                "URL may hold (percent-encode others)");
        hr.finish();
    }
    cfg.reaper_interval_sec = read_period(r, "reaper_interval_sec", cfg.reaper_interval_sec);
}

// A size_t setting within [lo, hi], the current value as its default.
std::size_t read_size(ObjectReader& r, std::string_view key, std::size_t current, std::int64_t lo, std::int64_t hi) {
    return static_cast<std::size_t>(r.integer(key, static_cast<std::int64_t>(current), lo, hi));
}

// One backend of a pool: its record for the balancer, and its endpoint in
// `cfg.servers` (one id, one URL, across every pool).
lb::ServerRecord read_server(const json::value& sv, const std::string& spath, std::set<std::int64_t>& ids_here,
                             Config& cfg) {
    ObjectReader sr(sv, spath);
    std::int64_t id = sr.integer("id", 0, std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::max(), true);
    if (!ids_here.insert(id).second) throw ConfigError(sr.child("id"), "repeats server id " + std::to_string(id));
    std::string url = sr.string("url", "", true);
    Endpoint ep = parse_endpoint(url, sr.child("url"));
    auto [it, fresh] = cfg.servers.emplace(id, ep);
    if (!fresh && it->second.url != ep.url)
        throw ConfigError(sr.child("url"),
                          "server id " + std::to_string(id) + " is already used for " + it->second.url);
    double weight = sr.number("weight", 1.0, 0.0, 1e9);
    std::int64_t maxc = sr.capacity("max_concurrency");
    std::int64_t maxin = sr.integer("max_input_tokens", 0, 0, std::int64_t{1} << 50);
    sr.finish();
    json::object rec;
    rec["id"] = id;
    rec["url"] = url;
    rec["weight"] = weight;
    rec["max_concurrency"] = maxc;
    rec["max_input_tokens"] = maxin;
    return lb::make_record(std::move(rec));
}

PoolConfig read_pool(const std::string& model, ObjectReader& mr, Config& cfg) {
    std::vector<std::int64_t> clusters;
    if (const json::value* c = mr.get("clusters")) {
        if (!c->is_array()) throw ConfigError(mr.child("clusters"), "must be an array of integers");
        std::size_t i = 0;
        for (const json::value& id : c->as_array()) {
            if (!id.is_int64())
                throw ConfigError(mr.child("clusters") + "[" + std::to_string(i) + "]", "must be an integer");
            clusters.push_back(id.as_int64());
            ++i;
        }
    }
    std::string tier = mr.string("tier", "default");
    PoolConfig pool{model, lb::PoolKey(model, clusters, tier), {}, {}, {}, {}, {}};
    pool.label = lb::pool_label(pool.key);
    std::string algo = lower(mr.string("algorithm", std::string(lb::DEFAULT_LB_ALGORITHM)));
    auto& valid = lb::VALID_LB_ALGORITHMS;
    if (std::find(valid.begin(), valid.end(), algo) == valid.end())
        throw ConfigError(mr.child("algorithm"),
                          "must be one of weighted_round_robin, least_connections, sticky_session (got \"" + algo +
                              "\")");
    pool.algorithm = algo;
    pool.sticky_header = lower(mr.string("sticky_header", ""));
    pool.sticky_body_field = mr.string("sticky_body_field", "");
    if (!pool.sticky_header.empty() && !pool.sticky_body_field.empty())
        throw ConfigError(mr.child("sticky_body_field"), "cannot be combined with sticky_header");
    const json::value* servers = mr.get("servers");
    if (servers == nullptr) throw ConfigError(mr.child("servers"), "is required");
    if (!servers->is_array() || servers->as_array().empty())
        throw ConfigError(mr.child("servers"), "must be a non-empty array");
    std::set<std::int64_t> ids_here;
    std::size_t i = 0;
    for (const json::value& sv : servers->as_array())
        pool.records.push_back(read_server(sv, mr.child("servers") + "[" + std::to_string(i++) + "]", ids_here, cfg));
    return pool;
}

void read_models(ObjectReader& r, Config& cfg) {
    const json::value* models = r.get("models");
    if (models == nullptr) throw ConfigError("$.models", "is required");
    if (!models->is_object()) throw ConfigError("$.models", "must be an object");
    if (models->as_object().empty()) throw ConfigError("$.models", "must name at least one model");
    for (const auto& kv : models->as_object()) {
        std::string model(kv.key());
        // No request can name it: an empty "model" is refused as missing.
        if (model.empty()) throw ConfigError("$.models[\"\"]", "names no model (an empty id cannot be requested)");
        ObjectReader mr(kv.value(), "$.models[\"" + model + "\"]");
        PoolConfig pool = read_pool(model, mr, cfg);
        mr.finish();
        // Metrics and the snapshot name a pool by its label, which joins
        // model, clusters and tier with '|': two must not read the same.
        for (const auto& [other, p] : cfg.models)
            if (p.label == pool.label)
                throw ConfigError(mr.child("tier"), "gives the pool the label \"" + pool.label +
                                                        "\" that model \"" + other +
                                                        "\" has already ('|' in an id or tier runs them together)");
        cfg.model_order.push_back(model);
        cfg.models.emplace(model, std::move(pool));
    }
}

}  // namespace

std::shared_ptr<const Config> parse_config(std::string_view text, const std::string& base_dir) {
    json::value root = parse_json_text(text);
    auto cfg = std::make_shared<Config>();
    ObjectReader r(root, "$");
    read_listener(r, "listen", {cfg->listen_address, cfg->listen_port, cfg->listen_tls, nullptr}, base_dir);
    read_listener(r, "admin", {cfg->admin_address, cfg->admin_port, cfg->admin_tls, &cfg->admin_enabled}, base_dir);
    read_routing(r, *cfg);
    cfg->body_limit_bytes = read_size(r, "body_limit_bytes", cfg->body_limit_bytes, 1, std::int64_t{1} << 34);
    read_timeouts(r, *cfg);
    read_health(r, *cfg);
    cfg->upstream_pool_size = read_size(r, "upstream_pool_size", cfg->upstream_pool_size, 0, 100000);
    read_access_log(r, *cfg);
    read_admin_access(r, *cfg);
    cfg->max_client_connections =
        read_size(r, "max_client_connections", cfg->max_client_connections, 1, 10'000'000);
    cfg->json_max_depth = read_size(r, "json_max_depth", cfg->json_max_depth, 1, 10000);
    cfg->cluster = read_cluster(r);
    read_models(r, *cfg);
    read_upstream_tls(r, *cfg, base_dir);
    r.finish();
    return cfg;
}

std::shared_ptr<const Config> load_config(const std::string& path) {
    std::string why;
    std::optional<std::string> text = read_regular_file(path, kConfigFileLimit, why);
    if (!text) throw ConfigError("$", "cannot read " + path + ": " + why);
    return parse_config(*text, std::filesystem::path(path).parent_path().string());
}

std::shared_ptr<const Config> with_overrides(std::shared_ptr<const Config> cfg, const PortOverrides& ports) {
    if (!ports.listen && !ports.admin) return cfg;
    auto copy = std::make_shared<Config>(*cfg);
    copy->listen_port = ports.listen.value_or(copy->listen_port);
    copy->admin_port = ports.admin.value_or(copy->admin_port);
    return copy;
}

}  // namespace quillmar::proxy
