// The proxy's restartable background task (the reaper): a stop ends the
// running coroutine, and the signals of stopped or finished coroutines are
// freed once they have unwound, however often the task is restarted.
#include "proxy/restartable_task.hpp"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <chrono>

namespace {

namespace net = boost::asio;
using quillmar::proxy::RestartableTask;

// Waits an hour unless cancelled; counts how it ended.
net::awaitable<void> wait_long(int& cancelled) {
    net::steady_timer timer(co_await net::this_coro::executor, std::chrono::hours(1));
    boost::system::error_code ec;
    co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
    if (ec == net::error::operation_aborted) ++cancelled;
}

net::awaitable<void> finish_at_once() { co_return; }

TEST(RestartableTask, RestartsHoldOnlyTheSignalsOfCoroutinesStillRunning) {
    net::io_context io;
    RestartableTask task(io);
    int cancelled = 0;
    // Runs what is ready; a poll that found nothing left stops the context.
    auto settle = [&] {
        io.restart();
        io.poll();
    };
    for (int i = 0; i < 100; ++i) {
        task.restart(wait_long(cancelled));
        settle();
    }
    EXPECT_EQ(cancelled, 99);
    EXPECT_TRUE(task.running());
    EXPECT_EQ(task.signals_held(), 1u);

    task.stop();
    settle();
    EXPECT_EQ(cancelled, 100);
    EXPECT_FALSE(task.running());
    EXPECT_EQ(task.signals_held(), 0u);

    // One that ends by itself is no longer running, and a stop after that
    // touches nothing it freed.
    task.restart(finish_at_once());
    settle();
    EXPECT_FALSE(task.running());
    EXPECT_EQ(task.signals_held(), 0u);
    task.stop();
    settle();
    EXPECT_EQ(task.signals_held(), 0u);
}

}  // namespace
