// The simulated host: arrivals, backends and crashes around a real
// LoadBalancer, one run per routing mode (and sweep value).
#include "simulate/host.hpp"

#include "simulate/timeline.hpp"

#include "load_balancer/balancer.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/reaper.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "load_balancer/values.hpp"
#include "load_balancer/vocabulary.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <exception>
#include <memory>
#include <unordered_map>

namespace quillmar::lb::sim {

namespace asio = boost::asio;
namespace json = boost::json;

Summary summarize(std::vector<double> v) {
    Summary s;
    s.count = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    // Nearest rank, in integers so that no rounding can move an index.
    auto rank = [&](std::size_t pct) { return v[(pct * v.size() + 99) / 100 - 1]; };
    s.p50 = rank(50);
    s.p90 = rank(90);
    s.p95 = rank(95);
    s.p99 = rank(99);
    s.max = v.back();
    return s;
}

namespace {

std::vector<double> percentiles(std::vector<double> v) {
    std::vector<double> out;
    if (v.empty()) return out;
    std::sort(v.begin(), v.end());
    for (std::size_t pct = 1; pct <= 100; ++pct) out.push_back(v[(pct * v.size() + 99) / 100 - 1]);
    return out;
}

// A request being served: its timer ends the current phase (prefill or
// decode); a crash cancels it.
struct Job {
    explicit Job(const asio::any_io_executor& ex) : timer(ex) {}
    Timer timer;
    bool crashed = false;
};

struct BackendState {
    const BackendConfig* cfg = nullptr;
    ServerRecord record;
    bool up = true;
    std::int64_t running = 0;  // what the backend really runs (not the balancer's count)
    std::vector<std::shared_ptr<Job>> jobs;
};

struct Outcome {
    enum class State { pending, served, refused, failed } state = State::pending;
    bool queued = false;
    double wait = 0.0;
    double ttft = 0.0;
    double completion = 0.0;
};

// How long requests may still wait or run after the last arrival.
constexpr int kDrainSteps = 360;
constexpr double kDrainStepSec = 10.0;

bool is_cancel(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return is_cancellation(x);
    } catch (...) {
        return false;
    }
}

// The cap the balancer applies to a backend in `mode`: the configured one,
// or the superfast clamp (at least 1; an unbounded backend gets the clamp).
std::int64_t cap_in_mode(std::string_view mode, std::int64_t configured, bool hot) {
    const bool clamped = mode == "superfast" || (mode == "hybrid" && !hot);
    if (!clamped) return configured;
    const std::int64_t clamp = SUPERFAST_PER_SERVER_CAP;
    return std::max<std::int64_t>(1, configured <= 0 ? clamp : std::min(configured, clamp));
}

bool counts_against_backends(std::string_view reason) {
    return reason == RejectReason::AT_CAPACITY || reason == RejectReason::QUEUE_FULL ||
           reason == RejectReason::QUEUE_TIMEOUT;
}

class Simulation {
public:
    Simulation(const Scenario& sc, const Workload& workload, std::string_view algorithm, ManualClock& clock,
               LoadBalancer& lb, asio::io_context& io)
        : sc_(sc),
          workload_(workload),
          algorithm_(algorithm),
          clock_(clock),
          lb_(lb),
          io_(io),
          pool_(sc.model, sc.clusters, sc.tier),
          outcomes_(workload.requests.size()),
          timeline_(sc.backends.size()),
          tick_(io.get_executor()) {
        for (const BackendConfig& b : sc.backends) {
            BackendState st;
            st.cfg = &b;
            st.record = make_record(json::object{{"id", b.id},
                                                 {"weight", b.weight},
                                                 {"max_concurrency", b.max_concurrency},
                                                 {"max_input_tokens", b.max_input_tokens}});
            index_.emplace(b.id, backends_.size());
            backends_.push_back(std::move(st));
            results_.push_back({.id = b.id});
        }
    }

    RunResult execute(std::string_view mode) {
        t0_ = clock_.now();
        if (sc_.reaper_interval_sec) start_reaper(*sc_.reaper_interval_sec);
        asio::co_spawn(io_, ticker(), [this](std::exception_ptr e) {
            if (e && !is_cancel(e) && !error_) error_ = e;
        });
        observe();
        for (const Event& ev : events()) {
            clock_.run_for(io_, ev.t - elapsed());
            handle(ev);
            ManualClock::poll(io_);
        }
        all_arrived_ = true;
        clock_.run_for(io_, workload_.duration_sec - elapsed());
        for (int i = 0; i < kDrainSteps && outstanding_ > 0; ++i) clock_.run_for(io_, kDrainStepSec);

        // The run ends with the last outcome, or at the drain limit.
        const double end = outstanding_ > 0 ? elapsed() : last_outcome_;
        reaper_stop_.emit(asio::cancellation_type::terminal);
        stopping_ = true;
        tick_.cancel();
        ManualClock::poll(io_);
        // Leases of crashed requests that the host releases late.
        for (int i = 0; i < kDrainSteps && live_ > 0; ++i) clock_.run_for(io_, kDrainStepSec);
        if (error_) std::rethrow_exception(error_);
        return result(mode, end);
    }

private:
    struct Event {
        double t;
        int order;  // at equal times: recoveries, then crashes, then arrivals
        std::size_t index;
    };

    double elapsed() const { return clock_.now() - t0_; }

    std::vector<Event> events() const {
        std::vector<Event> evs;
        for (std::size_t b = 0; b < backends_.size(); ++b)
            for (const Outage& o : backends_[b].cfg->outages) {
                evs.push_back({o.at_sec, 1, b});
                evs.push_back({o.at_sec + o.for_sec, 0, b});
            }
        for (std::size_t i = 0; i < workload_.requests.size(); ++i) evs.push_back({workload_.requests[i].t, 2, i});
        std::stable_sort(evs.begin(), evs.end(), [](const Event& a, const Event& b) {
            return a.t < b.t || (a.t == b.t && a.order < b.order);
        });
        return evs;
    }

    void handle(const Event& ev) {
        if (ev.order == 0) {
            backends_[ev.index].up = true;  // back, and empty
        } else if (ev.order == 1) {
            crash(backends_[ev.index]);
        } else {
            ++outstanding_;
            ++live_;
            asio::co_spawn(io_, request(ev.index), [this](std::exception_ptr e) {
                --live_;
                if (e && !error_) error_ = e;
            });
        }
    }

    // The process dies: every request on it fails where it stands. The host
    // notices each failure, but its lease on the backend is given back only
    // crashed_lease_hold_sec later (or never): the balancer's count for the
    // backend is orphaned until then, unless the reaper clears it.
    void crash(BackendState& b) {
        b.up = false;
        for (const auto& job : b.jobs) {
            job->crashed = true;
            job->timer.cancel();
        }
        b.jobs.clear();
        b.running = 0;
    }

    void start_reaper(double interval) {
        ReaperOptions opts{.interval_sec = interval,
                           .list_running_servers = [this]() -> asio::awaitable<std::vector<ServerRecord>> {
                               co_return up_records();
                           }};
        asio::co_spawn(io_, inflight_reaper_loop(lb_, std::move(opts)),
                       asio::bind_cancellation_slot(reaper_stop_.slot(), [this](std::exception_ptr e) {
                           if (e && !is_cancel(e) && !error_) error_ = e;
                       }));
    }

    // Once a second the balancer's counts are read again, so that what
    // changes without the host (the reaper's clearing) shows too.
    asio::awaitable<void> ticker() {
        while (!stopping_) {
            expire_after(tick_, 1.0);
            boost::system::error_code ec;
            co_await tick_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            if (!stopping_) observe();
        }
    }

    // Tells the timeline the balancer's counts and caps as they are now,
    // until every request has its outcome: the run ends there.
    void observe() {
        if (all_arrived_ && outstanding_ == 0) return;
        std::optional<bool> hot;
        if (lb_.get_routing_mode() == "hybrid") hot = hybrid_hot();
        std::vector<std::int64_t> inflight, caps;
        for (const BackendState& b : backends_) {
            inflight.push_back(lb_.get_inflight(b.cfg->id));
            caps.push_back(cap_in_mode(lb_.get_routing_mode(), b.cfg->max_concurrency, hot.value_or(false)));
        }
        timeline_.observe(elapsed(), inflight, caps, hot);
    }

    // The pool's hybrid state as of the balancer's last decision.
    bool hybrid_hot() {
        const json::object snap = lb_.snapshot();
        const json::value* pools = snap.if_contains("pools");
        const json::value* pool = pools && pools->is_object() ? pools->get_object().if_contains(label_) : nullptr;
        const json::value* hot = pool && pool->is_object() ? pool->get_object().if_contains("hybrid_hot") : nullptr;
        return hot != nullptr && hot->is_bool() && hot->get_bool();
    }

    // The host's candidates: the backends its registry lists as running.
    std::vector<ServerRecord> up_records() const {
        std::vector<ServerRecord> out;
        for (const BackendState& b : backends_)
            if (b.up) out.push_back(b.record);
        return out;
    }

    void finish(Outcome& o, Outcome::State s) {
        o.state = s;
        --outstanding_;
        last_outcome_ = elapsed();
    }

    // A refusal: counted by the host (`note`) or already by the queue.
    void refuse(Outcome& o, std::string_view reason, const std::vector<ServerRecord>& fitting, bool note) {
        if (note) lb_.note_reject(reason);
        timeline_.refusal(elapsed(), reason);
        if (counts_against_backends(reason))
            for (const ServerRecord& r : fitting) ++results_[index_.at(server_id(r))].refused;
        observe();
        finish(o, Outcome::State::refused);
    }

    void park(int delta) {
        parked_ += delta;
        timeline_.queue_depth(elapsed(), parked_);
    }

    asio::awaitable<bool> serve(const std::shared_ptr<Job>& job, double seconds) {
        expire_after(job->timer, seconds);
        boost::system::error_code ec;
        co_await job->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        co_return !job->crashed;
    }

    // One request, the way the host handles it.
    asio::awaitable<void> request(std::size_t i) {
        const Request& rq = workload_.requests[i];
        Outcome& o = outcomes_[i];
        const double arrived = monotonic();
        timeline_.arrival(elapsed());

        const std::vector<ServerRecord> candidates = up_records();
        if (candidates.empty()) co_return refuse(o, RejectReason::NO_BACKENDS, {}, true);
        const std::vector<ServerRecord> fitting = lb_.filter_by_fit(candidates, rq.input_tokens);
        if (fitting.empty()) co_return refuse(o, RejectReason::TOO_LARGE, {}, true);
        SelectOptions how;
        how.estimated_tokens = rq.input_tokens;
        how.algorithm = algorithm_;
        ServerRecord server = co_await lb_.select(pool_, fitting, how);
        if (!server) {
            // The host's immediate 503 when the queue is off.
            if (!lb_.queue_enabled()) co_return refuse(o, RejectReason::AT_CAPACITY, fitting, true);
            park(+1);
            WaitResult r = co_await lb_.wait_for_slot(pool_, fitting, rq.input_tokens);
            park(-1);
            if (!r.server) co_return refuse(o, r.reason, fitting, false);
            server = r.server;
            o.queued = true;
            o.wait = r.seconds;
        }
        co_await run_on(server, rq, o, arrived);
    }

    // The request on its backend, under a lease.
    asio::awaitable<void> run_on(const ServerRecord& server, const Request& rq, Outcome& o, double arrived) {
        const std::size_t bi = index_.at(server_id(*server));
        InflightLease lease = InflightLease::acquire(lb_, server_id(*server));
        observe();
        BackendState& b = backends_[bi];
        if (!b.up) {
            // Admitted from a wait set taken before the crash: the connection
            // is refused at once.
            co_return fail(o, bi, lease);
        }
        const BackendConfig& cfg = *b.cfg;
        const double others = static_cast<double>(b.running);
        ++b.running;
        auto job = std::make_shared<Job>(io_.get_executor());
        b.jobs.push_back(job);

        const double prefill = cfg.prefill_tokens_per_sec > 0.0
                                   ? static_cast<double>(rq.input_tokens) / cfg.prefill_tokens_per_sec
                                   : 0.0;
        const double ttft = (cfg.ttft_base_sec + prefill) * (1.0 + cfg.ttft_slowdown_per_inflight * others);
        const double decode_rate = cfg.decode_tokens_per_sec / (1.0 + cfg.decode_slowdown_per_inflight * others);
        const double decode = static_cast<double>(rq.output_tokens) / decode_rate;

        bool ok = co_await serve(job, ttft);
        if (ok) {
            o.ttft = monotonic() - arrived;
            ok = co_await serve(job, decode);
        }
        if (!ok) {
            fail(o, bi, {});
            if (!sc_.crashed_lease_hold_sec) {
                leaked_.push_back(std::move(lease));
                co_return;
            }
            co_await sleep(*sc_.crashed_lease_hold_sec);
            lease.release();  // given back here, late
            co_return observe();
        }
        o.completion = monotonic() - arrived;
        std::erase(b.jobs, job);
        --b.running;
        ++results_[bi].served;
        finish(o, Outcome::State::served);
        lease.release();
        observe();
    }

    void fail(Outcome& o, std::size_t backend, std::optional<std::reference_wrapper<InflightLease>> release_now) {
        ++results_[backend].failed;
        finish(o, Outcome::State::failed);
        if (release_now) {
            release_now->get().release();
            observe();
        }
    }

    RunResult result(std::string_view mode, double end) {
        RunResult r;
        r.mode = std::string(mode);
        r.queue_enabled = lb_.queue_enabled();
        r.arrived = workload_.requests.size();
        std::vector<double> ttft, wait, completion;
        for (const Outcome& o : outcomes_) {
            switch (o.state) {
                case Outcome::State::served:
                    ++r.served;
                    ttft.push_back(o.ttft);
                    completion.push_back(o.completion);
                    if (o.queued) wait.push_back(o.wait);
                    break;
                case Outcome::State::failed: ++r.failed; break;
                case Outcome::State::pending: ++r.unfinished; break;
                case Outcome::State::refused: break;
            }
        }
        for (const auto& [reason, n] : lb_.reject_counts) r.refused.emplace_back(reason, n);
        r.ttft_percentiles = percentiles(ttft);
        r.ttft = summarize(std::move(ttft));
        r.queue_wait = summarize(std::move(wait));
        r.completion = summarize(std::move(completion));
        r.throughput_rps = static_cast<double>(r.served) / workload_.duration_sec;
        r.backends = results_;
        timeline_.finish(end, r.backends, r.series);
        r.prometheus = lb_.prometheus_text();
        return r;
    }

    const Scenario& sc_;
    const Workload& workload_;
    std::string algorithm_;
    ManualClock& clock_;
    LoadBalancer& lb_;
    asio::io_context& io_;
    PoolKey pool_;
    std::string label_ = pool_label(pool_);
    std::vector<BackendState> backends_;
    std::vector<BackendResult> results_;
    std::unordered_map<std::int64_t, std::size_t> index_;
    std::vector<Outcome> outcomes_;
    std::vector<InflightLease> leaked_;  // never given back: the reaper's business
    Timeline timeline_;
    Timer tick_;
    asio::cancellation_signal reaper_stop_;
    bool stopping_ = false;
    bool all_arrived_ = false;
    std::size_t outstanding_ = 0;  // requests without an outcome yet
    std::size_t live_ = 0;         // request coroutines still running
    std::int64_t parked_ = 0;      // requests in wait_for_slot
    double t0_ = 0.0;
    double last_outcome_ = 0.0;
    std::exception_ptr error_;
};

void check_mode(std::string_view mode) {
    if (std::find(VALID_ROUTING_MODES.begin(), VALID_ROUTING_MODES.end(), mode) == VALID_ROUTING_MODES.end())
        throw ScenarioError("unknown routing mode \"" + std::string(mode) +
                            "\" (superfast, hybrid, max_concurrency or queue_all)");
}

}  // namespace

RunResult run_workload(const Scenario& scenario, const Workload& workload, std::string_view mode,
                       const Variant& variant) {
    check_mode(mode);
    ScopedSettings settings(variant.settings);
    // Destruction runs bottom-up: the simulation (its leaked leases decrement
    // the balancer) goes before the loop, the loop before the balancer.
    ManualClock clock;
    LoadBalancer lb;
    lb.set_routing_mode(mode);
    asio::io_context io;
    Simulation simulation(scenario, workload, variant.algorithm.value_or(scenario.algorithm), clock, lb, io);
    RunResult r = simulation.execute(mode);
    r.variant = variant.label;
    return r;
}

RunResult run_simulation(const Scenario& scenario, std::string_view mode) {
    return run_workload(scenario, generate_workload(scenario), mode);
}

std::vector<RunResult> run_matrix(const Scenario& scenario, const Workload& workload,
                                  const std::vector<std::string>& modes, const std::vector<Variant>& variants,
                                  const Progress& progress) {
    for (const std::string& m : modes) check_mode(m);
    std::vector<RunResult> out;
    const std::size_t total = modes.size() * variants.size();
    for (const Variant& v : variants) {
        for (const std::string& m : modes) {
            if (progress) progress(out.size(), total, v.label.empty() ? m : m + " " + v.label);
            out.push_back(run_workload(scenario, workload, m, v));
        }
    }
    return out;
}

}  // namespace quillmar::lb::sim
