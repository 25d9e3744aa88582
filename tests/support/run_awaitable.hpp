// Driving the balancer's awaitables from plain test code.
//
// run_awaitable(io, aw): spawns `aw` on `io`, runs every ready handler
// without moving time (ManualClock::poll) and returns the result or rethrows
// the exception. Fails loudly when the awaitable is still suspended
// afterwards, so a test never silently reads a result that does not exist.
//
// spawn_tracked(io, aw): spawns `aw` and returns a shared Outcome that fills
// in once it completes; the caller drives the loop (poll / run_for) and
// inspects done(), value and error in between. For tests that interleave
// several coroutines.
#pragma once

#include "load_balancer/runtime.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace quillmar::lb::testing {

namespace detail {
struct Unit {};
template <class T>
using stored_t = std::conditional_t<std::is_void_v<T>, Unit, T>;
}  // namespace detail

template <class T>
struct Outcome {
    bool completed = false;
    std::optional<detail::stored_t<T>> value;
    std::exception_ptr error;

    bool done() const noexcept { return completed; }
    // The result; rethrows the coroutine's exception; logic_error if pending.
    detail::stored_t<T>& get() {
        if (!completed) throw std::logic_error("Outcome::get: the coroutine has not completed");
        if (error) std::rethrow_exception(error);
        return *value;
    }
};

template <class T>
std::shared_ptr<Outcome<T>> spawn_tracked(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
    auto out = std::make_shared<Outcome<T>>();
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(io, std::move(aw), [out](std::exception_ptr e) {
            out->completed = true;
            out->error = e;
            if (!e) out->value.emplace();
        });
    } else {
        boost::asio::co_spawn(io, std::move(aw), [out](std::exception_ptr e, T v) {
            out->completed = true;
            out->error = e;
            if (!e) out->value.emplace(std::move(v));
        });
    }
    return out;
}

template <class T>
T run_awaitable(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
    auto out = spawn_tracked(io, std::move(aw));
    ManualClock::poll(io);
    if (!out->completed) throw std::logic_error("run_awaitable: the awaitable is still suspended");
    if (out->error) std::rethrow_exception(out->error);
    if constexpr (!std::is_void_v<T>) return std::move(*out->value);
}

}  // namespace quillmar::lb::testing
