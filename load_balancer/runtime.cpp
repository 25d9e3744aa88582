#include "load_balancer/runtime.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/query.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <cmath>
#include <limits>
#include <utility>
#include <set>
#include <vector>

namespace quillmar::lb {

namespace {

// The installed manual clock's state. Process-wide because Clock::now() is
// static (Asio's timer traits call it without an object).
struct ManualState {
    std::atomic<bool> installed{false};
    std::int64_t now_ns = 0;
    double wall_origin = 0.0;
    std::int64_t start_ns = 0;
    std::multiset<std::int64_t> deadlines;  // pending timer deadlines, ns
};

ManualState& manual() noexcept {
    static ManualState state;
    return state;
}

constexpr double kMaxSeconds = 9.0e9;  // ~285 years: beyond it, "never"

}  // namespace

Clock::time_point Clock::now() noexcept {
    ManualState& m = manual();
    if (m.installed.load(std::memory_order_relaxed)) return time_point(duration(m.now_ns));
    return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

Clock::duration ClockWaitTraits::to_wait_duration(const Clock::duration& d) noexcept {
    if (manual().installed.load(std::memory_order_relaxed)) return Clock::duration::zero();
    return d;
}

Clock::duration ClockWaitTraits::to_wait_duration(const Clock::time_point& t) noexcept {
    if (manual().installed.load(std::memory_order_relaxed)) return Clock::duration::zero();
    Clock::time_point now = Clock::now();
    if (t <= now) return Clock::duration::zero();
    return t - now;
}

double monotonic() noexcept {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double wall_time() noexcept {
    ManualState& m = manual();
    if (m.installed.load(std::memory_order_relaxed))
        return m.wall_origin + static_cast<double>(m.now_ns - m.start_ns) / 1e9;
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Clock::duration to_duration(double seconds) noexcept {
    if (std::isnan(seconds) || seconds >= kMaxSeconds) return Clock::duration::max();
    if (seconds <= 0.0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void expire_after(Timer& timer, double seconds) {
    Clock::duration d = to_duration(seconds);
    Clock::time_point now = Clock::now();
    expire_at(timer, (d >= Clock::time_point::max() - now) ? Clock::time_point::max() : now + d);
}

void expire_at(Timer& timer, Clock::time_point at) {
    timer.expires_at(at);
    ManualState& m = manual();
    if (m.installed.load(std::memory_order_relaxed) && at != Clock::time_point::max())
        m.deadlines.insert(at.time_since_epoch().count());
}

ManualClock::ManualClock(double start_seconds, double wall_start_seconds) {
    ManualState& m = manual();
    if (m.installed.load()) throw std::logic_error("a ManualClock is already installed");
    m.now_ns = static_cast<std::int64_t>(std::llround(start_seconds * 1e9));
    m.start_ns = m.now_ns;
    m.wall_origin = wall_start_seconds;
    m.deadlines.clear();
    m.installed.store(true);
}

ManualClock::~ManualClock() {
    manual().deadlines.clear();
    manual().installed.store(false);
}

double ManualClock::now() const noexcept { return static_cast<double>(manual().now_ns) / 1e9; }

void ManualClock::advance(double seconds) noexcept {
    if (!(seconds > 0.0)) return;
    manual().now_ns += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)).count();
}

// One io.poll() runs every handler that is ready or that the handlers it runs
// make ready: it ends only once the reactor, asked last, reports nothing more.
// What it can miss is a timer the kernel signals a moment after it was set.
// With a manual clock installed every pending timer is set to fire at once
// (its wait is reported as zero), so passes repeat until one runs nothing;
// on the real clock a timer is due when real time says so, which a second
// pass would only race, and one pass is enough (again after a stop()).
std::size_t ManualClock::poll(boost::asio::io_context& io) {
    const bool repeat = manual().installed.load(std::memory_order_relaxed);
    std::size_t total = 0;
    for (;;) {
        if (io.stopped()) io.restart();
        const std::size_t n = io.poll();
        total += n;
        if (n == 0 || (!repeat && !io.stopped())) return total;
    }
}

std::size_t ManualClock::run_for(boost::asio::io_context& io, double seconds) {
    ManualState& m = manual();
    // Saturates: a span past the clock's range (or one that would carry it
    // past) runs to the last instant before "never", not backwards, and
    // timers set for never stay pending.
    constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max() - 1;
    const std::int64_t span = to_duration(seconds).count();
    const std::int64_t target = span >= kLast - m.now_ns ? std::max(kLast, m.now_ns) : m.now_ns + span;
    std::size_t total = poll(io);
    while (!m.deadlines.empty() && *m.deadlines.begin() <= target) {
        std::int64_t next = *m.deadlines.begin();
        m.deadlines.erase(m.deadlines.begin());
        if (next > m.now_ns) m.now_ns = next;
        total += poll(io);
    }
    m.now_ns = target;
    total += poll(io);
    return total;
}

namespace detail {

// One per execution context (an Asio service, so it lives and dies with the
// context and never outlives the reactor its timer uses): the deadline
// structure of every wait_for on the context, and the list of stored
// completions the context's shutdown must destroy.
class WaitService : public boost::asio::execution_context::service {
public:
    using key_type = WaitService;
    static inline boost::asio::execution_context::id id;

    explicit WaitService(boost::asio::execution_context& ctx) : boost::asio::execution_context::service(ctx) {}
    ~WaitService() override { generation.fetch_add(1, std::memory_order_acq_rel); }

    // Bumped by every destruction: a context's address may be taken by the
    // next one, so a cached lookup from an older generation is not trusted.
    static inline std::atomic<std::uint64_t> generation{0};

    // Registers `slot`'s limit; O(log n), no allocation once the heap has
    // grown to the most waits pending at once.
    void add(const boost::asio::any_io_executor& ex, Clock::time_point at, Parking& slot) {
        heap_.push_back(Deadline{at, ++last_ticket_, &slot});
        place(heap_.size() - 1);
        if (!shut_down_ && (!armed_at_ || at < *armed_at_)) arm(ex, at);
    }
    // Drops `slot`'s limit if it is still registered. O(log n). Where the
    // timer's wait counts as work (see arm()), the last limit to go cancels
    // it.
    void remove(Parking& slot) noexcept {
        const std::size_t i = slot.deadline_index_;
        if (i < heap_.size() && heap_[i].slot == &slot) erase_at(i);
        if (heap_.empty() && armed_at_ && !uncounted_) disarm();
    }

    bool enlist(Parking& p) noexcept {
        if (shut_down_) return false;
        p.prev_ = nullptr;
        p.next_ = stored_;
        if (stored_ != nullptr) stored_->prev_ = &p;
        stored_ = &p;
        p.listed_ = true;
        return true;
    }
    void delist(Parking& p) noexcept {
        if (!p.listed_) return;
        (p.prev_ != nullptr ? p.prev_->next_ : stored_) = p.next_;
        if (p.next_ != nullptr) p.next_->prev_ = p.prev_;
        p.prev_ = p.next_ = nullptr;
        p.listed_ = false;
    }

private:
    // A min-heap on (limit, registration order); each slot knows its
    // position, so a wait that ends early leaves in O(log n).
    struct Deadline {
        Clock::time_point at;
        std::uint64_t ticket;
        Parking* slot;
    };
    static bool before(const Deadline& a, const Deadline& b) noexcept {
        return a.at < b.at || (a.at == b.at && a.ticket < b.ticket);
    }
    void put(std::size_t i, const Deadline& d) noexcept {
        heap_[i] = d;
        d.slot->deadline_index_ = i;
    }
    // Moves the entry at `i` up or down to its place.
    void place(std::size_t i) noexcept {
        const Deadline d = heap_[i];
        while (i > 0 && before(d, heap_[(i - 1) / 2])) {
            put(i, heap_[(i - 1) / 2]);
            i = (i - 1) / 2;
        }
        for (std::size_t child = 2 * i + 1; child < heap_.size(); child = 2 * i + 1) {
            if (child + 1 < heap_.size() && before(heap_[child + 1], heap_[child])) ++child;
            if (!before(heap_[child], d)) break;
            put(i, heap_[child]);
            i = child;
        }
        put(i, d);
    }
    void erase_at(std::size_t i) noexcept {
        heap_[i].slot->deadline_index_ = Parking::kNoDeadline;
        const Deadline last = heap_.back();
        heap_.pop_back();
        if (i == heap_.size()) return;
        heap_[i] = last;
        place(i);
    }

    // Destroys every handler nobody woke, which frees the coroutine frames
    // that hold them. A frame may own other slots: the list is re-read after
    // each one.
    void shutdown() override {
        shut_down_ = true;
        timer_.reset();
        armed_at_.reset();
        while (stored_ != nullptr) {
            Parking& p = *stored_;
            delist(p);
            CompletionPtr dropped = std::move(p.pending_);
        }
    }

    // Moving the expiry cancels the pending wait, whose handler then sees
    // operation_aborted and leaves the state to the new wait.
    //
    // The timer must not keep its context's run() going for a limit nobody
    // waits for any more. On an io_context its wait is not counted as work
    // at all: every wait it serves is a coroutine whose co_spawn already
    // counts, so the count is given back at once and taken again when the
    // handler runs (it runs exactly once, fired or aborted, or is destroyed
    // with the context). That keeps early ends free of timer calls. On any
    // other executor the last limit to go cancels the wait (remove()).
    void arm(const boost::asio::any_io_executor& ex, Clock::time_point at) {
        if (!timer_) timer_.emplace(ex);
        expire_at(*timer_, at);
        armed_at_ = at;
        const auto* io = timer_->get_executor().target<boost::asio::io_context::executor_type>();
        uncounted_ = io != nullptr;
        if (!uncounted_) {
            timer_->async_wait([this](boost::system::error_code ec) {
                if (!ec) fire();
            });
            return;
        }
        timer_->async_wait([this, io = *io](boost::system::error_code ec) {
            io.on_work_started();  // the context takes it back as the handler ends
            if (!ec) fire();
        });
        io->on_work_finished();  // never the last: the coroutine arming it counts
    }

    // Cancelling a timer wait never fails on Asio's reactors; cancel() is
    // only declared as able to throw.
    void disarm() noexcept {
        armed_at_.reset();
        if (!timer_) return;
        try {
            timer_->cancel();
        } catch (const std::exception&) {  // the wait then ends at its limit
        }
    }

    void fire() {
        armed_at_.reset();
        const Clock::time_point now = Clock::now();
        while (!heap_.empty() && heap_.front().at <= now) {
            Parking* slot = heap_.front().slot;
            erase_at(0);
            slot->timed_out = true;
            slot->wake();
        }
        if (!heap_.empty()) arm(timer_->get_executor(), heap_.front().at);
    }

    std::vector<Deadline> heap_;
    std::optional<Timer> timer_;
    std::optional<Clock::time_point> armed_at_;  // expiry of the pending wait
    bool uncounted_ = false;                     // the pending wait is not counted as work (arm())
    std::uint64_t last_ticket_ = 0;
    Parking* stored_ = nullptr;  // slots holding a handler, newest first
    bool shut_down_ = false;
};

namespace {

// The context whose WaitService this thread looked up last: a request
// parks on the same loop as the one before it, and Asio's own lookup takes
// the context's registry lock.
struct LastService {
    const boost::asio::execution_context* context = nullptr;
    WaitService* service = nullptr;
    std::uint64_t generation = 0;
};
thread_local LastService t_last_service;

WaitService* wait_service_of(const boost::asio::any_io_executor& ex) {
    boost::asio::execution_context& ctx = boost::asio::query(ex, boost::asio::execution::context);
    LastService& last = t_last_service;
    const std::uint64_t generation = WaitService::generation.load(std::memory_order_acquire);
    if (last.context == &ctx && last.generation == generation) return last.service;
    WaitService* service = &boost::asio::use_service<WaitService>(ctx);
    last = {&ctx, service, generation};
    return service;
}

}  // namespace

Parking::Parking(const boost::asio::any_io_executor& ex) : ex_(ex), service_(wait_service_of(ex)) {}

// Only a listed slot touches the service: a future may outlive its context,
// whose shutdown has unlisted every slot.
Parking::~Parking() {
    if (listed_) service_->delist(*this);
}

bool Parking::enlist() noexcept { return service_->enlist(*this); }
void Parking::delist() noexcept { service_->delist(*this); }

void Parking::wake() noexcept {
    if (!pending_) return;
    delist();
    boost::asio::post(resume_ex_, [c = std::move(pending_)]() mutable { c.release()->complete(); });
}

DeadlineRegistration::DeadlineRegistration(Parking& slot, double timeout_sec) : slot_(slot) {
    const Clock::duration d = to_duration(timeout_sec);
    const Clock::time_point now = Clock::now();
    if (d >= Clock::time_point::max() - now) return;  // never
    slot.service().add(slot.executor(), now + d, slot);
    registered_ = true;
}

DeadlineRegistration::~DeadlineRegistration() {
    if (registered_) slot_.service().remove(slot_);
}

}  // namespace detail

void throw_cancelled() {
    throw boost::system::system_error(boost::asio::error::operation_aborted);
}

bool is_cancellation(const std::exception& e) noexcept {
    const auto* se = dynamic_cast<const boost::system::system_error*>(&e);
    return se != nullptr && se->code() == boost::asio::error::operation_aborted;
}

boost::asio::awaitable<void> sleep(double seconds) {
    Timer timer(co_await boost::asio::this_coro::executor);
    expire_after(timer, seconds);
    co_await timer.async_wait(boost::asio::use_awaitable);
}

AsyncLock::Guard AsyncLock::try_lock() noexcept {
    if (locked_ || !waiters_.empty()) return Guard();
    locked_ = true;
    return Guard(this);
}

boost::asio::awaitable<AsyncLock::Guard> AsyncLock::lock() {
    if (!locked_ && waiters_.empty()) {
        locked_ = true;
        co_return Guard(this);
    }
    auto w = std::make_shared<Waiter>(co_await boost::asio::this_coro::executor);
    w->signal.expires_at(Clock::time_point::max());
    waiters_.push_back(w);
    boost::system::error_code ec;
    try {
        co_await w->signal.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    } catch (...) {
        if (w->granted) {
            unlock();
        } else {
            std::erase(waiters_, w);
        }
        throw;
    }
    if (w->granted) co_return Guard(this);
    std::erase(waiters_, w);
    throw_cancelled();
}

void AsyncLock::unlock() noexcept {
    if (waiters_.empty()) {
        locked_ = false;
        return;
    }
    // Hand the lock straight to the oldest waiter; it stays locked meanwhile
    // so nobody can barge in before the waiter resumes.
    std::shared_ptr<Waiter> next = std::move(waiters_.front());
    waiters_.pop_front();
    next->granted = true;
    next->signal.cancel();
}

}  // namespace quillmar::lb
