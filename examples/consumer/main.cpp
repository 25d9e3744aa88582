// A host's use of the balancer on its Asio loop: estimate, fit, select, and
// park when every backend is full; hold a lease while the request runs.
#include <load_balancer/load_balancer.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <cstdio>
#include <vector>

namespace lb = quillmar::lb;
namespace asio = boost::asio;

int main() {
    asio::io_context io;
    lb::LoadBalancer balancer;
    balancer.set_routing_mode("max_concurrency");
    lb::QUEUE_ENABLED = true;  // settings are plain values the host may assign

    const std::vector<lb::ServerRecord> servers{
        lb::make_record({{"id", 1}, {"weight", 2}, {"max_concurrency", 1}, {"max_input_tokens", 8192}}),
        lb::make_record({{"id", 2}, {"weight", 1}, {"max_concurrency", 1}, {"max_input_tokens", 0}}),
    };
    const lb::PoolKey pool("llama-3-8b", {7, 3}, "default");
    int failures = 0;

    auto request = [&](int n) -> asio::awaitable<void> {
        auto body = boost::json::parse(R"({"messages":[{"role":"user","content":"hello there, balancer"}]})");
        const std::int64_t tokens = lb::estimate_request_tokens(body);
        const auto fitting = balancer.filter_by_fit(servers, tokens);
        lb::ServerRecord server = co_await balancer.select(pool, fitting, {.estimated_tokens = tokens});
        if (!server) {
            lb::WaitResult r = co_await balancer.wait_for_slot(pool, fitting, tokens);
            if (!r.server) {
                std::printf("request %d refused: %.*s\n", n, static_cast<int>(r.reason.size()), r.reason.data());
                ++failures;
                co_return;
            }
            server = r.server;
        }
        auto lease = lb::InflightLease::acquire(balancer, lb::server_id(server));
        co_await lb::sleep(0.01);  // the upstream call would run here
        std::printf("request %d served by server %lld\n", n, static_cast<long long>(lease.server_id()));
    };

    for (int i = 0; i < 4; ++i) asio::co_spawn(io, request(i), asio::detached);
    io.run();
    std::fputs(balancer.prometheus_text().c_str(), stdout);
    return failures == 0 && balancer.dispatch_counts.size() == 2 ? 0 : 1;
}
