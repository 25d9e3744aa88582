#include "load_balancer/admission.hpp"

#include <utility>

namespace quillmar::lb {

// The private steps admit() is built from: parking with the slot reserved at
// admission, and a lease that takes over the unit that reservation raised.
struct AdmitAccess {
    static boost::asio::awaitable<WaitResult> park(LoadBalancer& lb, const PoolKey& pool_key,
                                                   std::span<const ServerRecord> candidates, std::int64_t tokens,
                                                   std::span<const std::int64_t> sin_binned) {
        return lb.park(pool_key, candidates, tokens, sin_binned, true);
    }
    static InflightLease adopt(LoadBalancer& lb, std::int64_t server_id) {
        InflightLease lease(lb, server_id);
        lease.entered_ = true;
        return lease;
    }
};

namespace {

constexpr std::string_view kOk = "ok";

Admission refusal(std::string_view reason, double waited, bool parked) {
    return Admission{nullptr, std::nullopt, reason, waited, parked};
}

}  // namespace

boost::asio::awaitable<Admission> admit(LoadBalancer& lb, const PoolKey& pool_key,
                                        std::span<const ServerRecord> candidates, SelectOptions options) {
    ServerRecord server = co_await lb.select(pool_key, candidates, options);
    if (server) {
        // Nothing has suspended since select decided: the slot is still free.
        std::optional<InflightLease> lease;
        lease.emplace(InflightLease::acquire(lb, server_id(*server)));
        co_return Admission{std::move(server), std::move(lease), kOk, 0.0, false};
    }
    if (!lb.queue_enabled()) {
        lb.note_reject(RejectReason::AT_CAPACITY);
        co_return refusal(RejectReason::AT_CAPACITY, 0.0, false);
    }
    // A pin passes every gate in select: null means it matched no candidate,
    // and parking would only wait for servers the pin excludes.
    if (options.force_server_id) {
        lb.note_reject(RejectReason::NO_BACKENDS);
        co_return refusal(RejectReason::NO_BACKENDS, 0.0, false);
    }
    WaitResult w = co_await AdmitAccess::park(lb, pool_key, candidates, options.estimated_tokens, options.sin_binned);
    if (!w.server) co_return refusal(w.reason, w.seconds, true);
    // The admission raised the count already; the lease owns that unit.
    std::optional<InflightLease> lease;
    lease.emplace(AdmitAccess::adopt(lb, server_id(*w.server)));
    co_return Admission{std::move(w.server), std::move(lease), kOk, w.seconds, true};
}

}  // namespace quillmar::lb
