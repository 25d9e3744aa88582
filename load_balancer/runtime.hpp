// What the balancer needs of the host's event loop, built on Boost.Asio with
// C++20 coroutines: clocks, a single-shot future with a timed wait, an
// asynchronous FIFO lock and a sleep. Everything runs on one executor
// (the host's loop thread); nothing here is thread-safe.
//
// Cancellation: the balancer's awaitables honour Asio per-operation
// cancellation (co_spawn with bind_cancellation_slot, awaitable_operators
// races). A cancelled wait ends with boost::system::system_error carrying
// boost::asio::error::operation_aborted; that error is the library's
// cancellation error and is always propagated unchanged.
//
// Time: monotonic() and every timer read Clock, which follows the real
// steady clock unless a ManualClock is installed (tests, simulations). With a
// manual clock installed, time moves only when the owner advances it; drive
// the loop with ManualClock::run_for or io_context::poll(), never with run(),
// which would spin while a timer is pending.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "load_balancer/detail/parking.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quillmar::lb {

// Monotonic clock of the balancer: steady_clock, or the installed ManualClock.
struct Clock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// With a manual clock installed the reactor must not block waiting for a
// deadline that real time will never reach: report every wait as zero.
struct ClockWaitTraits {
    static Clock::duration to_wait_duration(const Clock::duration& d) noexcept;
    static Clock::duration to_wait_duration(const Clock::time_point& t) noexcept;
};

using Timer = boost::asio::basic_waitable_timer<Clock, ClockWaitTraits, boost::asio::any_io_executor>;

// Seconds on the monotonic clock (arbitrary origin, never decreasing).
double monotonic() noexcept;
// Wall-clock seconds since the epoch (the manual clock's wall time when one
// is installed). Used only for last-dispatch stamps.
double wall_time() noexcept;

// Seconds as a clock duration: NaN and values beyond ~292 years saturate to
// "never"; zero and negative values give zero.
Clock::duration to_duration(double seconds) noexcept;

// Sets `timer` to expire `seconds` from now (saturating) and tells an
// installed manual clock about the deadline so run_for stops there.
void expire_after(Timer& timer, double seconds);
// The same with an absolute expiry.
void expire_at(Timer& timer, Clock::time_point at);

// A test- or simulator-driven clock. Constructing one installs it for the
// whole process (monotonic(), wall_time() and every Timer follow it);
// destroying it restores the real clocks. At most one at a time
// (std::logic_error otherwise).
class ManualClock {
public:
    explicit ManualClock(double start_seconds = 1000.0, double wall_start_seconds = 1'700'000'000.0);
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    double now() const noexcept;
    // Moves time forward (negative steps are ignored). Runs no handler.
    void advance(double seconds) noexcept;

    // Advances time by `seconds` in steps, stopping at every timer deadline on
    // the way and running the loop's ready handlers there, so chained timers
    // fire at their own virtual times. Returns the handlers run.
    std::size_t run_for(boost::asio::io_context& io, double seconds);
    // Runs every ready handler without moving time. Returns the handlers run.
    // Without a manual clock installed, a timer that real time makes due
    // during the call may be left for the next call.
    static std::size_t poll(boost::asio::io_context& io);
};

namespace detail {

// The time limits of every pending wait_for on one execution context, served
// by one timer armed at the earliest limit. A wait neither arms nor cancels
// a timer of its own (each of those is a kernel call on a reactor), and the
// shared timer is only re-armed when a new limit is earlier than the one it
// is armed at; a limit whose wait ended early is skipped when the timer
// fires. The timer never keeps a loop with no wait left from stopping (its
// run() returns): on an io_context its wait is not counted as work, on other
// executors the last limit to go cancels it. Construction registers (no-op
// for a limit of "never"), destruction unregisters. When the limit passes
// before the wait ends, the slot's `timed_out` is set and the slot woken.
// O(log n) per registration. One registration per slot at a time.
class DeadlineRegistration {
public:
    DeadlineRegistration(Parking& slot, double timeout_sec);
    ~DeadlineRegistration();
    DeadlineRegistration(const DeadlineRegistration&) = delete;
    DeadlineRegistration& operator=(const DeadlineRegistration&) = delete;

private:
    Parking& slot_;
    bool registered_ = false;
};

}  // namespace detail

// Raised by wait_for when its time limit passes first.
class TimeoutError : public std::runtime_error {
public:
    TimeoutError() : std::runtime_error("wait timed out") {}
};

// The cancellation error: system_error(operation_aborted).
[[noreturn]] void throw_cancelled();
// True for the cancellation error.
bool is_cancellation(const std::exception& e) noexcept;

// A single-shot future bound to an executor. Copies share one state.
// done() is true once it has a result or was cancelled. set_result never
// resumes the waiting coroutine inside the call: the waiter is resumed later
// through the executor. Cost: one allocation per future; a wait stores the
// awaiting coroutine's handler and a wake posts it (no timer per wait).
template <class T>
class Future {
public:
    explicit Future(const boost::asio::any_io_executor& ex) : s_(std::make_shared<State>(ex)) {}

    bool done() const noexcept { return s_->value.has_value() || s_->cancelled; }
    bool cancelled() const noexcept { return s_->cancelled; }

    // Completes the future. Throws std::logic_error if it is already done.
    void set_result(T value) {
        if (done()) throw std::logic_error("Future::set_result on a future that is done");
        s_->value.emplace(std::move(value));
        s_->parking.wake();
    }

    // Cancels a pending future (no effect on a done one). A waiter is woken
    // later with the cancellation error.
    void cancel() noexcept {
        if (done()) return;
        s_->cancelled = true;
        s_->parking.wake();
    }

    // Waits for the result (one waiter at a time, see Wait::suspend): the
    // result once set; TimeoutError when
    // `timeout_sec` passes first (the future is then cancelled); the
    // cancellation error when the awaiting coroutine is cancelled or the
    // future is cancelled (the future is then cancelled). A result set before
    // the wait resumes wins over an expired deadline. A future that is already
    // done answers without suspending. NaN or huge limits never time out.
    friend boost::asio::awaitable<T> wait_for(Future f, double timeout_sec) {
        Wait w(std::move(f), timeout_sec);
        if (w.ready()) co_return w.take();
        co_await w.suspend();
        const boost::asio::cancellation_state cs = co_await boost::asio::this_coro::cancellation_state;
        co_return w.resume(cs.cancelled());
    }

    // wait_for's steps, for a coroutine that waits inline and so spares the
    // frame of a nested coroutine. The same answers, in the same order:
    //   Future<T>::Wait w(f, timeout);
    //   if (w.ready()) return w.take();
    //   co_await w.suspend();
    //   cancellation_state cs = co_await this_coro::cancellation_state;
    //   return w.resume(cs.cancelled());
    // A wait destroyed between suspend() and resume() (the co_await threw)
    // cancels the future.
    class Wait {
    public:
        Wait(Future f, double timeout_sec) noexcept : f_(std::move(f)), timeout_sec_(timeout_sec) {}
        ~Wait() {
            if (suspended_) f_.cancel();
            limit_.reset();
            if (engaged_) f_.s_->parking.in_use = false;
        }
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;

        bool ready() const noexcept { return f_.done(); }
        // The answer of a future that was done before the wait.
        T take() const {
            if (f_.s_->value) return *f_.s_->value;
            throw_cancelled();
        }
        // Registers the time limit and stores the coroutine; co_await it.
        // Throws std::logic_error when another wait on the same future has
        // not ended (a future has one waiter at a time).
        auto suspend() {
            detail::Parking& parking = f_.s_->parking;
            if (parking.in_use) throw std::logic_error("a second wait on a future that is being waited for");
            parking.in_use = engaged_ = true;
            parking.timed_out = false;
            limit_.emplace(parking, timeout_sec_);
            suspended_ = true;
            return parking.suspend();
        }
        // The answer once woken; `cancelled` is the awaiting coroutine's
        // cancellation state, which overrides everything else.
        T resume(boost::asio::cancellation_type cancelled) {
            suspended_ = false;
            const State& st = *f_.s_;
            if (cancelled != boost::asio::cancellation_type::none) {
                f_.cancel();
                throw_cancelled();
            }
            if (st.value) return *st.value;
            if (st.cancelled) throw_cancelled();
            f_.cancel();
            if (st.parking.timed_out) throw TimeoutError();
            throw_cancelled();
        }

    private:
        Future f_;
        double timeout_sec_;
        std::optional<detail::DeadlineRegistration> limit_;
        bool engaged_ = false;    // this wait holds the future's slot
        bool suspended_ = false;  // between suspend() and resume()
    };

private:
    struct State {
        explicit State(const boost::asio::any_io_executor& ex) : parking(ex) {}
        std::optional<T> value;
        bool cancelled = false;
        detail::Parking parking;  // the running wait_for's suspension and `timed_out`
    };
    std::shared_ptr<State> s_;
};

// Suspends the calling coroutine for `seconds` (cancellable).
boost::asio::awaitable<void> sleep(double seconds);

// An asynchronous mutex: not reentrant; waiters are admitted in the order
// they asked (FIFO). lock() completes without suspending when the lock is
// free and nobody queues. A coroutine cancelled while queued leaves the queue
// and gets the cancellation error.
class AsyncLock {
public:
    // Holds the lock; releases it when destroyed (every exit, exceptions
    // included) or by unlock(). Move-only.
    class Guard {
    public:
        Guard() = default;
        explicit Guard(AsyncLock* lock) noexcept : lock_(lock) {}
        Guard(Guard&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)) {}
        Guard& operator=(Guard&& o) noexcept {
            if (this != &o) {
                unlock();
                lock_ = std::exchange(o.lock_, nullptr);
            }
            return *this;
        }
        ~Guard() { unlock(); }
        void unlock() noexcept {
            if (lock_ != nullptr) std::exchange(lock_, nullptr)->unlock();
        }
        bool owns_lock() const noexcept { return lock_ != nullptr; }

    private:
        AsyncLock* lock_ = nullptr;
    };

    AsyncLock() = default;
    AsyncLock(const AsyncLock&) = delete;
    AsyncLock& operator=(const AsyncLock&) = delete;

    bool locked() const noexcept { return locked_; }
    std::size_t queued() const noexcept { return waiters_.size(); }

    // Takes the lock if free and nobody queues; an empty guard otherwise.
    Guard try_lock() noexcept;
    boost::asio::awaitable<Guard> lock();

private:
    struct Waiter {
        explicit Waiter(const boost::asio::any_io_executor& ex) : signal(ex) {}
        Timer signal;
        bool granted = false;
    };
    void unlock() noexcept;

    bool locked_ = false;
    std::deque<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace quillmar::lb
