#include "proxy/admin.hpp"
#include "proxy/http_util.hpp"
#include "repeated_key.hpp"

#include <boost/beast/http/field.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace quillmar::proxy {

namespace http = boost::beast::http;
namespace json = boost::json;

namespace {

AdminResponse answer(const AdminRequest& req, http::status status, std::string body,
                     std::string_view content_type = "application/json") {
    AdminResponse res{status, req.version()};
    res.set(http::field::content_type, content_type);
    res.body() = std::move(body);
    res.keep_alive(req.keep_alive());
    res.prepare_payload();
    return res;
}

std::string error_json(std::string_view message, std::string_view code) {
    return error_body(message, "invalid_request_error", code);
}

// 405 naming what the resource takes (RFC 9110 15.5.6: Allow is required).
AdminResponse not_allowed(const AdminRequest& req, std::string_view allow) {
    AdminResponse res = answer(req, http::status::method_not_allowed,
                               error_json("this resource takes " + std::string(allow), "method_not_allowed"));
    res.set(http::field::allow, allow);
    return res;
}

// Settings may hold infinity or NaN (the environment may say "inf"), which
// JSON cannot: they are written as the strings the settings command uses.
void spell_non_finite(json::value& v) {
    if (v.is_double() && !std::isfinite(v.get_double())) {
        const double d = v.get_double();
        v = std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf";
    } else if (v.is_object()) {
        for (auto& kv : v.get_object()) spell_non_finite(kv.value());
    } else if (v.is_array()) {
        for (auto& e : v.get_array()) spell_non_finite(e);
    }
}

bool sin_binned(const AdminView& v, std::int64_t id) {
    auto it = v.sin_bin_until.find(id);
    return it != v.sin_bin_until.end() && it->second > v.now;
}

bool authorized(const AdminRequest& req, const std::string& token) {
    auto it = req.find(http::field::authorization);
    if (it == req.end()) return false;
    std::string_view value = it->value();
    constexpr std::string_view scheme = "Bearer ";
    if (value.size() < scheme.size() ||
        !std::equal(scheme.begin(), scheme.end(), value.begin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                std::tolower(static_cast<unsigned char>(b)); }))
        return false;
    return equal_constant_time(token, value.substr(scheme.size()));
}

// Ready when the configuration is loaded and the listeners are bound (both
// hold once the proxy serves at all) and every model has a backend that
// passes its health checks and is not sin-binned.
AdminResponse readiness(const AdminRequest& req, const AdminView& v) {
    json::object not_ready;
    for (const auto& model : v.cfg.model_order) {
        const PoolConfig& pool = v.cfg.models.at(model);
        bool any = std::any_of(pool.records.begin(), pool.records.end(), [&](const lb::ServerRecord& r) {
            std::int64_t id = lb::server_id(r);
            return !v.failing_checks.contains(id) && !sin_binned(v, id);
        });
        if (!any) not_ready[model] = "no backend passes its health checks and is out of the sin bin";
    }
    if (!v.listeners_bound) not_ready["listeners"] = "not bound yet";
    if (not_ready.empty()) return answer(req, http::status::ok, R"({"status":"ready"})");
    return answer(req, http::status::service_unavailable,
                  json::serialize(json::object{{"status", "not_ready"}, {"not_ready", std::move(not_ready)}}));
}

// The mode a change names: {"routing_mode": "..."} or {"mode": "..."}
// (exactly one key, a string, named once), a JSON string, or the bare name.
// Empty when the body says anything else: an object naming two modes must
// not have one of them picked for it.
std::string requested_mode(std::string_view text) {
    boost::system::error_code jec;
    json::value body = json::parse(text, jec);
    std::string mode;
    if (!jec && body.is_object()) {
        const json::object& o = body.as_object();
        if (o.size() != 1 || tools_json::first_repeated_key(text)) return {};
        const json::value* m = o.if_contains("routing_mode") ? o.if_contains("routing_mode") : o.if_contains("mode");
        if (m == nullptr || !m->is_string()) return {};
        mode = m->as_string();
    } else if (!jec && body.is_string()) {
        mode = body.as_string();
    } else if (jec) {
        mode = text;
    }
    while (!mode.empty() && std::isspace(static_cast<unsigned char>(mode.back()))) mode.pop_back();
    return mode;
}

AdminResponse routing_mode(const AdminRequest& req, const AdminView& v) {
    if (req.method() == http::verb::get || req.method() == http::verb::head)
        return answer(req, http::status::ok, json::serialize(json::object{{"routing_mode", v.lb.get_routing_mode()}}));
    if (req.method() != http::verb::put && req.method() != http::verb::post)
        return not_allowed(req, "GET, HEAD, PUT, POST");
    const std::optional<std::string_view> known = known_routing_mode(requested_mode(req.body()));
    if (!known)
        return answer(req, http::status::bad_request,
                      error_json("routing mode must be one of superfast, hybrid, max_concurrency, queue_all",
                                 "invalid_routing_mode"));
    std::string previous(v.lb.get_routing_mode());
    std::string_view active = v.lb.set_routing_mode(*known);
    v.lb.offer_free_slots();  // a mode with higher caps lets parked requests in now
    return answer(req, http::status::ok,
                  json::serialize(json::object{{"routing_mode", active}, {"previous", previous}}));
}

}  // namespace

bool equal_constant_time(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < b.size(); ++i)
        diff |= static_cast<unsigned char>(a.empty() ? 0 : a[i % a.size()]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0 && !a.empty();
}

std::vector<BackendState> backend_states(const AdminView& v) {
    std::vector<BackendState> out;
    out.reserve(v.cfg.servers.size());
    for (const auto& [id, ep] : v.cfg.servers) {
        auto d = v.lb.dispatch_counts.find(id);
        out.push_back(BackendState{id, ep.url, v.lb.get_inflight(id), d == v.lb.dispatch_counts.end() ? 0 : d->second,
                                   v.failing_checks.contains(id), sin_binned(v, id)});
    }
    return out;
}

std::optional<AdminResponse> admin_answer(const AdminRequest& req, std::string_view path, const AdminView& v) {
    // HEAD is answered like GET (the caller sends the head alone): probes use it.
    const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
    const bool probe = path == "/healthz" || path == "/readyz";
    if (probe && !get) return not_allowed(req, "GET, HEAD");
    if (path == "/healthz") return answer(req, http::status::ok, R"({"status":"ok"})");
    if (path == "/readyz") return readiness(req, v);
    if (v.admin_listener && !v.cfg.admin_token.empty() && !authorized(req, v.cfg.admin_token)) {
        AdminResponse res = answer(req, http::status::unauthorized,
                                   error_json("this listener needs an Authorization: Bearer token", "unauthorized"));
        res.set(http::field::www_authenticate, R"(Bearer realm="quillmar-proxy")");
        return res;
    }
    const bool metrics = path == "/metrics" && (v.admin_listener || v.cfg.public_metrics);
    const bool snapshot = path == "/lb/snapshot" && v.admin_listener;
    if ((metrics || snapshot) && !get) return not_allowed(req, "GET, HEAD");
    if (metrics)
        return answer(req, http::status::ok,
                      v.lb.prometheus_text() + v.metrics.text(backend_states(v)) +
                          (v.cluster ? v.cluster->metrics_text() : ""),
                      "text/plain; version=0.0.4; charset=utf-8");
    if (!v.admin_listener) return std::nullopt;
    if (snapshot) {
        json::value snap = v.lb.snapshot();
        if (v.cluster) snap.get_object()["cluster"] = v.cluster->snapshot();
        spell_non_finite(snap);
        return answer(req, http::status::ok, json::serialize(snap));
    }
    if (path == "/lb/routing-mode") return routing_mode(req, v);
    return std::nullopt;
}

}  // namespace quillmar::proxy
