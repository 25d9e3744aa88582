// The grant scripts against a real redis-server: how grants move between
// replicas, expiry by server time, and the cap never exceeded by what the
// replicas actually use, whatever order their renewals come in.
#include "e2e/harness.hpp"
#include "e2e/redis_server.hpp"
#include "proxy/cluster/grant_store.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <future>
#include <random>
#include <string_view>
#include <thread>

// Name lookups of "slow-lookup.test" take a second and then find the
// loopback address: what a lost DNS packet looks like to a client. Every
// other name goes to the C library's lookup.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
    using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const auto next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && std::string_view(node) == "slow-lookup.test") {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        node = "127.0.0.1";
    }
    return next(node, service, hints, res);
}

namespace {

using quillmar::proxy::Grant;
using quillmar::proxy::GrantAsk;
using quillmar::proxy::GrantStore;
using quillmar::proxy::RedisClient;
using quillmar::proxy::RedisError;
namespace net = boost::asio;

template <class T>
T run(net::io_context& io, net::awaitable<T> aw) {
    auto f = net::co_spawn(io, std::move(aw), net::use_future);
    io.restart();
    io.run();
    return f.get();
}

struct Store {
    net::io_context io;
    RedisClient redis;
    GrantStore store;
    explicit Store(std::uint16_t port)
        : redis(io.get_executor(), {"127.0.0.1", port, 0}), store(redis, "test:grants:") {}
    Grant renew(const std::string& replica, std::int64_t cap, std::int64_t wanted, std::int64_t held,
                double ttl = 30.0, bool known = false) {
        return run(io, store.renew(replica, ttl, {GrantAsk{7, cap, wanted, held, known}}, 2.0)).at(0);
    }
};

struct Step {
    const char* replica;
    std::int64_t cap, wanted, held;
    std::int64_t grant, replicas, cap_in_force;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

class GrantMoves : public ::testing::TestWithParam<Scenario> {};

TEST_P(GrantMoves, StepByStep) {
    e2e::RedisServer server;
    Store s(server.port());
    run(s.io, s.redis.call({"HSET", "test:grants:7", "", "0"}, 2.0));  // rebuild window long over
    int i = 0;
    for (const Step& st : GetParam().steps) {
        Grant g = s.renew(st.replica, st.cap, st.wanted, st.held);
        EXPECT_EQ(g.grant, st.grant) << "step " << i;
        EXPECT_EQ(g.replicas, st.replicas) << "step " << i;
        EXPECT_EQ(g.cap, st.cap_in_force) << "step " << i;
        ++i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, GrantMoves,
    ::testing::Values(
        // The busy replica holds everything until a second one asks; the
        // newcomer is starved, so the first is cut to the even share, and the
        // newcomer gets it only once the first reports it no longer uses it.
        Scenario{"starved_newcomer_gets_its_share_after_the_handover",
                 {{"a", 10, 10, 0, 10, 1, 10},
                  {"b", 10, 4, 0, 0, 2, 10},
                  {"a", 10, 10, 10, 5, 2, 10},
                  {"b", 10, 4, 0, 0, 2, 10},
                  {"a", 10, 10, 5, 5, 2, 10},
                  {"b", 10, 4, 0, 4, 2, 10}}},
        // What a replica gives back goes to the others once it is not used.
        Scenario{"given_back_capacity_moves_once_released",
                 {{"a", 10, 10, 0, 10, 1, 10},
                  {"a", 10, 2, 10, 2, 1, 10},
                  {"b", 10, 10, 0, 0, 2, 10},
                  {"a", 10, 2, 2, 2, 2, 10},
                  {"b", 10, 10, 0, 8, 2, 10}}},
        // A replica reporting a smaller cap lowers it for everyone at once.
        Scenario{"smallest_reported_cap_is_in_force",
                 {{"a", 10, 10, 0, 10, 1, 10},
                  {"b", 6, 6, 0, 0, 2, 6},
                  {"a", 10, 10, 10, 3, 2, 6},
                  {"a", 10, 10, 3, 3, 2, 6},
                  {"b", 6, 6, 0, 3, 2, 6}}},
        // More replicas than slots: one slot each for the first two, the
        // third waits at zero; nobody keeps two while another is starved.
        Scenario{"more_replicas_than_slots",
                 {{"a", 2, 2, 0, 2, 1, 2},
                  {"b", 2, 1, 0, 0, 2, 2},
                  {"c", 2, 1, 0, 0, 3, 2},
                  {"a", 2, 2, 2, 1, 3, 2},
                  {"a", 2, 2, 1, 1, 3, 2},
                  {"b", 2, 1, 0, 1, 3, 2},
                  {"c", 2, 1, 0, 0, 3, 2}}},
        // A cap beyond what Lua's numbers hold exactly is in effect none.
        Scenario{"cap_too_large_for_lua_is_shared_as_no_cap",
                 {{"a", INT64_MAX, 5, 0, 5, 1, std::int64_t{1} << 53},
                  {"b", INT64_MAX, 5, 0, 5, 2, std::int64_t{1} << 53}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GrantStore, FreshStateGrantsNoMoreThanHeldForOneTtl) {
    e2e::RedisServer server;
    Store s(server.port());
    // As after a Redis restart: replicas report what they still hold.
    EXPECT_EQ(s.renew("a", 4, 4, 2, 1.0).grant, 2);
    EXPECT_EQ(s.renew("b", 4, 4, 0, 1.0).grant, 0);
    EXPECT_EQ(s.renew("b", 4, 4, 0, 1.0).grant, 0);
    // b renews on as a live replica does, until the window and a's entry are over.
    std::int64_t grant = 0;
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        grant = s.renew("b", 4, 4, 0, 1.0).grant;
    }
    EXPECT_EQ(grant, 4);
}

// Everyone cut off from Redis for longer than the entries live: the hash
// outlives them, but the replicas still run on their shares, so the first
// one back, finding its entry gone, gets no more than it holds. A replica
// whose entry lived through a shorter stall, and one that gave its grants
// back and starts afresh, go on as before.
TEST(GrantStore, AReplicaThatLostItsEntryReopensTheRebuildWindow) {
    e2e::RedisServer server;
    Store s(server.port());
    run(s.io, s.redis.call({"HSET", "test:grants:7", "", "0"}, 2.0));
    EXPECT_EQ(s.renew("a", 6, 3, 0, 0.4).grant, 3);
    EXPECT_EQ(s.renew("b", 6, 3, 0, 0.4).grant, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(s.renew("a", 6, 6, 3, 0.4, true).grant, 3);
    EXPECT_EQ(s.renew("b", 6, 6, 3, 0.4, true).grant, 3);
}

TEST(GrantStore, AStallShorterThanTheTtlOrAFreshStartOpensNoWindow) {
    e2e::RedisServer server;
    Store s(server.port());
    run(s.io, s.redis.call({"HSET", "test:grants:7", "", "0"}, 2.0));
    EXPECT_EQ(s.renew("a", 6, 6, 0, 1.0).grant, 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(s.renew("a", 6, 6, 6, 1.0, true).grant, 6);
    run(s.io, s.store.release("a", {7}, 2.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(s.renew("a", 6, 6, 0, 1.0).grant, 6);
}

TEST(GrantStore, DeadReplicaLosesItsGrantAfterTheTtl) {
    e2e::RedisServer server;
    Store s(server.port());
    run(s.io, s.redis.call({"HSET", "test:grants:7", "", "0"}, 2.0));
    EXPECT_EQ(s.renew("a", 4, 4, 0, 0.3).grant, 4);
    EXPECT_EQ(s.renew("b", 4, 4, 0).grant, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    Grant g = s.renew("b", 4, 4, 0);
    EXPECT_EQ(g.grant, 4);
    EXPECT_EQ(g.replicas, 1);
}

TEST(GrantStore, ReleaseReturnsTheShareAtOnce) {
    e2e::RedisServer server;
    Store s(server.port());
    run(s.io, s.redis.call({"HSET", "test:grants:7", "", "0"}, 2.0));
    EXPECT_EQ(s.renew("a", 4, 4, 0).grant, 4);
    run(s.io, s.store.release("a", {7}, 2.0));
    EXPECT_EQ(s.renew("b", 4, 4, 0).grant, 4);
}

// Replicas that follow the protocol (use at most the grant in force, report
// max(grant in force, in use) as held) never use more than the cap together,
// in any interleaving of renewals and load changes; and once load settles,
// every replica that wants its even share gets it.
TEST(GrantStore, RandomInterleavingsNeverExceedTheCap) {
    e2e::RedisServer server;
    Store s(server.port());
    constexpr std::int64_t cap = 7;
    struct Replica {
        std::string id;
        std::int64_t grant = 0, used = 0, wanted = 0;
    };
    std::vector<Replica> rs{{"a"}, {"b"}, {"c"}};
    run(s.io, s.redis.call({"HSET", "test:grants:7", "", "0"}, 2.0));
    std::mt19937 rng(20261207);
    for (int step = 0; step < 600; ++step) {
        Replica& r = rs[rng() % rs.size()];
        switch (rng() % 3) {
            case 0: r.used = std::min<std::int64_t>(r.grant, r.used + static_cast<std::int64_t>(rng() % 3)); break;
            case 1: r.used = std::max<std::int64_t>(0, r.used - static_cast<std::int64_t>(rng() % 3)); break;
            default:
                r.wanted = static_cast<std::int64_t>(rng() % (cap + 1));
                r.grant = s.renew(r.id, cap, r.wanted, std::max(r.grant, r.used)).grant;
        }
        std::int64_t total = 0;
        for (const auto& x : rs) total += x.used;
        ASSERT_LE(total, cap) << "step " << step;
    }
    // Settle: everyone wants everything and drains to its grant.
    for (int round = 0; round < 6; ++round)
        for (auto& r : rs) {
            r.used = std::min(r.used, r.grant);
            r.grant = s.renew(r.id, cap, cap, std::max(r.grant, r.used)).grant;
        }
    for (const auto& r : rs) EXPECT_GE(r.grant, cap / 3) << r.id;
}

TEST(GrantStore, SurvivesARedisRestart) {
    e2e::RedisServer server;
    Store s(server.port());
    EXPECT_EQ(s.renew("a", 3, 3, 0).grant, 0);  // a fresh hash: nothing held, nothing granted yet
    EXPECT_EQ(s.renew("a", 3, 3, 2).grant, 2);
    server.stop();
    EXPECT_THROW(s.renew("a", 3, 3, 2), RedisError);
    server.start();  // empty: the script must be loaded again
    EXPECT_EQ(s.renew("a", 3, 3, 2).grant, 2);
}

TEST(GrantStore, BadInputsAndSilentServersAreErrors) {
    e2e::RedisServer server;
    Store s(server.port());
    EXPECT_THROW(s.renew("a", 0, 1, 0), RedisError);  // the script refuses a cap below 1

    // A listener that accepts and never answers: the call gives up in time.
    net::io_context io;
    net::ip::tcp::acceptor mute(io, {net::ip::make_address("127.0.0.1"), 0});
    RedisClient silent(io.get_executor(), {"127.0.0.1", mute.local_endpoint().port(), 0});
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run(io, silent.call({"PING"}, 0.2)), RedisError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    RedisClient refused(io.get_executor(), {"127.0.0.1", e2e::closed_port(), 0});
    EXPECT_THROW(run(io, refused.call({"PING"}, 1.0)), RedisError);
}

// Nothing holds a call past its time-out: not a name lookup slower than
// the time-out (the lookup cannot be interrupted, the wait for it can),
// and not a reply that announces billions of array elements and sends
// none of them (hiredis would allocate them all at once).
TEST(GrantStore, SlowLookupsAndHostileRepliesFailTheCall) {
    net::io_context io;
    net::ip::tcp::acceptor mute(io, {net::ip::make_address("127.0.0.1"), 0});
    RedisClient slow(io.get_executor(), {"slow-lookup.test", mute.local_endpoint().port(), 0});
    auto call = net::co_spawn(io, slow.call({"PING"}, 0.2), net::use_future);
    io.run_for(std::chrono::seconds(20));
    ASSERT_EQ(call.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "the call still waits";
    EXPECT_THROW(call.get(), RedisError);

    // The last: no reply of ours is a quarter of a million elements long.
    for (const std::string_view reply : {"*2147483647\r\n", "*3\r\n:1\r\n*4000000\r\n*4000000\r\n", "*300000\r\n"}) {
        SCOPED_TRACE(reply);
        net::ip::tcp::acceptor hostile(io, {net::ip::make_address("127.0.0.1"), 0});
        net::ip::tcp::socket peer(io);
        hostile.async_accept(peer, [&](const boost::system::error_code& ec) {
            if (!ec) net::write(peer, net::buffer(reply));
        });
        RedisClient client(io.get_executor(), {"127.0.0.1", hostile.local_endpoint().port(), 0});
        try {
            run(io, client.call({"PING"}, 5.0));
            ADD_FAILURE() << "a reply";
        } catch (const RedisError& e) {
            EXPECT_NE(std::string(e.what()).find("array elements"), std::string::npos) << e.what();
        }
    }
}

// A Redis that answers each command a little late and keeps forgetting the
// script: the renewal's time-out bounds all its round trips together, not
// each of them (four of them would keep grants in force four times as long).
TEST(GrantStore, OneTimeOutBoundsEveryRoundTripOfARenewal) {
    net::io_context io;
    net::ip::tcp::acceptor forgetful(io, {net::ip::make_address("127.0.0.1"), 0});
    net::co_spawn(io, [&]() -> net::awaitable<void> {
        auto peer = co_await forgetful.async_accept(net::use_awaitable);
        std::array<char, 4096> in;
        net::steady_timer late(io);
        for (int command = 0; command < 4; ++command) {  // all a renewal may send
            auto [ec, n] = co_await peer.async_read_some(net::buffer(in), net::as_tuple(net::use_awaitable));
            if (ec) co_return;
            late.expires_after(std::chrono::milliseconds(100));
            co_await late.async_wait(net::use_awaitable);
            const bool load = std::string_view(in.data(), n).find("LOAD") != std::string_view::npos;
            co_await net::async_write(peer, net::buffer(load ? std::string_view("$3\r\nabc\r\n")
                                                              : std::string_view("-NOSCRIPT gone\r\n")),
                                      net::use_awaitable);
        }
    }, net::detached);
    RedisClient redis(io.get_executor(), {"127.0.0.1", forgetful.local_endpoint().port(), 0});
    GrantStore store(redis, "test:grants:");
    try {
        run(io, store.renew("a", 30.0, {GrantAsk{7, 4, 4, 0}}, 0.25));
        ADD_FAILURE() << "grants";
    } catch (const RedisError& e) {
        EXPECT_EQ(std::string(e.what()).find("keeps forgetting"), std::string::npos) << e.what();
    }
}

TEST(RedisUrl, ParsesAndRejects) {
    using quillmar::proxy::parse_redis_url;
    auto a = parse_redis_url("redis://10.0.0.5:6380/3");
    EXPECT_EQ(a.host, "10.0.0.5");
    EXPECT_EQ(a.port, 6380);
    EXPECT_EQ(a.db, 3);
    EXPECT_EQ(parse_redis_url("redis://[::1]").port, 6379);
    for (const char* bad : {"http://x:1", "redis://", "redis://h:0", "redis://h:99999", "redis://h:1/x",
                            "redis://u:p@h:1", "redis://[::1"})
        EXPECT_THROW(parse_redis_url(bad), std::invalid_argument) << bad;
}

}  // namespace
