// Cancellable coroutines for tests, and a guard for the process-wide
// settings. Builds on run_awaitable.hpp (run_awaitable for awaitables that
// finish without time moving); Task adds a bound cancellation signal so a
// test can cancel a parked coroutine the way a host does. Time moves only
// through the test's ManualClock (run_for / poll).
#pragma once

#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "support/run_awaitable.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace quillmar::lb::testing {

namespace detail {
// Shared by the Task and the completion handler: the signal must stay alive
// for as long as the coroutine may look at its slot.
template <class T>
struct TaskState {
    boost::asio::cancellation_signal signal;
    bool done = false;
    std::optional<stored_t<T>> value;
    std::exception_ptr error;
};
}  // namespace detail

// The outcome of one spawned coroutine. Copies share the outcome.
template <class T>
class Task {
public:
    Task() = default;
    explicit Task(std::shared_ptr<detail::TaskState<T>> st) : st_(std::move(st)) {}

    bool done() const noexcept { return st_->done; }
    bool failed() const noexcept { return st_->done && st_->error != nullptr; }
    std::exception_ptr error() const noexcept { return st_->error; }

    // The result; rethrows the coroutine's error; std::logic_error when the
    // coroutine has not finished.
    const detail::stored_t<T>& value() const {
        if (!st_->done) throw std::logic_error("task not finished");
        if (st_->error) std::rethrow_exception(st_->error);
        return *st_->value;
    }

    // True when the coroutine ended with the library's cancellation error.
    bool cancelled() const {
        if (!failed()) return false;
        try {
            std::rethrow_exception(st_->error);
        } catch (const boost::system::system_error& e) {
            return e.code() == boost::asio::error::operation_aborted;
        } catch (...) {
            return false;
        }
    }

    void cancel(boost::asio::cancellation_type type = boost::asio::cancellation_type::terminal) {
        st_->signal.emit(type);
    }

private:
    std::shared_ptr<detail::TaskState<T>> st_;
};

// Starts `aw` on `io` (it first runs at the next poll / run_for), bound to a
// cancellation signal that Task::cancel emits.
template <class T>
Task<T> spawn(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
    auto st = std::make_shared<detail::TaskState<T>>();
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(io, std::move(aw),
                              boost::asio::bind_cancellation_slot(st->signal.slot(), [st](std::exception_ptr e) {
                                  st->done = true;
                                  st->error = e;
                                  if (!e) st->value.emplace();
                              }));
    } else {
        boost::asio::co_spawn(io, std::move(aw),
                              boost::asio::bind_cancellation_slot(st->signal.slot(), [st](std::exception_ptr e, T v) {
                                  st->done = true;
                                  st->error = e;
                                  if (!e) st->value.emplace(std::move(v));
                              }));
    }
    return Task<T>(st);
}

// Saves every process-wide setting at construction and puts the saved
// values back at destruction, so a test may assign settings freely.
class SettingsGuard {
public:
    SettingsGuard()
        : queue_enabled_(QUEUE_ENABLED), queue_ttl_(QUEUE_TTL_SEC), depth_mult_(QUEUE_MAX_DEPTH_MULTIPLIER),
          boost_(QUEUE_DEADLINE_BOOST_SEC), lru_(POOL_LRU_TTL_SEC), image_(IMAGE_TOKEN_COST),
          superfast_(SUPERFAST_PER_SERVER_CAP), hy_inflight_(HYBRID_INFLIGHT_THRESHOLD), hy_rate_(HYBRID_RATE_THRESHOLD),
          hy_window_(HYBRID_RATE_WINDOW_SEC), hy_exit_(HYBRID_HOT_EXIT_RATIO), all_mult_(QUEUE_ALL_DEPTH_MULTIPLIER),
          all_ttl_(QUEUE_ALL_TTL_SEC) {}
    ~SettingsGuard() {
        QUEUE_ENABLED = queue_enabled_;
        QUEUE_TTL_SEC = queue_ttl_;
        QUEUE_MAX_DEPTH_MULTIPLIER = depth_mult_;
        QUEUE_DEADLINE_BOOST_SEC = boost_;
        POOL_LRU_TTL_SEC = lru_;
        IMAGE_TOKEN_COST = image_;
        SUPERFAST_PER_SERVER_CAP = superfast_;
        HYBRID_INFLIGHT_THRESHOLD = hy_inflight_;
        HYBRID_RATE_THRESHOLD = hy_rate_;
        HYBRID_RATE_WINDOW_SEC = hy_window_;
        HYBRID_HOT_EXIT_RATIO = hy_exit_;
        QUEUE_ALL_DEPTH_MULTIPLIER = all_mult_;
        QUEUE_ALL_TTL_SEC = all_ttl_;
    }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;

private:
    bool queue_enabled_;
    double queue_ttl_;
    std::int64_t depth_mult_;
    double boost_;
    double lru_;
    std::int64_t image_;
    std::int64_t superfast_;
    std::int64_t hy_inflight_;
    double hy_rate_;
    double hy_window_;
    double hy_exit_;
    std::int64_t all_mult_;
    double all_ttl_;
};

}  // namespace quillmar::lb::testing
