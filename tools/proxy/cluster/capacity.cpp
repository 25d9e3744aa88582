#include "proxy/cluster/capacity.hpp"

#include "load_balancer/runtime.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/array.hpp>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <set>

namespace quillmar::proxy {

namespace net = boost::asio;
namespace json = boost::json;
using net::awaitable;

namespace {

double now() { return lb::monotonic(); }

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

// A grant change writes the record's cap where it stands, so parked
// requests, which hold the record, see the new cap when they are offered a
// slot; the caller then tells the balancer (records_changed). operator[] may
// reallocate the member table under anyone who looked a value up, hence the
// lookup: every record adopted here has the key.
void set_cap(json::object& rec, std::int64_t cap) {
    if (json::value* v = rec.if_contains("max_concurrency")) *v = cap;
    else rec["max_concurrency"] = cap;
}

}  // namespace

ClusterCapacity::ClusterCapacity(net::io_context& io, lb::LoadBalancer& lb, ClusterConfig cfg)
    : io_(io),
      lb_(lb),
      cfg_(std::move(cfg)),
      redis_(io.get_executor(), {cfg_.redis_host, cfg_.redis_port, cfg_.redis_db}),
      store_(redis_, cfg_.key_prefix),
      timer_(io) {}

std::shared_ptr<const Config> ClusterCapacity::adopt(const std::shared_ptr<const Config>& cfg) {
    // A backend is shared when every record of it has a cap; its cap is the
    // largest of them (the most this replica alone would ever run on it).
    std::map<std::int64_t, std::int64_t> caps;
    std::set<std::int64_t> unbounded;
    for (const auto& [model, pool] : cfg->models)
        for (const auto& rec : pool.records) {
            std::int64_t id = lb::server_id(rec);
            std::int64_t c = lb::int_or_zero(*rec, "max_concurrency");
            if (c <= 0) unbounded.insert(id);
            else caps[id] = std::max(caps[id], c);
        }
    for (std::int64_t id : unbounded) caps.erase(id);

    for (auto it = backends_.begin(); it != backends_.end();) {
        if (caps.contains(it->first)) {
            ++it;
            continue;
        }
        if (it->second.placeholder) lb_.decrement(it->first);
        to_release_.push_back(it->first);
        it = backends_.erase(it);
    }
    auto copy = std::make_shared<Config>(*cfg);
    for (auto& [model, pool] : copy->models)
        for (auto& rec : pool.records) {
            std::int64_t id = lb::server_id(rec);
            auto cap = caps.find(id);
            if (cap == caps.end()) continue;
            Backend& b = backends_[id];
            std::erase_if(b.records, [](const Record& r) { return r.rec.expired(); });
            auto own = std::make_shared<json::object>(*rec);
            b.records.push_back({own, lb::int_or_zero(*rec, "max_concurrency")});
            rec = own;
        }
    for (auto& [id, b] : backends_) {
        b.cap = caps.at(id);
        apply(id, b, std::min(b.grant, b.cap));  // a lowered cap bites at once
    }
    return copy;
}

std::int64_t ClusterCapacity::in_use(std::int64_t id, const Backend& b) const {
    return std::max<std::int64_t>(0, lb_.get_inflight(id) - (b.placeholder ? 1 : 0));
}

void ClusterCapacity::apply(std::int64_t id, Backend& b, std::int64_t grant) {
    grant = std::clamp<std::int64_t>(grant, 0, b.cap);
    const std::int64_t before = b.grant;
    const std::int64_t used = in_use(id, b);
    b.grant = grant;
    for (const Record& r : b.records)
        if (auto rec = r.rec.lock()) set_cap(*rec, std::max<std::int64_t>(1, std::min(r.configured, grant)));
    lb::records_changed();

    // Grant 0: a cap of 1 that the placeholder count keeps full. The reaper
    // may have cleared the count of a failing backend: put it back.
    if (grant == 0) {
        if (!b.placeholder || lb_.get_inflight(id) == 0) lb_.increment(id);
        b.placeholder = true;
        return;
    }
    // Parked requests are offered a slot only when a lease ends; a raised
    // grant offers its new slots itself (the placeholder's removal offers
    // the first). The balancer offers them to the requests parked, however
    // many slots there are: one offer per slot would take as long as the
    // cap is large.
    bool more = grant > std::max(used, before);
    if (b.placeholder) {
        b.placeholder = false;
        lb_.decrement(id);
        more = grant - used > 1;
    }
    if (more) lb_.offer_free_slots();
}

std::int64_t ClusterCapacity::wanted_for(std::int64_t id, Backend& b) {
    // What is in flight plus what waits or was turned away (at least one
    // slot when requests were sent there since the last renewal): asking for
    // more would hold slots idle that a busier replica could use.
    auto d = lb_.dispatch_counts.find(id);
    const std::int64_t dispatched = d == lb_.dispatch_counts.end() ? 0 : d->second;
    std::int64_t need = in_use(id, b) + std::max(b.waiting, b.pressure);
    if (dispatched != b.dispatches) need = std::max<std::int64_t>(need, 1);
    b.dispatches = dispatched;
    if (need >= b.wanted) {
        b.quiet_renewals = 0;
        return std::min(need, b.cap);
    }
    // Less needed: keep the share through a short lull (the in-flight count
    // is a sample between requests), then give back a quarter per renewal.
    constexpr int kLull = 4;
    if (++b.quiet_renewals < kLull) return b.wanted;
    return std::clamp<std::int64_t>(std::max(need, b.wanted - std::max<std::int64_t>(1, b.wanted / 4)), 0, b.cap);
}

void ClusterCapacity::start() { net::co_spawn(io_, loop(), net::detached); }

void ClusterCapacity::stop() {
    stopped_ = true;
    timer_.cancel();
    redis_.close();
    wake_renewal_waiters();
}

bool ClusterCapacity::may_grow(std::span<const lb::ServerRecord> fitting) const {
    return std::any_of(fitting.begin(), fitting.end(), [&](const lb::ServerRecord& rec) {
        auto it = backends_.find(lb::server_id(rec));
        if (it == backends_.end()) return false;
        const Backend& b = it->second;
        return b.grant < b.cap_now();
    });
}

awaitable<void> ClusterCapacity::next_renewal() {
    if (stopped_) co_return;
    net::steady_timer wake(io_, seconds(2 * cfg_.renew_interval_sec));
    renewal_waiters_.push_back(&wake);
    struct Unlist {
        std::vector<net::steady_timer*>& waiters;
        net::steady_timer* timer;
        ~Unlist() { std::erase(waiters, timer); }
    } unlist{renewal_waiters_, &wake};
    // Woken early by a cancel: the error says nothing, the request's own
    // cancellation state does.
    co_await wake.async_wait(net::as_tuple(net::use_awaitable));
    const net::cancellation_state cs = co_await net::this_coro::cancellation_state;
    if (cs.cancelled() != net::cancellation_type::none) lb::throw_cancelled();
}

void ClusterCapacity::wake_renewal_waiters() {
    for (net::steady_timer* t : renewal_waiters_) t->cancel();
    renewal_waiters_.clear();
}

awaitable<void> ClusterCapacity::loop() {
    const double interval = cfg_.renew_interval_sec;
    while (!stopped_) {
        last_renewal_ = now();
        co_await renew_once();
        bool pressed = std::any_of(backends_.begin(), backends_.end(), [](const auto& kv) { return kv.second.pressure > 0; });
        next_renewal_ = last_renewal_ + (pressed ? interval / 4 : interval);
        while (!stopped_ && now() < next_renewal_) {
            timer_.expires_after(seconds(next_renewal_ - now()));
            co_await timer_.async_wait(net::as_tuple(net::use_awaitable));  // cancelled: the time moved
        }
    }
}

ClusterCapacity::Demand ClusterCapacity::note_demand(std::span<const lb::ServerRecord> fitting) {
    std::vector<std::int64_t> ids;
    for (const auto& rec : fitting)
        if (auto it = backends_.find(lb::server_id(rec)); it != backends_.end()) {
            ++it->second.pressure;
            ++it->second.waiting;
            ids.push_back(it->first);
        }
    const double earliest = last_renewal_ + cfg_.renew_interval_sec / 4;
    if (!ids.empty() && earliest < next_renewal_) {
        next_renewal_ = earliest;
        timer_.cancel();
    }
    return Demand(this, std::move(ids));
}

ClusterCapacity::Demand::~Demand() {
    if (owner_ == nullptr) return;
    for (std::int64_t id : ids_)
        if (auto it = owner_->backends_.find(id); it != owner_->backends_.end())
            it->second.waiting = std::max<std::int64_t>(0, it->second.waiting - 1);
}

awaitable<void> ClusterCapacity::renew_once() {
    const double timeout = cfg_.renew_interval_sec;
    const double sent = now();
    try {
        if (!to_release_.empty()) {
            // A reload may add more while this one is out.
            const std::vector<std::int64_t> sent_ids = to_release_;
            co_await store_.release(cfg_.replica_id, sent_ids, timeout);
            std::erase_if(to_release_, [&](std::int64_t id) {
                return std::find(sent_ids.begin(), sent_ids.end(), id) != sent_ids.end();
            });
        }
        std::vector<GrantAsk> asks;
        for (auto& [id, b] : backends_) {
            b.wanted = wanted_for(id, b);
            asks.push_back({id, b.cap, b.wanted, std::max(b.grant, in_use(id, b)), b.replicas_seen > 0});
            b.pressure = 0;
        }
        std::vector<Grant> grants;
        // What the release left of the time-out: the grants' deadline below
        // counts one time-out from `sent`.
        const double left = timeout - (now() - sent);
        if (left <= 0) throw RedisError("Redis took longer than the time-out");
        if (!asks.empty()) grants = co_await store_.renew(cfg_.replica_id, cfg_.grant_ttl_sec, asks, left);
        ++renewals_;
        if (first_failure_ >= 0) spdlog::info("cluster: Redis answers again, grants renewed");
        first_failure_ = -1.0;
        // Valid until the entry's expiry in Redis (TTL from a server time
        // later than `sent`), less a renewal interval and a time-out for the
        // loop to notice.
        const double valid_until = sent + std::max(cfg_.grant_ttl_sec / 2, cfg_.grant_ttl_sec - 2 * timeout);
        for (std::size_t i = 0; i < grants.size(); ++i) {
            auto it = backends_.find(asks[i].server_id);
            if (it == backends_.end()) continue;  // removed by a reload meanwhile
            Backend& b = it->second;
            b.replicas_seen = grants[i].replicas;
            b.cap_in_force = grants[i].cap;
            b.valid_until = valid_until;
            apply(it->first, b, grants[i].grant);
        }
    } catch (const std::exception& e) {
        // Any failure, not only Redis's (a reply too big to convert, say):
        // the loop must go on, or grants would stay in force here long
        // after Redis dropped them.
        ++redis_errors_;
        if (first_failure_ < 0) {
            first_failure_ = sent;
            spdlog::warn("cluster: Redis at {} fails: {}", cfg_.redis_url, e.what());
        }
    }
    fall_back(now());
    wake_renewal_waiters();
}

void ClusterCapacity::fall_back(double t) {
    // Grants that would have expired give way to an even share of the cap
    // over the replicas last seen: lowered to it at once, raised to it only
    // once every grant handed out before Redis went away has expired too (a
    // TTL after the first failed renewal, which began after the last one
    // that anybody could have made, plus its time-out).
    const bool all_expired =
        first_failure_ >= 0 && t >= first_failure_ + cfg_.grant_ttl_sec + cfg_.renew_interval_sec;
    bool any = false;
    for (auto& [id, b] : backends_) {
        if (b.valid_until > t) continue;
        any = true;
        const std::int64_t cap = b.cap_now();
        const std::int64_t share = b.replicas_seen > 0 ? cap / b.replicas_seen : 0;
        const std::int64_t target = all_expired ? share : std::min(b.grant, share);
        if (target != b.grant) apply(id, b, target);
    }
    if (any != fallback_)
        spdlog::warn(any ? "cluster: grants expired without Redis, running on the fallback share"
                         : "cluster: back on grants");
    fallback_ = any;
}

awaitable<void> ClusterCapacity::release() {
    stopped_ = true;
    timer_.cancel();
    wake_renewal_waiters();
    redis_.close();  // fails a renewal in progress; the release has its own connection
    std::vector<std::int64_t> ids = to_release_;
    for (const auto& [id, b] : backends_) ids.push_back(id);
    RedisClient redis(io_.get_executor(), {cfg_.redis_host, cfg_.redis_port, cfg_.redis_db});
    GrantStore store(redis, cfg_.key_prefix);
    try {
        co_await store.release(cfg_.replica_id, ids, cfg_.renew_interval_sec);
    } catch (const RedisError& e) {
        spdlog::warn("cluster: could not give the grants back ({}); they expire in {} s", e.what(),
                     cfg_.grant_ttl_sec);
    }
}

json::object ClusterCapacity::snapshot() const {
    json::array backends;
    for (const auto& [id, b] : backends_)
        backends.push_back(json::object{{"server_id", id},
                                        {"cap", b.cap_now()},
                                        {"grant", b.grant},
                                        {"replicas_seen", b.replicas_seen},
                                        {"wanted", b.wanted}});
    return json::object{{"replica_id", cfg_.replica_id},
                        {"fallback", fallback_},
                        {"redis_errors", redis_errors_},
                        {"renewals", renewals_},
                        {"backends", std::move(backends)}};
}

std::string ClusterCapacity::metrics_text() const {
    std::string out;
    auto gauge = [&](const char* name, const char* help, auto value_of) {
        out += fmt::format("# HELP {} {}\n# TYPE {} gauge\n", name, help, name);
        for (const auto& [id, b] : backends_) out += fmt::format("{}{{server_id=\"{}\"}} {}\n", name, id, value_of(b));
    };
    gauge("quillmar_cluster_grant", "This replica's share of the backend's cap.", [](const Backend& b) { return b.grant; });
    gauge("quillmar_cluster_cap", "The backend's cap in force across replicas.",
          [](const Backend& b) { return b.cap_now(); });
    gauge("quillmar_cluster_replicas_seen", "Replicas holding a grant on the backend at the last renewal.",
          [](const Backend& b) { return b.replicas_seen; });
    out += fmt::format(
        "# HELP quillmar_cluster_fallback 1 while grants have expired without Redis.\n"
        "# TYPE quillmar_cluster_fallback gauge\nquillmar_cluster_fallback {}\n"
        "# HELP quillmar_cluster_redis_errors_total Failed grant renewals.\n"
        "# TYPE quillmar_cluster_redis_errors_total counter\nquillmar_cluster_redis_errors_total {}\n"
        "# HELP quillmar_cluster_renewals_total Successful grant renewals.\n"
        "# TYPE quillmar_cluster_renewals_total counter\nquillmar_cluster_renewals_total {}\n",
        fallback_ ? 1 : 0, redis_errors_, renewals_);
    return out;
}

}  // namespace quillmar::proxy
