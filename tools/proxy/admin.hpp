// The proxy's local endpoints other than inference: liveness (/healthz),
// readiness (/readyz), metrics (/metrics), the balancer's state
// (/lb/snapshot) and its routing mode (/lb/routing-mode), and the bearer
// token that guards the admin listener.
#pragma once

#include "load_balancer/balancer.hpp"
#include "proxy/cluster/capacity.hpp"
#include "proxy/config.hpp"
#include "proxy/message.hpp"
#include "proxy/metrics.hpp"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

namespace quillmar::proxy {

using AdminRequest = Request;
using AdminResponse = boost::beast::http::response<boost::beast::http::string_body>;

// What the endpoints read: the proxy's state at the moment of the request.
struct AdminView {
    lb::LoadBalancer& lb;
    const ProxyMetrics& metrics;
    const Config& cfg;
    const std::unordered_map<std::int64_t, double>& sin_bin_until;  // server id -> monotonic seconds
    const std::set<std::int64_t>& failing_checks;
    double now = 0.0;              // monotonic seconds
    bool listeners_bound = false;
    bool admin_listener = false;   // the request came in on the admin listener
    const ClusterCapacity* cluster = nullptr;  // cluster mode only: grants in metrics and snapshot
};

// True when `a` equals `b`; the time taken depends on `b`'s length only, so
// that a guess learns nothing from how long the refusal took.
bool equal_constant_time(std::string_view a, std::string_view b);

// The answer to `req` when `path` is one of the endpoints above and may be
// served on this listener, else nullopt (the caller answers 404 or serves
// inference). On the admin listener a configured token is demanded of every
// path but /healthz and /readyz (probes carry no secrets): 401 with
// `WWW-Authenticate: Bearer` without it. HEAD is answered as GET (the
// caller strips the body); another method than an endpoint takes is 405
// with Allow. Builds the body synchronously.
std::optional<AdminResponse> admin_answer(const AdminRequest& req, std::string_view path, const AdminView& view);

// Every configured backend's in-flight count, dispatches and health.
std::vector<BackendState> backend_states(const AdminView& view);

}  // namespace quillmar::proxy
